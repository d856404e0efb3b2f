// The dump text format: the reader against the format's recursive definition
// (a plain recursive reader below serves as the reference), its messages to
// the byte, deep nesting, and a bounded fuzzing run over random and mutated
// texts.
#include <gtest/gtest.h>

#include <chrono>
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

// A token list as text: u, s<len>:<bytes>, a( h( r( k<len>:<bytes> and ).
std::string render(const std::string& text, const std::vector<dump::Token>& tokens) {
    std::string out;
    for (const dump::Token& t : tokens) {
        const std::string bytes = text.substr(t.begin, t.end - t.begin);
        switch (t.kind) {
            case TokenKind::Undef: out += "u"; break;
            case TokenKind::String: out += "s" + std::to_string(unescaped(bytes).size()) + ":" + unescaped(bytes); break;
            case TokenKind::Key: out += "k" + std::to_string(bytes.size()) + ":" + bytes; break;
            case TokenKind::BeginArray: out += "a("; break;
            case TokenKind::BeginHash: out += "h("; break;
            case TokenKind::BeginRef: out += "r("; break;
            case TokenKind::End: out += ")"; break;
        }
    }
    return out;
}

struct Result {
    bool ok;
    std::string tokens;
    std::string messages;
};

Result read(const std::string& text) {
    std::vector<dump::Token> tokens;
    Result r;
    r.ok = dump::read(text.data(), text.size(), tokens, r.messages);
    if (r.ok) r.tokens = render(text, tokens);
    return r;
}

// The reference: the format's definition followed word for word, recursion
// and substrings included. Only for small texts.
bool counted(const std::string& s, size_t i) {
    return (s[i] == '(' || s[i] == ')') && (i == 0 || s[i - 1] != '\\');
}

std::string cstring(const std::string& s) { return s.substr(0, s.find('\0')); }

bool reference_split(const std::string& inner, std::vector<std::string>& elements,
                     std::string& messages) {
    std::string element;
    bool assembling = false;
    long opened = 0, closed = 0;
    for (size_t at = 0; at < inner.size();) {
        const size_t found = inner.find(";;", at);
        const size_t end = found == std::string::npos ? inner.size() : found;
        for (size_t i = at; i < end; ++i)
            if (counted(inner, i)) (inner[i] == '(' ? opened : closed) += 1;
        element = assembling ? element + ";;" + inner.substr(at, end - at) : inner.substr(at, end - at);
        assembling = true;
        if (opened == closed) {
            elements.push_back(element);
            assembling = false;
            opened = closed = 0;
        }
        if (found == std::string::npos) break;
        at = found + 2;
    }
    if (assembling) {
        messages += ">>>> split error: " + std::to_string(opened) + " | " + std::to_string(closed) + "\n";
        return false;
    }
    return true;
}

bool begins(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }
bool ends(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool reference_read(const std::string& t, std::string& out, std::string& messages) {
    const size_t n = t.size();
    if (n > 4 && t[n - 1] == ')') {
        const bool array = begins(t, "ARRAY("), hash = begins(t, "HASH(");
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
                if (!begins(e, Q)) return false;
                const size_t key_end = e.find(Q, 2);
                if (key_end == std::string::npos) return false;
                size_t i = key_end + 2;
                while (i < e.size() && (e[i] == ' ' || e[i] == '\t')) ++i;
                if (e.compare(i, 2, "=>") != 0) return false;
                i += 2;
                while (i < e.size() && (e[i] == ' ' || e[i] == '\t')) ++i;
                const std::string key = e.substr(2, key_end - 2);
                out += "k" + std::to_string(key.size()) + ":" + key;
                if (!reference_read(e.substr(i), out, messages)) {
                    messages += ">>>> ERR NO VAL\n";
                    return false;
                }
            }
            out += ")";
            return true;
        }
        if (begins(t, "REF(")) {
            out += "r(";
            if (!reference_read(t.substr(4, n - 5), out, messages)) return false;
            out += ")";
            return true;
        }
        if (!begins(t, "SCALAR(") || n < 12) {
            messages += "error: |" + cstring(t) + "|\n";
            return false;
        }
        if (t.compare(7, 2, Q) != 0 || t.compare(n - 3, 2, Q) != 0) return false;
        const std::string s = unescaped(t.substr(9, n - 12));
        out += "r(s" + std::to_string(s.size()) + ":" + s + ")";
        return true;
    }
    if (t == "undef") {
        out += "u";
        return true;
    }
    if (n < 4 || !begins(t, Q) || !ends(t, Q)) {
        messages += "error: |" + cstring(t) + "|\n";
        return false;
    }
    const std::string s = unescaped(t.substr(2, n - 4));
    out += "s" + std::to_string(s.size()) + ":" + s;
    return true;
}

void expect_like_reference(const std::string& text) {
    Result expected;
    expected.ok = reference_read(text, expected.tokens, expected.messages);
    if (!expected.ok) expected.tokens.clear();
    const Result got = read(text);
    ASSERT_EQ(got.ok, expected.ok) << text;
    ASSERT_EQ(got.tokens, expected.tokens) << text;
    ASSERT_EQ(got.messages, expected.messages) << text;
}

// A random dump text of nesting at most `depth`, from the writer's own
// pieces. With `wild_keys`, keys hold parentheses, which the format cannot
// carry (they shift the balance that the reader splits by).
void random_dump(std::mt19937& random, int depth, bool wild_keys, std::string& out) {
    static const char kBytes[] = "ab\"();\\ =>\t;x";
    const int kind = depth > 0 ? random() % 7 : random() % 3;
    auto random_string = [&](size_t max) {
        std::string s(random() % max, '\0');
        for (char& c : s) c = random() % 9 == 0 ? '\0' : kBytes[random() % (sizeof kBytes - 1)];
        return s;
    };
    switch (kind) {
        case 0: dump::append_undef(out); break;
        case 1: dump::append_integer(out, static_cast<std::int64_t>(random()) - (1ll << 40)); break;
        case 2: {
            const std::string s = random_string(8);
            dump::append_string(out, s.data(), s.size());
            break;
        }
        case 3:
        case 4: {
            out += kind == 3 ? "ARRAY(" : "HASH(";
            const int count = random() % 4;
            for (int i = 0; i < count; ++i) {
                if (kind == 3) {
                    if (i > 0) out += ";;";
                } else {
                    static const char* kKeys[] = {"k", "", "a b", "\\", "=>", "k(", ")"};
                    const std::string key =
                        kKeys[random() % (wild_keys ? 7 : 5)] + std::to_string(random() % 10);
                    dump::append_key(out, key.data(), key.size(), i == 0);
                }
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
        default: {
            const std::string s = random_string(5);
            out += "SCALAR(";
            dump::append_string(out, s.data(), s.size());
            out += ")";
        }
    }
}

}  // namespace

TEST(DumpText, LeavesAreQuotedAndEscaped) {
    std::string out;
    dump::append_string(out, "a(b);c\"\\", 8);
    EXPECT_EQ(out, Q + "a\\(b\\)\\;c\\\"\\" + Q);
    out.clear();
    dump::append_integer(out, -5000000000);
    dump::append_unsigned(out, 18446744073709551615ull);
    dump::append_undef(out);
    EXPECT_EQ(out, Q + "-5000000000" + Q + Q + "18446744073709551615" + Q + "undef");
    out.clear();
    dump::append_key(out, "k(", 2, true);
    dump::append_key(out, "", 0, false);
    EXPECT_EQ(out, Q + "k(" + Q + " => ;;" + Q + Q + " => ");
}

TEST(DumpText, UnescapeDropsOnlyBackslashesBeforeSpecials) {
    EXPECT_EQ(unescaped("a\\(b\\)\\;c\\\""), "a(b);c\"");
    EXPECT_EQ(unescaped("\\\\("), "\\(");  // a backslash before a backslash stays
    EXPECT_EQ(unescaped("\\\\\\\\"), "\\\\\\\\");
    EXPECT_EQ(unescaped("x\\"), "x\\");
    EXPECT_EQ(unescaped("\\n"), "\\n");
}

TEST(DumpText, ReadsWhatTheFormatDescribes) {
    EXPECT_EQ(read("ARRAY(" + Q + "1" + Q + ";;" + Q + "x" + Q + ";;undef)").tokens, "a(s1:1s1:xu)");
    EXPECT_EQ(read("HASH(" + Q + "k" + Q + " => " + Q + "a\\(b\\)\\;c" + Q + ")").tokens,
              "h(k1:ks6:a(b);c)");
    EXPECT_EQ(read("SCALAR(" + Q + Q + ")").tokens, "r(s0:)");
    EXPECT_EQ(read("ARRAY()").tokens, "a()");
    EXPECT_EQ(read("HASH()").tokens, "h()");
    EXPECT_EQ(read("REF(ARRAY(REF(SCALAR(" + Q + "s" + Q + "))))").tokens, "r(a(r(r(s1:s))))");
    // Element 0 missing: the first element text is empty and ends the list.
    EXPECT_EQ(read("ARRAY(;;" + Q + "x" + Q + ")").tokens, "a()");
    // Blanks around "=>", a key with a quote in it, an empty key.
    EXPECT_EQ(read("HASH(" + Q + "a\"b" + Q + "\t=>  undef;;" + Q + Q + "=>" + Q + Q + ")").tokens,
              "h(k3:a\"buk0:s0:)");
    // A zero byte inside a string is data.
    EXPECT_EQ(read(Q + std::string("a\0b", 3) + Q).tokens, "s3:" + std::string("a\0b", 3));
}

TEST(DumpText, FailuresReportWhatTheFormatSays) {
    Result r = read("ARRAY(ARRAY(" + Q + "1" + Q + ";;" + Q + "2" + Q + ")");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.messages, ">>>> split error: 1 | 0\n");
    EXPECT_EQ(read("abc").messages, "error: |abc|\n");
    EXPECT_EQ(read("abcdef)").messages, "error: |abcdef)|\n");
    EXPECT_EQ(read("SCALAR(abc)").messages, "error: |SCALAR(abc)|\n");  // shorter than 12
    r = read("SCALAR(xxxxxxxxx)");  // long enough, quotes missing: no message
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.messages, "");
    // The missing value of a hash, at every level.
    EXPECT_EQ(read("HASH(" + Q + "a" + Q + " => HASH(" + Q + "b" + Q + " => bad))").messages,
              "error: |bad|\n>>>> ERR NO VAL\n>>>> ERR NO VAL\n");
    // A malformed entry fails its own hash silently; the hash around says so.
    EXPECT_EQ(read("HASH(" + Q + "a" + Q + " => HASH(" + Q + "b" + Q + " = undef))").messages,
              ">>>> ERR NO VAL\n");
    EXPECT_EQ(read("HASH(x)").messages, "");
    EXPECT_FALSE(read("HASH(x)").ok);
    // The split of a whole list comes before any of its elements is read.
    EXPECT_EQ(read("ARRAY(bad;;()").messages, ">>>> split error: 1 | 0\n");
    // The printed text ends at a zero byte, as a C string would.
    EXPECT_EQ(read(std::string("ab\0cd", 5)).messages, "error: |ab|\n");
}

TEST(DumpText, NestingIsBoundedAndCostsNothingExtra) {
    auto nested = [](size_t depth) {
        std::string text;
        for (size_t i = 0; i < depth; ++i) text += "ARRAY(";
        text += "undef";
        text.append(depth, ')');
        return text;
    };
    EXPECT_TRUE(read(nested(dump::kMaxDepth)).ok);
    const auto start = std::chrono::steady_clock::now();
    const Result r = read(nested(1000000));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.messages, ">>>> nesting error: deeper than 10000 levels\n");
    RecordProperty("million_levels_seconds", std::to_string(seconds));
    // Hashes nested beyond the bound: every enclosing hash reports its value.
    std::string hashes;
    for (size_t i = 0; i <= dump::kMaxDepth; ++i) hashes += "HASH(" + Q + "k" + Q + " => ";
    hashes += "undef" + std::string(dump::kMaxDepth + 1, ')');
    const Result h = read(hashes);
    EXPECT_FALSE(h.ok);
    size_t lines = 0;
    for (size_t at = 0; (at = h.messages.find("ERR NO VAL", at)) != std::string::npos; ++at) ++lines;
    EXPECT_EQ(lines, dump::kMaxDepth);
}

TEST(DumpText, BalancedPrefix) {
    auto prefix = [](const std::string& s) { return dump::balanced_prefix_length(s.data(), s.size()); };
    EXPECT_EQ(prefix("HASH(a)xyz"), 7u);
    EXPECT_EQ(prefix("no parentheses"), 14u);
    EXPECT_EQ(prefix("A(b\\)c)d)"), 7u);  // the escaped ")" does not count
    EXPECT_EQ(prefix(")(x"), 2u);         // equal counts after one "(" seen
    EXPECT_EQ(prefix("((x)"), 4u);
    EXPECT_EQ(prefix(""), 0u);
}

TEST(DumpText, SeparatorRunsSplitLeftToRight) {
    for (const char* inner : {";;;", ";;;;", ";;;;;", "undef;;;" "undef", "undef;;;;undef",
                              ";undef", "undef;;", "undef;;;;", "()", ")(;;undef"})
        expect_like_reference(std::string("ARRAY(") + inner + ")");
}

TEST(DumpText, FuzzedTextsReadAsTheDefinitionSays) {
    std::mt19937 random(4711);
    static const char* kPieces[] = {"ARRAY(", "HASH(", "REF(", "SCALAR(", ")", "(", ";;", ";",
                                    "\"\"", "\"", "\\", "undef", " => ", "=>", " ", "\t", "x",
                                    "\"\"k\"\" => ", "\"\"(\"\" => ", "\"\")\"\"=>", "\\(",
                                    "\\)"};
    for (int i = 0; i < 50000; ++i) {
        std::string text;
        const int pieces = random() % 24;
        for (int p = 0; p < pieces; ++p) text += kPieces[random() % (sizeof kPieces / sizeof *kPieces)];
        expect_like_reference(text);
    }
    for (int i = 0; i < 20000; ++i) {
        std::string text;
        random_dump(random, 4, false, text);
        std::string expected, messages;
        ASSERT_TRUE(reference_read(text, expected, messages)) << text;
        const Result valid = read(text);
        ASSERT_TRUE(valid.ok) << text;
        ASSERT_EQ(valid.tokens, expected);
        text.clear();
        random_dump(random, 4, true, text);
        expect_like_reference(text);
        for (int m = 0, edits = 1 + random() % 3; m < edits && !text.empty(); ++m) {
            const size_t at = random() % text.size();
            switch (random() % 3) {
                case 0: text.erase(at, 1 + random() % 3); break;
                case 1: text.insert(at, kPieces[random() % (sizeof kPieces / sizeof *kPieces)]); break;
                default: text[at] = static_cast<char>(random());
            }
        }
        expect_like_reference(text);
    }
}
