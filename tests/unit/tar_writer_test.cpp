// The tar writer's blocks: numeric fields, names, checksums, the long-name
// records and the padding, checked against an independent reading of the
// format (the reader's own field functions and plain byte sums).
#include <gtest/gtest.h>

#include <numeric>
#include <string>

#include "runtime/archive/tar_header.h"
#include "runtime/archive/tar_writer.h"

using namespace lmx::tar;

namespace {

std::string field(const Block& b, size_t offset, size_t length) {
    return std::string(reinterpret_cast<const char*>(b.data()) + offset, length);
}

// The checksum that a reader computes: all bytes, the field as spaces.
unsigned reader_checksum(Block b) {
    std::fill(b.begin() + 148, b.begin() + 156, ' ');
    return std::accumulate(b.begin(), b.end(), 0u);
}

EntryHeader file_entry() {
    EntryHeader e;
    e.name = "in.txt";
    e.mode = 0644;
    e.uid = 1000;
    e.gid = 100;
    e.size = 1000;
    e.mtime = 1262401445;
    return e;
}

}  // namespace

TEST(TarWriter, OctalFieldsAndChecksum) {
    const Block b = header_block(file_entry());
    EXPECT_EQ(field(b, 100, 8), std::string("0000644\0", 8));
    EXPECT_EQ(field(b, 108, 8), std::string("0001750\0", 8));
    EXPECT_EQ(field(b, 116, 8), std::string("0000144\0", 8));
    EXPECT_EQ(field(b, 124, 12), std::string("00000001750\0", 12));
    EXPECT_EQ(number_field(b.data(), kMtimeOffset, kMtimeLength).value_or(-1), 1262401445);
    EXPECT_EQ(b[156], '0');
    EXPECT_EQ(field(b, 257, 8), std::string("ustar\0" "0\0", 8));
    EXPECT_EQ(field(b, 265, 4), std::string("tar\0", 4));
    EXPECT_EQ(field(b, 297, 4), std::string("tar\0", 4));
    EXPECT_EQ(b[155], '\0');
    EXPECT_EQ(static_cast<unsigned>(number_field(b.data(), 148, 8).value_or(-1)),
              reader_checksum(b));
    EXPECT_TRUE(has_ustar_magic(b.data()));
}

TEST(TarWriter, AbsentOwnerAndDeviceFieldsStayZero) {
    EntryHeader e;
    e.name = "link";
    e.typeflag = '2';
    e.linkname = "target";
    const Block b = header_block(e);
    EXPECT_EQ(field(b, 108, 16), std::string(16, '\0'));
    EXPECT_EQ(field(b, 329, 16), std::string(16, '\0'));
    EXPECT_EQ(field(b, 157, 7), std::string("target\0", 7));
    e.devmajor = 8;
    e.devminor = 1;
    const Block device = header_block(e);
    EXPECT_EQ(field(device, 329, 16), std::string("0000010\0" "0000001\0", 16));
}

TEST(TarWriter, NamesFillTheirFieldsWithoutTerminator) {
    EntryHeader e = file_entry();
    e.name = std::string(100, 'n') + "cut";
    e.linkname = std::string(100, 'l') + "cut";
    const Block b = header_block(e);
    EXPECT_EQ(field(b, 0, 100), std::string(100, 'n'));
    EXPECT_EQ(field(b, 100, 7), "0000644");  // the mode right after, untouched
    EXPECT_EQ(field(b, 157, 100), std::string(100, 'l'));
    EXPECT_EQ(member_name(b.data()), std::string(100, 'n'));
    EXPECT_EQ(entry_name("a\\b\\c/d"), "a/b/c/d");
}

TEST(TarWriter, ValuesBeyondTheirDigitsUseBase256) {
    EntryHeader e = file_entry();
    e.uid = 07777777;  // the largest that seven digits hold
    e.gid = 010000000;
    e.mtime = -1;
    const Block b = header_block(e);
    EXPECT_EQ(field(b, 108, 8), std::string("7777777\0", 8));
    EXPECT_EQ(field(b, 116, 8), std::string("\x80\0\0\0\0\x20\0\0", 8));
    EXPECT_EQ(field(b, 136, 12), std::string(12, '\xff'));
    EXPECT_EQ(static_cast<unsigned>(number_field(b.data(), 148, 8).value_or(-1)),
              reader_checksum(b));
    e.size = kMaxEntrySize;
    EXPECT_EQ(field(header_block(e), 124, 12), std::string("77777777777\0", 12));
}

TEST(TarWriter, LongNameRecords) {
    const std::string name(150, 'x');
    const std::string records = long_name_records(name);
    ASSERT_EQ(records.size(), 2 * kBlockSize);
    Block header;
    std::copy(records.begin(), records.begin() + kBlockSize, header.begin());
    EXPECT_EQ(field(header, 0, 14), std::string("././@LongLink\0", 14));
    EXPECT_EQ(field(header, 124, 12), std::string("00000000227\0", 12));
    EXPECT_EQ(field(header, 100, 24), std::string("0000000\0" "0000000\0" "0000000\0", 24));
    EXPECT_EQ(field(header, 136, 12), std::string("00000000000\0", 12));
    EXPECT_EQ(header[156], 'L');
    EXPECT_EQ(static_cast<unsigned>(number_field(header.data(), 148, 8).value_or(-1)), reader_checksum(header));
    EXPECT_EQ(records.substr(kBlockSize, 151), name + '\0');
    EXPECT_EQ(records.substr(kBlockSize + 151), std::string(kBlockSize - 151, '\0'));
    // The NUL counts: 511 characters fill one block, 512 need a second.
    EXPECT_EQ(long_name_records(std::string(511, 'y')).size(), 2 * kBlockSize);
    EXPECT_EQ(long_name_records(std::string(512, 'y')).size(), 3 * kBlockSize);
}

TEST(TarWriter, Padding) {
    EXPECT_EQ(padding_after(0), 0u);
    EXPECT_EQ(padding_after(1), 511u);
    EXPECT_EQ(padding_after(512), 0u);
    EXPECT_EQ(padding_after(1000), 24u);
}
