#include "platform/codepages.h"

#include <cstring>
#include <string>

#include "platform/errors.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool known_code_page(UINT code_page) { return code_page == CP_ACP || code_page == CP_UTF8; }

}  // namespace

namespace platform {

// The next code point of UTF-8 text, or U+FFFD for an invalid sequence
// (consuming one byte).
char32_t decode_utf8(const unsigned char*& p, const unsigned char* end) {
    const unsigned char lead = *p++;
    if (lead < 0x80) return lead;
    int extra;
    char32_t cp;
    if (lead >= 0xC2 && lead <= 0xDF) {
        extra = 1;
        cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        extra = 2;
        cp = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        extra = 3;
        cp = lead & 0x07;
    } else {
        return kReplacement;
    }
    if (end - p < extra) return kReplacement;
    for (int i = 0; i < extra; ++i) {
        if ((p[i] & 0xC0) != 0x80) return kReplacement;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    const char32_t minimum[] = {0, 0x80, 0x800, 0x10000};
    if (cp < minimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return kReplacement;
    p += extra;
    return cp;
}

void encode_utf8(char32_t cp, std::string& out) {
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

}  // namespace platform

namespace {

using platform::decode_utf8;
using platform::encode_utf8;

// Copies a converted text into the caller's buffer with the length rules
// shared by both directions.
template <class Char>
int deliver(const std::basic_string<Char>& text, Char* buffer, int size) {
    const int needed = static_cast<int>(text.size());
    if (size == 0) return needed;
    if (buffer == nullptr || size < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(buffer, text.data(), text.size() * sizeof(Char));
    return needed;
}

}  // namespace

int MultiByteToWideChar(UINT CodePage, DWORD /*dwFlags*/, LPCSTR lpMultiByteStr, int cbMultiByte,
                        LPWSTR lpWideCharStr, int cchWideChar) {
    if (!known_code_page(CodePage) || lpMultiByteStr == nullptr || cbMultiByte == 0 ||
        cbMultiByte < -1 || cchWideChar < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const size_t length =
        cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
    const auto* p = reinterpret_cast<const unsigned char*>(lpMultiByteStr);
    const unsigned char* end = p + length;
    std::u16string out;
    while (p < end) {
        const char32_t cp = decode_utf8(p, end);
        if (cp < 0x10000) {
            out += static_cast<char16_t>(cp);
        } else {
            out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        }
    }
    return deliver(out, lpWideCharStr, cchWideChar);
}

int WideCharToMultiByte(UINT CodePage, DWORD /*dwFlags*/, LPCWSTR lpWideCharStr, int cchWideChar,
                        LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                        BOOL* lpUsedDefaultChar) {
    if (!known_code_page(CodePage) || lpWideCharStr == nullptr || cchWideChar == 0 ||
        cchWideChar < -1 || cbMultiByte < 0 || lpDefaultChar != nullptr ||
        lpUsedDefaultChar != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t length = static_cast<size_t>(cchWideChar);
    if (cchWideChar == -1) {
        length = 0;
        while (lpWideCharStr[length] != 0) ++length;
        ++length;
    }
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        char32_t cp = lpWideCharStr[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < length && lpWideCharStr[i + 1] >= 0xDC00 &&
            lpWideCharStr[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (lpWideCharStr[++i] - 0xDC00);
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = kReplacement;
        }
        encode_utf8(cp, out);
    }
    return deliver(out, lpMultiByteStr, cbMultiByte);
}
