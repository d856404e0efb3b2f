#include <gtest/gtest.h>

#include <cstring>

#include "runtime/archive/tar_header.h"

using namespace lmx::tar;

namespace {

struct Block {
    unsigned char bytes[kBlockSize] = {};
    Block& size(const char* field) {
        std::memcpy(bytes + kSizeOffset, field, std::strlen(field));
        return *this;
    }
};

}  // namespace

TEST(TarHeader, SizeFieldRules) {
    EXPECT_EQ(member_size(Block().size("00000001750").bytes), 01750);
    EXPECT_EQ(member_size(Block().size("   17 0").bytes), 0170);   // spaces are skipped
    EXPECT_EQ(member_size(Block().size("12\0" "7").bytes), 012);   // a zero byte ends it
    EXPECT_EQ(member_size(Block().size("777777777777").bytes), 0777777777777);  // 12 digits at most
    EXPECT_EQ(member_size(Block().bytes), 0);
    // No digit check: "8" adds 8, "!" subtracts.
    EXPECT_EQ(member_size(Block().size("18").bytes), 16);
    EXPECT_LT(member_size(Block().size("!!!!!!!!!!!!").bytes), 0);
}

TEST(TarHeader, NameAndType) {
    Block b;
    std::memset(b.bytes, 'n', kNameSize);
    b.bytes[kNameSize] = 'X';  // the mode field, not part of the name
    EXPECT_EQ(member_name(b.bytes), std::string(100, 'n'));
    b.bytes[3] = '\0';
    EXPECT_EQ(member_name(b.bytes), "nnn");
    EXPECT_TRUE(is_regular_file(b.bytes));
    b.bytes[kTypeOffset] = '0';
    EXPECT_TRUE(is_regular_file(b.bytes));
    b.bytes[kTypeOffset] = '5';
    EXPECT_FALSE(is_regular_file(b.bytes));
    EXPECT_FALSE(has_ustar_magic(b.bytes));
    std::memcpy(b.bytes + kMagicOffset, "ustar  ", 7);
    EXPECT_TRUE(has_ustar_magic(b.bytes));
}
