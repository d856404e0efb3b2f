#include "runtime/archive/zip_fileinfo.h"

#include <cstdint>
#include <limits>

namespace lmx::zip {
namespace {

constexpr std::size_t kInternalAttributes = 48;
constexpr std::size_t kDate = 56;

std::uint32_t fit32(std::uint64_t value) {
    return value > std::numeric_limits<std::uint32_t>::max()
               ? std::numeric_limits<std::uint32_t>::max()
               : static_cast<std::uint32_t>(value);
}

void put32(std::string& out, std::uint64_t value) {
    const std::uint32_t v = fit32(value);
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>((v >> shift) & 0xFF));
}

uLong get32(const std::string& in, std::size_t offset) {
    uLong value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(in[offset + static_cast<std::size_t>(i)]);
    return value;
}

}  // namespace

std::string pack_fileinfo(const unz_file_info64& info) {
    std::string out;
    out.reserve(kFileInfoSize);
    for (std::uint64_t value :
         {std::uint64_t{info.version}, std::uint64_t{info.version_needed}, std::uint64_t{info.flag},
          std::uint64_t{info.compression_method}, std::uint64_t{info.dosDate},
          std::uint64_t{info.crc}, std::uint64_t{info.compressed_size},
          std::uint64_t{info.uncompressed_size}, std::uint64_t{info.size_filename},
          std::uint64_t{info.size_file_extra}, std::uint64_t{info.size_file_comment},
          std::uint64_t{info.disk_num_start}, std::uint64_t{info.internal_fa},
          std::uint64_t{info.external_fa}, std::uint64_t{info.tmu_date.tm_sec},
          std::uint64_t{info.tmu_date.tm_min}, std::uint64_t{info.tmu_date.tm_hour},
          std::uint64_t{info.tmu_date.tm_mday}, std::uint64_t{info.tmu_date.tm_mon},
          std::uint64_t{info.tmu_date.tm_year}})
        put32(out, value);
    return out;
}

std::optional<zip_fileinfo> written_fileinfo(const std::string& description) {
    if (description.size() < kFileInfoSize) return std::nullopt;
    zip_fileinfo info{};
    info.internal_fa = get32(description, kInternalAttributes);
    info.external_fa = get32(description, kInternalAttributes + 4);
    tm_zip& date = info.tmz_date;
    uInt* fields[] = {&date.tm_sec, &date.tm_min, &date.tm_hour,
                      &date.tm_mday, &date.tm_mon, &date.tm_year};
    for (std::size_t i = 0; i < 6; ++i)
        *fields[i] = static_cast<uInt>(get32(description, kDate + 4 * i));
    return info;
}

zip_fileinfo copied_fileinfo(const unz_file_info64& info) {
    zip_fileinfo out{};
    out.internal_fa = info.internal_fa;
    out.external_fa = info.external_fa;
    const tm_unz& from = info.tmu_date;
    out.tmz_date = {from.tm_sec, from.tm_min, from.tm_hour, from.tm_mday, from.tm_mon, from.tm_year};
    return out;
}

}  // namespace lmx::zip
