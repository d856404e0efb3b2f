#include "runtime/archive/zip_entry.h"

#include <algorithm>
#include <string>

#include "runtime/archive/zip_io.h"

namespace lmx::zip {
namespace {

constexpr std::uint64_t kFirstCapacity = 64 * 1024;
constexpr std::uint64_t kLargestRequest = std::uint64_t{1} << 30;  // unzReadCurrentFile's int

}  // namespace

bool OpenEntry::open(unzFile archive) {
    *this = OpenEntry();
    unz_file_info64 info;
    std::string name;
    if (!current_entry(archive, info, name)) return false;
    if (unzOpenCurrentFile(archive) != UNZ_OK) return false;
    declared_ = info.uncompressed_size;
    open_ = true;
    return true;
}

std::int64_t OpenEntry::read(unzFile archive, char* buffer, std::uint64_t length) {
    // Never past the declared size, which the library may not know itself
    // (a size from a zip64 field).
    if (!open_) return -1;
    length = std::min(length, declared_rest());
    std::uint64_t done = 0;
    while (done < length) {
        const auto request = static_cast<unsigned>(std::min(length - done, kLargestRequest));
        const int n = unzReadCurrentFile(archive, buffer + done, request);
        if (n < 0) return -1;
        if (n == 0) break;
        done += static_cast<std::uint64_t>(n);
    }
    delivered_ += done;
    if (done < length) ended_ = true;
    return static_cast<std::int64_t>(done);
}

int OpenEntry::close(unzFile archive) {
    const bool short_data = ended_ && delivered_ < declared_;
    *this = OpenEntry();
    const int result = unzCloseCurrentFile(archive);
    if (result != UNZ_OK) return result;
    return short_data ? UNZ_BADZIPFILE : UNZ_OK;
}

std::int64_t read_into(pTHX_ SV* target, std::uint64_t wanted, std::uint64_t expected,
                       const ReadFunction& read) {
    sv_setpvn(target, "", 0);
    // The first guess is the declared size, at most 64 KiB; the string then
    // doubles only as data really arrives, whatever the entry declares.
    std::uint64_t capacity = std::min(wanted, std::min(expected, kFirstCapacity - 1) + 1);
    std::uint64_t done = 0;
    while (done < wanted) {
        if (done == capacity) capacity = std::min(wanted, std::max(capacity * 2, kFirstCapacity));
        char* bytes = SvGROW(target, static_cast<STRLEN>(capacity + 1));
        const std::int64_t n = read(bytes + done, capacity - done);
        if (n < 0) return -1;
        if (n == 0) break;
        done += static_cast<std::uint64_t>(n);
    }
    SvCUR_set(target, static_cast<STRLEN>(done));
    *SvEND(target) = '\0';
    return static_cast<std::int64_t>(done);
}

std::int64_t read_into(pTHX_ OpenEntry& entry, unzFile archive, SV* target, std::uint64_t wanted) {
    return read_into(aTHX_ target, wanted, entry.declared_rest(),
                     [&](char* buffer, std::uint64_t length) {
                         return entry.read(archive, buffer, length);
                     });
}

bool read_rest(pTHX_ OpenEntry& entry, unzFile archive, SV* target) {
    if (entry.declared_rest() > kMaxHeldBytes) return false;
    const std::int64_t n = read_into(aTHX_ entry, archive, target, kMaxHeldBytes + 1);
    return n >= 0 && static_cast<std::uint64_t>(n) <= kMaxHeldBytes;
}

}  // namespace lmx::zip
