// KALDOR::Install::BackupPipe: streams byte strings to another process
// through a named pipe. The object serves the pipe (a one-instance,
// outbound server end whose connect waits for the reader in the
// background) or, when another process already serves that name, writes
// into it as a client.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>

#include "platform/errors.h"
#include "platform/events.h"
#include "platform/files.h"
#include "platform/named_pipes.h"
#include "platform/processes.h"
#include "platform/unique_handle.h"
#include "runtime/host/arguments.h"
#include "runtime/host/module_table.h"
#include "runtime/host/native_object.h"
#include "runtime/host/xs_module.h"

namespace {

using platform::UniqueHandle;

const char kClass[] = "KALDOR::Install::BackupPipe";
const char kKey[] = "obj";
const char kWriteMode[] = "w";
constexpr DWORD kPipeBufferSize = 65536;

// One pipe. A thread's clone of the object gets no record (the pipe
// belongs to the original).
struct BackupPipeRecord {
    std::string pipe_name;
    std::string mode;
    OVERLAPPED overlapped{};  // its event is `event`
    UniqueHandle event;
    bool io_pending = false;
    bool connect_pending = false;
    UniqueHandle pipe;
};

BackupPipeRecord* record_of(pTHX_ SV* self) {
    return lmx::record_of<BackupPipeRecord>(aTHX_ self, kKey);
}

// Closes the pipe and, with it, the event of its connect.
void close_pipe(BackupPipeRecord* r) {
    r->pipe.reset();
    r->event.reset();
    r->overlapped = OVERLAPPED{};
    r->io_pending = r->connect_pending = false;
}

// Creates the server end and starts waiting for the reader; when another
// process serves the name, opens it as a client instead.
bool open_pipe(pTHX_ BackupPipeRecord* r) {
    if (r->mode != kWriteMode) return false;
    close_pipe(r);  // a second Open replaces the first pipe
    r->pipe.reset(CreateNamedPipeA(r->pipe_name.c_str(),
                                   PIPE_ACCESS_OUTBOUND | FILE_FLAG_OVERLAPPED,
                                   PIPE_TYPE_BYTE | PIPE_WAIT, 1, kPipeBufferSize,
                                   kPipeBufferSize, NMPWAIT_WAIT_FOREVER, nullptr));
    if (!r->pipe) {
        if (GetLastError() != ERROR_PIPE_BUSY) return false;
        r->pipe.reset(CreateFileA(r->pipe_name.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        return static_cast<bool>(r->pipe);
    }
    r->event.reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    if (!r->event) {
        close_pipe(r);
        return false;
    }
    r->overlapped.hEvent = r->event.get();
    if (ConnectNamedPipe(r->pipe.get(), &r->overlapped)) return true;
    switch (const DWORD error = GetLastError()) {
        case ERROR_PIPE_CONNECTED: SetEvent(r->event.get()); return true;
        case ERROR_IO_PENDING: r->io_pending = r->connect_pending = true; return true;
        default:
            PerlIO_printf(PerlIO_stdout(), "ConnectNamedPipe failed with %d.\n",
                          static_cast<int>(error));
            close_pipe(r);
            return false;
    }
}

XS_INTERNAL(xs_new) {
    dXSARGS;
    if (items != 3) XSRETURN_UNDEF;
    const std::string class_name = lmx::class_arg(aTHX_ ST(0), kClass);
    const std::optional<std::string> name = lmx::text_arg(aTHX_ ST(1));
    const std::optional<std::string> mode = lmx::text_arg(aTHX_ ST(2));
    if (!name || name->empty() || mode != kWriteMode)
        XSRETURN_UNDEF;
    auto record = std::make_unique<BackupPipeRecord>();
    record->pipe_name = *name;
    record->mode = *mode;
    ST(0) = lmx::new_object(aTHX_ class_name.c_str(), kKey, std::move(record));
    XSRETURN(1);
}

XS_INTERNAL(xs_Open) {
    dXSARGS;
    BackupPipeRecord* r = items == 1 ? record_of(aTHX_ ST(0)) : nullptr;
    if (r == nullptr) XSRETURN_UNDEF;
    XSRETURN_IV(open_pipe(aTHX_ r) ? 1 : 0);
}

XS_INTERNAL(xs_Select) {
    dXSARGS;
    BackupPipeRecord* r = items == 1 || items == 2 ? record_of(aTHX_ ST(0)) : nullptr;
    if (r == nullptr || !r->pipe) XSRETURN_UNDEF;
    if (!r->connect_pending) XSRETURN_IV(1);
    // Seconds times 1000 in unsigned 32-bit arithmetic: no argument is -1,
    // which makes 4294966296 ms.
    const IV seconds = items == 2 ? lmx::iv_arg(aTHX_ ST(1)) : -1;
    const DWORD milliseconds = static_cast<DWORD>(seconds) * 1000u;
    const DWORD waited = WaitForSingleObject(r->event.get(), milliseconds);
    if (waited == WAIT_TIMEOUT) XSRETURN_IV(0);
    if (waited != WAIT_OBJECT_0 || !r->io_pending) XSRETURN_UNDEF;
    DWORD transferred = 0;
    if (!GetOverlappedResult(r->pipe.get(), &r->overlapped, &transferred, FALSE)) XSRETURN_UNDEF;
    r->io_pending = r->connect_pending = false;
    XSRETURN_IV(1);
}

XS_INTERNAL(xs_Write) {
    dXSARGS;
    BackupPipeRecord* r = items == 3 ? record_of(aTHX_ ST(0)) : nullptr;
    if (r == nullptr) XSRETURN_UNDEF;
    const IV wanted = lmx::iv_arg(aTHX_ ST(2));
    if (!r->pipe || wanted < 0) XSRETURN_IV(-1);
    STRLEN length = 0;
    const char* data = lmx::is_defined(aTHX_ ST(1)) ? SvPV_nomg(ST(1), length) : "";
    // Never more than the string holds, nor more than one write can take.
    const auto size = static_cast<DWORD>(std::min<std::uint64_t>(
        {static_cast<std::uint64_t>(wanted), length, std::numeric_limits<DWORD>::max()}));
    DWORD written = 0;
    if (!WriteFile(r->pipe.get(), data, size, &written, nullptr)) XSRETURN_IV(-1);
    XSRETURN_IV(written);
}

XS_INTERNAL(xs_Close) {
    dXSARGS;
    BackupPipeRecord* r = items == 1 ? record_of(aTHX_ ST(0)) : nullptr;
    if (r != nullptr) close_pipe(r);
    XSRETURN_UNDEF;
}

XS_INTERNAL(xs_DESTROY) {
    dXSARGS;
    if (items == 1 && record_of(aTHX_ ST(0)) != nullptr)
        lmx::free_record<BackupPipeRecord>(aTHX_ ST(0), kKey);
    XSRETURN_UNDEF;
}

const lmx::NativeFunction kFunctions[] = {
    {"KALDOR::Install::BackupPipe::new", xs_new},
    {"KALDOR::Install::BackupPipe::Open", xs_Open},
    {"KALDOR::Install::BackupPipe::Select", xs_Select},
    {"KALDOR::Install::BackupPipe::Write", xs_Write},
    {"KALDOR::Install::BackupPipe::Close", xs_Close},
    {"KALDOR::Install::BackupPipe::DESTROY", xs_DESTROY},
};

}  // namespace

XS_EXTERNAL(boot_KALDOR__Install__BackupPipe) {
    PERL_UNUSED_VAR(cv);
    lmx::boot_module(aTHX_ "BackupPipe", kFunctions);
}
