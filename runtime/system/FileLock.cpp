// KALDOR::Install::FileLock: advisory whole-file locks on an open file
// descriptor, so that cooperating installer processes exclude each other.
// A lock never waits; it is held by the descriptor's open file and ends with
// it, not with the object.
//
// This module is the worked example of the native-module conventions: one
// record type that owns its members, methods that find it through the
// object's guard, arguments read through arguments.h.
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>

#include "platform/crt.h"
#include "platform/errors.h"
#include "platform/locks.h"
#include "runtime/host/arguments.h"
#include "runtime/host/module_table.h"
#include "runtime/host/native_object.h"
#include "runtime/host/system_text.h"
#include "runtime/host/xs_module.h"

namespace {

const char kClass[] = "KALDOR::Install::FileLock";
const char kKey[] = "obj";

// A thread's clone of the object gets a copy: it names the same descriptor,
// whose open file holds the lock for every thread of the process.
struct FileLockRecord {
    static constexpr bool kCopiedIntoThreads = true;
    std::int32_t fd = -1;
    bool exclusive = false;
    bool locked = false;
    std::optional<std::string> error;  // the latest error
};

// Internal errors of the package go to standard output; `format` has one
// or two %s for the class name.
void report(pTHX_ const char* format) { PerlIO_printf(PerlIO_stdout(), format, kClass, kClass); }

// The record of a method's object, or null after printing why there is
// none: not a hash reference (`no_object`) or no record in it.
FileLockRecord* lock_record(pTHX_ SV* self, const char* no_object, const char* no_record) {
    if (lmx::hash_of(self) == nullptr) {
        report(aTHX_ no_object);
        return nullptr;
    }
    FileLockRecord* record = lmx::record_of<FileLockRecord>(aTHX_ self, kKey);
    if (record == nullptr) report(aTHX_ no_record);
    return record;
}

void set_error(FileLockRecord* r, const char* prefix, DWORD code) {
    r->error = lmx::system_error_text(prefix, code);
}

// The whole file, from offset 0 for 2^64 - 1 bytes, without waiting.
BOOL lock_whole_file(const FileLockRecord* r) {
    OVERLAPPED start{};
    const DWORD mode = LOCKFILE_FAIL_IMMEDIATELY | (r->exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
    return LockFileEx(crt::get_osfhandle(r->fd), mode, 0, 0xFFFFFFFFu, 0xFFFFFFFFu, &start);
}

// Releases the whole-file lock; false with the error text set.
bool unlock_whole_file(FileLockRecord* r) {
    OVERLAPPED start{};
    if (!UnlockFileEx(crt::get_osfhandle(r->fd), 0, 0xFFFFFFFFu, 0xFFFFFFFFu, &start)) {
        set_error(r, "unlock failed: ", GetLastError());
        return false;
    }
    r->locked = false;
    return true;
}

// The descriptor argument: a number that fits a descriptor. A value that is
// no number, or one that a 32-bit descriptor cannot hold, names no
// descriptor at all (rather than a truncated one).
std::optional<std::int32_t> descriptor_arg(pTHX_ SV* value) {
    if (!lmx::is_defined(aTHX_ value) || !looks_like_number(value)) return std::nullopt;
    const NV number = SvNV_nomg(value);
    if (number < std::numeric_limits<std::int32_t>::min() ||
        number > std::numeric_limits<std::int32_t>::max())
        return std::nullopt;
    return static_cast<std::int32_t>(SvIV_nomg(value));
}

XS_INTERNAL(xs_new) {
    dXSARGS;
    if (items != 1 && items != 2) {
        report(aTHX_ "%s::new(): item error\n");
        XSRETURN_UNDEF;
    }
    const std::optional<std::int32_t> fd = descriptor_arg(aTHX_ ST(0));
    if (!fd) {
        report(aTHX_ "%s::new(): undefined fd\n");
        XSRETURN_UNDEF;
    }
    auto record = std::make_unique<FileLockRecord>();
    record->fd = *fd;
    record->exclusive = items == 2 && lmx::is_defined(aTHX_ ST(1)) && lmx::iv_arg(aTHX_ ST(1)) == 1;
    ST(0) = lmx::new_object(aTHX_ kClass, kKey, std::move(record));
    XSRETURN(1);
}

XS_INTERNAL(xs_Lock) {
    dXSARGS;
    if (items != 1) {
        report(aTHX_ "%s::Lock(): item error\n");
        XSRETURN_UNDEF;
    }
    FileLockRecord* r = lock_record(aTHX_ ST(0), "%s::Lock(): first arg is no FileLock object\n",
                                    "%s::Lock(): cannot get object\n");
    if (r == nullptr) XSRETURN_UNDEF;
    if (!lock_whole_file(r)) {
        set_error(r, "set lock failed: ", GetLastError());
        XSRETURN_IV(-1);
    }
    r->locked = true;
    XSRETURN_IV(0);
}

XS_INTERNAL(xs_Unlock) {
    dXSARGS;
    if (items != 1) XSRETURN_UNDEF;
    FileLockRecord* r = lock_record(aTHX_ ST(0),
                                    "%s::Unlock(): first arg is no FileLock object\n",
                                    "%s::Unlock(): cannot get object\n");
    if (r == nullptr) XSRETURN_UNDEF;
    XSRETURN_IV(unlock_whole_file(r) ? 0 : -1);
}

XS_INTERNAL(xs_Test) {
    dXSARGS;
    if (items != 1) {
        report(aTHX_ "%s::Test(): item error\n");
        XSRETURN_UNDEF;
    }
    FileLockRecord* r = lock_record(aTHX_ ST(0), "%s::Test(): first arg is no FileLock object\n",
                                    "%s::Test(): cannot get object\n");
    if (r == nullptr) XSRETURN_UNDEF;
    if (r->locked) XSRETURN_IV(0);
    if (!lock_whole_file(r)) {
        const DWORD code = GetLastError();
        if (code == ERROR_LOCK_VIOLATION || code == ERROR_SHARING_VIOLATION) XSRETURN_IV(1);
        set_error(r, "test lock failed: ", code);
        XSRETURN_IV(-1);
    }
    XSRETURN_IV(unlock_whole_file(r) ? 0 : -1);
}

XS_INTERNAL(xs_GetError) {
    dXSARGS;
    if (items != 1) XSRETURN_UNDEF;
    FileLockRecord* r = lock_record(aTHX_ ST(0),
                                    "%s::GetError(): first arg is no FileLock object\n",
                                    "%s::GetError(): cannot get object\n");
    if (r == nullptr || !r->error) XSRETURN_UNDEF;
    ST(0) = sv_2mortal(newSVpvn(r->error->data(), r->error->size()));
    XSRETURN(1);
}

XS_INTERNAL(xs_DESTROY) {
    dXSARGS;
    if (items != 1) {
        report(aTHX_ "%s::DESTROY(): item error\n");
        XSRETURN_UNDEF;
    }
    if (lock_record(aTHX_ ST(0), "%s::DESTROY(): first arg is no %s object\n",
                    "%s::DESTROY(): cannot get object\n") != nullptr)
        lmx::free_record<FileLockRecord>(aTHX_ ST(0), kKey);
    XSRETURN_UNDEF;
}

const lmx::NativeFunction kFunctions[] = {
    {"KALDOR::Install::FileLock::new", xs_new},
    {"KALDOR::Install::FileLock::Lock", xs_Lock},
    {"KALDOR::Install::FileLock::Unlock", xs_Unlock},
    {"KALDOR::Install::FileLock::Test", xs_Test},
    {"KALDOR::Install::FileLock::GetError", xs_GetError},
    {"KALDOR::Install::FileLock::DESTROY", xs_DESTROY},
};

}  // namespace

XS_EXTERNAL(boot_KALDOR__Install__FileLock) {
    PERL_UNUSED_VAR(cv);
    lmx::boot_module(aTHX_ "FileLock", kFunctions);
}
