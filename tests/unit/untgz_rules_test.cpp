// The pure rules of the Untgz extractor that the Perl-level tests cannot
// reach easily: derived directory modes, names that leave the destination,
// block spans of hostile sizes, listings of sizes beyond 32 bits.
#include <gtest/gtest.h>

#include "runtime/archive/extract_rules.h"
#include "runtime/archive/untgz_listing.h"
#include "runtime/archive/untgz_state.h"

using namespace lmx::untgz;

TEST(UntgzListing, SizesBeyond32BitsAreShownWhole) {
    EXPECT_EQ(listing_line('0', 0644, 5000000000LL, LocalTime{2024, 12, 31, 23, 59, 59}, "big"),
              "-rw-r--r--   5000000000 2024-12-31 23:59:59 big");
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

TEST(ExtractRules, ImpliedDirectoriesStayWritableByTheirOwner) {
    EXPECT_EQ(implied_directory_mode(directory_mode(0640)), 0750);
    EXPECT_EQ(implied_directory_mode(directory_mode(0000)), 0777);
    EXPECT_EQ(implied_directory_mode(directory_mode(0444)), 0777);  // r-x: nothing below
    EXPECT_EQ(implied_directory_mode(0300), 0300);
}

TEST(ExtractRules, PathsWithinADirectory) {
    EXPECT_TRUE(lies_within("/d", "/d"));
    EXPECT_TRUE(lies_within("/d/x", "/d"));
    EXPECT_TRUE(lies_within("/anything", "/"));
    EXPECT_FALSE(lies_within("/dx", "/d"));
    EXPECT_FALSE(lies_within("/", "/d"));
    EXPECT_FALSE(lies_within("/elsewhere/file", "/d"));
}

TEST(ExtractRules, NamesThatLeaveTheDestination) {
    for (const char* name : {"..", "../x", "a/../../x", "a/..", "..\\x", "a\\..\\b", "/../x"})
        EXPECT_TRUE(leaves_destination(name)) << name;
    for (const char* name : {"a/b", "..a", "a..", "a/...", "a/..b/c", "", "/abs/path", "./x"})
        EXPECT_FALSE(leaves_destination(name)) << name;
}

TEST(ExtractRules, OutputPathsAndTheirParents) {
    EXPECT_EQ(output_path(std::nullopt, "a/b"), "a/b");
    EXPECT_EQ(output_path("C:/inst", "bin/tool.exe"), "C:/inst/bin/tool.exe");
    EXPECT_EQ(output_path("/", "x"), "/x");  // never "//x", which would name a share
    EXPECT_EQ(output_path("d\\", "x"), "d\\x");
    std::string parent;
    ASSERT_TRUE(parent_directory("C:/inst/bin/tool.exe", parent));
    EXPECT_EQ(parent, "C:/inst/bin");
    ASSERT_TRUE(parent_directory("/x", parent));
    EXPECT_EQ(parent, "/");
    ASSERT_TRUE(parent_directory("a\\b", parent));
    EXPECT_EQ(parent, "a");
    ASSERT_TRUE(parent_directory("a\\b/c", parent));
    EXPECT_EQ(parent, "a\\b");
    ASSERT_TRUE(parent_directory("d/win\\sub\\file.txt", parent));  // the last of either kind
    EXPECT_EQ(parent, "d/win\\sub");
    EXPECT_FALSE(parent_directory("plain", parent));
}

TEST(UntgzState, BlockSpansSaturateInsteadOfWrapping) {
    EXPECT_EQ(block_span(0), 0u);
    EXPECT_EQ(block_span(1), 512u);
    EXPECT_EQ(block_span(512), 512u);
    EXPECT_EQ(block_span(513), 1024u);
    EXPECT_EQ(block_span(~0ull), ~0ull / 512 * 512);
    EXPECT_EQ(block_span(~0ull - 600) % 512, 0u);
}
