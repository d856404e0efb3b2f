// The archive walk of KALDOR::Install::Untgz: opening, the next entry,
// rewinding, and reading an entry's data into Perl scalars.
#pragma once

#include <string>

#include "runtime/archive/untgz_state.h"
#include "runtime/host/perl_api.h"

namespace lmx::untgz {

// Opens the archive at `path` for a walk; false with the error texts set.
bool open_archive(UntgzState* s, const std::string& path, bool test_run);

// Advances to the next entry that the walk returns, consuming long-name and
// extension entries on the way and applying pax records to the entry after
// them. False at the end of the archive (no error text, unless the gzip
// stream after the end blocks is cut short or fails its check) and on
// failure (error texts set).
bool next_entry(UntgzState* s);

// Back to the start of the archive; 0, or -1 (error texts set when the
// stream could not be rewound).
int rewind_archive(UntgzState* s);

// The whole remaining data of the current entry into `buffer`; false on
// failure, the buffer keeping what was read.
bool extract_scalar(pTHX_ UntgzState* s, SV* buffer);

// The next `size` bytes at most (a multiple of 512) of the current entry's
// data into `buffer`: the number of bytes, or -1 on failure (buffer
// unchanged).
IV extract_read(pTHX_ UntgzState* s, SV* buffer, IV size);

}  // namespace lmx::untgz
