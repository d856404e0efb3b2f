// The magic detectors on a file's first bytes: the text-mode view, the
// classification of program and archive files, and the PE header readers
// (file header, optional header layout, sections, RVA mapping).
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/pe_image.h"
#include "runtime/system/magic_text.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

// The PE headers at the offset that the DOS header names, as far as they
// are there.
void pe_headers(const std::uint8_t* data, std::size_t size) {
    if (size < pe::kDosHeaderSize) return;
    const std::uint32_t at = pe::le32(data + pe::kHeaderOffsetField);
    if (at > size) return;
    const std::size_t available = size - at;
    const auto header = pe::read_file_header(data + at, available);
    if (!header) return;
    const std::size_t optional = at + pe::kFileHeaderSize;
    if (optional + 2 > size) return;
    pe::layout_by_magic(pe::le16(data + optional));
    const std::size_t table = optional + header->optional_header_size;
    if (table > size) return;
    const auto sections = pe::read_sections(data + table, size - table, header->section_count);
    if (!sections) return;
    if (sections->size() != header->section_count) fuzz::broken("a section count not kept");
    for (const pe::Section& s : *sections) {
        for (std::uint32_t rva : {s.virtual_address, s.virtual_address + s.raw_size / 2,
                                  s.virtual_address + s.virtual_size}) {
            if (const auto holding = pe::section_holding(*sections, rva)) {
                pe::file_offset(*holding, rva);
                if (pe::raw_bytes_after(*holding, rva) > holding->raw_size)
                    fuzz::broken("more raw bytes after an address than the section holds");
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::size_t length = size < lmx::magic::kReadSize ? size : lmx::magic::kReadSize;
    // Exact-size copies, so that a read past the bytes given is caught.
    std::vector<std::uint8_t> bytes(data, data + length);
    if (lmx::magic::classify(bytes.data(), bytes.size()).size() > lmx::magic::kMaxLength)
        fuzz::broken("a magic text longer than its limit");
    lmx::magic::stream_text(bytes.data(), bytes.size());
    lmx::magic::windows_text(bytes.data(), bytes.size());
    const int following = size > length ? data[length] : -1;
    if (lmx::magic::text_mode(bytes.data(), bytes.size(), following) > length)
        fuzz::broken("the text-mode view grew");
    pe_headers(data, size);
    return 0;
}
