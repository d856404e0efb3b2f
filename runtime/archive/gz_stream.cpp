#include "runtime/archive/gz_stream.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/crt.h"

namespace lmx {

GzStream open_gzip_file(const char* path, unsigned buffer_size) {
    const int fd = crt::open(path, O_RDONLY | O_NONBLOCK);
    if (fd < 0) return nullptr;
    GzStream stream(gzdopen(fd, "rb"));
    if (stream == nullptr) {
        const int err = errno;
        crt::close(fd);
        errno = err;
        return nullptr;
    }
    gzbuffer(stream.get(), buffer_size);
    return stream;
}

GzRead gz_read(gzFile stream, void* buffer, size_t length) {
    GzRead result{0, false};
    while (result.got < length) {
        const auto chunk = static_cast<unsigned>(std::min<size_t>(length - result.got, INT_MAX));
        const int n = gzread(stream, static_cast<char*>(buffer) + result.got, chunk);
        if (n < 0) {
            result.error = true;
            break;
        }
        if (n == 0) break;
        result.got += static_cast<size_t>(n);
    }
    return result;
}

const char* gz_error_text(gzFile stream, int& code) {
    const char* text = gzerror(stream, &code);
    const char* after_name = std::strstr(text, ">: ");
    return std::strncmp(text, "<fd:", 4) == 0 && after_name != nullptr ? after_name + 3 : text;
}

bool gz_cut_short(gzFile stream) {
    int code = Z_OK;
    gzerror(stream, &code);
    return code == Z_BUF_ERROR;
}

GzEnd gz_read_to_end(gzFile stream) {
    char buffer[64 * 1024];
    for (;;) {
        const int n = gzread(stream, buffer, sizeof buffer);
        if (n < 0) return GzEnd::kReadError;
        if (n == 0) return gz_cut_short(stream) ? GzEnd::kCutShort : GzEnd::kComplete;
    }
}

}  // namespace lmx
