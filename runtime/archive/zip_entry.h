// Reading the entry that an unzip handle has open: reads that note where
// the entry's data ended, the close that checks it, and the reads into
// Perl strings, which never hold more than kMaxHeldBytes of one entry.
#pragma once

#include <unzip.h>

#include <cstdint>
#include <functional>

#include "runtime/host/perl_api.h"

namespace lmx::zip {

// The most bytes of an entry that one call holds in memory (a whole-entry
// read, one sysread or Read, one line), whatever an archive declares: a
// hostile archive cannot make a read allocate more.
constexpr std::uint64_t kMaxHeldBytes = std::uint64_t{256} << 20;

class OpenEntry {
   public:
    // Opens the handle's current entry for reading (unzOpenCurrentFile,
    // which first closes an entry still open).
    bool open(unzFile archive);

    // Reads up to `length` bytes: the count, 0 at the end of the entry's
    // data, -1 on an error or when no entry is open.
    std::int64_t read(unzFile archive, char* buffer, std::uint64_t length);

    // The bytes that the entry still holds by its declared size.
    std::uint64_t declared_rest() const {
        return delivered_ < declared_ ? declared_ - delivered_ : 0;
    }

    // Closes the entry (unzCloseCurrentFile): its result, or UNZ_BADZIPFILE
    // when the data ended before the entry's declared size (a damaged entry
    // whose checksum the library then never compares).
    int close(unzFile archive);

   private:
    bool open_ = false;
    std::uint64_t declared_ = 0;   // uncompressed size from the directory
    std::uint64_t delivered_ = 0;  // bytes read since the open
    bool ended_ = false;           // a read found the end of the data
};

// Reads bytes of an entry: up to `length` into `buffer`; the count (fewer
// only at the end of the data), or -1 on an error.
using ReadFunction = std::function<std::int64_t(char* buffer, std::uint64_t length)>;

// Reads up to `wanted` bytes through `read` into the string `target`
// (emptied first), growing it only as data arrives; `expected` (the
// declared rest) is the first guess of the size. The count, or -1 on a
// read error. `target` must be writable.
std::int64_t read_into(pTHX_ SV* target, std::uint64_t wanted, std::uint64_t expected,
                       const ReadFunction& read);

// The same from the open entry.
std::int64_t read_into(pTHX_ OpenEntry& entry, unzFile archive, SV* target, std::uint64_t wanted);

// Reads the rest of the open entry into `target`; false on a read error or
// when the rest is more than kMaxHeldBytes (refused before reading when the
// entry declares so).
bool read_rest(pTHX_ OpenEntry& entry, unzFile archive, SV* target);

}  // namespace lmx::zip
