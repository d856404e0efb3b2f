#include "platform/registry_names.h"

#include <locale.h>
#include <wctype.h>

#include "platform/codepages.h"
#include "platform/registry.h"

namespace platform {
namespace registry {
namespace {

// The code point of the UTF-8 sequence at `p` (which moves past it);
// false, with `p` past one byte, for a byte that begins no valid sequence
// (a genuine U+FFFD takes three).
bool next_code_point(const unsigned char*& p, const unsigned char* end, char32_t& cp) {
    const unsigned char* start = p;
    cp = decode_utf8(p, end);
    return cp != 0xFFFD || p - start == 3;
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
    const auto* p = reinterpret_cast<const unsigned char*>(name.data());
    const unsigned char* end = p + name.size();
    while (p < end) {
        const unsigned char* start = p;
        char32_t cp;
        if (next_code_point(p, end, cp))
            encode_utf8(upper(cp), out);
        else
            out += static_cast<char>(*start);
    }
    return out;
}

std::size_t utf16_length(std::string_view name) {
    std::size_t units = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(name.data());
    const unsigned char* end = p + name.size();
    while (p < end) {
        char32_t cp;
        units += next_code_point(p, end, cp) && cp >= 0x10000 ? 2 : 1;
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
