// The 80-byte entry description of the Jar module ("fileinfo"): twenty
// unsigned 32-bit little-endian values, the entry's central-directory
// fields followed by its DOS date split into six values.
#pragma once

#include <unzip.h>
#include <zip.h>

#include <cstddef>
#include <optional>
#include <string>

namespace lmx::zip {

constexpr std::size_t kFileInfoSize = 80;

// The description of an entry. Sizes that do not fit 32 bits (zip64
// entries) are given as 0xFFFFFFFF, the value the format itself stores for
// them, rather than as a wrong smaller size.
std::string pack_fileinfo(const unz_file_info64& info);

// What a new entry takes from a description: internal and external
// attributes and the six date values, with DOS date field 0. Nothing when
// the string is shorter than a description.
std::optional<zip_fileinfo> written_fileinfo(const std::string& description);

// The same taken from an entry being copied.
zip_fileinfo copied_fileinfo(const unz_file_info64& info);

}  // namespace lmx::zip
