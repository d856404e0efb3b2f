#include "runtime/system/dump_text.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <utility>

namespace lmx::dump {
namespace {

const char kQuotes[] = "\"\"";
constexpr size_t kQuotesSize = 2;
const char kSeparator[] = ";;";

bool is_special(char c) { return c == '"' || c == '(' || c == ')' || c == ';'; }

bool has_prefix(const char* text, size_t length, const char* prefix) {
    const size_t n = std::strlen(prefix);
    return length >= n && std::memcmp(text, prefix, n) == 0;
}

bool quotes_at(const char* text) { return text[0] == '"' && text[1] == '"'; }

// +1 for a "(" at `i`, -1 for a ")", 0 for anything else. A parenthesis
// right after a backslash does not count; the first character always does.
int paren_step(const char* text, size_t i) {
    const char c = text[i];
    if ((c != '(' && c != ')') || (i > 0 && text[i - 1] == '\\')) return 0;
    return c == '(' ? 1 : -1;
}

}  // namespace

// --- Writing ---

void append_undef(std::string& out) { out += "undef"; }

void append_integer(std::string& out, std::int64_t value) {
    char digits[24];
    const int n = std::snprintf(digits, sizeof digits, "%" PRId64, value);
    out.append(kQuotes).append(digits, static_cast<size_t>(n)).append(kQuotes);
}

void append_unsigned(std::string& out, std::uint64_t value) {
    char digits[24];
    const int n = std::snprintf(digits, sizeof digits, "%" PRIu64, value);
    out.append(kQuotes).append(digits, static_cast<size_t>(n)).append(kQuotes);
}

void append_string(std::string& out, const char* bytes, size_t length) {
    out.append(kQuotes);
    size_t start = 0;
    for (size_t i = 0; i < length; ++i) {
        if (!is_special(bytes[i])) continue;
        out.append(bytes + start, i - start).push_back('\\');
        start = i;
    }
    out.append(bytes + start, length - start).append(kQuotes);
}

void append_key(std::string& out, const char* key, size_t length, bool first) {
    if (!first) out.append(kSeparator);
    out.append(kQuotes).append(key, length).append(kQuotes).append(" => ");
}

bool key_reads_back(const char* key, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        const char c = key[i];
        if (c == '(' || c == ')') return false;
        if (i + 1 < length && (c == '"' || c == ';') && key[i + 1] == c) return false;
    }
    return length == 0 || key[length - 1] != '"';
}

// --- Reading ---
//
// The reader follows the format's recursive definition, but with an explicit
// stack of open containers, and it splits a container's inner text into
// element texts without rescanning it. An element ends at the first ";;"
// before which its unescaped "(" and ")" are equally many, that is, where
// the running balance of the whole text (unescaped "(" minus unescaped ")"
// from the start) is back at its value at the element's start. One pass
// records every ";;" with the balance in front of it; an element's end is
// then a binary search, and reading costs the same at every depth.

namespace {

// A part of the text, with the running balance at its two ends.
struct Range {
    size_t begin;
    size_t end;
    std::int64_t balance_begin;
    std::int64_t balance_end;
};

enum class FrameKind : std::uint8_t { Array, Hash, Ref };

// An open container: its element texts (Array, Hash) or its one value's text
// (Ref), and how far it has been read.
struct Frame {
    FrameKind kind;
    std::vector<Range> elements;
    size_t next;
    Range value;
};

struct ReadState {
    const char* text;
    size_t length;
    // Each ";;" of the text as (balance in front of it, position), in the
    // order of a left-to-right scan that continues after each match, sorted.
    std::vector<std::pair<std::int64_t, size_t>> separators;
    std::vector<Frame> frames;
    std::vector<Token>& tokens;
    std::string& messages;
};

enum class Step { Failed, Done, Opened };

// Records the separators; returns the balance at the end of the text.
std::int64_t index_separators(ReadState& s) {
    std::int64_t balance = 0;
    for (size_t i = 0; i < s.length;) {
        if (s.text[i] == ';' && i + 1 < s.length && s.text[i + 1] == ';') {
            s.separators.emplace_back(balance, i);
            i += 2;
            continue;
        }
        balance += paren_step(s.text, i);
        ++i;
    }
    std::sort(s.separators.begin(), s.separators.end());
    return balance;
}

void report_text(ReadState& s, const Range& r) {
    const char* t = s.text + r.begin;
    const size_t n = r.end - r.begin;
    const void* zero = std::memchr(t, '\0', n);  // the text reads as a C string
    s.messages.append("error: |")
        .append(t, zero ? static_cast<const char*>(zero) - t : n)
        .append("|\n");
}

// Splits an inner text into its element texts.
bool split(ReadState& s, const Range& inner, std::vector<Range>& elements) {
    size_t start = inner.begin;
    const std::int64_t balance = inner.balance_begin;
    while (start < inner.end) {
        const auto found = std::lower_bound(s.separators.begin(), s.separators.end(),
                                            std::make_pair(balance, start));
        if (found != s.separators.end() && found->first == balance &&
            found->second + 2 <= inner.end) {
            elements.push_back({start, found->second, balance, balance});
            start = found->second + 2;
            continue;
        }
        if (inner.balance_end == balance) {
            elements.push_back({start, inner.end, balance, balance});
            return true;
        }
        long long opened = 0, closed = 0;
        for (size_t i = start; i < inner.end; ++i) {
            const int step = paren_step(s.text, i);
            opened += step > 0;
            closed += step < 0;
        }
        char line[96];
        std::snprintf(line, sizeof line, ">>>> split error: %lld | %lld\n", opened, closed);
        s.messages.append(line);
        return false;
    }
    return true;
}

bool depth_allowed(ReadState& s) {
    if (s.frames.size() < kMaxDepth) return true;
    char line[96];
    std::snprintf(line, sizeof line, ">>>> nesting error: deeper than %zu levels\n", kMaxDepth);
    s.messages.append(line);
    return false;
}

// The text between a container's prefix (ending in "(") and its last ")".
Range inner_text(const ReadState& s, const Range& r, size_t prefix) {
    return {r.begin + prefix, r.end - 1, r.balance_begin + 1,
            r.balance_end - paren_step(s.text, r.end - 1)};
}

Step open_container(ReadState& s, const Range& r, FrameKind kind, size_t prefix) {
    if (!depth_allowed(s)) return Step::Failed;
    Frame frame{kind, {}, 0, {}};
    const Range inner = inner_text(s, r, prefix);
    if (kind == FrameKind::Ref) {
        frame.value = inner;
    } else if (!split(s, inner, frame.elements)) {
        return Step::Failed;
    }
    static const TokenKind kBegin[] = {TokenKind::BeginArray, TokenKind::BeginHash,
                                       TokenKind::BeginRef};
    s.tokens.push_back({kBegin[static_cast<int>(kind)], 0, 0});
    s.frames.push_back(std::move(frame));
    return Step::Opened;
}

// Reads one value's text: a leaf is done at once, a container is opened.
Step start_value(ReadState& s, const Range& r) {
    const char* t = s.text + r.begin;
    const size_t n = r.end - r.begin;
    if (n > 4 && t[n - 1] == ')') {
        if (has_prefix(t, n, "ARRAY(")) return open_container(s, r, FrameKind::Array, 6);
        if (has_prefix(t, n, "HASH(")) return open_container(s, r, FrameKind::Hash, 5);
        if (has_prefix(t, n, "REF(")) return open_container(s, r, FrameKind::Ref, 4);
        if (!has_prefix(t, n, "SCALAR(") || n < 12) {
            report_text(s, r);
            return Step::Failed;
        }
        if (!quotes_at(t + 7) || !quotes_at(t + n - 3)) return Step::Failed;
        s.tokens.push_back({TokenKind::BeginRef, 0, 0});
        s.tokens.push_back({TokenKind::String, r.begin + 9, r.end - 3});
        s.tokens.push_back({TokenKind::End, 0, 0});
        return Step::Done;
    }
    if (n == 5 && std::memcmp(t, "undef", 5) == 0) {
        s.tokens.push_back({TokenKind::Undef, 0, 0});
        return Step::Done;
    }
    if (n < 4 || !quotes_at(t) || !quotes_at(t + n - 2)) {
        report_text(s, r);
        return Step::Failed;
    }
    s.tokens.push_back({TokenKind::String, r.begin + 2, r.end - 2});
    return Step::Done;
}

size_t skip_blanks(const ReadState& s, size_t i, size_t end) {
    while (i < end && (s.text[i] == ' ' || s.text[i] == '\t')) ++i;
    return i;
}

// A hash element ""key"" => value: emits the key and gives the value's
// text. False when the element has no such form.
bool hash_entry(ReadState& s, const Range& e, Range& value) {
    if (e.end - e.begin < kQuotesSize || !quotes_at(s.text + e.begin)) return false;
    const size_t key = e.begin + kQuotesSize;
    size_t i = key;
    while (i + 1 < e.end && !quotes_at(s.text + i)) ++i;
    if (i + 1 >= e.end) return false;
    const size_t key_end = i;
    i = skip_blanks(s, key_end + kQuotesSize, e.end);
    if (i + 1 >= e.end || s.text[i] != '=' || s.text[i + 1] != '>') return false;
    i = skip_blanks(s, i + 2, e.end);
    std::int64_t balance = e.balance_begin;
    for (size_t j = e.begin; j < i; ++j) balance += paren_step(s.text, j);
    s.tokens.push_back({TokenKind::Key, key, key_end});
    value = {i, e.end, balance, e.balance_end};
    return true;
}

enum class Next { Value, Finished, Failed };

// The next value that the innermost open container reads.
Next next_value(ReadState& s, Frame& f, Range& value) {
    if (f.kind == FrameKind::Ref) {
        if (f.next++ > 0) return Next::Finished;
        value = f.value;
        return Next::Value;
    }
    // An empty element ends the list; later ones are ignored.
    if (f.next >= f.elements.size() || f.elements[f.next].begin == f.elements[f.next].end)
        return Next::Finished;
    const Range& e = f.elements[f.next++];
    if (f.kind == FrameKind::Array) {
        value = e;
        return Next::Value;
    }
    return hash_entry(s, e, value) ? Next::Value : Next::Failed;
}

// A value failed: so does every container around it, and each hash among
// them says that its value is missing.
bool fail(ReadState& s) {
    for (auto f = s.frames.rbegin(); f != s.frames.rend(); ++f)
        if (f->kind == FrameKind::Hash) s.messages.append(">>>> ERR NO VAL\n");
    s.frames.clear();
    return false;
}

}  // namespace

bool read(const char* text, size_t length, std::vector<Token>& tokens, std::string& messages) {
    ReadState s{text, length, {}, {}, tokens, messages};
    const std::int64_t total = index_separators(s);
    if (start_value(s, {0, length, 0, total}) == Step::Failed) return fail(s);
    while (!s.frames.empty()) {
        Range value;
        switch (next_value(s, s.frames.back(), value)) {
            case Next::Finished:
                s.tokens.push_back({TokenKind::End, 0, 0});
                s.frames.pop_back();
                break;
            case Next::Failed:  // a malformed hash element: the hash itself fails
                s.frames.pop_back();
                return fail(s);
            case Next::Value:
                if (start_value(s, value) == Step::Failed) return fail(s);
                break;
        }
    }
    return true;
}

size_t unescape(const char* text, size_t length, char* out) {
    size_t n = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] == '\\' && i + 1 < length && is_special(text[i + 1])) ++i;
        out[n++] = text[i];
    }
    return n;
}

size_t balanced_prefix_length(const char* text, size_t length) {
    size_t opened = 0, closed = 0;
    for (size_t i = 0; i < length; ++i) {
        const int step = paren_step(text, i);
        if (step == 0) continue;
        (step > 0 ? opened : closed) += 1;
        if (opened > 0 && opened == closed) return i + 1;
    }
    return length;
}

}  // namespace lmx::dump
