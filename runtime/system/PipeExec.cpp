// KALDOR::Install::PipeExec: one command line run as a child whose standard
// input is a pipe the caller writes and whose standard output and error
// share one pipe the caller reads line by line. The native half works on a
// PipeSession record that the object's `sess` value holds: the Perl half
// (PipeExec.pl) passes that value itself (Perl passes it by alias), so the
// natives see the address as an integer and find the record through the
// value's guard. Readline, the per-line hot path, is native too.
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/console.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/handles.h"
#include "platform/path_search.h"
#include "platform/processes.h"
#include "platform/unique_handle.h"
#include "embedded_texts.h"
#include "runtime/host/arguments.h"
#include "runtime/host/module_table.h"
#include "runtime/host/native_object.h"
#include "runtime/host/owned_sv.h"
#include "runtime/host/xs_module.h"

namespace {

constexpr size_t kLineBufferSize = 16384;
constexpr DWORD kCallbackInterval = 500;  // milliseconds between callbacks while a read waits
const char kSessionKey[] = "sess";
const char kErrorKey[] = "errtext";
// The keys' hash values, computed once at boot for the per-line lookups.
U32 session_key_hash;
U32 error_key_hash;
const char kClosePipeContext[] = "close_pipe() failed";
const char kCloseStdinContext[] = "close_stdin () failed";

using platform::UniqueHandle;

// One session. A thread's clone of the object gets no session (its handles
// and child belong to the original).
struct PipeSession {
    UniqueHandle process;
    UniqueHandle thread;
    UniqueHandle stdin_write;  // the caller's end of the child's input
    UniqueHandle output_read;  // the caller's end of the child's output and error
    std::optional<I32> exit_code;        // present once the child is collected
    I32 timeout = -1;                    // seconds; stored for compatibility, nothing times out
    bool timed_out = false;              // so this stays false
    std::optional<std::string> error;    // the latest error text
    lmx::OwnedSV callback;               // run while a read waits
    lmx::OwnedSV partial;                // the start of a long line whose read a dying callback ended
    int busy = 0;                        // reads in progress (a callback may destroy the session)
    bool doomed = false;                 // DESTROY_XS came during a read
    size_t start = 0;                    // the buffered bytes not yet returned: buffer[start, start + length)
    size_t length = 0;
    char buffer[kLineBufferSize + 1]{};
};

// The session that `holder` (the object's `sess` value, passed by alias)
// guards, or null.
PipeSession* session_at(pTHX_ SV* holder) { return lmx::record_at<PipeSession>(aTHX_ holder); }

// Keeps `holder` alive until the end of the calling statement, so that a
// callback that drops the object cannot free the session under a read.
void hold_for_call(pTHX_ SV* holder) {
    SvREFCNT_inc_simple_void_NN(holder);
    sv_2mortal(holder);
}

// Closes what the session still holds; a child that still runs goes on
// running (the layer collects it once it ends).
void release_handles(PipeSession* s) {
    s->process.reset();
    s->thread.reset();
    s->stdin_write.reset();
    s->output_read.reset();
}

void set_error(PipeSession* s, std::string text) { s->error = std::move(text); }

// Records context, ": ", message and ", " with the system text of the
// current last error (when the system has one), without trailing line ends.
void set_system_error(PipeSession* s, const char* context, const char* message) {
    const DWORD code = GetLastError();
    std::string text = std::string(context) + ": " + message;
    char* system_text = nullptr;
    if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                           FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<LPSTR>(&system_text), 0, nullptr) > 0) {
        text += ", ";
        text += system_text;
    }
    LocalFree(system_text);
    while (text.size() > 1 && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
    set_error(s, std::move(text));
}

// What a start has changed so far: the process's standard handles (put back
// by undo) and every handle it made (closed by their owners).
struct StartState {
    HANDLE saved[3] = {nullptr, nullptr, nullptr};  // input, output, error
    bool redirected[3] = {false, false, false};
    UniqueHandle output_read, output_read_own, output_write;
    UniqueHandle input_read, input_write, input_write_own;
    UniqueHandle process, thread;
};

constexpr DWORD kStdSelectors[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};

bool redirect(StartState& state, int which, HANDLE to) {
    if (!SetStdHandle(kStdSelectors[which], to)) return false;
    state.redirected[which] = true;
    return true;
}

bool restore(StartState& state, int which) {
    if (!SetStdHandle(kStdSelectors[which], state.saved[which])) return false;
    state.redirected[which] = false;
    return true;
}

void undo_redirections(StartState& state) {
    for (int i = 0; i < 3; ++i)
        if (state.redirected[i]) SetStdHandle(kStdSelectors[i], state.saved[i]);
}

// Starts the child with its input and output through pipes; the caller's
// ends are the only ones left in this process. On failure the step's
// message is recorded with the command line as context and everything the
// start changed is undone.
bool start_child(PipeSession* s, const char* command_line) {
    StartState state;
    SECURITY_ATTRIBUTES inheritable = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE self = GetCurrentProcess();
    std::vector<char> line(command_line, command_line + std::strlen(command_line) + 1);
    STARTUPINFOA startup{};
    PROCESS_INFORMATION child{};
    const char* failure = nullptr;

    state.saved[1] = GetStdHandle(STD_OUTPUT_HANDLE);
    state.saved[2] = GetStdHandle(STD_ERROR_HANDLE);
    if (!CreatePipe(state.output_read.out(), state.output_write.out(), &inheritable, 0))
        failure = "cannot create stdout pipe";
    else if (!redirect(state, 1, state.output_write.get()))
        failure = "cannot redirect stdout to pipe";
    else if (!redirect(state, 2, state.output_write.get()))
        failure = "cannot redirect stderr to pipe";
    else if (!DuplicateHandle(self, state.output_read.get(), self, state.output_read_own.out(), 0,
                              FALSE, DUPLICATE_SAME_ACCESS))
        failure = "cannot set stdout pipe to noninheritable";
    else if (!state.output_read.reset())
        failure = "cannot close inheritable stdout pipe";
    if (failure == nullptr) {
        state.saved[0] = GetStdHandle(STD_INPUT_HANDLE);
        if (!CreatePipe(state.input_read.out(), state.input_write.out(), &inheritable, 0))
            failure = "cannot create stdin pipe";
        else if (!redirect(state, 0, state.input_read.get()))
            failure = "cannot redirect stdin to pipe";
        else if (!DuplicateHandle(self, state.input_write.get(), self,
                                  state.input_write_own.out(), 0, FALSE, DUPLICATE_SAME_ACCESS))
            failure = "cannot set stdin pipe to noninheritable";
        else if (!state.input_write.reset())
            failure = "cannot close inheritable stdin pipe";
    }
    if (failure == nullptr) {
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = state.input_read.get();
        startup.hStdOutput = startup.hStdError = state.output_write.get();
        const BOOL created = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE,
                                            CREATE_NO_WINDOW, nullptr, nullptr, &startup, &child);
        state.process.reset(created ? child.hProcess : nullptr);
        state.thread.reset(created ? child.hThread : nullptr);
        if (!created)
            failure = "cannot create process";
        else if (!restore(state, 0))
            failure = "cannot restore stdin handle";
        else if (!restore(state, 1))
            failure = "cannot restore stdout handle";
        else if (!restore(state, 2))
            failure = "cannot restore stderr handle";
        else if (!state.output_write.reset())
            failure = "cannot close childs end of stdout pipe";
        else if (!state.input_read.reset())
            failure = "cannot close childs end of stdin pipe";
    }
    if (failure != nullptr) {
        set_system_error(s, command_line, failure);
        undo_redirections(state);
        return false;
    }
    s->process = std::move(state.process);
    s->thread = std::move(state.thread);
    s->stdin_write = std::move(state.input_write_own);
    s->output_read = std::move(state.output_read_own);
    return true;
}

// Closes the stdin write end; an end that is already closed is no error.
bool close_stdin(PipeSession* s, bool closed_is_error) {
    if (!s->stdin_write) {
        if (!closed_is_error) return true;
        set_system_error(s, kCloseStdinContext, "invalid stdin handle");
        return false;
    }
    if (!s->stdin_write.reset()) {
        set_system_error(s, kCloseStdinContext, "CloseHandle () failed");
        return false;
    }
    return true;
}

// Waits for the child, collects its exit code and closes every handle.
bool close_pipe(PipeSession* s) {
    if (!s->process) {
        set_system_error(s, kClosePipeContext, "invalid process handle");
        return false;
    }
    DWORD code = 0;
    if (WaitForSingleObject(s->process.get(), INFINITE) == WAIT_FAILED)
        set_system_error(s, kClosePipeContext, "WaitForSingleObject() failed");
    else if (!GetExitCodeProcess(s->process.get(), &code))
        set_system_error(s, kClosePipeContext, "GetExitCodeProcess() failed");
    else
        s->exit_code = static_cast<I32>(code);
    s->process.reset();
    s->thread.reset();
    s->output_read.reset();
    close_stdin(s, false);
    return s->exit_code.has_value();
}

// Runs the callback; the error of a die in it, or null.
SV* run_callback(pTHX_ PipeSession* s) {
    SV* callback = sv_2mortal(newSVsv(s->callback.get()));  // the callback may replace itself
    dSP;
    PUSHMARK(SP);
    PUTBACK;
    call_sv(callback, G_DISCARD | G_EVAL);
    return SvTRUE(ERRSV) ? sv_2mortal(newSVsv(ERRSV)) : nullptr;
}

enum class ReadResult { data, end, failed, died };

// One read into the free room of the buffer. With a callback, the callback
// runs when the read begins and again after every 500 ms without output;
// `error` receives the error of a callback that died.
ReadResult read_chunk(pTHX_ PipeSession* s, SV*& error) {
    if (s->callback) {
        DWORD wait;
        do {
            error = run_callback(aTHX_ s);
            if (error) return ReadResult::died;
            if (s->doomed) return ReadResult::failed;
            wait = WaitForSingleObject(s->output_read.get(), kCallbackInterval);
        } while (wait == WAIT_TIMEOUT);
        if (wait == WAIT_FAILED) {
            set_error(s, "read error");
            return ReadResult::failed;
        }
    }
    // The callback may have read from this session: take the room now.
    if (s->length == kLineBufferSize) return ReadResult::data;
    if (s->start > 0) {
        std::memmove(s->buffer, s->buffer + s->start, s->length);
        s->start = 0;
    }
    DWORD got = 0;
    if (!ReadFile(s->output_read.get(), s->buffer + s->length,
                  static_cast<DWORD>(kLineBufferSize - s->length), &got, nullptr)) {
        if (GetLastError() == ERROR_BROKEN_PIPE) return ReadResult::end;
        set_error(s, "read error");
        return ReadResult::failed;
    }
    if (got == 0) return ReadResult::end;
    s->length += got;
    s->buffer[s->length] = '\0';
    return ReadResult::data;
}

// Moves `n` buffered bytes to the end of the line being built.
void take(pTHX_ PipeSession* s, SV* line, bool& started, size_t n) {
    if (started)
        sv_catpvn(line, s->buffer + s->start, n);
    else
        sv_setpvn(line, s->buffer + s->start, n);
    started = true;
    s->start += n;
    s->length -= n;
    if (s->length == 0) s->start = 0;
}

// Puts the next line of the child's output with its newline (a last line
// without one at the end of output) into `line`; false at the end and on
// error. Lines of any length come back whole, every byte included.
// `freed` tells that a DESTROY_XS during a callback freed the session.
bool read_line(pTHX_ PipeSession* s, SV* line, bool& freed) {
    bool started = false;
    SV* error = nullptr;
    if (s->partial) {
        sv_setsv(line, s->partial.get());
        s->partial.reset();
        started = true;
    }
    ++s->busy;
    for (;;) {
        if (s->length > 0) {
            const char* begin = s->buffer + s->start;
            if (const void* newline = std::memchr(begin, '\n', s->length)) {
                take(aTHX_ s, line, started, static_cast<const char*>(newline) - begin + 1);
                break;
            }
            if (s->length == kLineBufferSize) take(aTHX_ s, line, started, s->length);
        }
        const ReadResult r = read_chunk(aTHX_ s, error);
        if (r == ReadResult::data) continue;
        if (r == ReadResult::end && s->length > 0) take(aTHX_ s, line, started, s->length);
        if (r == ReadResult::died && started) s->partial.reset(aTHX_ newSVsv(line));  // kept for the next read
        if (r != ReadResult::end) started = false;
        break;
    }
    freed = --s->busy == 0 && s->doomed;
    if (freed) delete s;
    // The die passes on once the session is consistent again; nothing
    // reads while the callback runs, so nothing is left reading either.
    if (error) croak_sv(error);
    return started && !freed;
}

SV* error_copy(pTHX_ PipeSession* s) {
    return s && s->error ? sv_2mortal(newSVpvn(s->error->data(), s->error->size()))
                         : &PL_sv_undef;
}

// A new session, held by the writable scalar given as the first argument
// (the object's `sess` value); its address is the result. Without such a
// scalar the session is held by the result itself, and a copy of that
// integer names no session once the result is gone.
XS_INTERNAL(xs_newXS) {
    dXSARGS;
    SV* holder = items >= 1 && !SvREADONLY(ST(0)) ? ST(0) : sv_newmortal();
    lmx::attach_record(aTHX_ holder, std::make_unique<PipeSession>());
    ST(0) = holder;
    XSRETURN(1);
}

XS_INTERNAL(xs_OpenXS) {
    dXSARGS;
    PipeSession* s = items == 2 ? session_at(aTHX_ ST(0)) : nullptr;
    const std::optional<std::string> command_line = s ? lmx::text_arg(aTHX_ ST(1)) : std::nullopt;
    if (!command_line || command_line->c_str()[0] == '\0') XSRETURN_UNDEF;
    // A new start replaces whatever the session held before.
    release_handles(s);
    s->exit_code.reset();
    s->start = s->length = 0;
    s->partial.reset();
    if (!start_child(s, command_line->c_str())) XSRETURN_UNDEF;
    XSRETURN_IV(0);
}

XS_INTERNAL(xs_OpenPtyXS) {
    dXSARGS;
    PipeSession* s = items == 2 ? session_at(aTHX_ ST(0)) : nullptr;
    const std::optional<std::string> command_line = s ? lmx::text_arg(aTHX_ ST(1)) : std::nullopt;
    if (command_line && command_line->c_str()[0] != '\0')
        set_system_error(s, "open_pty () failed", "pty not supported on this platform");
    XSRETURN_UNDEF;
}

XS_INTERNAL(xs_WriteXS) {
    dXSARGS;
    PipeSession* s = items == 2 ? session_at(aTHX_ ST(0)) : nullptr;
    const std::optional<std::string> text = s ? lmx::text_arg(aTHX_ ST(1)) : std::nullopt;
    if (!text) XSRETURN_UNDEF;
    const char* bytes = text->c_str();
    const DWORD length = static_cast<DWORD>(std::strlen(bytes));
    if (length == 0) XSRETURN_UNDEF;
    DWORD written = 0;
    if (!WriteFile(s->stdin_write.get(), bytes, length, &written, nullptr)) {
        set_error(s, "Cannot write to pipe");
        XSRETURN_UNDEF;
    }
    if (written == 0) XSRETURN_UNDEF;
    XSRETURN_IV(written);
}

SV** fetch_key(pTHX_ HV* hash, const char* key, I32 length, U32 key_hash) {
    return static_cast<SV**>(
        hv_common_key_len(hash, key, length, HV_FETCH_JUST_SV, nullptr, key_hash));
}

XS_INTERNAL(xs_ReadlineXS) {
    dXSARGS;
    dXSTARG;
    PipeSession* s = items == 1 ? session_at(aTHX_ ST(0)) : nullptr;
    bool freed = false;
    if (s != nullptr && s->callback) hold_for_call(aTHX_ ST(0));
    if (s == nullptr || !read_line(aTHX_ s, TARG, freed)) XSRETURN_UNDEF;
    ST(0) = TARG;
    XSRETURN(1);
}

// The Readline method: as its Perl form would be, undef for a missing
// session, 0 for a destroyed one, else the next line, with the session's
// error text copied into the object; undef whenever there is one.
XS_INTERNAL(xs_Readline) {
    dXSARGS;
    dXSTARG;
    if (items < 1 || !SvROK(ST(0)) || SvTYPE(SvRV(ST(0))) != SVt_PVHV) XSRETURN_UNDEF;
    HV* self = reinterpret_cast<HV*>(SvRV(ST(0)));
    SV** holder = fetch_key(aTHX_ self, kSessionKey, sizeof kSessionKey - 1, session_key_hash);
    if (holder == nullptr || !SvOK(*holder)) XSRETURN_UNDEF;
    if (SvUV(*holder) == 0) XSRETURN_IV(0);
    PipeSession* s = session_at(aTHX_ *holder);
    bool freed = false, have_line = false;
    if (s) {
        // A callback may drop the last reference to the object meanwhile.
        if (s->callback) {
            SvREFCNT_inc_simple_void_NN(self);
            sv_2mortal(reinterpret_cast<SV*>(self));
            hold_for_call(aTHX_ *holder);
        }
        have_line = read_line(aTHX_ s, TARG, freed);
    }
    SV** slot = fetch_key(aTHX_ self, kErrorKey, sizeof kErrorKey - 1, error_key_hash);
    if (s && !freed && s->error) {
        hv_store(self, kErrorKey, sizeof kErrorKey - 1,
                 newSVpvn(s->error->data(), s->error->size()), error_key_hash);
        XSRETURN_UNDEF;
    }
    if (slot == nullptr || SvOK(*slot))
        hv_store(self, kErrorKey, sizeof kErrorKey - 1, newSV(0), error_key_hash);
    if (!have_line) XSRETURN_UNDEF;
    ST(0) = TARG;
    XSRETURN(1);
}

XS_INTERNAL(xs_CloseStdinXS) {
    dXSARGS;
    PipeSession* s = items == 1 ? session_at(aTHX_ ST(0)) : nullptr;
    if (s == nullptr || !close_stdin(s, true)) XSRETURN_UNDEF;
    XSRETURN_IV(0);
}

XS_INTERNAL(xs_CloseXS) {
    dXSARGS;
    PipeSession* s = items == 1 ? session_at(aTHX_ ST(0)) : nullptr;
    if (s == nullptr) XSRETURN_UNDEF;
    if (!s->exit_code && !close_pipe(s)) XSRETURN_UNDEF;
    XSRETURN_IV(*s->exit_code);
}

XS_INTERNAL(xs_SetCallbackXS) {
    dXSARGS;
    PipeSession* s = items == 2 ? session_at(aTHX_ ST(0)) : nullptr;
    if (s == nullptr) XSRETURN_UNDEF;
    // An undefined callback clears it: reads then simply wait.
    if (lmx::is_defined(aTHX_ ST(1)))
        s->callback.reset(aTHX_ newSVsv(ST(1)));
    else
        s->callback.reset();
    XSRETURN_IV(0);
}

XS_INTERNAL(xs_TimeoutXS) {
    dXSARGS;
    PipeSession* s = items == 2 ? session_at(aTHX_ ST(0)) : nullptr;
    if (s == nullptr) XSRETURN_UNDEF;
    const I32 seconds = static_cast<I32>(lmx::iv_arg(aTHX_ ST(1)));
    if (seconds < 0) XSRETURN_UNDEF;
    s->timeout = seconds;
    XSRETURN_IV(0);
}

XS_INTERNAL(xs_WasaTimeoutXS) {
    dXSARGS;
    PipeSession* s = items == 1 ? session_at(aTHX_ ST(0)) : nullptr;
    if (s == nullptr) XSRETURN_UNDEF;
    XSRETURN_IV(s->timed_out ? 1 : 0);
}

XS_INTERNAL(xs_GetErrorXS) {
    dXSARGS;
    PipeSession* s = items == 1 ? session_at(aTHX_ ST(0)) : nullptr;
    ST(0) = error_copy(aTHX_ s);
    XSRETURN(1);
}

XS_INTERNAL(xs_DESTROY_XS) {
    dXSARGS;
    std::unique_ptr<PipeSession> s =
        items == 1 ? lmx::take_record<PipeSession>(aTHX_ ST(0)) : nullptr;
    if (s == nullptr) XSRETURN_UNDEF;
    if (s->busy > 0) s.release()->doomed = true;  // the read in progress frees it when it returns
    XSRETURN_IV(1);
}

// SearchPathXS(program): the first executable file of that name in the
// directories of PATH (an empty entry is the working directory), or undef.
XS_INTERNAL(xs_SearchPathXS) {
    dXSARGS;
    const std::optional<std::string> program =
        items == 1 ? lmx::text_arg(aTHX_ ST(0)) : std::nullopt;
    std::string path;
    if (!program || !platform::search_executable(*program, nullptr, path)) XSRETURN_UNDEF;
    ST(0) = sv_2mortal(newSVpvn(path.data(), path.size()));
    XSRETURN(1);
}

const lmx::NativeFunction kFunctions[] = {
    {"KALDOR::Install::PipeExec::newXS", xs_newXS},
    {"KALDOR::Install::PipeExec::OpenXS", xs_OpenXS},
    {"KALDOR::Install::PipeExec::OpenPtyXS", xs_OpenPtyXS},
    {"KALDOR::Install::PipeExec::WriteXS", xs_WriteXS},
    {"KALDOR::Install::PipeExec::ReadlineXS", xs_ReadlineXS},
    {"KALDOR::Install::PipeExec::CloseStdinXS", xs_CloseStdinXS},
    {"KALDOR::Install::PipeExec::CloseXS", xs_CloseXS},
    {"KALDOR::Install::PipeExec::SetCallbackXS", xs_SetCallbackXS},
    {"KALDOR::Install::PipeExec::TimeoutXS", xs_TimeoutXS},
    {"KALDOR::Install::PipeExec::WasaTimeoutXS", xs_WasaTimeoutXS},
    {"KALDOR::Install::PipeExec::GetErrorXS", xs_GetErrorXS},
    {"KALDOR::Install::PipeExec::DESTROY_XS", xs_DESTROY_XS},
    {"KALDOR::Install::PipeExec::Readline", xs_Readline},
    {"KALDOR::Install::PipeExec::SearchPathXS", xs_SearchPathXS},
};

}  // namespace

XS_EXTERNAL(boot_KALDOR__Install__PipeExec) {
    PERL_UNUSED_VAR(cv);
    PERL_HASH(session_key_hash, kSessionKey, sizeof kSessionKey - 1);
    PERL_HASH(error_key_hash, kErrorKey, sizeof kErrorKey - 1);
    lmx::boot_module(aTHX_ "PipeExec", kFunctions, &lmx::kPipeExecText);
}
