// The pure rules of the Untgz extractor: the listing, the derived modes,
// names that leave the destination, kilobyte rounding and block spans.
#include <gtest/gtest.h>

#include <cstring>

#include "runtime/archive/extract_rules.h"
#include "runtime/archive/tar_header.h"
#include "runtime/archive/untgz_listing.h"
#include "runtime/archive/untgz_state.h"

using namespace lmx::untgz;

TEST(UntgzListing, LineOfTheSetUserIdExample) {
    EXPECT_EQ(listing_line('0', 04755, 1234, LocalTime{2010, 1, 2, 3, 4, 5}, "name"),
              "-rwsr-xr-x         1234 2010-01-02 03:04:05 name");
    // Sizes beyond 32 bits are shown whole.
    EXPECT_EQ(listing_line('0', 0644, 5000000000LL, LocalTime{2024, 12, 31, 23, 59, 59}, "big"),
              "-rw-r--r--   5000000000 2024-12-31 23:59:59 big");
}

TEST(UntgzListing, ModeStrings) {
    EXPECT_EQ(mode_string('5', 0755), "drwxr-xr-x");
    EXPECT_EQ(mode_string('2', 0777), "lrwxrwxrwx");
    EXPECT_EQ(mode_string('3', 0620), "crw--w----");
    EXPECT_EQ(mode_string('4', 0660), "brw-rw----");
    EXPECT_EQ(mode_string('6', 0644), "-rw-r--r--");
    EXPECT_EQ(mode_string('0', 06000), "---s--s---");  // set-id without execute still shows s
    EXPECT_EQ(mode_string('0', 01777), "-rwxrwxrwx");  // no sticky bit shown
    EXPECT_EQ(mode_string('0', 0100644), "-rw-r--r--");  // bits above 07777 are ignored
}

TEST(UntgzListing, ListContextModeCarriesTheTypeBits) {
    EXPECT_EQ(mode_with_type('5', 0755), 040755);
    EXPECT_EQ(mode_with_type('\0', 0644), 0100644);
    EXPECT_EQ(mode_with_type('0', 0644), 0100644);
    EXPECT_EQ(mode_with_type('3', 0600), 020600);
    EXPECT_EQ(mode_with_type('2', 0777), 0777);
    EXPECT_EQ(mode_with_type('4', 0600), 0600);
}

TEST(ExtractRules, DirectoryModeAddsExecuteWhereReadOrWrite) {
    EXPECT_EQ(directory_mode(0640), 0750);
    EXPECT_EQ(directory_mode(0644), 0755);
    EXPECT_EQ(directory_mode(0600), 0700);
    EXPECT_EQ(directory_mode(0200), 0300);
    EXPECT_EQ(directory_mode(0004), 0005);
    EXPECT_EQ(directory_mode(0000), 0000);
    EXPECT_EQ(directory_mode(04640), 0750);  // set-id bits do not reach directories
}

TEST(ExtractRules, NamesThatLeaveTheDestination) {
    for (const char* name : {"..", "../x", "a/../../x", "a/..", "..\\x", "a\\..\\b", "/../x"})
        EXPECT_TRUE(leaves_destination(name)) << name;
    for (const char* name : {"a/b", "..a", "a..", "a/...", "a/..b/c", "", "/abs/path", "./x"})
        EXPECT_FALSE(leaves_destination(name)) << name;
}

TEST(ExtractRules, KilobytesRoundUp) {
    EXPECT_EQ(kilobytes(0), 0u);
    EXPECT_EQ(kilobytes(1), 1u);
    EXPECT_EQ(kilobytes(1024), 1u);
    EXPECT_EQ(kilobytes(1025), 2u);
    EXPECT_EQ(kilobytes(10), 1u);
    EXPECT_EQ(kilobytes(5ull << 30), 5ull << 20);
}

TEST(ExtractRules, Drives) {
    EXPECT_TRUE(is_drive("C:"));
    EXPECT_TRUE(is_drive("z:"));
    EXPECT_FALSE(is_drive("1:"));
    EXPECT_FALSE(is_drive("C:/"));
    EXPECT_TRUE(is_drive_root("C:/"));
    EXPECT_TRUE(is_drive_root("d:\\"));
    EXPECT_FALSE(is_drive_root("C:"));
    EXPECT_FALSE(is_drive_root("C:/x"));
}

TEST(UntgzState, BlockSpansSaturateInsteadOfWrapping) {
    EXPECT_EQ(block_span(0), 0u);
    EXPECT_EQ(block_span(1), 512u);
    EXPECT_EQ(block_span(512), 512u);
    EXPECT_EQ(block_span(513), 1024u);
    EXPECT_EQ(block_span(~0ull), ~0ull / 512 * 512);
    EXPECT_EQ(block_span(~0ull - 600) % 512, 0u);
}

TEST(TarHeader, ModeAndTimeFields) {
    unsigned char block[512] = {};
    std::memcpy(block + lmx::tar::kModeOffset, "0004755", 7);
    std::memcpy(block + lmx::tar::kMtimeOffset, "11317533645 ", 12);
    EXPECT_EQ(lmx::tar::octal_field(block, lmx::tar::kModeOffset, lmx::tar::kModeLength), 04755);
    EXPECT_EQ(lmx::tar::octal_field(block, lmx::tar::kMtimeOffset, lmx::tar::kMtimeLength),
              1262401445);
}
