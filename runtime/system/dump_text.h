// The text format of the data dumper, apart from Perl: the leaf texts that
// the writer emits, the reader that checks a dump text and turns it into a
// flat list of tokens, the unescaping of string leaves, and the length of a
// balanced prefix.
//
// Format: "undef"; a string or integer leaf in two double quotes on each
// side, with '"', '(', ')' and ';' escaped by a backslash; "ARRAY(" elements
// ")" and "HASH(" ""key"" => value ... ")" with ";;" between elements;
// "REF(" value ")"; "SCALAR(" leaf ")".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace lmx::dump {

// The deepest nesting of ARRAY, HASH and REF containers that the writer
// produces and the reader accepts. Deeper structures fail as a whole, so
// that neither side needs a stack beyond what this bounds.
constexpr size_t kMaxDepth = 10000;

// --- Writing ---

void append_undef(std::string& out);
void append_integer(std::string& out, std::int64_t value);
void append_unsigned(std::string& out, std::uint64_t value);
// A string leaf: its bytes with '"', '(', ')' and ';' escaped.
void append_string(std::string& out, const char* bytes, size_t length);
// A hash entry's head: ";;" unless it is the first, the key in two double
// quotes on each side as it is (not escaped), and " => ".
void append_key(std::string& out, const char* key, size_t length, bool first);
// True when a key written by append_key reads back as itself. Keys are not
// escaped, so one that holds "(", ")", ";;" or two double quotes in a row,
// or that ends in a double quote, would read back as other keys or not at
// all; the writer refuses such keys.
bool key_reads_back(const char* key, size_t length);

// --- Reading ---

enum class TokenKind : std::uint8_t {
    Undef,       // an undefined scalar
    String,      // a string scalar; [begin, end) is its escaped text
    BeginArray,  // a reference to a new array of the values up to its End
    BeginHash,   // a reference to a new hash of the Key/value pairs up to its End
    BeginRef,    // a reference to the one value up to its End
    Key,         // the next hash value's key; [begin, end) is taken as it is
    End,
};

// String and Key tokens name their text by [begin, end); the others carry
// no range (0, 0).
struct Token {
    TokenKind kind;
    size_t begin;
    size_t end;
};

// Reads a whole dump text into tokens (offsets into `text`), in the order of
// a depth-first walk. Returns false when the text does not read; the reasons
// that the format reports (error lines, split errors, values missing in a
// hash) are appended to `messages` in the order they arise. Any bytes,
// including zero bytes, may occur in the text.
bool read(const char* text, size_t length, std::vector<Token>& tokens, std::string& messages);

// Writes the unescaped form of a string leaf's text to `out` (at most
// `length` bytes): a backslash before '"', '(', ')' or ';' is dropped.
// Returns the number of bytes written.
size_t unescape(const char* text, size_t length, char* out);

// The length of the shortest prefix that ends with the ")" balancing the
// "(" seen before it (parentheses after a backslash do not count, the first
// character always does), or `length` when there is none.
size_t balanced_prefix_length(const char* text, size_t length);

}  // namespace lmx::dump
