#include "platform/utf16.h"

#include <climits>

#include "platform/codepages.h"

namespace platform {

std::string narrow(LPCWSTR text) {
    if (text == nullptr) return "";
    size_t count = 0;
    while (text[count] != 0) ++count;
    return narrow(text, count);
}

std::string narrow(LPCWSTR text, size_t count) {
    if (text == nullptr || count == 0 || count > INT_MAX / 3) return "";
    std::string out(count * 3, '\0');
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(count), out.data(),
                                      static_cast<int>(out.size()), nullptr, nullptr);
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

std::u16string widen(const std::string& text) {
    if (text.empty() || text.size() > INT_MAX) return u"";
    std::u16string out(text.size(), u'\0');
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      out.data(), static_cast<int>(out.size()));
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

}  // namespace platform
