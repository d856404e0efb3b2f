#include "runtime/archive/pax_header.h"

#include <limits>

namespace lmx::tar {
namespace {

// Decimal digits from `pos` up to `end`; absent when there is none, a
// character other than a digit comes first, or the value overflows.
std::optional<std::int64_t> decimal(const std::string& text, size_t& pos, size_t end) {
    constexpr std::int64_t kLargest = std::numeric_limits<std::int64_t>::max();
    const size_t start = pos;
    std::int64_t value = 0;
    for (; pos < end && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
        const int digit = text[pos] - '0';
        if (value > (kLargest - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    if (pos == start) return std::nullopt;
    return value;
}

std::optional<std::int64_t> size_value(const std::string& value) {
    size_t pos = 0;
    const auto size = decimal(value, pos, value.size());
    return pos == value.size() ? size : std::nullopt;
}

// Seconds with an optional sign and fraction ("-12.5"), rounded down.
std::optional<std::int64_t> time_value(const std::string& value) {
    size_t pos = value.empty() || value[0] != '-' ? 0 : 1;
    const bool negative = pos == 1;
    const auto seconds = decimal(value, pos, value.size());
    if (!seconds) return std::nullopt;
    bool fraction = false;
    if (pos < value.size() && value[pos] == '.') {
        for (++pos; pos < value.size() && value[pos] >= '0' && value[pos] <= '9'; ++pos)
            fraction = fraction || value[pos] != '0';
    }
    if (pos != value.size()) return std::nullopt;
    if (!negative) return *seconds;
    return -*seconds - (fraction ? 1 : 0);
}

// One record's value applied; false for a value that is malformed.
bool apply(const std::string& key, const std::string& value, PaxRecords& records) {
    if (key == "path" || key == "linkpath") {
        if (value.find('\0') != std::string::npos) return false;
        std::optional<std::string>& name = key == "path" ? records.path : records.linkpath;
        name = value.empty() ? std::nullopt : std::optional<std::string>(value);
        return true;
    }
    if (key == "size" || key == "mtime") {
        std::optional<std::int64_t>& number = key == "size" ? records.size : records.mtime;
        if (value.empty()) {
            number.reset();
            return true;
        }
        number = key == "size" ? size_value(value) : time_value(value);
        return number.has_value();
    }
    return true;
}

}  // namespace

bool parse_pax_records(const std::string& data, PaxRecords& records) {
    size_t start = 0;
    while (start < data.size()) {
        size_t pos = start;
        const auto length = decimal(data, pos, data.size());
        if (!length || pos >= data.size() || data[pos] != ' ') return false;
        if (*length > static_cast<std::int64_t>(data.size() - start)) return false;
        const size_t end = start + static_cast<size_t>(*length);  // one past the newline
        if (end <= pos + 1 || data[end - 1] != '\n') return false;
        const size_t equals = data.find('=', pos + 1);
        if (equals == std::string::npos || equals >= end - 1 || equals == pos + 1) return false;
        const std::string key = data.substr(pos + 1, equals - pos - 1);
        const std::string value = data.substr(equals + 1, end - 1 - equals - 1);
        if (!apply(key, value, records)) return false;
        start = end;
    }
    return true;
}

}  // namespace lmx::tar
