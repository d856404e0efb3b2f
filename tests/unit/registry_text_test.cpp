// Pure parts of the registry: name folding and paths, the registry
// module's value conversions, environment expansion, and lmxreg's text
// forms (registry files and data for people).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/environment_strings.h"
#include "platform/registry_names.h"
#include "runtime/win32/registry_values.h"
#include "tools/lmxreg/reg_text.h"

namespace {

using namespace platform::registry;
namespace values = lmx::registry_values;

std::string utf16(const std::string& ascii) {
    std::string out;
    for (char c : ascii) out += std::string{c, '\0'};
    return out;
}

std::vector<lmxreg::RegEntry> parse_ok(const std::string& bytes) {
    std::vector<lmxreg::RegEntry> entries;
    std::string error;
    EXPECT_TRUE(lmxreg::parse_reg_file(bytes, entries, error)) << error;
    return entries;
}

std::string parse_error(const std::string& bytes) {
    std::vector<lmxreg::RegEntry> entries;
    std::string error;
    EXPECT_FALSE(lmxreg::parse_reg_file(bytes, entries, error));
    return error;
}

}  // namespace

TEST(RegistryNames, FoldingAndLengths) {
    EXPECT_EQ(fold("Software\\Ab"), "SOFTWARE\\AB");
    EXPECT_EQ(fold("ärger-Ωmega"), "ÄRGER-ΩMEGA");
    EXPECT_EQ(fold("stra\xC3\x9F" "e"), "STRA\xC3\x9F" "E");  // no single upper case letter
    EXPECT_EQ(fold("a\xFF\xC3"), "A\xFF\xC3");  // bytes that are no UTF-8 stay
    EXPECT_EQ(fold("\xF0\x9F\x98\x80x"), "\xF0\x9F\x98\x80X");
    EXPECT_EQ(utf16_length("abc"), 3u);
    EXPECT_EQ(utf16_length("é"), 1u);
    EXPECT_EQ(utf16_length("\xF0\x9F\x98\x80"), 2u);
    EXPECT_EQ(utf16_length("\xFF\xFE"), 2u);
}

TEST(RegistryNames, SplittingPaths) {
    std::vector<std::string_view> parts;
    EXPECT_EQ(split_path("a\\b\\c\\", parts), ERROR_SUCCESS);
    EXPECT_EQ(parts, (std::vector<std::string_view>{"a", "b", "c"}));
    EXPECT_EQ(split_path(nullptr, parts), ERROR_SUCCESS);
    EXPECT_TRUE(parts.empty());
    EXPECT_EQ(split_path("", parts), ERROR_SUCCESS);
    EXPECT_EQ(split_path("a/b", parts), ERROR_SUCCESS);
    EXPECT_EQ(parts.size(), 1u);  // "/" is an ordinary character of a key name
    EXPECT_EQ(split_path("\\a", parts), ERROR_BAD_PATHNAME);
    EXPECT_EQ(split_path("a\\\\b", parts), ERROR_BAD_PATHNAME);
    EXPECT_EQ(split_path("a\\\\", parts), ERROR_BAD_PATHNAME);
    EXPECT_EQ(split_path((std::string(255, 'x') + "\\y").c_str(), parts), ERROR_SUCCESS);
    EXPECT_EQ(split_path(std::string(256, 'x').c_str(), parts), ERROR_INVALID_PARAMETER);
}

TEST(RegistryValues, ReadingStoredData) {
    EXPECT_EQ(values::string_of(std::string("abc\0def", 7)), "abc");
    EXPECT_EQ(values::string_of("no terminator"), "no terminator");
    EXPECT_EQ(values::strings_of(std::string("a\0b\0c\0\0", 7)),
              (std::vector<std::string_view>{"a", "b", "c"}));
    EXPECT_EQ(values::strings_of(std::string("a\0\0b\0\0", 6)), std::vector<std::string_view>{"a"});
    EXPECT_EQ(values::strings_of(std::string("a\0b", 3)), (std::vector<std::string_view>{"a", "b"}));
    EXPECT_TRUE(values::strings_of(std::string(1, '\0')).empty());
    EXPECT_TRUE(values::strings_of("").empty());
    EXPECT_EQ(values::dword_of("\xFF\xFF\xFF\xFF"), 0xFFFFFFFFu);
    EXPECT_EQ(values::dword_of("\x01\x02"), 0x0201u);  // short data reads no further
    EXPECT_EQ(values::dword_of("\x01\x00\x00\x00\x05"), 1u);
    EXPECT_TRUE(values::readable(REG_MULTI_SZ));
    EXPECT_FALSE(values::readable(REG_QWORD));
    EXPECT_FALSE(values::readable(REG_NONE));
}

TEST(RegistryValues, WhatWritesStore) {
    EXPECT_EQ(values::multi_string({"a", "b"}), std::string("a\0b\0\0", 5));
    EXPECT_EQ(values::multi_string({}), std::string(1, '\0'));
    EXPECT_EQ(values::byte_count(REG_SZ, 5, 0), 6u);
    EXPECT_EQ(values::byte_count(REG_EXPAND_SZ, 0, 0), 1u);
    EXPECT_EQ(values::byte_count(REG_BINARY, 5, 0), 0u);
    EXPECT_EQ(values::byte_count(REG_BINARY, 5, 3), 3u);
    EXPECT_EQ(values::byte_count(REG_SZ, 5, 6), 6u);
    EXPECT_FALSE(values::byte_count(REG_SZ, 5, 7));
    EXPECT_FALSE(values::byte_count(REG_BINARY, 5, -1));
}

TEST(EnvironmentStrings, ReferencesAndTheirLimits) {
    ::setenv("LMX_UNIT_A", "alpha", 1);
    ::unsetenv("LMX_UNIT_NONE");
    EXPECT_EQ(platform::expand_environment("%LMX_UNIT_A%/%lmx_unit_a%"), "alpha/alpha");
    EXPECT_EQ(platform::expand_environment("%LMX_UNIT_NONE%%LMX_UNIT_A%"), "%LMX_UNIT_NONE%alpha");
    EXPECT_EQ(platform::expand_environment("100% and %"), "100% and %");
    EXPECT_EQ(platform::expand_environment("%%"), "%%");
    char small[4];
    EXPECT_EQ(ExpandEnvironmentStringsA("%LMX_UNIT_A%", small, sizeof small), 6u);
    char big[16];
    EXPECT_EQ(ExpandEnvironmentStringsA("%LMX_UNIT_A%", big, sizeof big), 6u);
    EXPECT_STREQ(big, "alpha");
    EXPECT_EQ(ExpandEnvironmentStringsA(nullptr, big, sizeof big), 0u);
}

TEST(RegText, KeyPathsTypesAndData) {
    lmxreg::KeyPath path;
    ASSERT_TRUE(lmxreg::parse_key_path("hklm\\Software\\X\\", path));
    EXPECT_EQ(path.root, HKEY_LOCAL_MACHINE);
    EXPECT_EQ(path.full(), "HKEY_LOCAL_MACHINE\\Software\\X");
    ASSERT_TRUE(lmxreg::parse_key_path("HKEY_USERS", path));
    EXPECT_EQ(path.subkey, "");
    EXPECT_FALSE(lmxreg::parse_key_path("HKLMX\\a", path));

    std::string data, error;
    EXPECT_TRUE(lmxreg::data_of_text(REG_MULTI_SZ, "a||b", "||", data, error));
    EXPECT_EQ(data, std::string("a\0b\0\0", 5));
    EXPECT_TRUE(lmxreg::data_of_text(REG_MULTI_SZ, "", "\\0", data, error));
    EXPECT_EQ(data, std::string(1, '\0'));
    EXPECT_TRUE(lmxreg::data_of_text(REG_DWORD, "0x10", "", data, error));
    EXPECT_EQ(data, std::string("\x10\0\0\0", 4));
    EXPECT_FALSE(lmxreg::data_of_text(REG_DWORD, "-1", "", data, error));
    EXPECT_FALSE(lmxreg::data_of_text(REG_DWORD, "12z", "", data, error));
    EXPECT_FALSE(lmxreg::data_of_text(REG_BINARY, "0g", "", data, error));
    EXPECT_EQ(lmxreg::show_data(REG_MULTI_SZ, std::string("a\0b\0\0", 5)), "a\\0b");
    EXPECT_EQ(lmxreg::show_data(REG_DWORD, std::string("\xFF\0\0\0", 4)), "0xff");
    EXPECT_EQ(lmxreg::show_data(REG_DWORD, std::string("\xFF\0", 2)), "FF00");
    EXPECT_EQ(lmxreg::type_name(0x1234), "0x1234");
    DWORD type = 0;
    EXPECT_TRUE(lmxreg::type_of_name("reg_qword", type));
    EXPECT_EQ(type, REG_QWORD);
}

TEST(RegText, ReadingRegistryFiles) {
    const std::string text =
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_CURRENT_USER\\Software\\A]\r\n"
        "@=\"d\\\\e\\\"f\"\r\n"
        "\"q\\\"n\"=hex(b):01,00,00,00,\\\r\n  00,00,00,00\r\n"
        "\"s\"=hex(1):41,00,00,00\r\n"
        "\"x\"=-\r\n"
        "[-HKEY_CURRENT_USER\\Software\\B]\r\n";
    const auto entries = parse_ok("\xFF\xFE" + utf16(text));
    ASSERT_EQ(entries.size(), 6u);
    EXPECT_EQ(entries[0].path, "HKEY_CURRENT_USER\\Software\\A");
    EXPECT_EQ(entries[1].name, "");
    EXPECT_EQ(entries[1].data, std::string("d\\e\"f\0", 6));
    EXPECT_EQ(entries[2].name, "q\"n");
    EXPECT_EQ(entries[2].type, REG_QWORD);
    EXPECT_EQ(entries[2].data, std::string("\1\0\0\0\0\0\0\0", 8));
    EXPECT_EQ(entries[3].data, std::string("A\0", 2));  // text types come back from UTF-16LE
    EXPECT_EQ(entries[4].kind, lmxreg::RegEntry::Kind::DeleteValue);
    EXPECT_EQ(entries[5].kind, lmxreg::RegEntry::Kind::DeleteKey);
    EXPECT_EQ(entries[5].line, 9u);

    EXPECT_EQ(parse_ok("REGEDIT4\n[HKLM\\X]\n\"a\"=hex(2):41,42,00\n")[1].data, std::string("AB\0", 3));
    EXPECT_EQ(parse_ok("REGEDIT4\n\n; only a comment\n").size(), 0u);
    EXPECT_EQ(parse_error("REGEDIT4\n[HKLM\\X]\n\"a\"=hex:01,\\"), "line 3: the hex list ends with \\ at the end of the file");
    EXPECT_EQ(parse_error("REGEDIT4\n[HKLM\\X]\n\"a\"=hex:01,,02\n"), "line 3: malformed hex data");
    EXPECT_EQ(parse_error("REGEDIT4\n[HKLM\\X]\n\"a\"=hex:01,\n"), "line 3: malformed hex data");
    EXPECT_EQ(parse_error("REGEDIT4\n[HKLM\\X]\n\"a=\"b\"\n"), "line 3: '=' expected after the value name");
    EXPECT_EQ(parse_error("REGEDIT4\n[HKLM\\X]\n\"a\"=\"b\n"), "line 3: malformed string data");
    EXPECT_EQ(parse_error("REGEDIT4\n[HKLM\\X]\n\"a\"=hex(zz):00\n"), "line 3: malformed hex type");
    EXPECT_EQ(parse_error("Windows Registry Editor Version 5.00\n[HKLM\\X]\n\"a\"=hex(7):41\n"),
              "line 3: UTF-16 text of an odd number of bytes");
    EXPECT_EQ(parse_error("REGEDIT4\n[HKLM\\X\n"), "line 2: malformed key line");
    EXPECT_EQ(parse_error("REGEDIT4\n[HKLM\\X]\n\"a" + std::string(1, '\0') + "b\"=\"c\"\n"),
              "line 3: a NUL character");
    EXPECT_EQ(parse_error("\xFE\xFF\0R"), "UTF-16 big-endian files are not read");
    EXPECT_NE(parse_error("").find("not a registry file"), std::string::npos);
}

TEST(RegText, WrittenFilesReadBack) {
    const std::vector<Value> written = {
        {"", REG_SZ, std::string("plain\0", 6)},
        {"with \"quote\"\\", REG_SZ, std::string("a\\\"b\0", 5)},
        {"unterminated", REG_SZ, "abc"},
        {"lines", REG_SZ, std::string("a\r\nb\0", 5)},
        {"dw", REG_DWORD, std::string("\x78\x56\x34\x12", 4)},
        {"short dw", REG_DWORD, "\x01"},
        {"bin", REG_BINARY, std::string(100, '\x5a')},
        {"empty", REG_BINARY, ""},
        {"multi", REG_MULTI_SZ, std::string("\xC3\xA9t\xC3\xA9\0x\0\0", 9)},
        {"other", 0x123, "zz"},
    };
    const std::string section = lmxreg::reg_key_section("HKEY_LOCAL_MACHINE\\S", written);
    EXPECT_NE(section.find("\"dw\"=dword:12345678\r\n"), std::string::npos);
    EXPECT_NE(section.find("\"other\"=hex(123):7a,7a\r\n"), std::string::npos);
    const auto entries = parse_ok(lmxreg::utf16le_file(lmxreg::reg_file_header() + section));
    ASSERT_EQ(entries.size(), written.size() + 1);
    for (std::size_t i = 0; i < written.size(); ++i) {
        EXPECT_EQ(entries[i + 1].name, written[i].name);
        EXPECT_EQ(entries[i + 1].type, written[i].type) << written[i].name;
        EXPECT_EQ(entries[i + 1].data, written[i].data) << written[i].name;
    }
    std::size_t start = 0;
    for (std::size_t end; (end = section.find("\r\n", start)) != std::string::npos; start = end + 2)
        EXPECT_LE(end - start, 80u) << "a line over 80 columns";
}
