// The records of a pax extended header (typeflag 'x'), which describe the
// entry that follows it: "length key=value\n" each, the length counting
// the whole record.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace lmx::tar {

// The records that the readers honour; an absent one leaves the header's
// own field in force.
struct PaxRecords {
    std::optional<std::string> path;
    std::optional<std::string> linkpath;
    std::optional<std::int64_t> size;
    std::optional<std::int64_t> mtime;  // whole seconds, rounded down
};

// The largest extended header that is read; a larger one is refused like
// a long name that cannot be held.
constexpr std::uint64_t kPaxHeaderLimit = 1 << 20;

// Reads the records of `data` into `records`, a later record replacing an
// earlier one and an empty value removing it. Unknown keys are passed over.
// Stops at the first malformed record (a bad length, no "=", a name with a
// zero byte, a size or time that is not a number) and returns false; the
// records before it stay read.
bool parse_pax_records(const std::string& data, PaxRecords& records);

}  // namespace lmx::tar
