#include "platform/internal.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <mutex>

namespace platform {

bool write_all(int fd, const void* data, size_t size) {
    const char* bytes = static_cast<const char*>(data);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = retry_on_eintr([&] { return ::write(fd, bytes + done, size - done); });
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool read_small_file(const std::string& path, std::string& contents, size_t limit) {
    const int fd = retry_on_eintr([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); });
    if (fd < 0) return false;
    std::string data;
    char buffer[16384];
    ssize_t n;
    while ((n = retry_on_eintr([&] { return ::read(fd, buffer, sizeof buffer); })) > 0) {
        if (static_cast<size_t>(n) > limit - data.size()) {
            ::close(fd);
            errno = EFBIG;
            return false;
        }
        data.append(buffer, static_cast<size_t>(n));
    }
    const int err = errno;
    ::close(fd);
    if (n < 0) {
        errno = err;
        return false;
    }
    contents.swap(data);
    return true;
}

HANDLE insert_descriptor(int fd, bool console, bool owned) {
    std::shared_ptr<KernelObject> object;
    if (!allocated([&] { object = std::make_shared<DescriptorObject>(fd, owned); })) {
        if (owned) ::close(fd);
        return nullptr;
    }
    return handle_insert(std::move(object), console);
}

std::string proc_path(DWORD pid, const std::string& entry) {
    return "/proc/" + std::to_string(pid) + "/" + entry;
}

std::string proc_self_path(const std::string& entry) { return "/proc/self/" + entry; }

void keep_library_loaded() {
    static std::once_flag once;
    std::call_once(once, [] {
        Dl_info info;
        if (::dladdr(reinterpret_cast<void*>(&keep_library_loaded), &info) && info.dli_fname)
            ::dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
    });
}

}  // namespace platform
