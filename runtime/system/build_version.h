// Release and build numbers from a program's version texts: the FileVersion
// value ("7.6.00" with a Build value "035", or "30123" in the older form of
// two one-digit version numbers and the build number) read as the line of
// GetBuildString and as the four numbers of GetBuildInfo. Pure.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace lmx::build {

struct Numbers {
    std::int32_t major;
    std::int32_t minor;
    std::int32_t patch;
    std::int32_t build;
};

// "Rel. 7.6.00    Build 035" for a version with a dot (absent without a
// Build value), "QPM 3.0A    Build 123" or "QPM 4.10    Build 7" for one
// without; absent when a dotless version does not begin with two digits.
std::optional<std::string> build_line(const std::string& file_version,
                                      const std::optional<std::string>& build);

// The same versions as numbers: 7, 6, 0, 35 and 3, 0, 0, 123.
std::optional<Numbers> build_numbers(const std::string& file_version,
                                     const std::optional<std::string>& build);

}  // namespace lmx::build
