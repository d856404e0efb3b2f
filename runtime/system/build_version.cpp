#include "runtime/system/build_version.h"

#include <cerrno>
#include <cstdlib>
#include <limits>

namespace lmx::build {
namespace {

// The decimal number at the start of `text` as the C runtime's atoi reads
// it (0 without one), held to 32 bits; `end` receives where it stopped.
std::int32_t leading_number(const char* text, const char** end = nullptr) {
    char* stop = nullptr;
    errno = 0;
    const long value = std::strtol(text, &stop, 10);
    if (end != nullptr) *end = stop;
    if (value > std::numeric_limits<std::int32_t>::max())
        return std::numeric_limits<std::int32_t>::max();
    if (value < std::numeric_limits<std::int32_t>::min())
        return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(value);
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The two one-digit numbers of a dotless version, when it has them.
bool dotless_digits(const std::string& version, int& first, int& second) {
    if (version.size() < 2 || !is_digit(version[0]) || !is_digit(version[1])) return false;
    first = version[0] - '0';
    second = version[1] - '0';
    return true;
}

bool has_dot(const std::string& version) { return version.find('.') != std::string::npos; }

}  // namespace

std::optional<std::string> build_line(const std::string& file_version,
                                      const std::optional<std::string>& build) {
    if (has_dot(file_version)) {
        if (!build) return std::nullopt;
        return "Rel. " + file_version + "    Build " + *build;
    }
    int first, second;
    if (!dotless_digits(file_version, first, second)) return std::nullopt;
    const std::string release = first == 3 && second == 0
                                    ? std::string("3.0A")
                                    : std::to_string(first) + "." + std::to_string(second) + "0";
    return "QPM " + release + "    Build " +
           std::to_string(leading_number(file_version.c_str() + 2));
}

std::optional<Numbers> build_numbers(const std::string& file_version,
                                     const std::optional<std::string>& build) {
    if (has_dot(file_version)) {
        if (!build) return std::nullopt;
        // Three numbers, each ended by one character; those missing stay 0.
        std::int32_t parts[3] = {0, 0, 0};
        const char* at = file_version.c_str();
        for (std::int32_t& part : parts) {
            const char* end;
            const std::int32_t value = leading_number(at, &end);
            if (end == at) break;
            part = value;
            if (*end == '\0') break;
            at = end + 1;
        }
        return Numbers{parts[0], parts[1], parts[2], leading_number(build->c_str())};
    }
    int first, second;
    if (!dotless_digits(file_version, first, second)) return std::nullopt;
    return Numbers{first, second, 0, leading_number(file_version.c_str() + 2)};
}

}  // namespace lmx::build
