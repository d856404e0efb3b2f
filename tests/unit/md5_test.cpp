// The MD5 digest: incremental hashing in any split gives the digest of the
// whole (the published test suite runs at the Perl level, through MD5Str).
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "runtime/system/md5.h"

namespace {

std::string hex_of_parts(const std::vector<std::string>& parts) {
    lmx::md5::Context c;
    lmx::md5::init(c);
    for (const std::string& p : parts) lmx::md5::update(c, p.data(), p.size());
    unsigned char digest[lmx::md5::kDigestSize];
    char hex[lmx::md5::kHexSize];
    lmx::md5::finish(c, digest);
    lmx::md5::to_hex(digest, hex);
    return std::string(hex, sizeof hex);
}

}  // namespace

TEST(Md5, AnySplitOfTheInputGivesTheSameDigest) {
    EXPECT_EQ(hex_of_parts({std::string(1000000, 'a')}), "7707d6ae4e027c70eea2a935c2296f21");
    std::mt19937 random(1321);
    for (size_t length : {0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 128, 129, 1000, 4099}) {
        std::string data(length, '\0');
        for (char& c : data) c = static_cast<char>(random());
        const std::string whole = hex_of_parts({data});
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
