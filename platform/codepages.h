// Character set conversions (kernel32 MultiByteToWideChar,
// WideCharToMultiByte). The ANSI code page of this host, which is also the
// C runtime's multibyte code page, is UTF-8: CP_ACP and CP_UTF8 are the same
// here, and no other code page is known.
#pragma once

#include <string>

#include "platform/types.h"

#define CP_ACP 0u
#define CP_UTF8 65001u

// UTF-8 to UTF-16. A length of -1 converts up to and including the
// terminating NUL. Invalid bytes become U+FFFD, as Windows does without
// MB_ERR_INVALID_CHARS. With cchWideChar 0 the result is the number of
// units needed; a buffer that is too small fails with
// ERROR_INSUFFICIENT_BUFFER. Returns the number of units written.
int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                        LPWSTR lpWideCharStr, int cchWideChar);

// UTF-16 to UTF-8, with the same length rules; unpaired surrogates become
// U+FFFD. lpDefaultChar and lpUsedDefaultChar must be NULL, as for UTF-8 on
// Windows.
int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                        LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                        BOOL* lpUsedDefaultChar);

namespace platform {

// The next code point of UTF-8 text at `p` (which moves past it), or U+FFFD
// for an invalid sequence, of which one byte is consumed.
char32_t decode_utf8(const unsigned char*& p, const unsigned char* end);

// Appends the UTF-8 form of a code point.
void encode_utf8(char32_t cp, std::string& out);

}  // namespace platform
