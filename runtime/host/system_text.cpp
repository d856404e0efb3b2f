#include "runtime/host/system_text.h"

#include "platform/errors.h"

namespace lmx {

std::string system_error_text(const char* prefix, DWORD code) {
    std::string text = prefix;
    if (code == ERROR_SUCCESS) return text;
    char message[1024];
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, message, sizeof message, nullptr);
    const std::string body(message, n);
    for (size_t i = 0; i < body.size(); ++i) {
        if (body[i] == '\r' && i + 1 < body.size() && body[i + 1] == '\n') {
            text += ' ';
            ++i;
        } else {
            text += body[i];
        }
    }
    return text;
}

}  // namespace lmx
