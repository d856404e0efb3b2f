// The version-resource walker: the stream reader that finds the version
// block of a program file read in 512-byte blocks, the resource-tree walks
// over the same bytes taken as a resource section, and the queries into a
// version block (the one found, or the input itself taken as one).
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/pe_resources.h"
#include "runtime/win32/version_query.h"
#include "runtime/win32/version_stream.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using namespace lmx::version;

const char* const kQueries[] = {
    "\\StringFileInfo\\040904B0\\ProductVersion", "\\StringFileInfo\\040904E4\\FileDescription",
    "\\StringFileInfo\\000004B0\\CompanyName", "\\StringFileInfo\\040904b0\\", "\\", ""};

void query_block(const std::uint8_t* block, std::size_t length) {
    for (const char* query : kQueries) {
        const auto value = query_text(block, length, query);
        if (!value) continue;
        if (value->offset > length || value->length > (length - value->offset) / 2)
            fuzz::broken("a text value beyond its block");
        narrow_text(block + value->offset, value->length);
    }
}

void resource_walks(const std::uint8_t* data, std::size_t size) {
    pe::MemorySource source(data, size);
    pe::ResourceTree tree{source, 0, static_cast<std::uint32_t>(size)};
    pe::last_version_resource(tree);
    const std::uint16_t languages[] = {0x409, 0};
    pe::find_resource(tree, pe::kVersionResourceType, 1, languages, 2);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::size_t offset = 0;
    const StreamVersion found = read_stream([&](std::uint8_t* buffer, std::size_t want) -> long {
        const std::size_t n = std::min({want, kBlockSize, size - offset});
        std::memcpy(buffer, data + offset, n);
        offset += n;
        return static_cast<long>(n);
    });
    if (found.block) {
        if (found.block->size() > kMaxVersionBlock) fuzz::broken("a version block over its limit");
        // An exact-size copy, so that a read past the block is caught.
        const std::vector<std::uint8_t> block(*found.block);
        query_block(block.data(), block.size());
    }
    resource_walks(data, size);
    query_block(data, size);
    return 0;
}
