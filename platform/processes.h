// Processes, pipes and waits (kernel32 CreatePipe, DuplicateHandle,
// CreateProcessA, OpenProcess, TerminateProcess, GetExitCodeProcess,
// GetProcessId, WaitForSingleObject) over host pipes, posix_spawn and
// process descriptors (pidfd).
//
// A child started here receives exactly its three standard handles: every
// other descriptor of this process is closed in it, whatever its
// close-on-exec flag, so a child never keeps another child's pipe open.
// The inheritance flags of handles and of CreateProcessA are accepted and
// have no further effect.
#pragma once

#include <string>
#include <vector>

#include "platform/types.h"

struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
};
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

struct STARTUPINFOA {
    DWORD cb;
    LPSTR lpReserved;
    LPSTR lpDesktop;
    LPSTR lpTitle;
    DWORD dwX;
    DWORD dwY;
    DWORD dwXSize;
    DWORD dwYSize;
    DWORD dwXCountChars;
    DWORD dwYCountChars;
    DWORD dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    BYTE* lpReserved2;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
};
using LPSTARTUPINFOA = STARTUPINFOA*;

struct PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
};
using LPPROCESS_INFORMATION = PROCESS_INFORMATION*;

// An anonymous pipe: two handles over a host pipe. nSize is a hint that the
// host's pipe size (64 KiB) replaces.
BOOL CreatePipe(PHANDLE hReadPipe, PHANDLE hWritePipe, LPSECURITY_ATTRIBUTES lpPipeAttributes,
                DWORD nSize);

// The pseudo handle (-1) that names this process wherever a process handle
// is taken; it needs no closing.
HANDLE GetCurrentProcess();
DWORD GetCurrentProcessId();

// A second handle to the same object, within this process only (both
// process handles must name this process, else ERROR_NOT_SUPPORTED). The
// object lives until its last handle is closed. DUPLICATE_CLOSE_SOURCE
// closes the source handle, also when the duplication fails.
BOOL DuplicateHandle(HANDLE hSourceProcessHandle, HANDLE hSourceHandle,
                     HANDLE hTargetProcessHandle, PHANDLE lpTargetHandle, DWORD dwDesiredAccess,
                     BOOL bInheritHandle, DWORD dwOptions);

// Starts a program, with no shell involved. The command line is split into
// the program and its arguments by the Windows rules
// (platform::split_command_line); the program is lpApplicationName when
// given, else the first argument: a name with a separator or drive is
// translated by the layer and used as it is, a bare name is searched in the
// directories of PATH (an empty entry is the working directory). The child
// gets the caller's environment (or the ANSI block lpEnvironment), the
// working directory (or lpCurrentDirectory), every signal at its default
// and none blocked, and as standard handles those of lpStartupInfo with
// STARTF_USESTDHANDLES, else this process's standard handles; a NULL or
// invalid one becomes /dev/null. dwCreationFlags may hold CREATE_NO_WINDOW,
// which changes nothing (there are no windows); any other flag fails with
// ERROR_INVALID_PARAMETER. A missing program fails with
// ERROR_FILE_NOT_FOUND, one that may not be run with ERROR_ACCESS_DENIED,
// one of an unknown format with ERROR_BAD_EXE_FORMAT. hThread names the
// child's main thread; waiting for it waits for the child, and
// dwThreadId equals dwProcessId, as the host's main thread id does.
BOOL CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine,
                    LPSECURITY_ATTRIBUTES lpProcessAttributes,
                    LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles,
                    DWORD dwCreationFlags, LPVOID lpEnvironment, LPCSTR lpCurrentDirectory,
                    LPSTARTUPINFOA lpStartupInfo, LPPROCESS_INFORMATION lpProcessInformation);

// A handle to a running process of this host. Process id 0 and ids that
// name no process fail with ERROR_INVALID_PARAMETER; PROCESS_TERMINATE is
// granted only when this process may signal the target (else
// ERROR_ACCESS_DENIED). Other rights are granted here and checked by the
// call that uses them.
HANDLE OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwProcessId);

// Ends the process at once (SIGKILL); its exit code is then uExitCode. The
// pseudo handle ends this process with uExitCode without clean-up. Fails
// with ERROR_ACCESS_DENIED without PROCESS_TERMINATE, for a process that
// has already ended, or when the host refuses the signal.
BOOL TerminateProcess(HANDLE hProcess, UINT uExitCode);

// STILL_ACTIVE while the process runs; then its exit status (0 to 255), or
// 128 plus the signal number for a child ended by a signal that
// TerminateProcess did not send. The status of a process that is not a
// child of this one is not known to this host: ERROR_NOT_SUPPORTED once it
// has ended. ERROR_WAIT_NO_CHILDREN when other code of this process
// collected the child's status first.
BOOL GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode);

// The process id behind a process or thread handle (this process's for the
// pseudo handle); 0 with ERROR_INVALID_HANDLE for anything else.
DWORD GetProcessId(HANDLE Process);

// Waits until the object is signaled or the time (milliseconds, INFINITE)
// has passed: WAIT_OBJECT_0, WAIT_TIMEOUT or WAIT_FAILED. A process or
// thread is signaled once the process has ended (a child is then collected,
// so it leaves no zombie). A file or pipe handle is signaled while a read
// would not block: data is waiting, the writers are gone or an error is
// pending (as a console input handle is signaled by waiting input). An
// event (platform/events.h) is signaled while it is set; a wait on an
// automatic-reset event resets it.
// The pseudo handle of GetCurrentProcess cannot be waited for
// (ERROR_INVALID_HANDLE).
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);

namespace platform {

// Splits a command line by the rules of the Windows C runtime: the program
// name (after any leading white space, which CreateProcessA skips too)
// ends at white space outside double quotes, and its quotes are
// removed; arguments are separated by spaces and tabs, double quotes group
// and are removed, 2n backslashes before a quote give n backslashes and
// the quote groups, 2n+1 give n backslashes and a literal quote, a pair of
// quotes inside a quoted part gives one literal quote, other backslashes
// are literal.
std::vector<std::string> split_command_line(const char* command_line);

// The inverse: a command line that split_command_line turns back into
// `arguments`, with quotes only where an argument needs them.
std::string join_command_line(const std::vector<std::string>& arguments);

// True while the process behind a process handle (or the pseudo handle)
// has not ended, so that its id still names it: data read by id before
// this check belongs to that process.
bool process_is_running(HANDLE process);

}  // namespace platform
