#include "runtime/win32/version_records.h"

#include <cstring>
#include <list>

#include "runtime/win32/version_query.h"

namespace lmx::version {
namespace {

struct CacheEntry {
    const void* source;
    StreamVersion read;
};

std::list<CacheEntry>& cache() {
    thread_local std::list<CacheEntry> entries;
    return entries;
}

std::list<CacheEntry>::iterator entry_of(const void* source) {
    return std::find_if(cache().begin(), cache().end(),
                        [source](const CacheEntry& e) { return e.source == source; });
}

void report(std::size_t* size, std::size_t value) {
    if (size != nullptr) *size = value;
}

}  // namespace

int get_version_info(ReadRecord& record) {
    const auto entry = entry_of(record.source);
    if (entry == cache().end()) {
        StreamVersion read = read_stream(record.read);
        report(record.block_size, read.block ? read.block->size() : 0);
        report(record.magic_size, read.magic.size() + 1);
        cache().push_back({record.source, std::move(read)});
        return 0;
    }
    const StreamVersion& read = entry->read;
    if (record.block != nullptr && read.block) {
        std::memcpy(record.block, read.block->data(), read.block->size());
        report(record.block_size, read.block->size());
    } else {
        report(record.block_size, 0);
    }
    if (record.magic != nullptr) {
        std::memcpy(record.magic, read.magic.c_str(), read.magic.size() + 1);
        report(record.magic_size, read.magic.size() + 1);
    } else {
        report(record.magic_size, 0);
    }
    cache().erase(entry);
    return 0;
}

void forget_source(const void* source) {
    const auto entry = entry_of(source);
    if (entry != cache().end()) cache().erase(entry);
}

VersionData read_version(const void* source, const BlockReader& read,
                         const std::function<bool(ReadRecord&)>& call) {
    struct Forget {
        const void* source;
        ~Forget() { forget_source(source); }
    } forget{source};
    forget_source(source);
    std::size_t block_size = 0, magic_size = 0;
    ReadRecord sizes{source, read, nullptr, &block_size, nullptr, &magic_size};
    if (!call(sizes)) return {};
    std::vector<std::uint8_t> block(block_size);
    std::string magic(magic_size, '\0');
    ReadRecord copies{source, read, block.data(), &block_size, magic.data(), &magic_size};
    if (!call(copies)) return {};
    VersionData data;
    if (block_size > 0) data.block = std::move(block);
    if (magic_size > 0) data.magic = magic.substr(0, magic_size - 1);
    return data;
}

void answer_query(QueryRecord& record) {
    const std::optional<TextValue> value =
        record.block != nullptr && record.query != nullptr
            ? query_text(record.block, record.block_length, record.query)
            : std::nullopt;
    if (record.value != nullptr) *record.value = value ? record.block + value->offset : nullptr;
    if (record.value_length != nullptr) *record.value_length = value ? value->length : 0;
}

}  // namespace lmx::version
