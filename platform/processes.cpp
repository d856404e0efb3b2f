#include "platform/processes.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
extern "C" {  // this glibc's header lacks the C linkage for C++
#include <sys/pidfd.h>
}
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/child_reaper.h"
#include "platform/console.h"
#include "platform/errors.h"
#include "platform/events.h"
#include "platform/handles.h"
#include "platform/internal.h"
#include "platform/path_search.h"
#include "platform/paths.h"

extern char** environ;

namespace platform {
namespace {

HANDLE const kCurrentProcess = INVALID_HANDLE_VALUE;
constexpr DWORD kAllAccess = 0x1FFFFF;

enum class Fate { running, ended, lost };

struct ProcessObject;

// This process's children by id, so that a termination through any handle
// (one from OpenProcess too) gives the child the requested exit code.
struct Children {
    std::mutex lock;
    std::unordered_map<pid_t, std::weak_ptr<ProcessObject>> by_pid;
};

Children& children() {
    static Children c;
    return c;
}

// A host process behind a handle: a child of this process (which it
// collects) or a process opened by id. The pidfd makes it waitable and
// keeps its id from naming another process.
struct ProcessObject : KernelObject {
    ProcessObject(pid_t id, int descriptor, bool is_child, DWORD rights)
        : pid(id), pidfd(descriptor), child(is_child), access(rights) {}
    ~ProcessObject() override {
        if (child) {
            {
                Children& c = children();
                std::lock_guard<std::mutex> guard(c.lock);
                c.by_pid.erase(pid);
            }
            // A child that still runs is collected as soon as it ends.
            if (fate == Fate::running && ::waitpid(pid, nullptr, WNOHANG) == 0) {
                reap_when_ended(pid, pidfd);
                return;
            }
        }
        ::close(pidfd);
    }

    const pid_t pid;
    const int pidfd;
    const bool child;
    const DWORD access;
    std::mutex lock;
    Fate fate = Fate::running;
    DWORD exit_code = STILL_ACTIVE;
    bool terminated = false;  // TerminateProcess sent the signal
    UINT termination_code = 0;
};

// The child's main thread: it ends with the process.
struct ThreadObject : KernelObject {
    explicit ThreadObject(std::shared_ptr<ProcessObject> p) : process(std::move(p)) {}
    std::shared_ptr<ProcessObject> process;
};

std::shared_ptr<ProcessObject> process_object(HANDLE handle) {
    std::shared_ptr<KernelObject> object = handle_lookup(handle);
    if (auto process = std::dynamic_pointer_cast<ProcessObject>(object)) return process;
    if (auto thread = std::dynamic_pointer_cast<ThreadObject>(object)) return thread->process;
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
}

// Waits until `fd` is readable (or hung up): WAIT_OBJECT_0, WAIT_TIMEOUT
// or WAIT_FAILED.
DWORD wait_readable(int fd, DWORD milliseconds) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        int timeout = -1;
        if (milliseconds != INFINITE) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - Clock::now()).count();
            timeout = static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
        }
        struct pollfd p = {fd, POLLIN, 0};
        const int n = ::poll(&p, 1, timeout);
        if (n > 0) return WAIT_OBJECT_0;
        if (n == 0) return WAIT_TIMEOUT;
        if (errno != EINTR) {
            fail_with_errno();
            return WAIT_FAILED;
        }
    }
}

// Notes the end of a process that has ended: a child's status is
// collected (waiting for it when `block`), a process that is not a child
// has no status here. Call with the object's lock.
void settle(ProcessObject& p, bool block) {
    if (p.fate != Fate::running) return;
    if (!p.child) {
        if (block || wait_readable(p.pidfd, 0) == WAIT_OBJECT_0) p.fate = Fate::ended;
        return;
    }
    int status = 0;
    const pid_t r = retry_on_eintr([&] { return ::waitpid(p.pid, &status, block ? 0 : WNOHANG); });
    if (r == 0) return;
    if (r < 0) {
        p.fate = Fate::lost;
        return;
    }
    p.fate = Fate::ended;
    if (WIFEXITED(status))
        p.exit_code = static_cast<DWORD>(WEXITSTATUS(status));
    else if (WIFSIGNALED(status))
        p.exit_code = p.terminated && WTERMSIG(status) == SIGKILL
                          ? p.termination_code
                          : static_cast<DWORD>(128 + WTERMSIG(status));
}

DWORD wait_process(ProcessObject& p, DWORD milliseconds) {
    {
        std::lock_guard<std::mutex> guard(p.lock);
        if (p.fate != Fate::running) return WAIT_OBJECT_0;
    }
    const DWORD r = wait_readable(p.pidfd, milliseconds);
    if (r != WAIT_OBJECT_0) return r;
    std::lock_guard<std::mutex> guard(p.lock);
    settle(p, true);
    return WAIT_OBJECT_0;
}

bool names_this_process(HANDLE process) {
    if (process == kCurrentProcess) return true;
    std::shared_ptr<ProcessObject> p = process_object(process);
    return p && p->pid == ::getpid();
}

bool is_white(char c) { return c == ' ' || c == '\t'; }

// True for a program name that names a file rather than a PATH entry.
bool has_directory(const std::string& program) {
    return program.find_first_of("/\\") != std::string::npos ||
           (program.size() >= 2 && program[1] == ':');
}

// The host path of the program: translated when it names a file, else the
// first executable file of that name in PATH.
bool resolve_program(const std::string& program, std::string& path) {
    if (program.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    if (has_directory(program)) return host_path(program.c_str(), path);
    return search_executable(program, "/usr/local/bin:/usr/bin:/bin", path);
}

// The three descriptors that become the child's 0, 1 and 2: private
// copies above 2 (so that placing them cannot overwrite one another), or
// /dev/null for a standard handle that names nothing.
struct ChildStdio {
    int fds[3] = {-1, -1, -1};
    ~ChildStdio() {
        for (int fd : fds)
            if (fd >= 0) ::close(fd);
    }
    bool prepare(const HANDLE handles[3]) {
        for (int i = 0; i < 3; ++i) {
            const int source = handle_fd(handles[i]);
            fds[i] = source >= 0 ? ::fcntl(source, F_DUPFD_CLOEXEC, 3)
                                 : ::open("/dev/null", O_RDWR | O_CLOEXEC);
            if (fds[i] >= 0 && fds[i] < 3) {
                const int moved = ::fcntl(fds[i], F_DUPFD_CLOEXEC, 3);
                ::close(fds[i]);
                fds[i] = moved;
            }
            if (fds[i] < 0) return fail_with_errno();
        }
        return true;
    }
};

// An ANSI environment block ("A=1\0B=2\0\0") as an environ array.
std::vector<char*> environment_of(LPVOID block) {
    std::vector<char*> entries;
    for (char* p = static_cast<char*>(block); *p != '\0'; p += std::strlen(p) + 1)
        entries.push_back(p);
    entries.push_back(nullptr);
    return entries;
}

// posix_spawn with the child's standard descriptors, working directory and
// fresh signal state; every other descriptor is closed in the child.
int spawn(pid_t& pid, const std::string& path, char* const argv[], char* const envp[],
          const ChildStdio& stdio, const std::string* directory) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    if (int e = posix_spawn_file_actions_init(&actions)) return e;
    if (int e = posix_spawnattr_init(&attributes)) {
        posix_spawn_file_actions_destroy(&actions);
        return e;
    }
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    int e = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    if (!e) e = posix_spawnattr_setsigmask(&attributes, &none);
    if (!e) e = posix_spawnattr_setsigdefault(&attributes, &all);
    for (int i = 0; i < 3 && !e; ++i) e = posix_spawn_file_actions_adddup2(&actions, stdio.fds[i], i);
    if (!e) e = posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    if (!e && directory) e = posix_spawn_file_actions_addchdir_np(&actions, directory->c_str());
    if (!e) e = posix_spawn(&pid, path.c_str(), &actions, &attributes, argv, envp);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return e;
}

}  // namespace

std::vector<std::string> split_command_line(const char* command_line) {
    std::vector<std::string> out;
    if (command_line == nullptr) return out;
    const char* p = command_line;
    while (is_white(*p)) ++p;
    if (*p == '\0') return out;
    // The program name: quotes group and are dropped, backslashes are literal.
    std::string program;
    bool quoted = false;
    for (; *p && (quoted || !is_white(*p)); ++p) {
        if (*p == '"')
            quoted = !quoted;
        else
            program += *p;
    }
    out.push_back(program);
    for (;;) {
        while (is_white(*p)) ++p;
        if (*p == '\0') break;
        std::string argument;
        quoted = false;
        while (*p && (quoted || !is_white(*p))) {
            size_t backslashes = 0;
            while (*p == '\\') ++backslashes, ++p;
            if (*p == '"') {
                argument.append(backslashes / 2, '\\');
                if (backslashes % 2) {
                    argument += '"';
                } else if (quoted && p[1] == '"') {
                    argument += '"';
                    ++p;
                } else {
                    quoted = !quoted;
                }
                ++p;
            } else {
                argument.append(backslashes, '\\');
                if (*p && (quoted || !is_white(*p))) argument += *p++;
            }
        }
        out.push_back(argument);
    }
    return out;
}

std::string join_command_line(const std::vector<std::string>& arguments) {
    std::string line;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& a = arguments[i];
        if (i > 0) line += ' ';
        const bool plain = !a.empty() && a.find_first_of(" \t\"") == std::string::npos;
        if (plain) {
            line += a;
            continue;
        }
        if (i == 0) {  // the program name has no escapes: quote it whole
            line += '"' + a + '"';
            continue;
        }
        line += '"';
        size_t backslashes = 0;
        for (char c : a) {
            if (c == '\\') {
                ++backslashes;
                continue;
            }
            // Backslashes before a quote are doubled, and the quote escaped.
            line.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
            backslashes = 0;
            line += c;
        }
        line.append(backslashes * 2, '\\');  // before the closing quote
        line += '"';
    }
    return line;
}

bool process_is_running(HANDLE process) {
    if (process == kCurrentProcess) return true;
    std::shared_ptr<ProcessObject> p = process_object(process);
    if (!p) return false;
    std::lock_guard<std::mutex> guard(p->lock);
    return p->fate == Fate::running &&
           (::pidfd_send_signal(p->pidfd, 0, nullptr, 0) == 0 || errno == EPERM);
}

}  // namespace platform

using namespace platform;

BOOL CreatePipe(PHANDLE hReadPipe, PHANDLE hWritePipe, LPSECURITY_ATTRIBUTES /*attributes*/,
                DWORD /*nSize*/) {
    if (hReadPipe == nullptr || hWritePipe == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return fail_with_errno();
    HANDLE read_end = insert_descriptor(fds[0]);
    if (read_end == nullptr) {
        ::close(fds[1]);
        return FALSE;
    }
    HANDLE write_end = insert_descriptor(fds[1]);
    if (write_end == nullptr) {
        CloseHandle(read_end);
        return FALSE;
    }
    *hReadPipe = read_end;
    *hWritePipe = write_end;
    return TRUE;
}

HANDLE GetCurrentProcess() { return kCurrentProcess; }

DWORD GetCurrentProcessId() { return static_cast<DWORD>(::getpid()); }

BOOL DuplicateHandle(HANDLE hSourceProcessHandle, HANDLE hSourceHandle,
                     HANDLE hTargetProcessHandle, PHANDLE lpTargetHandle, DWORD /*access*/,
                     BOOL /*inherit*/, DWORD dwOptions) {
    if (!names_this_process(hSourceProcessHandle) || !names_this_process(hTargetProcessHandle)) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    std::shared_ptr<KernelObject> object = handle_lookup(hSourceHandle);
    if (!object) return FALSE;
    HANDLE copy = nullptr;
    if (lpTargetHandle != nullptr) {
        copy = handle_insert(object, handle_is_console(hSourceHandle));
        if (copy == nullptr) {
            if (dwOptions & DUPLICATE_CLOSE_SOURCE) handle_remove(hSourceHandle);
            return FALSE;
        }
        *lpTargetHandle = copy;
    }
    if (dwOptions & DUPLICATE_CLOSE_SOURCE) handle_remove(hSourceHandle);
    return TRUE;
}

BOOL CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine,
                    LPSECURITY_ATTRIBUTES /*process attributes*/,
                    LPSECURITY_ATTRIBUTES /*thread attributes*/, BOOL /*bInheritHandles*/,
                    DWORD dwCreationFlags, LPVOID lpEnvironment, LPCSTR lpCurrentDirectory,
                    LPSTARTUPINFOA lpStartupInfo, LPPROCESS_INFORMATION lpProcessInformation) {
    if ((lpApplicationName == nullptr && lpCommandLine == nullptr) || lpStartupInfo == nullptr ||
        lpProcessInformation == nullptr || (dwCreationFlags & ~CREATE_NO_WINDOW) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<std::string> arguments =
        lpCommandLine ? split_command_line(lpCommandLine)
                      : std::vector<std::string>{lpApplicationName};
    std::string path;
    if (lpApplicationName ? !host_path(lpApplicationName, path)
                          : !resolve_program(arguments.empty() ? "" : arguments[0], path))
        return FALSE;
    if (arguments.empty()) arguments.push_back(path);
    std::string directory;
    if (lpCurrentDirectory && !host_path(lpCurrentDirectory, directory)) return FALSE;

    HANDLE stdio_handles[3] = {lpStartupInfo->hStdInput, lpStartupInfo->hStdOutput,
                               lpStartupInfo->hStdError};
    if (!(lpStartupInfo->dwFlags & STARTF_USESTDHANDLES)) {
        stdio_handles[0] = GetStdHandle(STD_INPUT_HANDLE);
        stdio_handles[1] = GetStdHandle(STD_OUTPUT_HANDLE);
        stdio_handles[2] = GetStdHandle(STD_ERROR_HANDLE);
    }
    ChildStdio stdio;
    if (!stdio.prepare(stdio_handles)) return FALSE;

    std::vector<char*> argv;
    for (std::string& a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> block_env;
    if (lpEnvironment) block_env = environment_of(lpEnvironment);
    char* const* envp = lpEnvironment ? block_env.data() : environ;

    pid_t pid = 0;
    if (const int e = spawn(pid, path, argv.data(), envp, stdio,
                            lpCurrentDirectory ? &directory : nullptr)) {
        SetLastError(error_from_errno(e));
        return FALSE;
    }
    const int pidfd = ::pidfd_open(pid, 0);
    std::shared_ptr<ProcessObject> process;
    HANDLE process_handle = nullptr, thread_handle = nullptr;
    if (pidfd >= 0) {
        if (allocated([&] {
                process = std::make_shared<ProcessObject>(pid, pidfd, true, kAllAccess);
                Children& c = children();
                std::lock_guard<std::mutex> guard(c.lock);
                c.by_pid[pid] = process;
            })) {
            process_handle = handle_insert(process);
            if (process_handle) thread_handle = insert_new<ThreadObject>(process);
        }
    } else {
        fail_with_errno();
    }
    if (thread_handle == nullptr) {
        // The child cannot be handed out: end it rather than lose it.
        const DWORD error = GetLastError();
        ::kill(pid, SIGKILL);
        if (process_handle) CloseHandle(process_handle);
        if (!process) {
            if (pidfd >= 0) ::close(pidfd);
            ::waitpid(pid, nullptr, 0);
        }
        SetLastError(error);
        return FALSE;
    }
    lpProcessInformation->hProcess = process_handle;
    lpProcessInformation->hThread = thread_handle;
    lpProcessInformation->dwProcessId = static_cast<DWORD>(pid);
    lpProcessInformation->dwThreadId = static_cast<DWORD>(pid);
    return TRUE;
}

HANDLE OpenProcess(DWORD dwDesiredAccess, BOOL /*bInheritHandle*/, DWORD dwProcessId) {
    if (dwProcessId == 0 || dwProcessId > static_cast<DWORD>(INT_MAX)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const int pidfd = ::pidfd_open(static_cast<pid_t>(dwProcessId), 0);
    if (pidfd < 0) {
        if (errno == ESRCH || errno == EINVAL)
            SetLastError(ERROR_INVALID_PARAMETER);
        else
            fail_with_errno();
        return nullptr;
    }
    if ((dwDesiredAccess & PROCESS_TERMINATE) && ::pidfd_send_signal(pidfd, 0, nullptr, 0) != 0) {
        SetLastError(errno == ESRCH ? ERROR_INVALID_PARAMETER : error_from_errno(errno));
        ::close(pidfd);
        return nullptr;
    }
    std::shared_ptr<ProcessObject> process;
    if (!allocated([&] {
            process = std::make_shared<ProcessObject>(static_cast<pid_t>(dwProcessId), pidfd, false,
                                                      dwDesiredAccess);
        })) {
        ::close(pidfd);
        return nullptr;
    }
    return handle_insert(std::move(process));
}

BOOL TerminateProcess(HANDLE hProcess, UINT uExitCode) {
    if (hProcess == kCurrentProcess) ::_exit(static_cast<int>(uExitCode));
    std::shared_ptr<ProcessObject> p = process_object(hProcess);
    if (!p) return FALSE;
    if (p->pid == ::getpid()) ::_exit(static_cast<int>(uExitCode));
    std::shared_ptr<ProcessObject> child = p;
    if (!p->child) {
        Children& c = children();
        std::lock_guard<std::mutex> guard(c.lock);
        auto known = c.by_pid.find(p->pid);
        child = known != c.by_pid.end() ? known->second.lock() : nullptr;
    }
    {
        std::lock_guard<std::mutex> guard(p->lock);
        settle(*p, false);
        if (!(p->access & PROCESS_TERMINATE) || p->fate != Fate::running) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        if (::pidfd_send_signal(p->pidfd, SIGKILL, nullptr, 0) != 0) {
            SetLastError(errno == ESRCH ? ERROR_ACCESS_DENIED : error_from_errno(errno));
            return FALSE;
        }
    }
    if (child) {
        std::lock_guard<std::mutex> guard(child->lock);
        child->terminated = true;
        child->termination_code = uExitCode;
    }
    return TRUE;
}

BOOL GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode) {
    std::shared_ptr<ProcessObject> p = process_object(hProcess);
    if (!p || lpExitCode == nullptr) {
        if (p) SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(p->lock);
    settle(*p, false);
    switch (p->fate) {
        case Fate::running: *lpExitCode = STILL_ACTIVE; return TRUE;
        case Fate::lost: SetLastError(ERROR_WAIT_NO_CHILDREN); return FALSE;
        case Fate::ended:
            if (!p->child) {
                SetLastError(ERROR_NOT_SUPPORTED);
                return FALSE;
            }
            *lpExitCode = p->exit_code;
            return TRUE;
    }
    return FALSE;
}

DWORD GetProcessId(HANDLE Process) {
    if (Process == kCurrentProcess) return GetCurrentProcessId();
    std::shared_ptr<ProcessObject> p = process_object(Process);
    return p ? static_cast<DWORD>(p->pid) : 0;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    std::shared_ptr<KernelObject> object = handle_lookup(hHandle);
    if (!object) return WAIT_FAILED;
    if (std::shared_ptr<ProcessObject> p = process_object(hHandle))
        return wait_process(*p, dwMilliseconds);
    if (auto event = std::dynamic_pointer_cast<EventObject>(object)) {
        // Signaled while its counter is set; a wait that lost the signal to
        // another waiter waits again.
        DWORD r;
        do r = wait_readable(event->fd(), dwMilliseconds);
        while (r == WAIT_OBJECT_0 && !event->satisfy_wait());
        return r;
    }
    if (object->fd() < 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return wait_readable(object->fd(), dwMilliseconds);
}
