// The shortcut format: what the encoder writes, what the decoder takes, and
// that malformed data is refused without reading past its end.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/shell_link.h"

using platform::decode_shell_link;
using platform::encode_shell_link;
using platform::ShellLink;

namespace {

DWORD u32_at(const std::vector<BYTE>& data, size_t at) {
    return data[at] | (data[at + 1] << 8) | (data[at + 2] << 16) |
           (static_cast<DWORD>(data[at + 3]) << 24);
}

ShellLink full_link() {
    ShellLink link;
    link.flags = platform::SLDF_RUNAS_USER;
    link.file_attributes = 0x20;
    link.creation_time = 0x01D0000000000001ull;
    link.write_time = 0x01D0000000000002ull;
    link.file_size = 1234;
    link.icon_index = -3;
    link.target = "C:\\Program Files\\App\\app.exe";
    link.drive_type = 3;
    link.drive_serial = 0xFE00;
    link.description = "A description, größer";
    link.working_directory = "C:\\work";
    link.arguments = "--flag \"x y\"";
    link.icon_location = "C:\\icons\\app.ico";
    return link;
}

}  // namespace

TEST(ShellLink, RoundTripKeepsEveryPart) {
    const ShellLink link = full_link();
    const std::vector<BYTE> data = encode_shell_link(link);
    ASSERT_GE(data.size(), 0x4Cu);
    EXPECT_EQ(u32_at(data, 0), 0x4Cu);
    const DWORD flags = u32_at(data, 20);
    // link info, name, working dir, arguments, icon, Unicode, run as user
    EXPECT_EQ(flags, 0x2u | 0x4u | 0x10u | 0x20u | 0x40u | 0x80u | 0x2000u);
    EXPECT_EQ(u32_at(data, data.size() - 4), 0u) << "terminal block";

    ShellLink read;
    ASSERT_TRUE(decode_shell_link(data.data(), data.size(), read));
    EXPECT_EQ(read.flags, flags);
    EXPECT_EQ(read.target, link.target);
    EXPECT_EQ(read.description, link.description);
    EXPECT_EQ(read.working_directory, link.working_directory);
    EXPECT_EQ(read.arguments, link.arguments);
    EXPECT_EQ(read.icon_location, link.icon_location);
    EXPECT_FALSE(read.relative_path.has_value());
    EXPECT_EQ(read.icon_index, -3);
    EXPECT_EQ(read.file_size, 1234u);
    EXPECT_EQ(read.creation_time, link.creation_time);
    EXPECT_EQ(read.write_time, link.write_time);
    EXPECT_EQ(read.drive_type, 3u);
    EXPECT_EQ(read.drive_serial, 0xFE00u);

    // What was read encodes to the same bytes.
    EXPECT_EQ(encode_shell_link(read), data);
}

TEST(ShellLink, NetworkTargetsAndMinimalLinks) {
    ShellLink link;
    link.target = "\\\\server\\share\\dir\\file.txt";
    ShellLink read;
    std::vector<BYTE> data = encode_shell_link(link);
    ASSERT_TRUE(decode_shell_link(data.data(), data.size(), read));
    EXPECT_EQ(read.target, link.target);

    link.target = "\\\\server\\share";
    data = encode_shell_link(link);
    ASSERT_TRUE(decode_shell_link(data.data(), data.size(), read));
    EXPECT_EQ(read.target, link.target);

    // Nothing but a header and the terminal block.
    link = ShellLink{};
    data = encode_shell_link(link);
    EXPECT_EQ(data.size(), 0x4Cu + 4);
    ASSERT_TRUE(decode_shell_link(data.data(), data.size(), read));
    EXPECT_EQ(read.target, "");
    EXPECT_FALSE(read.description.has_value());
}

TEST(ShellLink, ReadsItemListsAnsiStringsAndSkipsExtraData) {
    // A header with an item-id list, link information without UTF-16
    // offsets and ANSI string data, as older writers make them.
    std::vector<BYTE> data(0x4C, 0);
    data[0] = 0x4C;
    const BYTE clsid[16] = {0x01, 0x14, 0x02, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
    std::memcpy(&data[4], clsid, 16);
    data[20] = 0x1 | 0x2 | 0x4;  // id list, link info, name; not Unicode
    auto put32 = [&data](DWORD v) {
        for (int i = 0; i < 4; ++i) data.push_back(static_cast<BYTE>(v >> (8 * i)));
    };
    data.insert(data.end(), {6, 0, 4, 0, 0xAA, 0xBB, 0, 0});  // one item and the terminal id
    const std::string base = "D:\\old\\tool.exe";
    const DWORD volume_size = 0x11;
    const DWORD info_size = 0x1C + volume_size + static_cast<DWORD>(base.size()) + 1 + 1;
    put32(info_size);
    put32(0x1C);
    put32(1);
    put32(0x1C);                      // volume id
    put32(0x1C + volume_size);        // local base path
    put32(0);
    put32(info_size - 1);             // common path suffix: ""
    put32(volume_size);
    put32(2);
    put32(0x1234);
    put32(0x10);
    data.push_back(0);
    data.insert(data.end(), base.begin(), base.end());
    data.push_back(0);
    data.push_back(0);
    data.insert(data.end(), {3, 0, 'a', 'b', 'c'});
    put32(12);  // an extra data block to skip
    put32(0xA0000003);
    put32(0);
    put32(0);
    ShellLink read;
    ASSERT_TRUE(decode_shell_link(data.data(), data.size(), read));
    EXPECT_EQ(read.target, base);
    EXPECT_EQ(read.description, std::string("abc"));
    EXPECT_EQ(read.drive_type, 2u);
    EXPECT_EQ(read.drive_serial, 0x1234u);
}

TEST(ShellLink, RefusesOtherFilesAndEveryTruncation) {
    const std::string text = "just a text file, not a shortcut\n";
    ShellLink read;
    EXPECT_FALSE(decode_shell_link(reinterpret_cast<const BYTE*>(text.data()), text.size(), read));
    EXPECT_FALSE(decode_shell_link(nullptr, 0, read));

    const std::vector<BYTE> data = encode_shell_link(full_link());
    std::vector<BYTE> wrong_class = data;
    wrong_class[10] ^= 1;
    EXPECT_FALSE(decode_shell_link(wrong_class.data(), wrong_class.size(), read));
    // Every cut before the string data ends is refused; a cut within the
    // extra data (here only the terminal block) is not needed to read.
    for (size_t n = 0; n + 4 < data.size(); ++n) {
        const std::vector<BYTE> cut(data.begin(), data.begin() + static_cast<long>(n));
        EXPECT_FALSE(decode_shell_link(cut.data(), cut.size(), read)) << "length " << n;
    }
}

TEST(ShellLink, CorruptDataNeverReadsPastItsEnd) {
    // Run under the address sanitizer, an overrun would end the test.
    const std::vector<BYTE> good = encode_shell_link(full_link());
    std::mt19937 random(1234);
    for (int round = 0; round < 20000; ++round) {
        std::vector<BYTE> data = good;
        const int changes = 1 + static_cast<int>(random() % 4);
        for (int i = 0; i < changes; ++i) {
            const size_t at = 20 + random() % (data.size() - 20);
            data[at] = static_cast<BYTE>(random() % 3 == 0 ? 0xFF : random());
        }
        data.resize(data.size() - random() % 8);
        std::vector<BYTE> exact(data);  // an allocation of exactly this size
        ShellLink read;
        decode_shell_link(exact.data(), exact.size(), read);
    }
}

TEST(ShellLink, StringsAreCutToTheFormatsLimit) {
    ShellLink link;
    link.target = "/t";
    link.arguments = std::string(70000, 'a');
    link.description = std::string(65534, 'b') + "\xF0\x9F\x98\x80";  // ends in a surrogate pair
    const std::vector<BYTE> data = encode_shell_link(link);
    ShellLink read;
    ASSERT_TRUE(decode_shell_link(data.data(), data.size(), read));
    EXPECT_EQ(read.arguments->size(), 65535u);
    EXPECT_EQ(*read.description, std::string(65534, 'b')) << "no half of the pair is kept";
}
