// Header decoding as GNU tar does it: numbers (octal and base-256), the
// checksum, names with the ustar prefix, and pax records.
#include <gtest/gtest.h>

#include <cstring>

#include "runtime/archive/pax_header.h"
#include "runtime/archive/tar_header.h"

using namespace lmx::tar;

namespace {

struct Block {
    unsigned char bytes[kBlockSize] = {};
    Block() { std::memcpy(bytes + kMagicOffset, "ustar\0" "00", 8); }
    Block& put(size_t offset, const void* data, size_t length) {
        std::memcpy(bytes + offset, data, length);
        return *this;
    }
    Block& size(const char* field) { return put(kSizeOffset, field, std::strlen(field)); }
    Block& with_checksum() {
        std::memset(bytes + kChecksumOffset, ' ', kChecksumLength);
        unsigned sum = 0;
        for (unsigned char c : bytes) sum += c;
        std::snprintf(reinterpret_cast<char*>(bytes + kChecksumOffset), 8, "%06o", sum);
        return *this;
    }
    std::optional<std::int64_t> size_value() const {
        return number_field(bytes, kSizeOffset, kSizeLength);
    }
};

}  // namespace

TEST(TarHeader, OctalNumbers) {
    EXPECT_EQ(Block().size("00000001750").size_value(), 01750);
    EXPECT_EQ(Block().size("   17 0").size_value(), 0170);  // spaces are skipped
    EXPECT_EQ(Block().size("12\0" "7").size_value(), 012);  // a zero byte ends it
    EXPECT_EQ(Block().size("777777777777").size_value(), 0777777777777);  // 12 digits at most
    EXPECT_EQ(Block().size("            ").size_value(), 0);
    EXPECT_EQ(Block().size("").size_value(), 0);
    for (const char* bad : {"18", "99", "!!!!!!!!!!!!", "12a", "-1", "+7"})
        EXPECT_EQ(Block().size(bad).size_value(), std::nullopt) << bad;
}

TEST(TarHeader, Base256Numbers) {
    const unsigned char six_hundred[12] = {0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x02, 0x58};
    EXPECT_EQ(Block().put(kSizeOffset, six_hundred, 12).size_value(), 600);
    const unsigned char eight_gib[12] = {0x80, 0, 0, 0, 0, 0, 0, 0x02, 0, 0, 0, 0};
    EXPECT_EQ(Block().put(kSizeOffset, eight_gib, 12).size_value(), 8LL << 30);
    unsigned char minus_one[12];
    std::memset(minus_one, 0xFF, 12);
    EXPECT_EQ(Block().put(kSizeOffset, minus_one, 12).size_value(), -1);
    const unsigned char too_large[12] = {0x80, 0, 0, 0x80, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(Block().put(kSizeOffset, too_large, 12).size_value(), std::nullopt);
    const unsigned char other_high_byte[12] = {0x81, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    EXPECT_EQ(Block().put(kSizeOffset, other_high_byte, 12).size_value(), std::nullopt);
}

TEST(TarHeader, ChecksumsAsUnsignedOrSignedSums) {
    Block b;
    b.put(0, "flip.txt", 8).size("00000000005");
    b.with_checksum();
    EXPECT_TRUE(checksum_matches(b.bytes));
    HeaderNumbers n;
    EXPECT_EQ(check_header(b.bytes, n), HeaderFault::kNone);
    EXPECT_EQ(n.size, 5);
    b.bytes[0] ^= 0x20;  // "Flip.txt"
    EXPECT_FALSE(checksum_matches(b.bytes));
    EXPECT_EQ(check_header(b.bytes, n), HeaderFault::kBadChecksum);
    std::memset(b.bytes + kChecksumOffset, 0, kChecksumLength);
    EXPECT_FALSE(checksum_matches(b.bytes));

    // A byte above 127 counts 256 less in the signed sum of old writers.
    Block high;
    high.put(0, "\xe9t\xe9", 3);
    high.with_checksum();
    EXPECT_TRUE(checksum_matches(high.bytes));
    unsigned sum = 0;
    for (size_t i = 0; i < kBlockSize; ++i)
        sum += (i >= kChecksumOffset && i < kChecksumOffset + 8) ? ' ' : high.bytes[i];
    std::snprintf(reinterpret_cast<char*>(high.bytes + kChecksumOffset), 8, "%06o", sum - 512);
    EXPECT_TRUE(checksum_matches(high.bytes));
}

TEST(TarHeader, FaultsOfHeaders) {
    HeaderNumbers n;
    Block not_tar;
    std::memset(not_tar.bytes + kMagicOffset, 'x', 5);
    EXPECT_EQ(check_header(not_tar.with_checksum().bytes, n), HeaderFault::kNotTar);
    EXPECT_EQ(check_header(Block().size("99").with_checksum().bytes, n), HeaderFault::kBadNumber);
    unsigned char minus_one[12];
    std::memset(minus_one, 0xFF, 12);
    EXPECT_EQ(check_header(Block().put(kSizeOffset, minus_one, 12).with_checksum().bytes, n),
              HeaderFault::kBadNumber);
    EXPECT_EQ(check_header(Block().put(kMtimeOffset, minus_one, 12).with_checksum().bytes, n),
              HeaderFault::kNone);  // a time before 1970
    EXPECT_EQ(n.mtime, -1);
    EXPECT_STREQ(fault_text(HeaderFault::kBadChecksum), "bad header checksum");
}

TEST(TarHeader, NamesWithTheUstarPrefix) {
    Block b;
    std::memset(b.bytes, 'n', kNameSize);
    b.bytes[kNameSize] = 'X';  // the mode field, not part of the name
    EXPECT_EQ(member_name(b.bytes), std::string(100, 'n'));
    EXPECT_EQ(full_name(b.bytes), std::string(100, 'n'));
    b.put(kPrefixOffset, "some/dir", 8);
    EXPECT_EQ(full_name(b.bytes), "some/dir/" + std::string(100, 'n'));
    std::memset(b.bytes + kPrefixOffset, 'p', kPrefixLength);  // no zero byte: all 155
    EXPECT_EQ(full_name(b.bytes).size(), 155u + 1 + 100);
    b.put(kMagicOffset, "ustar  \0", 8);  // GNU's magic: that area holds other fields
    EXPECT_EQ(full_name(b.bytes), std::string(100, 'n'));
    b.bytes[3] = '\0';
    EXPECT_EQ(member_name(b.bytes), "nnn");
    EXPECT_TRUE(is_regular_file(b.bytes));
    b.bytes[kTypeOffset] = '5';
    EXPECT_FALSE(is_regular_file(b.bytes));
}

TEST(PaxRecords, PathSizeLinkAndTime) {
    PaxRecords r;
    const std::string data = "30 mtime=1262401445.123456789\n"
                             "18 path=long/name\n"
                             "12 size=600\n"
                             "16 linkpath=tgt\n"
                             "19 comment=ignored\n";
    EXPECT_TRUE(parse_pax_records(data, r));
    EXPECT_EQ(r.path, "long/name");
    EXPECT_EQ(r.size, 600);
    EXPECT_EQ(r.linkpath, "tgt");
    EXPECT_EQ(r.mtime, 1262401445);
    EXPECT_TRUE(parse_pax_records("8 path=\n" "14 mtime=-1.5\n", r));
    EXPECT_EQ(r.path, std::nullopt);  // an empty value removes the record
    EXPECT_EQ(r.mtime, -2);           // rounded down
}

TEST(PaxRecords, MalformedRecordsStopTheReading) {
    for (const char* bad : {"30 path=ignored/by/the/walk\n", "8 path=a", "x path=a\n",
                            "10 pathabc\n", "14 size=12a34\n", "9 =value\n",
                            "99999999999999999999999 path=a\n", "13 size=-600\n"}) {
        PaxRecords r;
        EXPECT_FALSE(parse_pax_records(bad, r)) << bad;
        EXPECT_EQ(r.path, std::nullopt) << bad;
        EXPECT_EQ(r.size, std::nullopt) << bad;
    }
    PaxRecords r;
    EXPECT_FALSE(parse_pax_records("10 path=a\n" "5 bad", r));
    EXPECT_EQ(r.path, "a");  // the records before the bad one stay
    EXPECT_FALSE(parse_pax_records(std::string("12 path=a\0b\n", 12), r));
}
