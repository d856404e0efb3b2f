#include "runtime/win32/version_stream.h"

#include <algorithm>
#include <utility>

#include "platform/pe_image.h"
#include "platform/pe_resources.h"
#include "runtime/system/magic_text.h"

namespace lmx::version {
namespace {

constexpr std::size_t kDosPrefix = pe::kHeaderOffsetField + 2;
// The most of a resource section kept: the window less room for the part
// of a block that may precede the section and for the block being read.
constexpr std::size_t kMaxSection = kMaxKept - 2 * kBlockSize;

// The bytes of the stream from `start_` (a block boundary) to `end_`. A
// request for bytes wholly past `end_` drops everything kept and skips the
// blocks before them; a request before `start_` cannot be served.
class StreamWindow : public pe::ByteSource {
   public:
    explicit StreamWindow(const BlockReader& read) : read_(read) {}

    // Up to `length` bytes at `offset` and how many of them are there.
    std::pair<const std::uint8_t*, std::size_t> available(std::uint64_t offset,
                                                          std::size_t length) {
        if (offset < start_ || length > kMaxKept) return {nullptr, 0};
        if (offset >= end_) {
            kept_.clear();
            start_ = end_;
        }
        while (offset + length > end_ && !ended_) {
            if (offset < end_ && end_ - start_ + kBlockSize > kMaxKept) return {nullptr, 0};
            std::uint8_t block[kBlockSize];
            const long n = read_(block, kBlockSize);
            if (n <= 0) {
                ended_ = true;
                break;
            }
            const std::size_t count = std::min(static_cast<std::size_t>(n), kBlockSize);
            if (offset >= end_ + count) {
                start_ = end_ += count;  // a block wholly before the bytes wanted: skipped
                continue;
            }
            kept_.insert(kept_.end(), block, block + count);
            end_ += count;
        }
        if (offset >= end_) return {nullptr, 0};
        const std::uint64_t present = end_ - offset;
        return {kept_.data() + (offset - start_), present < length ? present : length};
    }

    const std::uint8_t* bytes(std::uint64_t offset, std::size_t length) override {
        const auto [p, count] = available(offset, length);
        return count == length ? p : nullptr;
    }

    // Drops the kept blocks that end before `offset`.
    void forget_before(std::uint64_t offset) {
        if (offset <= start_) return;
        const std::uint64_t drop =
            std::min<std::uint64_t>((offset - start_) / kBlockSize * kBlockSize, end_ - start_);
        kept_.erase(kept_.begin(), kept_.begin() + static_cast<std::ptrdiff_t>(drop));
        start_ += drop;
    }

   private:
    const BlockReader& read_;
    std::vector<std::uint8_t> kept_;
    std::uint64_t start_ = 0;
    std::uint64_t end_ = 0;
    bool ended_ = false;
};

std::optional<std::uint32_t> read32(StreamWindow& window, std::uint64_t offset) {
    const std::uint8_t* p = window.bytes(offset, 4);
    return p != nullptr ? std::optional<std::uint32_t>(pe::le32(p)) : std::nullopt;
}

// The version data of the image whose file header lies at `header_offset`.
std::optional<std::vector<std::uint8_t>> version_block(StreamWindow& window,
                                                       std::uint64_t header_offset,
                                                       const pe::FileHeader& file) {
    const pe::OptionalHeaderLayout layout = file.optional_header_size == pe::kPe32OptionalHeaderSize
                                                ? pe::kPe32Layout
                                                : pe::kPe32PlusLayout;
    const std::uint64_t optional_header = header_offset + pe::kFileHeaderSize;
    const std::optional<std::uint32_t> count =
        read32(window, optional_header + layout.count_offset);
    if (!count || *count <= pe::kResourceDirectoryIndex) return std::nullopt;
    const std::uint64_t directory = optional_header + layout.directory_offset;
    const std::uint8_t* entry = window.bytes(
        directory + pe::kResourceDirectoryIndex * pe::kDataDirectoryEntrySize,
        pe::kDataDirectoryEntrySize);
    if (entry == nullptr) return std::nullopt;
    const pe::DataDirectoryEntry resources = pe::read_directory_entry(entry);

    const std::size_t table_size = file.section_count * pe::kSectionSize;
    const std::uint8_t* table =
        window.bytes(directory + std::uint64_t{*count} * pe::kDataDirectoryEntrySize, table_size);
    const std::optional<std::vector<pe::Section>> sections =
        table != nullptr ? pe::read_sections(table, table_size, file.section_count) : std::nullopt;
    if (!sections) return std::nullopt;
    const std::optional<pe::Section> holder = pe::section_holding(*sections, resources.rva);
    if (!holder) return std::nullopt;

    // The resource section is read before its tree is walked, so that the
    // walk goes back and forth in kept bytes. A section larger than the
    // window keeps its first part: a tree that reaches beyond it is broken.
    const std::uint64_t base = pe::file_offset(*holder, resources.rva);
    window.forget_before(base);
    const std::size_t wanted = std::min<std::size_t>(pe::raw_bytes_after(*holder, resources.rva),
                                                     kMaxSection);
    pe::ResourceTree tree{window, base,
                          static_cast<std::uint32_t>(window.available(base, wanted).second)};
    const std::optional<pe::ResourceData> data = pe::last_version_resource(tree);
    if (!data || data->size == 0 || data->size > kMaxVersionBlock) return std::nullopt;
    const std::optional<pe::Section> data_holder = pe::section_holding(*sections, data->rva);
    if (!data_holder || pe::raw_bytes_after(*data_holder, data->rva) < data->size)
        return std::nullopt;
    const std::uint64_t at = pe::file_offset(*data_holder, data->rva);
    window.forget_before(at);
    const std::uint8_t* bytes = window.bytes(at, data->size);
    if (bytes == nullptr) return std::nullopt;
    return std::vector<std::uint8_t>(bytes, bytes + data->size);
}

}  // namespace

StreamVersion read_stream(const BlockReader& read) {
    StreamWindow window(read);
    StreamVersion result;
    const auto [first, first_count] = window.available(0, kBlockSize);
    result.magic = magic::stream_text(first, first_count);
    if (result.magic != magic::kMsDos || first_count < kDosPrefix) return result;
    const std::uint64_t header_offset = pe::le16(first + pe::kHeaderOffsetField);

    const std::uint8_t* header = window.bytes(header_offset, pe::kFileHeaderSize);
    if (header == nullptr) return result;
    result.magic = magic::stream_text(header, pe::kFileHeaderSize);
    const std::optional<pe::FileHeader> file = pe::read_file_header(header, pe::kFileHeaderSize);
    if (!file || !magic::windows_text(header, pe::kFileHeaderSize)) return result;
    result.block = version_block(window, header_offset, *file);
    return result;
}

}  // namespace lmx::version
