#include "platform/named_pipes.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "platform/errors.h"
#include "platform/events.h"
#include "platform/handles.h"
#include "platform/internal.h"

namespace platform {
namespace {

constexpr size_t kMaxPipeNameLength = 256;  // the whole "\\.\pipe\NAME", as on Windows

bool is_separator(char c) { return c == '\\' || c == '/'; }

// The NAME of "\\.\pipe\NAME", or null for any other name.
const char* name_part(const char* name) {
    if (name == nullptr || !is_separator(name[0]) || !is_separator(name[1]) || name[2] != '.' ||
        !is_separator(name[3]) || ::strncasecmp(name + 4, "pipe", 4) != 0 ||
        !is_separator(name[8]))
        return nullptr;
    return name + 9;
}

// The pipe directory, checked (and created when `create` is set). The
// directories of the default places must be the user's own and closed to
// everybody else; a configured one is taken as it is.
bool pipe_directory(bool create, std::string& dir) {
    const char* configured = std::getenv("LMX_PIPE_DIR");
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const bool own = configured == nullptr || *configured == '\0';
    if (!own)
        dir = configured;
    else if (runtime != nullptr && *runtime != '\0')
        dir = std::string(runtime) + "/lmxrun-pipes";
    else
        dir = "/tmp/lmxrun-pipes-" + std::to_string(::geteuid());
    if (create && ::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return fail_with_errno();
    struct stat st;
    if ((own ? ::lstat(dir.c_str(), &st) : ::stat(dir.c_str(), &st)) != 0) return fail_with_errno();
    if (!S_ISDIR(st.st_mode) || (own && (st.st_uid != ::geteuid() || (st.st_mode & 077) != 0))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    return true;
}

// A claim on the FIFO for as long as the returned socket is open: binding
// its abstract address fails while another socket holds it, and the kernel
// releases it with the process. -1 with ERROR_PIPE_BUSY when taken.
int claim_fifo(const struct stat& fifo) {
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        fail_with_errno();
        return -1;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const int n = std::snprintf(address.sun_path + 1, sizeof address.sun_path - 1,
                                "lmxrun-pipe/%llx/%llx",
                                static_cast<unsigned long long>(fifo.st_dev),
                                static_cast<unsigned long long>(fifo.st_ino));
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) return fd;
    SetLastError(errno == EADDRINUSE ? ERROR_PIPE_BUSY : error_from_errno(errno));
    ::close(fd);
    return -1;
}

// Turns a descriptor opened without blocking into a blocking one.
void make_blocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK); }

enum class Link { listening, connecting, connected, failed };

// The server end: the FIFO, held by a path descriptor (so that it is
// reopened as the same file whatever becomes of its name), the claim, and
// the write end once a reader is there. A pending connect is a thread that
// blocks in opening the FIFO for writing, which returns when a reader
// opens it.
struct NamedPipeObject : KernelObject {
    NamedPipeObject(std::string path, const struct stat& st, int path_descriptor,
                    int claim_descriptor, DWORD buffer)
        : fifo(std::move(path)), device(st.st_dev), inode(st.st_ino), path_fd(path_descriptor),
          claim(claim_descriptor), buffer_size(buffer) {}
    ~NamedPipeObject() override;

    // The write end, or -1 with ERROR_PIPE_LISTENING before a reader came.
    int fd() const override {
        const int descriptor = write_fd.load();
        if (descriptor < 0) SetLastError(ERROR_PIPE_LISTENING);
        return descriptor;
    }

    std::string reopen_path() const { return proc_self_path("fd/" + std::to_string(path_fd)); }

    // Takes the write end of a connected reader. Call with the lock.
    void adopt(int descriptor) {
        make_blocking(descriptor);
        if (buffer_size > 0) ::fcntl(descriptor, F_SETPIPE_SZ, static_cast<int>(buffer_size));
        write_fd = descriptor;
        link = Link::connected;
    }

    // The pending connect's thread: waits for a reader, then sets the
    // event.
    void wait_for_reader(std::shared_ptr<EventObject> event) {
        const int descriptor =
            retry_on_eintr([&] { return ::open(reopen_path().c_str(), O_WRONLY | O_CLOEXEC); });
        const int err = errno;
        {
            std::lock_guard<std::mutex> guard(lock);
            if (closing) {
                if (descriptor >= 0) ::close(descriptor);
                link = Link::failed;
                failure = ERROR_OPERATION_ABORTED;
            } else if (descriptor < 0) {
                link = Link::failed;
                failure = error_from_errno(err);
            } else {
                adopt(descriptor);
            }
        }
        settled.notify_all();
        event->set();
    }

    const std::string fifo;
    const dev_t device;
    const ino_t inode;
    const int path_fd;
    const int claim;
    const DWORD buffer_size;
    std::mutex lock;
    std::condition_variable settled;  // the pending connect has ended
    Link link = Link::listening;
    DWORD failure = ERROR_SUCCESS;
    std::atomic<int> write_fd{-1};
    std::atomic<bool> closing{false};
    std::thread connector;
};

NamedPipeObject::~NamedPipeObject() {
    if (connector.joinable()) {
        closing = true;
        // A reader of our own lets an open that waits for one return; it
        // stays open until the thread has ended, whenever it reaches open.
        const int release = ::open(reopen_path().c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        connector.join();
        if (release >= 0) ::close(release);
    }
    if (write_fd >= 0) ::close(write_fd);
    // The name goes with the server, unless it names another file by now.
    struct stat st;
    if (::lstat(fifo.c_str(), &st) == 0 && st.st_dev == device && st.st_ino == inode)
        ::unlink(fifo.c_str());
    ::close(path_fd);
    ::close(claim);
}

std::shared_ptr<NamedPipeObject> pipe_object(HANDLE handle) {
    std::shared_ptr<KernelObject> object = handle_lookup(handle);
    auto pipe = std::dynamic_pointer_cast<NamedPipeObject>(object);
    if (object && !pipe) SetLastError(ERROR_INVALID_PARAMETER);
    return pipe;
}

}  // namespace

bool is_pipe_name(const char* name) { return name_part(name) != nullptr; }

bool pipe_fifo_path(const char* name, bool create, std::string& fifo) {
    const char* part = name_part(name);
    if (part == nullptr || *part == '\0' || std::strlen(name) > kMaxPipeNameLength ||
        std::strpbrk(part, "\\/") != nullptr || std::strcmp(part, ".") == 0 ||
        std::strcmp(part, "..") == 0) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    std::string dir;
    if (!pipe_directory(create, dir)) return false;
    fifo = dir + "/" + part;
    return true;
}

HANDLE open_pipe_client(const char* name, DWORD desired_access) {
    if ((desired_access & GENERIC_READ) || !(desired_access & GENERIC_WRITE)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    std::string fifo;
    if (!pipe_fifo_path(name, false, fifo)) return INVALID_HANDLE_VALUE;
    const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        SetLastError(errno == ENXIO ? ERROR_PIPE_BUSY
                     : errno == ELOOP ? ERROR_FILE_NOT_FOUND
                                      : error_from_errno(errno));
        return INVALID_HANDLE_VALUE;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
        ::close(fd);
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    make_blocking(fd);
    HANDLE h = insert_descriptor(fd);
    return h ? h : INVALID_HANDLE_VALUE;
}

}  // namespace platform

using namespace platform;

HANDLE CreateNamedPipeA(LPCSTR lpName, DWORD dwOpenMode, DWORD dwPipeMode, DWORD nMaxInstances,
                        DWORD nOutBufferSize, DWORD /*nInBufferSize*/, DWORD /*nDefaultTimeOut*/,
                        LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/) {
    if ((dwOpenMode & ~FILE_FLAG_OVERLAPPED) != PIPE_ACCESS_OUTBOUND ||
        dwPipeMode != (PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT) || nMaxInstances != 1) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string fifo;
    if (!pipe_fifo_path(lpName, true, fifo)) return INVALID_HANDLE_VALUE;
    if (::mkfifo(fifo.c_str(), 0644) != 0 && errno != EEXIST) {
        fail_with_errno();
        return INVALID_HANDLE_VALUE;
    }
    // O_NOFOLLOW with O_PATH gives the link itself, which is no FIFO.
    const int path_fd = ::open(fifo.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (path_fd < 0 || ::fstat(path_fd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
        if (path_fd >= 0) ::close(path_fd);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    const int claim = claim_fifo(st);
    if (claim < 0) {
        ::close(path_fd);
        return INVALID_HANDLE_VALUE;
    }
    std::shared_ptr<NamedPipeObject> pipe;
    if (!allocated([&] {
            pipe = std::make_shared<NamedPipeObject>(fifo, st, path_fd, claim, nOutBufferSize);
        })) {
        ::close(path_fd);
        ::close(claim);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE h = handle_insert(std::move(pipe));
    return h ? h : INVALID_HANDLE_VALUE;
}

BOOL ConnectNamedPipe(HANDLE hNamedPipe, LPOVERLAPPED lpOverlapped) {
    std::shared_ptr<NamedPipeObject> pipe = pipe_object(hNamedPipe);
    if (!pipe) return FALSE;
    std::shared_ptr<EventObject> event =
        lpOverlapped != nullptr ? event_object(lpOverlapped->hEvent) : nullptr;
    if (!event) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(pipe->lock);
    if (pipe->link == Link::connected || pipe->link == Link::connecting) {
        SetLastError(pipe->link == Link::connected ? ERROR_PIPE_CONNECTED : ERROR_PIPE_LISTENING);
        return FALSE;
    }
    const int fd = ::open(pipe->reopen_path().c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        pipe->adopt(fd);
        SetLastError(ERROR_PIPE_CONNECTED);
        return FALSE;
    }
    if (errno != ENXIO) return fail_with_errno();
    if (pipe->connector.joinable()) pipe->connector.join();  // an earlier connect that failed
    event->reset();
    lpOverlapped->Internal = STATUS_PENDING;
    lpOverlapped->InternalHigh = 0;
    try {
        // Signals meant for the process are never taken by this thread,
        // which has no interpreter for their handlers.
        pipe->connector =
            start_thread_without_signals(&NamedPipeObject::wait_for_reader, pipe.get(), event);
    } catch (const std::system_error&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    pipe->link = Link::connecting;
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                         LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
    std::shared_ptr<NamedPipeObject> pipe = pipe_object(hFile);
    if (!pipe) return FALSE;
    if (lpOverlapped == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::unique_lock<std::mutex> guard(pipe->lock);
    if (bWait) pipe->settled.wait(guard, [&pipe] { return pipe->link != Link::connecting; });
    if (lpNumberOfBytesTransferred) *lpNumberOfBytesTransferred = 0;
    switch (pipe->link) {
        case Link::connected: lpOverlapped->Internal = ERROR_SUCCESS; return TRUE;
        case Link::connecting: SetLastError(ERROR_IO_INCOMPLETE); return FALSE;
        case Link::failed: SetLastError(pipe->failure); return FALSE;
        case Link::listening: break;
    }
    SetLastError(ERROR_INVALID_PARAMETER);  // no connect was started
    return FALSE;
}
