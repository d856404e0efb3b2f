// What the files of the platform layer share and modules do not see: the
// retry of host calls that a signal interrupted, the mapping of a failed
// allocation to ERROR_NOT_ENOUGH_MEMORY, the reading of small files, the
// names of /proc entries, and threads that take no signals.
#pragma once

#include <signal.h>

#include <cerrno>
#include <cstddef>
#include <new>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include "platform/errors.h"
#include "platform/handles.h"
#include "platform/types.h"

namespace platform {

// Calls `call` again for as long as it fails with EINTR; its last result.
template <class Call>
auto retry_on_eintr(Call call) -> decltype(call()) {
    decltype(call()) result;
    do result = call();
    while (result < 0 && errno == EINTR);
    return result;
}

// Writes all `size` bytes to the descriptor; false with errno set when a
// write fails (or writes nothing).
bool write_all(int fd, const void* data, size_t size);

// Runs `step`, which may allocate: ERROR_SUCCESS, or ERROR_NOT_ENOUGH_MEMORY
// when it ran out of memory (the last error is left alone, for the calls
// that return their error code).
template <class Step>
DWORD allocation_error(Step&& step) {
    try {
        step();
        return ERROR_SUCCESS;
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

// Runs `step`; false with the last error ERROR_NOT_ENOUGH_MEMORY when it
// ran out of memory.
template <class Step>
bool allocated(Step&& step) {
    const DWORD error = allocation_error(std::forward<Step>(step));
    if (error != ERROR_SUCCESS) SetLastError(error);
    return error == ERROR_SUCCESS;
}

// A handle for a new kernel object T(args...); NULL with the last error set
// when it cannot be made or no handle is left.
template <class T, class... Args>
HANDLE insert_new(Args&&... args) {
    std::shared_ptr<T> object;
    if (!allocated([&] { object = std::make_shared<T>(std::forward<Args>(args)...); }))
        return nullptr;
    return handle_insert(std::move(object));
}

// A handle for a new DescriptorObject over `fd` (a console handle when
// `console`); NULL with the last error set when it cannot be made, and an
// owned `fd` is then closed all the same.
HANDLE insert_descriptor(int fd, bool console = false, bool owned = true);

// The largest file that read_small_file reads by default.
constexpr size_t kSmallFileLimit = 16 * 1024 * 1024;

// Reads the whole file at the host path `path` into `contents` (files of
// /proc, whose size the host does not know beforehand, included). False
// with errno set when it cannot be read, EFBIG when it holds more than
// `limit` bytes.
bool read_small_file(const std::string& path, std::string& contents,
                     size_t limit = kSmallFileLimit);

// The path of an entry of a process's /proc directory ("/proc/PID/ENTRY"),
// and of this process's own ("/proc/self/ENTRY").
std::string proc_path(DWORD pid, const std::string& entry);
std::string proc_self_path(const std::string& entry);

// Starts a thread running `args` (as std::thread does, throwing
// std::system_error when none can be started) with every signal blocked:
// the process's signal handlers (the installer's among them) then run on
// its own threads only, never on a thread of the layer that has no
// interpreter.
template <class... Args>
std::thread start_thread_without_signals(Args&&... args) {
    struct MaskRestore {
        sigset_t previous;
        ~MaskRestore() { pthread_sigmask(SIG_SETMASK, &previous, nullptr); }
    } restore;
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &restore.previous);
    return std::thread(std::forward<Args>(args)...);
}

// Keeps this library loaded for the rest of the process, for a thread of
// the layer that may still run when the library would be unloaded.
void keep_library_loaded();

}  // namespace platform
