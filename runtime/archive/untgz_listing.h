// The description of an archive entry: the listing line of scalar context
// and the mode value of list context.
#pragma once

#include <cstdint>
#include <string>

namespace lmx::untgz {

// "-rwxrwxrwx" with the type character of `typeflag` ('l', 'c', 'b', 'd'
// or '-'), '-' for every clear permission bit of `mode`, and 's' at the
// owner and group execute positions whenever the set-user-id and
// set-group-id bits are set. The sticky bit is not shown.
std::string mode_string(char typeflag, std::int64_t mode);

// The mode field's value with the type bits of the entry: 0100000 for a
// regular file, 020000 for a character device, 040000 for a directory.
std::int64_t mode_with_type(char typeflag, std::int64_t mode);

struct LocalTime {
    int year, month, day, hour, minute, second;  // month 1 to 12
};

// The listing line: mode string, size ("%12lld"), local time and name,
// separated by single blanks.
std::string listing_line(char typeflag, std::int64_t mode, std::int64_t size,
                         const LocalTime& time, const std::string& name);

}  // namespace lmx::untgz
