#include "platform/registry_names.h"

#include <locale.h>
#include <wctype.h>

#include <cstring>

#include "platform/registry.h"

namespace platform {
namespace registry {
namespace {

// The length of the UTF-8 sequence at `s[i]` and its code point; 0 for a
// byte that does not begin a valid sequence.
std::size_t decode(std::string_view s, std::size_t i, char32_t& cp) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
    const unsigned char b = byte(0);
    std::size_t n;
    char32_t min;
    if (b < 0x80) {
        cp = b;
        return 1;
    } else if ((b & 0xE0) == 0xC0) {
        n = 2, cp = b & 0x1F, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
        n = 3, cp = b & 0x0F, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
        n = 4, cp = b & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    for (std::size_t k = 1; k < n; ++k) {
        if ((byte(k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (byte(k) & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
}

void encode(char32_t cp, std::string& out) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// The built-in UTF-8 locale of the C library: its case mapping is the same
// whatever locale the process runs in.
locale_t unicode_locale() {
    static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    return locale;
}

char32_t upper(char32_t cp) {
    if (cp < 0x80) return cp >= 'a' && cp <= 'z' ? cp - 32 : cp;
    const locale_t locale = unicode_locale();
    if (cp >= 0x10000 || locale == static_cast<locale_t>(0)) return cp;
    const char32_t up = static_cast<char32_t>(towupper_l(static_cast<wint_t>(cp), locale));
    return up < 0x10000 ? up : cp;
}

}  // namespace

std::string fold(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    for (std::size_t i = 0; i < name.size();) {
        char32_t cp;
        const std::size_t n = decode(name, i, cp);
        if (n == 0) {
            out += name[i++];
        } else if (n == 1) {
            out += static_cast<char>(upper(cp));
            ++i;
        } else {
            encode(upper(cp), out);
            i += n;
        }
    }
    return out;
}

std::size_t utf16_length(std::string_view name) {
    std::size_t units = 0;
    for (std::size_t i = 0; i < name.size();) {
        char32_t cp;
        const std::size_t n = decode(name, i, cp);
        units += n == 4 ? 2 : 1;
        i += n ? n : 1;
    }
    return units;
}

LONG split_path(const char* path, std::vector<std::string_view>& components) {
    components.clear();
    std::string_view rest = path ? std::string_view(path) : std::string_view();
    if (rest.empty()) return ERROR_SUCCESS;
    if (rest.front() == '\\') return ERROR_BAD_PATHNAME;
    if (rest.back() == '\\') rest.remove_suffix(1);
    while (true) {
        const std::size_t cut = rest.find('\\');
        const std::string_view part = rest.substr(0, cut);
        if (part.empty()) return ERROR_BAD_PATHNAME;
        if (utf16_length(part) > kMaxKeyNameLength) return ERROR_INVALID_PARAMETER;
        components.push_back(part);
        if (cut == std::string_view::npos) return ERROR_SUCCESS;
        rest.remove_prefix(cut + 1);
    }
}

}  // namespace registry
}  // namespace platform
