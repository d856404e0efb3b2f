#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sfx/entry_name.h"
#include "sfx/zip_central.h"

namespace {

void put16(std::string& s, std::uint32_t v) {
    s.push_back(static_cast<char>(v & 0xFF));
    s.push_back(static_cast<char>((v >> 8) & 0xFF));
}
void put32(std::string& s, std::uint32_t v) {
    put16(s, v & 0xFFFF);
    put16(s, v >> 16);
}
void set32(std::string& s, std::size_t at, std::uint32_t v) {
    std::string bytes;
    put32(bytes, v);
    s.replace(at, 4, bytes);
}

std::string deflate_raw(const std::string& data) {
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, data.size()), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(&out[0]);
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// A zip archive after `prefix` bytes (offsets relative to the archive's
// own start, as a program in front of an archive has them), with the
// position of each central record kept for tests that damage one.
struct Archive {
    std::string bytes;
    std::vector<std::size_t> central;
    std::size_t end = 0;
};

struct Member {
    std::string name;
    std::string data;
    bool deflated;
};

Archive build(const std::vector<Member>& members, const std::string& prefix = "",
              const std::string& comment = "") {
    std::string body, directory;
    std::vector<std::size_t> records;
    for (const Member& m : members) {
        const std::string stored = m.deflated ? deflate_raw(m.data) : m.data;
        const auto crc = static_cast<std::uint32_t>(
            crc32(0, reinterpret_cast<const Bytef*>(m.data.data()), static_cast<uInt>(m.data.size())));
        const auto offset = static_cast<std::uint32_t>(body.size());
        std::string fields;  // version needed .. extra length, shared by both headers
        put16(fields, 20);
        put16(fields, 0);
        put16(fields, m.deflated ? 8 : 0);
        put32(fields, 0);
        put32(fields, crc);
        put32(fields, static_cast<std::uint32_t>(stored.size()));
        put32(fields, static_cast<std::uint32_t>(m.data.size()));
        put16(fields, static_cast<std::uint32_t>(m.name.size()));
        put16(fields, 0);
        put32(body, 0x04034b50);
        body += fields + m.name + stored;
        records.push_back(directory.size());
        put32(directory, 0x02014b50);
        put16(directory, 0x0314);
        directory += fields;
        put16(directory, 0);  // comment length
        put16(directory, 0);  // disk
        put16(directory, 0);  // internal attributes
        put32(directory, 0100644u << 16);
        put32(directory, offset);
        directory += m.name;
    }
    Archive a;
    a.bytes = prefix + body;
    for (std::size_t r : records) a.central.push_back(a.bytes.size() + r);
    const auto directory_offset = static_cast<std::uint32_t>(body.size());
    a.bytes += directory;
    a.end = a.bytes.size();
    put32(a.bytes, 0x06054b50);
    put16(a.bytes, 0);
    put16(a.bytes, 0);
    put16(a.bytes, static_cast<std::uint32_t>(members.size()));
    put16(a.bytes, static_cast<std::uint32_t>(members.size()));
    put32(a.bytes, static_cast<std::uint32_t>(directory.size()));
    put32(a.bytes, directory_offset);
    put16(a.bytes, static_cast<std::uint32_t>(comment.size()));
    a.bytes += comment;
    return a;
}

int status_of(const std::string& bytes) {
    zc_directory d;
    const int status =
        zc_read_directory(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), &d);
    zc_free_directory(&d);
    return status;
}

const std::vector<Member> kMembers = {{"kit/ryninst", std::string(5000, 'x') + "end", true},
                                      {"kit\\a.pm", "package a;\n1;\n", false},
                                      {"kit/", "", false}};

}  // namespace

TEST(ZipCentral, ReadsEntriesBehindAProgram) {
    const Archive a = build(kMembers, std::string(777, '\x7f'), "kit comment");
    const auto* data = reinterpret_cast<const unsigned char*>(a.bytes.data());
    zc_directory d;
    ASSERT_EQ(zc_read_directory(data, a.bytes.size(), &d), ZC_OK);
    ASSERT_EQ(d.count, 3u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(d.entries[0].name), d.entries[0].name_length),
              "kit/ryninst");
    EXPECT_EQ(d.entries[0].method, 8u);
    EXPECT_EQ(d.entries[0].uncompressed_size, 5003u);
    EXPECT_EQ(d.entries[0].made_by, 3u);
    EXPECT_EQ(d.entries[0].external_attributes, 0100644u << 16);
    EXPECT_EQ(d.entries[1].method, 0u);
    EXPECT_EQ(std::string(a.bytes, d.entries[1].data_offset, d.entries[1].compressed_size),
              "package a;\n1;\n");
    EXPECT_EQ(d.entries[1].crc, crc32(0, reinterpret_cast<const Bytef*>("package a;\n1;\n"), 14));
    zc_free_directory(&d);
    EXPECT_EQ(status_of(build({}).bytes), ZC_OK);  // an archive without entries
}

TEST(ZipCentral, NoArchive) {
    EXPECT_EQ(status_of(""), ZC_NO_ARCHIVE);
    EXPECT_EQ(status_of(std::string(100000, 'P')), ZC_NO_ARCHIVE);
    std::string with_trailer = build(kMembers).bytes + "x";  // the comment length no longer fits
    EXPECT_EQ(status_of(with_trailer), ZC_NO_ARCHIVE);
}

TEST(ZipCentral, HostileDirectories) {
    const Archive good = build(kMembers);
    Archive a = good;
    set32(a.bytes, a.end + 16, 0x7fffffff);  // central directory past the end
    EXPECT_EQ(status_of(a.bytes), ZC_DAMAGED);

    // Two records that name one local header: the entries overlap.
    Archive twins = build({{"same", "data", false}, {"same", "data", false}});
    set32(twins.bytes, twins.central[1] + 42, 0);
    EXPECT_EQ(status_of(twins.bytes), ZC_OVERLAP);

    a = good;  // a size that reaches into the central directory
    set32(a.bytes, a.central[1] + 20, 100000);
    EXPECT_EQ(status_of(a.bytes), ZC_DAMAGED);

    a = good;  // zip64 markers
    set32(a.bytes, a.central[0] + 24, 0xFFFFFFFFu);
    EXPECT_EQ(status_of(a.bytes), ZC_UNSUPPORTED);

    a = good;  // more entries than the directory holds
    a.bytes[a.end + 8] = a.bytes[a.end + 10] = 9;
    EXPECT_EQ(status_of(a.bytes), ZC_DAMAGED);

    a = good;  // a local name that differs from the central one
    a.bytes[30] = 'K';
    EXPECT_EQ(status_of(a.bytes), ZC_DAMAGED);

    a = good;  // encrypted
    a.bytes[a.central[0] + 8] = 1;
    EXPECT_EQ(status_of(a.bytes), ZC_UNSUPPORTED);
}

// Every truncation and every byte changed to a few values: never a read
// outside the bytes (the sanitizer build checks), never a success with an
// entry whose data lies outside them.
TEST(ZipCentral, TruncatedAndMutated) {
    const Archive good = build(kMembers, "MZ");
    for (std::size_t n = 0; n < good.bytes.size(); ++n)
        EXPECT_NE(status_of(good.bytes.substr(0, n)), ZC_OK) << n;
    for (std::size_t i = 0; i < good.bytes.size(); ++i) {
        for (unsigned value : {0x00u, 0x01u, 0x7fu, 0xffu}) {
            std::string bytes = good.bytes;
            bytes[i] = static_cast<char>(value);
            zc_directory d;
            const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
            if (zc_read_directory(data, bytes.size(), &d) != ZC_OK) continue;
            for (std::size_t e = 0; e < d.count; ++e) {
                EXPECT_LE(d.entries[e].data_offset + d.entries[e].compressed_size, bytes.size());
                EXPECT_GE(d.entries[e].name, data);
                EXPECT_LE(d.entries[e].name + d.entries[e].name_length, data + bytes.size());
            }
            zc_free_directory(&d);
        }
    }
}

namespace {

std::string path_of(const std::string& name, int* is_directory = nullptr, std::size_t size = 256) {
    std::vector<char> out(size);
    int directory = 0;
    if (sfx_entry_path(reinterpret_cast<const unsigned char*>(name.data()), name.size(), out.data(),
                       out.size(), &directory) != 0)
        return "<refused>";
    if (is_directory) *is_directory = directory;
    return out.data();
}

}  // namespace

TEST(SfxEntryName, RelativePathsOnly) {
    EXPECT_EQ(path_of("ryninst"), "ryninst");
    EXPECT_EQ(path_of("Getopt\\Long.pm"), "Getopt/Long.pm");
    EXPECT_EQ(path_of("a//./b"), "a/b");
    EXPECT_EQ(path_of("a..b/..c"), "a..b/..c");
    int directory = 0;
    EXPECT_EQ(path_of("kit\\sub\\", &directory), "kit/sub");
    EXPECT_EQ(directory, 1);
    for (const char* refused : {"", "/etc/passwd", "\\etc\\passwd", "C:\\x", "c:x", "..", "a/../b",
                                "a\\..\\..\\b", "a/..", "./", ".", "//"})
        EXPECT_EQ(path_of(refused), "<refused>") << refused;
    EXPECT_EQ(path_of(std::string("a\0b", 3)), "<refused>");
    EXPECT_EQ(path_of("abc/def", nullptr, 8), "abc/def");
    EXPECT_EQ(path_of("abc/defg", nullptr, 8), "<refused>");  // no room for the terminator
}
