#include "runtime/archive/untgz_listing.h"

#include <cstdio>

namespace lmx::untgz {

std::string mode_string(char typeflag, std::int64_t mode) {
    std::string text = "-rwxrwxrwx";
    switch (typeflag) {
        case '2': text[0] = 'l'; break;
        case '3': text[0] = 'c'; break;
        case '4': text[0] = 'b'; break;
        case '5': text[0] = 'd'; break;
        default: break;
    }
    const std::int64_t bits = mode & 07777;
    for (int i = 0; i < 9; ++i)
        if (!(bits & (0400 >> i))) text[1 + i] = '-';
    if (bits & 04000) text[3] = 's';
    if (bits & 02000) text[6] = 's';
    return text;
}

std::int64_t mode_with_type(char typeflag, std::int64_t mode) {
    switch (typeflag) {
        case '\0':
        case '0': return mode | 0100000;
        case '3': return mode | 020000;
        case '5': return mode | 040000;
        default: return mode;
    }
}

std::string listing_line(char typeflag, std::int64_t mode, std::int64_t size,
                         const LocalTime& t, const std::string& name) {
    char fields[96];
    std::snprintf(fields, sizeof fields, " %12lld %4d-%02d-%02d %02d:%02d:%02d ",
                  static_cast<long long>(size), t.year, t.month, t.day, t.hour, t.minute,
                  t.second);
    return mode_string(typeflag, mode) + fields + name;
}

}  // namespace lmx::untgz
