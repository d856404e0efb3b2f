// docs/platform.md lists how host errno values map to Windows codes; the
// list and platform::error_from_errno must say the same.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>

#include "platform/errors.h"

namespace {

// The documented list: the paragraph after "error_from_errno`):" up to its
// "anything else" entry, without the notes in parentheses.
std::string documented_list() {
    std::ifstream in(LMX_SOURCE_DIR "/docs/platform.md");
    std::stringstream all;
    all << in.rdbuf();
    const std::string text = all.str();
    const size_t begin = text.find("error_from_errno`):");
    const size_t end = text.find("anything else", begin);
    if (begin == std::string::npos || end == std::string::npos) return "";
    const size_t stop = text.find('.', end);
    std::string list = text.substr(begin, stop - begin);
    return std::regex_replace(list, std::regex("\\([^)]*\\)"), "");
}

TEST(ErrnoTable, TheDocumentedListIsTheLayersMap) {
    const std::string list = documented_list();
    ASSERT_FALSE(list.empty()) << "the list is missing from docs/platform.md";
    std::map<std::string, int> value_of;
    for (int e = 1; e < 256; ++e)
        if (const char* name = strerrorname_np(e)) value_of[name] = e;

    std::smatch other;
    ASSERT_TRUE(std::regex_search(list, other, std::regex("anything else (\\d+)")));
    const DWORD fallback = static_cast<DWORD>(std::stoul(other[1]));
    EXPECT_EQ(platform::error_from_errno(EHWPOISON), fallback) << "the code of an unmapped errno";

    std::map<int, DWORD> documented;
    const std::regex entry("((?:E[A-Z0-9]+/)*E[A-Z0-9]+) (\\d+)");
    for (std::sregex_iterator it(list.begin(), list.end(), entry), end; it != end; ++it) {
        std::stringstream names((*it)[1]);
        for (std::string name; std::getline(names, name, '/');) {
            ASSERT_TRUE(value_of.count(name)) << name << " is no errno name of this host";
            documented[value_of[name]] = static_cast<DWORD>(std::stoul((*it)[2]));
        }
    }
    for (int e = 1; e < 256; ++e) {
        const char* name = strerrorname_np(e);
        if (name == nullptr) continue;
        const DWORD mapped = platform::error_from_errno(e);
        if (documented.count(e))
            EXPECT_EQ(mapped, documented[e]) << name;
        else
            EXPECT_EQ(mapped, fallback) << name << " is mapped but not documented";
    }
}

}  // namespace
