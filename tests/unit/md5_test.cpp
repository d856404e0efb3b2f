// The MD5 digest: the published test suite, and incremental hashing in any
// split giving the digest of the whole.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "runtime/system/md5.h"

namespace {

namespace md5 = lmx::md5;

std::string hex_of_parts(const std::vector<std::string>& parts) {
    md5::Context c;
    md5::init(c);
    for (const std::string& p : parts) md5::update(c, p.data(), p.size());
    unsigned char digest[md5::kDigestSize];
    char hex[md5::kHexSize];
    md5::finish(c, digest);
    md5::to_hex(digest, hex);
    return std::string(hex, sizeof hex);
}

std::string hex_of(const std::string& data) { return hex_of_parts({data}); }

}  // namespace

TEST(Md5, PublishedTestSuite) {
    EXPECT_EQ(hex_of(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(hex_of("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(hex_of("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(hex_of("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(hex_of("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(hex_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(hex_of("1234567890123456789012345678901234567890123456789012345678901234567890"
                     "1234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
    EXPECT_EQ(hex_of(std::string(1000000, 'a')), "7707d6ae4e027c70eea2a935c2296f21");
}

TEST(Md5, AnySplitOfTheInputGivesTheSameDigest) {
    std::mt19937 random(1321);
    for (size_t length : {0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 129, 1000, 4099}) {
        std::string data(length, '\0');
        for (char& c : data) c = static_cast<char>(random());
        const std::string whole = hex_of(data);
        for (int trial = 0; trial < 20; ++trial) {
            std::vector<std::string> parts;
            for (size_t at = 0; at < length;) {
                const size_t n = std::min<size_t>(length - at, random() % 130);
                parts.push_back(data.substr(at, n));  // empty parts included
                at += n;
            }
            EXPECT_EQ(hex_of_parts(parts), whole) << "length " << length;
        }
    }
}
