// Named pipes (kernel32 CreateNamedPipeA, ConnectNamedPipe,
// GetOverlappedResult, and CreateFileA on a pipe name) over FIFOs.
//
// The pipe "\\.\pipe\NAME" (either separator in the prefix) is the FIFO
// NAME in the pipe directory: $LMX_PIPE_DIR, else
// $XDG_RUNTIME_DIR/lmxrun-pipes, else /tmp/lmxrun-pipes-UID; the last two
// are created private to the user (0700) and refused when they are not.
// Any program reads the pipe by opening the FIFO as a file.
//
// A server end is outbound only: this process writes, the reader is
// whoever opens the FIFO. While a server handle lives, its process holds a
// claim on the FIFO (an abstract Unix socket address made of the FIFO's
// device and inode numbers), which the kernel drops when the process ends;
// so a second server on the name gets ERROR_PIPE_BUSY while the first
// lives, and a FIFO left behind by a process that died is taken over.
// Closing the server's last handle removes its FIFO.
#pragma once

#include <string>

#include "platform/types.h"

struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

#define PIPE_ACCESS_OUTBOUND 0x00000002u
#define FILE_FLAG_OVERLAPPED 0x40000000u
#define PIPE_TYPE_BYTE 0x0u
#define PIPE_READMODE_BYTE 0x0u
#define PIPE_WAIT 0x0u
#define NMPWAIT_WAIT_FOREVER 0xFFFFFFFFu
#define STATUS_PENDING 0x103u

// Creates the server end: PIPE_ACCESS_OUTBOUND (with or without
// FILE_FLAG_OVERLAPPED), byte type, blocking, one instance (a FIFO has one;
// other modes and counts fail with ERROR_INVALID_PARAMETER). The output
// buffer size becomes the host pipe's size once a reader is connected; the
// input size and the default time-out have no use for an outbound pipe.
// A malformed name fails with ERROR_INVALID_NAME; ERROR_PIPE_BUSY while
// another living server holds the name; ERROR_ACCESS_DENIED when something
// that is no FIFO has the name. The FIFO is created with mode 0644 (less
// the umask): the creator writes, others may read, as the default security
// of a Windows pipe allows.
HANDLE CreateNamedPipeA(LPCSTR lpName, DWORD dwOpenMode, DWORD dwPipeMode, DWORD nMaxInstances,
                        DWORD nOutBufferSize, DWORD nInBufferSize, DWORD nDefaultTimeOut,
                        LPSECURITY_ATTRIBUTES lpSecurityAttributes);

// Waits for a reader, overlapped only (lpOverlapped with an event from
// CreateEventA; else ERROR_INVALID_PARAMETER). Always FALSE, as an
// overlapped connect is on Windows: ERROR_PIPE_CONNECTED when a reader has
// the FIFO open already (the event is left as it is), ERROR_IO_PENDING when
// the connect goes on in the background; it then completes when a reader
// opens the FIFO and sets the event. ERROR_PIPE_LISTENING while a connect
// is already pending. Until the connect completes, writes fail with
// ERROR_PIPE_LISTENING.
BOOL ConnectNamedPipe(HANDLE hNamedPipe, LPOVERLAPPED lpOverlapped);

// The result of the pending connect of a server end: TRUE once a reader is
// connected (no bytes are transferred by a connect); ERROR_IO_INCOMPLETE
// while it is pending and bWait is FALSE (with bWait it waits);
// ERROR_INVALID_PARAMETER for a handle that is no server end (the layer
// has no other overlapped operation).
BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                         LPDWORD lpNumberOfBytesTransferred, BOOL bWait);

namespace platform {

// True for a name of the form "\\.\pipe\..." (either separator).
bool is_pipe_name(const char* name);

// CreateFileA on a pipe name: the client end, which writes into the FIFO
// beside the server (GENERIC_WRITE only; reading clients are other
// programs, which open the FIFO as a file: ERROR_ACCESS_DENIED). Fails with
// ERROR_FILE_NOT_FOUND when there is no such pipe and ERROR_PIPE_BUSY when
// no reader has the FIFO open, so that nothing could take the data.
HANDLE open_pipe_client(const char* name, DWORD desired_access);

// The host path of the FIFO that stands for the pipe `name`; false with
// ERROR_INVALID_NAME for a malformed name, or with the reason why the pipe
// directory cannot be used (it is created when `create` is set).
bool pipe_fifo_path(const char* name, bool create, std::string& fifo);

}  // namespace platform
