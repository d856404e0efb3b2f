// The extraction file writer of KALDOR::Install::Untgz: the current entry
// written to disk, or, in a test run, checked for being replaceable and
// accounted per filesystem.
#pragma once

#include "runtime/archive/untgz_state.h"
#include "runtime/host/perl_api.h"

namespace lmx::untgz {

// Extracts the current entry (a regular file, a directory; other types
// create nothing and their data is passed over). 0, or -1 with the error
// texts set, newest first.
int extract_file(pTHX_ UntgzState* s);

}  // namespace lmx::untgz
