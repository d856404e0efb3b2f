#include "platform/pe_image.h"

namespace pe {

std::optional<FileHeader> read_file_header(const std::uint8_t* p, std::size_t available) {
    if (available < kFileHeaderSize || p[0] != 'P' || p[1] != 'E' || p[2] != 0 || p[3] != 0)
        return std::nullopt;
    return FileHeader{le16(p + 4), le16(p + 6), le16(p + 20), le16(p + 22)};
}

std::optional<OptionalHeaderLayout> layout_by_magic(std::uint16_t magic) {
    if (magic == kPe32Magic) return kPe32Layout;
    if (magic == kPe32PlusMagic) return kPe32PlusLayout;
    return std::nullopt;
}

DataDirectoryEntry read_directory_entry(const std::uint8_t* p) { return {le32(p), le32(p + 4)}; }

Section read_section(const std::uint8_t* p) {
    return {le32(p + 12), le32(p + 8), le32(p + 16), le32(p + 20)};
}

std::optional<std::vector<Section>> read_sections(const std::uint8_t* table, std::size_t available,
                                                  std::size_t count) {
    if (count > available / kSectionSize) return std::nullopt;
    std::vector<Section> sections;
    sections.reserve(count);
    for (std::size_t i = 0; i < count; ++i)
        sections.push_back(read_section(table + i * kSectionSize));
    return sections;
}

std::optional<Section> section_holding(const std::vector<Section>& sections, std::uint32_t rva) {
    for (const Section& s : sections) {
        const std::uint64_t extent = s.virtual_size != 0 ? s.virtual_size : s.raw_size;
        if (rva >= s.virtual_address && rva - s.virtual_address < extent) return s;
    }
    return std::nullopt;
}

std::uint64_t file_offset(const Section& section, std::uint32_t rva) {
    return static_cast<std::uint64_t>(section.raw_offset) + (rva - section.virtual_address);
}

std::uint32_t raw_bytes_after(const Section& section, std::uint32_t rva) {
    const std::uint32_t distance = rva - section.virtual_address;
    return distance < section.raw_size ? section.raw_size - distance : 0;
}

}  // namespace pe
