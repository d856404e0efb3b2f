#include "tools/lmxreg/reg_text.h"

#include <strings.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "platform/codepages.h"

namespace lmxreg {
namespace {

constexpr char kVersion5[] = "Windows Registry Editor Version 5.00";
constexpr char kVersion4[] = "REGEDIT4";
constexpr std::size_t kHexLineWidth = 76;

struct Root {
    const char* short_name;
    const char* long_name;
    HKEY key;
};

const Root kRoots[] = {
    {"HKLM", "HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {"HKCU", "HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {"HKCR", "HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
    {"HKU", "HKEY_USERS", HKEY_USERS},
    {"HKCC", "HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
};

struct TypeName {
    DWORD type;
    const char* name;
};

const TypeName kTypes[] = {
    {REG_NONE, "REG_NONE"},
    {REG_SZ, "REG_SZ"},
    {REG_EXPAND_SZ, "REG_EXPAND_SZ"},
    {REG_BINARY, "REG_BINARY"},
    {REG_DWORD, "REG_DWORD"},
    {REG_DWORD_BIG_ENDIAN, "REG_DWORD_BIG_ENDIAN"},
    {REG_LINK, "REG_LINK"},
    {REG_MULTI_SZ, "REG_MULTI_SZ"},
    {8, "REG_RESOURCE_LIST"},
    {9, "REG_FULL_RESOURCE_DESCRIPTOR"},
    {10, "REG_RESOURCE_REQUIREMENTS_LIST"},
    {REG_QWORD, "REG_QWORD"},
};

bool same_text(std::string_view a, const char* b) {
    return a.size() == std::char_traits<char>::length(b) && ::strncasecmp(a.data(), b, a.size()) == 0;
}

// Text types are stored in the ANSI code page; registry files (version 5)
// hold them as UTF-16LE.
bool is_text_type(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

std::string utf16le_of(const std::string& text) {
    if (text.empty()) return std::string();
    const int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                          nullptr, 0);
    std::u16string wide(static_cast<std::size_t>(units), u'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], units);
    std::string bytes;
    bytes.reserve(wide.size() * 2);
    for (const char16_t unit : wide) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes;
}

std::string utf8_of_utf16le(std::string_view bytes) {
    std::u16string wide;
    wide.reserve(bytes.size() / 2);
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
        wide += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                      (static_cast<unsigned char>(bytes[i + 1]) << 8));
    if (wide.empty()) return std::string();
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &text[0], n,
                        nullptr, nullptr);
    return text;
}

bool valid_utf8(std::string_view text) {
    const std::string back = utf8_of_utf16le(utf16le_of(std::string(text)));
    return back == text;
}

std::string hex_bytes(std::string_view data, const char* separator, bool upper) {
    std::string out;
    char byte[4];
    for (std::size_t i = 0; i < data.size(); ++i) {
        std::snprintf(byte, sizeof byte, upper ? "%02X" : "%02x",
                      static_cast<unsigned char>(data[i]));
        if (i) out += separator;
        out += byte;
    }
    return out;
}

std::uint64_t little_endian(std::string_view data) {
    std::uint64_t value = 0;
    for (std::size_t i = data.size(); i-- > 0;)
        value = (value << 8) | static_cast<unsigned char>(data[i]);
    return value;
}

// A name or a string between quotes in a registry file.
std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + "\"";
}

// hex:xx,xx,... wrapped as the editor wraps it, with ",\" and two spaces.
std::string hex_line(const std::string& prefix, std::string_view bytes) {
    std::string out = prefix;
    std::size_t column = prefix.size();
    char byte[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(byte, sizeof byte, "%02x", static_cast<unsigned char>(bytes[i]));
        out += byte;
        column += 2;
        if (i + 1 < bytes.size()) {
            out += ',';
            ++column;
            if (column >= kHexLineWidth) {
                out += "\\\r\n  ";
                column = 2;
            }
        }
    }
    return out;
}

std::string value_line(const platform::registry::Value& v) {
    const std::string name = v.name.empty() ? "@" : quoted(v.name);
    const std::string_view data = v.data;
    if (v.type == REG_SZ && !data.empty() && data.back() == '\0') {
        const std::string_view text = data.substr(0, data.size() - 1);
        if (text.find_first_of(std::string_view("\0\r\n", 3)) == std::string_view::npos &&
            valid_utf8(text))
            return name + "=" + quoted(text);
    }
    if (v.type == REG_DWORD && data.size() == 4) {
        char number[16];
        std::snprintf(number, sizeof number, "dword:%08x", static_cast<unsigned>(little_endian(data)));
        return name + "=" + number;
    }
    if (v.type == REG_BINARY) return hex_line(name + "=hex:", data);
    char prefix[24];
    std::snprintf(prefix, sizeof prefix, "=hex(%x):", v.type);
    return hex_line(name + prefix, is_text_type(v.type) ? utf16le_of(v.data) : v.data);
}

// --- Reading registry files ---

struct Reader {
    std::vector<std::string> lines;
    std::size_t next = 0;  // index of the next line
    bool version5 = true;
    std::string error;

    bool fail(std::size_t line, const std::string& what) {
        error = "line " + std::to_string(line) + ": " + what;
        return false;
    }
};

void split_lines(std::string_view text, std::vector<std::string>& lines) {
    std::size_t start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i < text.size() && text[i] != '\r' && text[i] != '\n') continue;
        lines.emplace_back(text.substr(start, i - start));
        if (i + 1 < text.size() && text[i] == '\r' && text[i + 1] == '\n') ++i;
        start = i + 1;
    }
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// A quoted text at the start of `s`, with its escapes undone; `s` moves past it.
bool read_quoted(std::string_view& s, std::string& text) {
    if (s.empty() || s.front() != '"') return false;
    text.clear();
    for (std::size_t i = 1; i < s.size(); ++i) {
        if (s[i] == '"') {
            s.remove_prefix(i + 1);
            return true;
        }
        if (s[i] == '\\' && i + 1 < s.size()) ++i;
        text += s[i];
    }
    return false;
}

bool hex_digit(char c, unsigned& v) {
    if (c >= '0' && c <= '9') v = static_cast<unsigned>(c - '0');
    else if (c >= 'a' && c <= 'f') v = static_cast<unsigned>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F') v = static_cast<unsigned>(c - 'A' + 10);
    else return false;
    return true;
}

// The bytes of a hex list, with its continuation lines.
bool read_hex(Reader& r, std::size_t line, std::string_view list, std::string& bytes) {
    std::string text(trimmed(list));
    while (!text.empty() && text.back() == '\\') {
        text.pop_back();
        if (r.next >= r.lines.size()) return r.fail(line, "the hex list ends with \\ at the end of the file");
        text += trimmed(r.lines[r.next++]);
    }
    bytes.clear();
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
        unsigned hi = 0, lo = 0;
        if (i >= text.size() || !hex_digit(text[i], hi)) return r.fail(line, "malformed hex data");
        ++i;
        if (i < text.size() && hex_digit(text[i], lo)) {
            hi = hi * 16 + lo;
            ++i;
        }
        bytes += static_cast<char>(hi);
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
        if (i < text.size() && text[i++] != ',') return r.fail(line, "malformed hex data");
        if (i == text.size() && text.back() == ',') return r.fail(line, "malformed hex data");
    }
    return true;
}

bool read_value(Reader& r, std::size_t line, std::string_view s, RegEntry& e) {
    if (s.front() == '@') {
        s.remove_prefix(1);
    } else if (!read_quoted(s, e.name)) {
        return r.fail(line, "malformed value name");
    }
    s = trimmed(s);
    if (s.empty() || s.front() != '=') return r.fail(line, "'=' expected after the value name");
    s = trimmed(s.substr(1));
    e.kind = RegEntry::Kind::Value;
    if (s == "-") {
        e.kind = RegEntry::Kind::DeleteValue;
        return true;
    }
    if (!s.empty() && s.front() == '"') {
        std::string text;
        if (!read_quoted(s, text) || !trimmed(s).empty())
            return r.fail(line, "malformed string data");
        e.type = REG_SZ;
        e.data = text + '\0';
        return true;
    }
    if (s.size() > 6 && same_text(s.substr(0, 6), "dword:")) {
        const std::string digits(trimmed(s.substr(6)));
        char* end = nullptr;
        errno = 0;
        const unsigned long long v = std::strtoull(digits.c_str(), &end, 16);
        if (digits.empty() || digits.size() > 8 || *end != '\0' || errno || digits[0] == '-' ||
            digits[0] == '+')
            return r.fail(line, "malformed dword data");
        e.type = REG_DWORD;
        e.data = std::string{static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF),
                             static_cast<char>((v >> 16) & 0xFF), static_cast<char>(v >> 24)};
        return true;
    }
    if (s.size() >= 4 && same_text(s.substr(0, 4), "hex:")) {
        e.type = REG_BINARY;
        return read_hex(r, line, s.substr(4), e.data);
    }
    if (s.size() > 4 && same_text(s.substr(0, 4), "hex(")) {
        const std::size_t close = s.find("):");
        const std::string digits(s.substr(4, close == std::string_view::npos ? 0 : close - 4));
        char* end = nullptr;
        const unsigned long type = std::strtoul(digits.c_str(), &end, 16);
        if (close == std::string_view::npos || digits.empty() || digits.size() > 8 || *end != '\0')
            return r.fail(line, "malformed hex type");
        e.type = static_cast<DWORD>(type);
        if (!read_hex(r, line, s.substr(close + 2), e.data)) return false;
        if (r.version5 && is_text_type(e.type)) {
            if (e.data.size() % 2) return r.fail(line, "UTF-16 text of an odd number of bytes");
            e.data = utf8_of_utf16le(e.data);
        }
        return true;
    }
    return r.fail(line, "unknown kind of data");
}

// The file's text in UTF-8: from UTF-16LE after its byte-order mark, else
// as it is (without a UTF-8 byte-order mark).
bool decode(const std::string& bytes, std::string& text, std::string& error) {
    if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') {
        if (bytes.size() % 2) {
            error = "UTF-16 file of an odd number of bytes";
            return false;
        }
        text = utf8_of_utf16le(std::string_view(bytes).substr(2));
    } else if (bytes.size() >= 2 && bytes[0] == '\xFE' && bytes[1] == '\xFF') {
        error = "UTF-16 big-endian files are not read";
        return false;
    } else if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        text = bytes.substr(3);
    } else {
        text = bytes;
    }
    return true;
}

// The entries of a file's lines.
bool read_entries(Reader& r, std::vector<RegEntry>& entries) {
    while (r.next < r.lines.size() && trimmed(r.lines[r.next]).empty()) ++r.next;
    const std::string_view header = r.next < r.lines.size() ? trimmed(r.lines[r.next]) : "";
    if (header == kVersion4) {
        r.version5 = false;
    } else if (header != kVersion5) {
        return r.fail(r.next + 1, "not a registry file (it does not begin with \"" +
                                      std::string(kVersion5) + "\" or \"" + kVersion4 + "\")");
    }
    ++r.next;
    bool in_key = false;
    while (r.next < r.lines.size()) {
        const std::size_t line = ++r.next;  // the 1-based number of the line just taken
        const std::string_view s = trimmed(r.lines[line - 1]);
        if (s.empty() || s.front() == ';') continue;
        // Names and paths are C strings to the registry calls: one with a
        // NUL would name another key or value.
        if (s.find('\0') != std::string_view::npos) return r.fail(line, "a NUL character");
        RegEntry e;
        e.line = line;
        if (s.front() == '[') {
            if (s.back() != ']' || s.size() < 3) return r.fail(line, "malformed key line");
            std::string_view path = s.substr(1, s.size() - 2);
            if (path.front() == '-') {
                e.kind = RegEntry::Kind::DeleteKey;
                path.remove_prefix(1);
            }
            KeyPath parsed;
            if (!parse_key_path(path, parsed))
                return r.fail(line, "unknown root key in [" + std::string(path) + "]");
            e.path = std::string(path);
            in_key = e.kind == RegEntry::Kind::Key;
        } else if (s.front() == '@' || s.front() == '"') {
            if (!in_key) return r.fail(line, "a value outside a key");
            if (!read_value(r, line, s, e)) return false;
        } else {
            return r.fail(line, "neither a key nor a value");
        }
        entries.push_back(std::move(e));
    }
    return true;
}

}  // namespace

bool parse_key_path(std::string_view text, KeyPath& path) {
    const std::size_t cut = text.find('\\');
    const std::string_view root = text.substr(0, cut);
    for (const Root& r : kRoots) {
        if (!same_text(root, r.short_name) && !same_text(root, r.long_name)) continue;
        path.root = r.key;
        path.root_name = r.long_name;
        std::string_view rest = cut == std::string_view::npos ? "" : text.substr(cut + 1);
        while (!rest.empty() && rest.back() == '\\') rest.remove_suffix(1);
        path.subkey = std::string(rest);
        return true;
    }
    return false;
}

std::string type_name(DWORD type) {
    for (const TypeName& t : kTypes)
        if (t.type == type) return t.name;
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", type);
    return text;
}

bool type_of_name(std::string_view name, DWORD& type) {
    for (const TypeName& t : kTypes) {
        if (same_text(name, t.name)) {
            type = t.type;
            return true;
        }
    }
    return false;
}

std::string show_data(DWORD type, const std::string& data) {
    const std::string_view d = data;
    if (type == REG_SZ || type == REG_EXPAND_SZ) return std::string(d.substr(0, d.find('\0')));
    if (type == REG_MULTI_SZ) {
        std::string out;
        std::string_view rest = d;
        while (!rest.empty() && rest.front() != '\0') {
            const std::string_view one = rest.substr(0, rest.find('\0'));
            out += out.empty() ? "" : "\\0";
            out += one;
            rest.remove_prefix(std::min(rest.size(), one.size() + 1));
        }
        return out;
    }
    if ((type == REG_DWORD && d.size() == 4) || (type == REG_QWORD && d.size() == 8)) {
        char number[24];
        std::snprintf(number, sizeof number, "0x%llx",
                      static_cast<unsigned long long>(little_endian(d)));
        return number;
    }
    return hex_bytes(d, "", true);
}

bool data_of_text(DWORD type, const std::string& text, const std::string& separator,
                  std::string& data, std::string& error) {
    data.clear();
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
        data = text + '\0';
        return true;
    }
    if (type == REG_MULTI_SZ) {
        std::size_t start = 0;
        while (!text.empty() && start <= text.size()) {
            const std::size_t cut = separator.empty() ? std::string::npos : text.find(separator, start);
            data += text.substr(start, cut == std::string::npos ? std::string::npos : cut - start);
            data += '\0';
            if (cut == std::string::npos) break;
            start = cut + separator.size();
        }
        data += '\0';
        return true;
    }
    if (type == REG_DWORD || type == REG_QWORD) {
        const std::size_t width = type == REG_DWORD ? 4 : 8;
        char* end = nullptr;
        errno = 0;
        const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
        if (text.empty() || *end != '\0' || errno || text[0] == '-' || text[0] == '+' ||
            (width == 4 && v > 0xFFFFFFFFull)) {
            error = "'" + text + "' is no " + type_name(type) + " number";
            return false;
        }
        for (std::size_t i = 0; i < width; ++i) data += static_cast<char>((v >> (8 * i)) & 0xFF);
        return true;
    }
    if (text.size() % 2) {
        error = "binary data needs an even number of hexadecimal digits";
        return false;
    }
    for (std::size_t i = 0; i < text.size(); i += 2) {
        unsigned hi = 0, lo = 0;
        if (!hex_digit(text[i], hi) || !hex_digit(text[i + 1], lo)) {
            error = "'" + text + "' is no hexadecimal data";
            return false;
        }
        data += static_cast<char>(hi * 16 + lo);
    }
    return true;
}

bool parse_reg_file(const std::string& bytes, std::vector<RegEntry>& entries,
                    std::string& error) {
    entries.clear();
    std::string text;
    if (!decode(bytes, text, error)) return false;
    Reader r;
    split_lines(text, r.lines);
    const bool ok = read_entries(r, entries);
    if (!ok) error = r.error;
    return ok;
}

std::string reg_file_header() { return std::string(kVersion5) + "\r\n\r\n"; }

std::string reg_key_section(const std::string& path,
                            const std::vector<platform::registry::Value>& values) {
    std::string out = "[" + path + "]\r\n";
    for (const platform::registry::Value& v : values) out += value_line(v) + "\r\n";
    return out + "\r\n";
}

std::string utf16le_file(const std::string& text) { return "\xFF\xFE" + utf16le_of(text); }

}  // namespace lmxreg
