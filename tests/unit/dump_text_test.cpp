// The dump text reader against a plain recursive reading of the format (the
// reference below, word for word and only for small texts): the same values
// and the same messages for random, generated and mutated texts. And the
// bound on nesting, which costs nothing extra.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "runtime/system/dump_text.h"

namespace {

namespace dump = lmx::dump;
using dump::TokenKind;

const std::string Q = "\"\"";

std::string unescaped(const std::string& raw) {
    std::string out(raw.size(), '\0');
    out.resize(dump::unescape(raw.data(), raw.size(), &out[0]));
    return out;
}

std::string leaf(char kind, const std::string& bytes) {
    return kind + std::to_string(bytes.size()) + ":" + bytes;
}

// The reader's values as text: u, s<len>:<bytes>, k<len>:<key>, a( h( r( and ).
bool read(const std::string& text, std::string& values, std::string& messages) {
    std::vector<dump::Token> tokens;
    if (!dump::read(text.data(), text.size(), tokens, messages)) return false;
    for (const dump::Token& t : tokens) {
        const std::string bytes = text.substr(t.begin, t.end - t.begin);
        static const char* kText[] = {"u", "", "a(", "h(", "r(", "", ")"};
        values += t.kind == TokenKind::String ? leaf('s', unescaped(bytes))
                  : t.kind == TokenKind::Key  ? leaf('k', bytes)
                                              : kText[static_cast<int>(t.kind)];
    }
    return true;
}

bool counted(const std::string& s, size_t i) {
    return (s[i] == '(' || s[i] == ')') && (i == 0 || s[i - 1] != '\\');
}

bool reference_split(const std::string& inner, std::vector<std::string>& elements, std::string& messages) {
    std::string element;
    bool assembling = false;
    long opened = 0, closed = 0;
    for (size_t at = 0; at < inner.size();) {
        const size_t found = inner.find(";;", at);
        const size_t end = found == std::string::npos ? inner.size() : found;
        for (size_t i = at; i < end; ++i)
            if (counted(inner, i)) (inner[i] == '(' ? opened : closed) += 1;
        element = (assembling ? element + ";;" : "") + inner.substr(at, end - at);
        assembling = opened != closed;
        if (!assembling) {
            elements.push_back(element);
            opened = closed = 0;
        }
        if (found == std::string::npos) break;
        at = found + 2;
    }
    if (assembling)
        messages += ">>>> split error: " + std::to_string(opened) + " | " + std::to_string(closed) + "\n";
    return !assembling;
}

bool reference_read(const std::string& t, std::string& out, std::string& messages) {
    const size_t n = t.size();
    auto begins = [&](const std::string& p) { return t.compare(0, p.size(), p) == 0; };
    auto error = [&] {
        messages += "error: |" + t.substr(0, t.find('\0')) + "|\n";
        return false;
    };
    if (n > 4 && t[n - 1] == ')') {
        const bool array = begins("ARRAY("), hash = begins("HASH(");
        if (array || hash) {
            std::vector<std::string> elements;
            if (!reference_split(t.substr(array ? 6 : 5, n - (array ? 7 : 6)), elements, messages)) return false;
            out += array ? "a(" : "h(";
            for (const std::string& e : elements) {
                if (e.empty()) break;
                if (array) {
                    if (!reference_read(e, out, messages)) return false;
                    continue;
                }
                const size_t key_end = e.compare(0, 2, Q) == 0 ? e.find(Q, 2) : std::string::npos;
                if (key_end == std::string::npos) return false;
                size_t i = e.find_first_not_of(" \t", key_end + 2);
                if (i == std::string::npos || e.compare(i, 2, "=>") != 0) return false;
                i = std::min(e.size(), e.find_first_not_of(" \t", i + 2));
                out += leaf('k', e.substr(2, key_end - 2));
                if (!reference_read(e.substr(i), out, messages)) {
                    messages += ">>>> ERR NO VAL\n";
                    return false;
                }
            }
            out += ")";
            return true;
        }
        if (begins("REF(")) {
            out += "r(";
            if (!reference_read(t.substr(4, n - 5), out, messages)) return false;
            out += ")";
            return true;
        }
        if (!begins("SCALAR(") || n < 12) return error();
        if (t.compare(7, 2, Q) != 0 || t.compare(n - 3, 2, Q) != 0) return false;
        out += "r(" + leaf('s', unescaped(t.substr(9, n - 12))) + ")";
        return true;
    }
    if (t == "undef") {
        out += "u";
        return true;
    }
    if (n < 4 || !begins(Q) || t.compare(n - 2, 2, Q) != 0) return error();
    out += leaf('s', unescaped(t.substr(2, n - 4)));
    return true;
}

void expect_like_reference(const std::string& text) {
    std::string expected, expected_messages, got, got_messages;
    const bool expected_ok = reference_read(text, expected, expected_messages);
    ASSERT_EQ(read(text, got, got_messages), expected_ok) << text;
    if (expected_ok) {
        ASSERT_EQ(got, expected) << text;
    }
    ASSERT_EQ(got_messages, expected_messages) << text;
}

// A random dump text made with the writer's pieces. With `wild_keys`, keys
// hold parentheses, which the format cannot carry (they shift the balance
// that elements are split by).
void random_dump(std::mt19937& random, int depth, bool wild_keys, std::string& out) {
    static const char kBytes[] = "ab\"();\\ =>\t;\0";
    std::string s(random() % 6, '\0');
    for (char& c : s) c = kBytes[random() % (sizeof kBytes - 1)];
    switch (depth > 0 ? random() % 7 : random() % 3) {
        case 0: dump::append_undef(out); break;
        case 1: dump::append_integer(out, static_cast<std::int64_t>(random()) - (1ll << 40)); break;
        case 2: dump::append_string(out, s.data(), s.size()); break;
        case 3:
            out += "ARRAY(";
            for (int i = 0, count = random() % 4; i < count; ++i) {
                if (i > 0) out += ";;";
                random_dump(random, depth - 1, wild_keys, out);
            }
            out += ")";
            break;
        case 4: {
            out += "HASH(";
            static const char* kKeys[] = {"k", "", "a b", "\\", "=>", "k(", ")"};
            for (int i = 0, count = random() % 4; i < count; ++i) {
                const std::string key = kKeys[random() % (wild_keys ? 7 : 5)] + std::to_string(i);
                dump::append_key(out, key.data(), key.size(), i == 0);
                random_dump(random, depth - 1, wild_keys, out);
            }
            out += ")";
            break;
        }
        case 5:
            out += "REF(";
            random_dump(random, depth - 1, wild_keys, out);
            out += ")";
            break;
        default:
            out += "SCALAR(";
            dump::append_string(out, s.data(), s.size());
            out += ")";
    }
}

}  // namespace

TEST(DumpText, UnescapeDropsOnlyBackslashesBeforeSpecials) {
    EXPECT_EQ(unescaped("a\\(b\\)\\;c\\\""), "a(b);c\"");
    EXPECT_EQ(unescaped("\\\\("), "\\(");  // a backslash before a backslash stays
    EXPECT_EQ(unescaped("x\\n\\"), "x\\n\\");
}

TEST(DumpText, SeparatorRunsSplitLeftToRight) {
    for (const char* inner : {";;;", ";;;;", ";;;;;", "undef;;;undef", "undef;;;;undef", ";undef",
                              "undef;;", "()", ")(;;undef", "\\(;;undef)"})
        expect_like_reference(std::string("ARRAY(") + inner + ")");
}

TEST(DumpText, FuzzedTextsReadAsTheFormatSays) {
    std::mt19937 random(4711);
    static const char* kPieces[] = {"ARRAY(", "HASH(", "REF(", "SCALAR(", ")", "(", ";;", ";", "\"\"",
                                    "\"", "\\", "undef", " => ", "=>", " ", "\t", "x", "\"\"k\"\" => ",
                                    "\"\"(\"\" => ", "\"\")\"\"=>", "\\(", "\\)"};
    auto piece = [&] { return kPieces[random() % (sizeof kPieces / sizeof *kPieces)]; };
    for (int i = 0; i < 50000; ++i) {
        std::string text;
        for (int p = 0, pieces = random() % 24; p < pieces; ++p) text += piece();
        expect_like_reference(text);
    }
    for (int i = 0; i < 20000; ++i) {
        std::string text, values, messages;
        random_dump(random, 4, false, text);
        ASSERT_TRUE(read(text, values, messages)) << text;  // what the writer makes reads back
        expect_like_reference(text);
        text.clear();
        random_dump(random, 4, true, text);
        expect_like_reference(text);
        for (int m = 0, edits = 1 + random() % 3; m < edits && !text.empty(); ++m) {
            const size_t at = random() % text.size();
            switch (random() % 3) {
                case 0: text.erase(at, 1 + random() % 3); break;
                case 1: text.insert(at, piece()); break;
                default: text[at] = static_cast<char>(random());
            }
        }
        expect_like_reference(text);
    }
}

TEST(DumpText, NestingIsBounded) {
    auto nested = [](const std::string& open, size_t depth) {
        std::string text;
        for (size_t i = 0; i < depth; ++i) text += open;
        return text + "undef" + std::string(depth, ')');
    };
    std::string values, messages;
    EXPECT_TRUE(read(nested("REF(", dump::kMaxDepth), values, messages));
    const std::string too_deep = ">>>> nesting error: deeper than 10000 levels\n";
    EXPECT_FALSE(read(nested("ARRAY(", 1000000), values, messages));
    EXPECT_EQ(messages, too_deep);
    // Every enclosing hash reports its missing value.
    messages.clear();
    EXPECT_FALSE(read(nested("HASH(" + Q + "k" + Q + " => ", dump::kMaxDepth + 1), values, messages));
    std::string expected = too_deep;
    for (size_t i = 0; i < dump::kMaxDepth; ++i) expected += ">>>> ERR NO VAL\n";
    EXPECT_EQ(messages, expected);
}

TEST(DumpText, KeysTheWriterAcceptsReadBackAsThemselves) {
    std::mt19937 random(1901);
    static const char kChars[] = "\"();\\ =>a";
    int accepted = 0;
    for (int i = 0; i < 20000; ++i) {
        std::string key;
        for (int n = random() % 7; n > 0; --n) key += kChars[random() % (sizeof kChars - 1)];
        if (!dump::key_reads_back(key.data(), key.size())) continue;
        ++accepted;
        std::string text = "HASH(", values, messages;
        dump::append_key(text, key.data(), key.size(), true);
        dump::append_string(text, "1", 1);
        text += ")";
        ASSERT_TRUE(read(text, values, messages)) << text;
        EXPECT_EQ(values, "h(" + leaf('k', key) + leaf('s', "1") + ")") << text;
    }
    EXPECT_GT(accepted, 1000);
    for (const char* key : {"a\"\" => \"\"1\"\";;\"\"b", "(", "x)", "a;;b", "ends\"", "\"\""})
        EXPECT_FALSE(dump::key_reads_back(key, std::strlen(key))) << key;
}
