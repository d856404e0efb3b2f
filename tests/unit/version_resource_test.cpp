// The version resources of PE images, read by the layer's version API and
// by the module's streaming reader from images built here: well-formed
// ones, and hostile ones (resource trees that loop or nest without end,
// counts and sizes past the end, lying version-block lengths), which must
// give no version block, in bounded time and memory.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/pe_image.h"
#include "platform/pe_version_block.h"
#include "platform/version.h"
#include "runtime/system/build_version.h"
#include "runtime/win32/version_query.h"
#include "runtime/win32/version_stream.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

void put16(Bytes& b, std::size_t at, std::uint32_t v) {
    if (b.size() < at + 2) b.resize(at + 2);
    b[at] = v & 0xFF;
    b[at + 1] = (v >> 8) & 0xFF;
}
void put32(Bytes& b, std::size_t at, std::uint32_t v) {
    put16(b, at, v & 0xFFFF);
    put16(b, at + 2, v >> 16);
}
void pad4(Bytes& b) { b.resize(pe::align4(b.size())); }

// A version-block node: key, type, value and children, encoded with its
// lengths as the resource compilers write them.
struct Node {
    std::string key;
    std::string text;  // the value of a text node (type 1), with its terminator counted
    std::vector<Node> children;
    Bytes binary;      // the value of a binary node (type 0)
};

Bytes encode(const Node& n) {
    Bytes b(6);
    for (char c : n.key) b.insert(b.end(), {static_cast<std::uint8_t>(c), 0});
    b.insert(b.end(), {0, 0});
    pad4(b);
    if (!n.text.empty()) {
        for (char c : n.text) b.insert(b.end(), {static_cast<std::uint8_t>(c), 0});
        b.insert(b.end(), {0, 0});
        put16(b, 2, static_cast<std::uint32_t>(n.text.size() + 1));
        put16(b, 4, 1);
    } else {
        b.insert(b.end(), n.binary.begin(), n.binary.end());
        put16(b, 2, static_cast<std::uint32_t>(n.binary.size()));
    }
    for (const Node& child : n.children) {
        pad4(b);
        const Bytes c = encode(child);
        b.insert(b.end(), c.begin(), c.end());
    }
    put16(b, 0, static_cast<std::uint32_t>(b.size()));
    return b;
}

Node strings(const std::string& table, std::vector<Node> values) {
    return Node{"StringFileInfo", "", {Node{table, "", std::move(values), {}}}, {}};
}

Bytes version_block(std::vector<Node> children) {
    return encode(Node{"VS_VERSION_INFO", "", std::move(children), Bytes(52, 0xEE)});
}

Bytes standard_block() {
    return version_block({Node{"VarFileInfo", "", {}, {}},
                          strings("040904e4", {Node{"FileVersion", "7.6.00", {}, {}},
                                               Node{"BuildNumber", "77", {}, {}},
                                               Node{"Build", "035", {}, {}}})});
}

constexpr std::uint32_t kResourceVa = 0x2000;
// Offsets in the resource tree: the directories of type, name and
// language, the data entry, and the version block.
constexpr std::size_t kNameDirectory = 0x18;
constexpr std::size_t kLanguageDirectory = 0x30;
constexpr std::size_t kDataEntry = 0x48;
constexpr std::size_t kBlockAt = 0x60;

// The resource tree: type 16, name 1, one language, its data entry, then
// the block.
Bytes resource_tree(const Bytes& block) {
    Bytes t(kBlockAt);
    put16(t, 14, 1);
    put32(t, 16, 16);
    put32(t, 20, 0x80000000u | kNameDirectory);
    put16(t, kNameDirectory + 14, 1);
    put32(t, kNameDirectory + 16, 1);
    put32(t, kNameDirectory + 20, 0x80000000u | kLanguageDirectory);
    put16(t, kLanguageDirectory + 14, 1);
    put32(t, kLanguageDirectory + 16, 0x409);
    put32(t, kLanguageDirectory + 20, kDataEntry);
    put32(t, kDataEntry, kResourceVa + kBlockAt);
    put32(t, kDataEntry + 4, static_cast<std::uint32_t>(block.size()));
    t.insert(t.end(), block.begin(), block.end());
    return t;
}

// A tree laid out as larger programs have it: the version type's
// directories and data lie a few blocks after the root, whose next entry
// (type 24, an empty directory) is read after them.
Bytes spread_tree(const Bytes& block) {
    constexpr std::size_t far = 0x1000;
    Bytes t(far + 0x40);
    put16(t, 14, 2);
    put32(t, 16, 16);
    put32(t, 20, 0x80000000u | far);
    put32(t, 24, 24);
    put32(t, 28, 0x80000000u | 0x20);
    put16(t, far + 14, 1);
    put32(t, far + 16, 1);
    put32(t, far + 20, 0x80000000u | (far + 0x18));
    put16(t, far + 0x18 + 14, 1);
    put32(t, far + 0x18 + 16, 0x409);
    put32(t, far + 0x18 + 20, far + 0x30);
    put32(t, far + 0x30, kResourceVa + far + 0x40);
    put32(t, far + 0x34, static_cast<std::uint32_t>(block.size()));
    t.insert(t.end(), block.begin(), block.end());
    return t;
}

// A 64-bit PE image with a code section and a resource section holding
// `tree`, which starts `gap` bytes into the file after the headers.
Bytes image(const Bytes& tree, std::size_t gap = 0) {
    Bytes b(0x80);
    b[0] = 'M';
    b[1] = 'Z';
    put32(b, 0x3C, 0x80);
    b.insert(b.end(), {'P', 'E', 0, 0});
    put16(b, 0x84, pe::kMachineAMD64);
    put16(b, 0x86, 2);
    put16(b, 0x94, 240);
    put16(b, 0x96, 0x22);
    const std::size_t opt = 0x98;
    put16(b, opt, pe::kPe32PlusMagic);
    put32(b, opt + 108, 16);
    put32(b, opt + 112 + 16, kResourceVa);
    put32(b, opt + 112 + 20, static_cast<std::uint32_t>(tree.size()));
    const std::size_t sections = opt + 240;
    const std::uint32_t raw = static_cast<std::uint32_t>(0x400 + gap);
    put32(b, sections + 8, 0x200);
    put32(b, sections + 12, 0x1000);
    put32(b, sections + 16, 0x200);
    put32(b, sections + 20, 0x200);
    put32(b, sections + 40 + 8, static_cast<std::uint32_t>(tree.size()));
    put32(b, sections + 40 + 12, kResourceVa);
    put32(b, sections + 40 + 16, static_cast<std::uint32_t>(tree.size()));
    put32(b, sections + 40 + 20, raw);
    b.resize(raw);
    b.insert(b.end(), tree.begin(), tree.end());
    return b;
}

// The layer's answer for an image: the FileVersion text, or "" with the
// last error.
std::string layer_file_version(const Bytes& bytes, DWORD* error = nullptr) {
    char path[] = "/tmp/lmxpeXXXXXX";
    const int fd = mkstemp(path);
    EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);
    std::string text;
    DWORD handle;
    const DWORD size = GetFileVersionInfoSizeA(path, &handle);
    if (error != nullptr) *error = size == 0 ? GetLastError() : 0;
    if (size > 0) {
        std::vector<std::uint8_t> info(size);
        EXPECT_TRUE(GetFileVersionInfoA(path, 0, size, info.data()));
        LPVOID value;
        UINT length;
        if (VerQueryValueA(info.data(), "\\stringfileinfo\\040904E4\\FileVersion", &value, &length))
            text = static_cast<const char*>(value);
    }
    unlink(path);
    return text;
}

// The streaming reader's answer, read in 512-byte blocks.
lmx::version::StreamVersion stream(const Bytes& bytes) {
    std::size_t at = 0;
    return lmx::version::read_stream([&](std::uint8_t* buffer, std::size_t size) -> long {
        const std::size_t n = std::min(size, bytes.size() - at);
        if (n > 0) std::memcpy(buffer, bytes.data() + at, n);
        at += n;
        return static_cast<long>(n);
    });
}

std::string stream_file_version(const Bytes& bytes) {
    const lmx::version::StreamVersion read = stream(bytes);
    if (!read.block) return "";
    const auto value = lmx::version::query_text(read.block->data(), read.block->size(),
                                                "\\StringFileInfo\\040904E4\\FileVersion");
    return value ? lmx::version::narrow_text(read.block->data() + value->offset, value->length)
                 : "";
}

TEST(VersionResource, BothReadersFindTheBlock) {
    const Bytes pe = image(resource_tree(standard_block()));
    EXPECT_EQ(layer_file_version(pe), "7.6.00");
    EXPECT_EQ(stream_file_version(pe), "7.6.00");
    EXPECT_EQ(stream(pe).magic, "MS Windows 64-bit AMD64 executable");
    // A resource section far beyond the headers is reached by skipping,
    // without keeping what lies between.
    EXPECT_EQ(stream_file_version(image(resource_tree(standard_block()), 40u << 20)), "7.6.00");
    // The walk goes back to the root after the version type's directories.
    EXPECT_EQ(layer_file_version(image(spread_tree(standard_block()))), "7.6.00");
    EXPECT_EQ(stream_file_version(image(spread_tree(standard_block()))), "7.6.00");
}

TEST(VersionResource, LayerQueries) {
    char path[] = "/tmp/lmxpeXXXXXX";
    const Bytes pe = image(resource_tree(standard_block()));
    const int fd = mkstemp(path);
    ASSERT_EQ(write(fd, pe.data(), pe.size()), static_cast<ssize_t>(pe.size()));
    close(fd);
    const DWORD size = GetFileVersionInfoSizeA(path, nullptr);
    std::vector<std::uint8_t> info(size);
    EXPECT_FALSE(GetFileVersionInfoA(path, 0, size - 1, info.data()));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    ASSERT_TRUE(GetFileVersionInfoA(path, 0, size, info.data()));
    LPVOID value;
    UINT length;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\StringFileInfo\\040904E4\\Build", &value, &length));
    EXPECT_STREQ(static_cast<const char*>(value), "035");
    EXPECT_EQ(length, 4u);
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\", &value, &length));
    EXPECT_EQ(length, 52u);
    EXPECT_FALSE(
        VerQueryValueA(info.data(), "\\StringFileInfo\\040904E4\\Missing", &value, &length));
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_TYPE_NOT_FOUND);
    unlink(path);

    DWORD error;
    EXPECT_EQ(layer_file_version(Bytes(300, 'x'), &error), "");
    EXPECT_EQ(error, ERROR_BAD_EXE_FORMAT);
    Bytes no_version = image(resource_tree(standard_block()));
    put32(no_version, 0x400 + 16, 14);  // the type entry names type 14
    EXPECT_EQ(layer_file_version(no_version, &error), "");
    EXPECT_EQ(error, ERROR_RESOURCE_TYPE_NOT_FOUND);
}

// Each hostile image gives no version block to either reader.
TEST(VersionResource, HostileImagesGiveNoBlock) {
    const Bytes good = image(resource_tree(standard_block()));
    const std::size_t tree = 0x400;
    std::vector<std::pair<const char*, Bytes>> cases;
    const auto patched = [&](const char* what, std::size_t at, std::uint32_t value, bool wide) {
        Bytes b = good;
        wide ? put32(b, at, value) : put16(b, at, value);
        cases.emplace_back(what, b);
    };
    patched("type entry points at the root", tree + 20, 0x80000000u, true);
    patched("name directory points back at itself", tree + kNameDirectory + 20,
            0x80000000u | kNameDirectory, true);
    patched("a subdirectory past the section", tree + 20, 0x80FFFFF0u, true);
    patched("a root claiming 65535 + 65535 entries", tree + 12, 0xFFFF, false);
    patched("data entry past the section", tree + kLanguageDirectory + 20, 0xFFFF0, true);
    patched("data size past the end", tree + kDataEntry + 4, 0x7FFFFFF0u, true);
    patched("data address in no section", tree + kDataEntry, 0x900000, true);
    patched("65535 sections", 0x86, 0xFFFF, false);
    patched("resource address in no section", 0x98 + 128, 0x7000, true);
    patched("version root longer than its block", tree + kBlockAt, 0x400, false);
    patched("version root of length 0", tree + kBlockAt, 0, false);

    // A chain of directories nesting deeper than any tree does, and one
    // that ends in a loop.
    Bytes deep(16 + 24 * 200);
    for (std::uint32_t level = 0; level < 200; ++level) {
        const std::uint32_t at = level * 24;
        put16(deep, at + 14, 1);
        put32(deep, at + 16, level == 0 ? 16 : 1);
        put32(deep, at + 20, 0x80000000u | (level + 1) * 24);
    }
    cases.emplace_back("200 nested directories", image(deep));
    Bytes loop = deep;
    put32(loop, 199 * 24 + 20, 0x80000000u | 24);
    cases.emplace_back("a chain that loops", image(loop));
    // A root of 65535 version entries, each naming a directory of its own
    // with nothing in it: every one is looked at once, and none gives data.
    constexpr std::uint32_t kWide = 0xFFFF;
    Bytes wide(16 + 8 * kWide + 16 * kWide);
    put16(wide, 14, kWide);
    for (std::uint32_t i = 0; i < kWide; ++i) {
        put32(wide, 16 + 8 * i, 16);
        put32(wide, 20 + 8 * i, 0x80000000u | (16 + 8 * kWide + 16 * i));
    }
    cases.emplace_back("65535 empty version directories", image(wide));

    for (const auto& [what, bytes] : cases) {
        EXPECT_EQ(layer_file_version(bytes), "") << what;
        EXPECT_EQ(stream_file_version(bytes), "") << what;
    }

    // The streaming reader looks for the section table after the data
    // directory; the system's loader, after the optional header's size.
    Bytes huge_directory = good;
    put32(huge_directory, 0x98 + 108, 0xFFFFFFFFu);
    EXPECT_EQ(stream_file_version(huge_directory), "");
    EXPECT_EQ(layer_file_version(huge_directory), "7.6.00");
}

TEST(VersionResource, StreamMagicTexts) {
    EXPECT_EQ(stream({}).magic, "unknown magic");
    EXPECT_EQ(stream({'M', 'Z'}).magic, "MS DOS");
    EXPECT_EQ(stream({'P', 'K', 3, 4}).magic, "JAR or ZIP archive");
    Bytes elf = {0x7F, 'E', 'L', 'F', 2, 1, 1};
    elf.resize(64);
    EXPECT_EQ(stream(elf).magic, "unknown magic");
    Bytes other_header = image(resource_tree(standard_block()));
    other_header[0x80] = 'Z';
    EXPECT_EQ(stream(other_header).magic, "unknown magic");
    EXPECT_FALSE(stream(other_header).block);
}

TEST(VersionQuery, KeysLengthsAndOrder) {
    const Bytes block = standard_block();
    const auto text = [](const Bytes& b, const char* query) {
        const auto value = lmx::version::query_text(b.data(), b.size(), query);
        return value ? lmx::version::narrow_text(b.data() + value->offset, value->length)
                     : std::string("(none)");
    };
    EXPECT_EQ(text(block, "\\StringFileInfo\\040904E4\\Build"), "035") << "not BuildNumber";
    EXPECT_EQ(text(block, "\\StringFileInfo\\040904E4\\Buil"), "(none)") << "no prefix match";
    EXPECT_EQ(text(block, "\\StringFileInfo\\040904e4\\Build"), "(none)")
        << "queries carry capital digits";
    EXPECT_EQ(text(block, "\\StringFileInfo\\040904E4\\build"), "(none)")
        << "names keep their case";

    Bytes shorter = block;
    put16(shorter, 0, static_cast<std::uint32_t>(block.size() - 4));
    EXPECT_EQ(text(shorter, "\\StringFileInfo\\040904E4\\Build"), "(none)") << "root length";

    const Bytes unknown_first = version_block(
        {Node{"Other", "", {}, {}}, strings("040904E4", {Node{"Build", "1", {}, {}}})});
    EXPECT_EQ(text(unknown_first, "\\StringFileInfo\\040904E4\\Build"), "(none)");

    // A value that claims more characters than its node holds is cut at
    // the node's end.
    Bytes lying = version_block({strings("040904E4", {Node{"Build", "12", {}, {}}})});
    const std::uint8_t key[] = {'B', 0, 'u', 0, 'i', 0, 'l', 0, 'd', 0};
    const std::size_t build =
        std::search(lying.begin(), lying.end(), std::begin(key), std::end(key)) - lying.begin() - 6;
    put16(lying, build + 2, 0xFFFF);
    EXPECT_EQ(text(lying, "\\StringFileInfo\\040904E4\\Build"), "12");
}

TEST(BuildVersion, LinesAndNumbers) {
    using lmx::build::build_line;
    EXPECT_EQ(build_line("7.6.00", std::string("035")), "Rel. 7.6.00    Build 035");
    EXPECT_FALSE(build_line("7.6.00", std::nullopt));
    EXPECT_EQ(build_line("30123", std::nullopt), "QPM 3.0A    Build 123");
    EXPECT_EQ(build_line("41007", std::nullopt), "QPM 4.10    Build 7");
    EXPECT_EQ(build_line("30", std::nullopt), "QPM 3.0A    Build 0");
    EXPECT_FALSE(build_line("1, 0, 0, 1", std::nullopt)) << "no digits, no QPM line";
    const auto numbers = lmx::build::build_numbers("7.6", std::string("12x"));
    ASSERT_TRUE(numbers);
    EXPECT_EQ(numbers->major, 7);
    EXPECT_EQ(numbers->minor, 6);
    EXPECT_EQ(numbers->patch, 0);
    EXPECT_EQ(numbers->build, 12);
    EXPECT_EQ(lmx::build::build_numbers("1.2.3", std::string("99999999999"))->build, 2147483647);
    EXPECT_FALSE(lmx::build::build_numbers("1, 0, 0, 1", std::nullopt));
}

}  // namespace
