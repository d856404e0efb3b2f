// The dumper's text reader on any bytes, and the writer's string leaves
// read back: a leaf written from the input inside an array must read as
// one string whose unescaped bytes are the input.
#include <cstdint>
#include <string>
#include <vector>

#include "runtime/system/dump_text.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using namespace lmx;

// Reads `text`, checking that every token's range lies within it; returns
// the unescaped strings.
std::vector<std::string> read_strings(const std::string& text, bool& ok) {
    std::vector<dump::Token> tokens;
    std::string messages;
    ok = dump::read(text.data(), text.size(), tokens, messages);
    std::vector<std::string> strings;
    for (const dump::Token& t : tokens) {
        if (t.begin > t.end || t.end > text.size()) fuzz::broken("a token outside the text");
        if (t.kind != dump::TokenKind::String) continue;
        std::string value(t.end - t.begin, '\0');
        const size_t n = dump::unescape(text.data() + t.begin, value.size(), value.data());
        if (n > value.size()) fuzz::broken("unescape wrote past its length");
        value.resize(n);
        strings.push_back(std::move(value));
    }
    return strings;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    bool ok = false;
    read_strings(input, ok);
    if (dump::balanced_prefix_length(input.data(), input.size()) > input.size())
        fuzz::broken("a balanced prefix longer than the text");

    std::string text = "ARRAY(";
    dump::append_string(text, input.data(), input.size());
    text += ";;";
    dump::append_undef(text);
    text += ")";
    const std::vector<std::string> strings = read_strings(text, ok);
    if (!ok || strings.size() != 1 || strings[0] != input)
        fuzz::broken("a written string leaf does not read back as itself");
    return 0;
}
