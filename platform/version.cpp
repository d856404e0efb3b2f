#include "platform/version.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/codepages.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/internal.h"
#include "platform/pe_image.h"
#include "platform/pe_resources.h"
#include "platform/pe_version_block.h"
#include "platform/unique_handle.h"

namespace {

// The bytes of an open file, read on demand; a range past the file's end
// is not there.
class FileSource : public pe::ByteSource {
   public:
    explicit FileSource(int fd) : fd_(fd) {
        struct stat st;
        size_ = ::fstat(fd, &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    }

    const std::uint8_t* bytes(std::uint64_t offset, std::size_t length) override {
        if (offset > size_ || length > size_ - offset) return nullptr;
        buffer_.resize(length);
        std::size_t done = 0;
        while (done < length) {
            const ssize_t n = platform::retry_on_eintr([&] {
                return ::pread(fd_, buffer_.data() + done, length - done,
                               static_cast<off_t>(offset + done));
            });
            if (n <= 0) return nullptr;
            done += static_cast<std::size_t>(n);
        }
        return buffer_.data();
    }

   private:
    int fd_;
    std::uint64_t size_;
    std::vector<std::uint8_t> buffer_;
};

std::optional<std::uint32_t> read32(pe::ByteSource& source, std::uint64_t offset) {
    const std::uint8_t* p = source.bytes(offset, 4);
    return p != nullptr ? std::optional<std::uint32_t>(pe::le32(p)) : std::nullopt;
}

// The version resource of the PE image in `source` (its root node's bytes),
// or the error code that tells why there is none.
DWORD read_version_block(pe::ByteSource& source, std::vector<std::uint8_t>& block) {
    const std::uint8_t* dos = source.bytes(0, pe::kDosHeaderSize);
    if (dos == nullptr || dos[0] != 'M' || dos[1] != 'Z') return ERROR_BAD_EXE_FORMAT;
    const std::uint64_t header_offset = pe::le32(dos + pe::kHeaderOffsetField);
    const std::uint8_t* header = source.bytes(header_offset, pe::kFileHeaderSize + 2);
    if (header == nullptr) return ERROR_BAD_EXE_FORMAT;
    const std::optional<pe::FileHeader> file = pe::read_file_header(header, pe::kFileHeaderSize);
    const std::optional<pe::OptionalHeaderLayout> layout =
        pe::layout_by_magic(pe::le16(header + pe::kFileHeaderSize));
    if (!file || !layout) return ERROR_BAD_EXE_FORMAT;

    const std::uint64_t optional_header = header_offset + pe::kFileHeaderSize;
    const std::size_t resource_entry = layout->directory_offset +
                                       pe::kResourceDirectoryIndex * pe::kDataDirectoryEntrySize;
    const std::optional<std::uint32_t> count =
        read32(source, optional_header + layout->count_offset);
    if (!count || *count <= pe::kResourceDirectoryIndex ||
        file->optional_header_size < resource_entry + pe::kDataDirectoryEntrySize)
        return ERROR_RESOURCE_DATA_NOT_FOUND;
    const std::optional<std::uint32_t> resources = read32(source, optional_header + resource_entry);
    if (!resources || *resources == 0) return ERROR_RESOURCE_DATA_NOT_FOUND;

    const std::size_t table_size = file->section_count * pe::kSectionSize;
    const std::uint8_t* table =
        source.bytes(optional_header + file->optional_header_size, table_size);
    const std::optional<std::vector<pe::Section>> sections =
        table != nullptr ? pe::read_sections(table, table_size, file->section_count) : std::nullopt;
    if (!sections) return ERROR_BAD_EXE_FORMAT;
    const std::optional<pe::Section> holder = pe::section_holding(*sections, *resources);
    if (!holder) return ERROR_RESOURCE_DATA_NOT_FOUND;

    pe::ResourceTree tree{source, pe::file_offset(*holder, *resources),
                          pe::raw_bytes_after(*holder, *resources)};
    const std::uint16_t languages[] = {MAKELANGID(LANG_NEUTRAL, 0),
                                       MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)};
    const std::optional<pe::ResourceData> data =
        pe::find_resource(tree, pe::kVersionResourceType, 1, languages, 2);
    if (!data) return ERROR_RESOURCE_TYPE_NOT_FOUND;
    const std::optional<pe::Section> data_holder = pe::section_holding(*sections, data->rva);
    if (!data_holder || pe::raw_bytes_after(*data_holder, data->rva) < data->size)
        return ERROR_RESOURCE_DATA_NOT_FOUND;
    const std::uint8_t* bytes = source.bytes(pe::file_offset(*data_holder, data->rva), data->size);
    const std::optional<pe::VersionNode> root =
        bytes != nullptr ? pe::read_version_node(bytes, data->size, 0) : std::nullopt;
    if (!root || !pe::version_key_is(bytes, *root, pe::kVersionRootKey, false))
        return ERROR_RESOURCE_DATA_NOT_FOUND;
    block.assign(bytes, bytes + root->end);
    return ERROR_SUCCESS;
}

DWORD read_version_file(LPCSTR path, std::vector<std::uint8_t>& block) {
    platform::UniqueHandle file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                            nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return GetLastError();
    FileSource source(platform::handle_fd(file.get()));
    return read_version_block(source, block);
}

// The buffer: the version block, then from the next 4-byte boundary the
// room for text values in the ANSI code page. A UTF-16 unit at block offset
// 2u converts into at most 3 bytes at room offset 3u, so the values of
// different nodes never share room.
std::size_t text_room_offset(std::size_t block_length) { return pe::align4(block_length); }
std::size_t buffer_size(std::size_t block_length) {
    return text_room_offset(block_length) + 3 * (block_length / 2) + 4;
}

// The child of `parent` whose key is `key` (without regard to case).
std::optional<pe::VersionNode> child_named(const std::uint8_t* block, const pe::VersionNode& parent,
                                           const std::string& key) {
    for (std::size_t at = parent.children_offset; at < parent.end;) {
        const std::optional<pe::VersionNode> child = pe::read_version_node(block, parent.end, at);
        if (!child) return std::nullopt;
        if (pe::version_key_is(block, *child, key.c_str(), true)) return child;
        at = pe::next_sibling(*child);
    }
    return std::nullopt;
}

}  // namespace

DWORD GetFileVersionInfoSizeA(LPCSTR lptstrFilename, LPDWORD lpdwHandle) {
    if (lpdwHandle != nullptr) *lpdwHandle = 0;
    std::vector<std::uint8_t> block;
    const DWORD error = read_version_file(lptstrFilename, block);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return 0;
    }
    return static_cast<DWORD>(buffer_size(block.size()));
}

BOOL GetFileVersionInfoA(LPCSTR lptstrFilename, DWORD /*dwHandle*/, DWORD dwLen, LPVOID lpData) {
    std::vector<std::uint8_t> block;
    const DWORD error = read_version_file(lptstrFilename, block);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    if (lpData == nullptr || dwLen < buffer_size(block.size())) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    auto* out = static_cast<std::uint8_t*>(lpData);
    std::memcpy(out, block.data(), block.size());
    std::memset(out + block.size(), 0, buffer_size(block.size()) - block.size());
    return TRUE;
}

BOOL VerQueryValueA(LPCVOID pBlock, LPCSTR lpSubBlock, LPVOID* lplpBuffer, PUINT puLen) {
    if (pBlock == nullptr || lpSubBlock == nullptr || lplpBuffer == nullptr || puLen == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto* block = static_cast<std::uint8_t*>(const_cast<void*>(pBlock));
    std::optional<pe::VersionNode> node = pe::read_version_node(block, pe::le16(block), 0);
    for (const char* p = lpSubBlock; node && *p != '\0';) {
        while (*p == '\\') ++p;
        const char* end = std::strchr(p, '\\');
        if (end == nullptr) end = p + std::strlen(p);
        if (end != p) node = child_named(block, *node, std::string(p, end));
        p = end;
    }
    if (!node) {
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return FALSE;
    }
    if (node->type != pe::kVersionTextType) {
        *lplpBuffer = block + node->value_offset;
        *puLen = static_cast<UINT>(node->value_bytes);
        return TRUE;
    }
    std::u16string text;
    for (std::size_t at = node->value_offset; at + 2 <= node->value_offset + node->value_bytes;
         at += 2) {
        const char16_t unit = pe::le16(block + at);
        if (unit == 0) break;
        text.push_back(unit);
    }
    char* room = reinterpret_cast<char*>(block + text_room_offset(pe::le16(block))) +
                 3 * (node->value_offset / 2);
    int written = 0;
    if (!text.empty())
        written = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), room,
                                      static_cast<int>(3 * text.size()), nullptr, nullptr);
    room[written] = '\0';
    *lplpBuffer = room;
    *puLen = static_cast<UINT>(written) + 1;
    return TRUE;
}
