// The headers of Windows program files (PE images): byte order, the
// signature and file header, the optional header's data directory, the
// section table and the mapping of relative virtual addresses (RVAs) to
// file offsets. Pure: callers hand in bytes, and nothing here reads past the
// count of bytes it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace pe {

inline std::uint16_t le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}
inline std::uint32_t le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
inline std::uint16_t be16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

constexpr std::size_t kDosHeaderSize = 64;
constexpr std::size_t kHeaderOffsetField = 0x3C;  // where the DOS header names the PE header
constexpr std::size_t kFileHeaderSize = 24;       // "PE\0\0" and the COFF file header
constexpr std::size_t kSectionSize = 40;
constexpr std::size_t kDataDirectoryEntrySize = 8;
constexpr std::size_t kResourceDirectoryIndex = 2;

// Machine codes and characteristics bits.
constexpr std::uint16_t kMachineI386 = 0x014C;
constexpr std::uint16_t kMachineIA64 = 0x0200;
constexpr std::uint16_t kMachineAMD64 = 0x8664;

// The file header after the signature "PE\0\0".
struct FileHeader {
    std::uint16_t machine;
    std::uint16_t section_count;
    std::uint16_t optional_header_size;
    std::uint16_t characteristics;
};

// The signature and file header in the first 24 of `available` bytes at
// `p`; absent without the signature or with fewer bytes.
std::optional<FileHeader> read_file_header(const std::uint8_t* p, std::size_t available);

// Where the optional header keeps its count of data-directory entries and
// where the directory begins, relative to the optional header's start.
struct OptionalHeaderLayout {
    std::size_t count_offset;
    std::size_t directory_offset;
};
constexpr OptionalHeaderLayout kPe32Layout = {92, 96};
constexpr OptionalHeaderLayout kPe32PlusLayout = {108, 112};
constexpr std::uint16_t kPe32Magic = 0x10B;
constexpr std::uint16_t kPe32PlusMagic = 0x20B;
constexpr std::uint16_t kPe32OptionalHeaderSize = 224;

// The layout named by the optional header's magic (0x10B, 0x20B), or none.
std::optional<OptionalHeaderLayout> layout_by_magic(std::uint16_t magic);

struct DataDirectoryEntry {
    std::uint32_t rva;
    std::uint32_t size;
};
DataDirectoryEntry read_directory_entry(const std::uint8_t* p);  // 8 bytes

struct Section {
    std::uint32_t virtual_address;
    std::uint32_t virtual_size;
    std::uint32_t raw_size;
    std::uint32_t raw_offset;
};
Section read_section(const std::uint8_t* p);  // 40 bytes

// `count` sections from `table`, which holds `available` bytes; absent when
// the table does not fit.
std::optional<std::vector<Section>> read_sections(const std::uint8_t* table, std::size_t available,
                                                  std::size_t count);

// The first section whose virtual range holds `rva` (its virtual size, or
// its raw size where the virtual size is 0).
std::optional<Section> section_holding(const std::vector<Section>& sections, std::uint32_t rva);

// Where `rva` of `section` lies in the file, and how many of the section's
// raw bytes follow it there (0 when the address lies past its raw data).
std::uint64_t file_offset(const Section& section, std::uint32_t rva);
std::uint32_t raw_bytes_after(const Section& section, std::uint32_t rva);

}  // namespace pe
