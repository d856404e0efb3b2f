// KALDOR::Install::FileLock: advisory whole-file locks on an open file
// descriptor, so that cooperating installer processes exclude each other.
// A lock never waits; it is held by the descriptor's open file and ends with
// it, not with the object.
#include <cstdint>
#include <string>

#include "platform/crt.h"
#include "platform/errors.h"
#include "platform/locks.h"
#include "runtime/host/module_table.h"
#include "runtime/host/system_text.h"
#include "runtime/host/xs_module.h"

namespace {

const char kClass[] = "KALDOR::Install::FileLock";
const char kKey[] = "obj";

struct FileLockRecord {
    std::int32_t fd;
    std::int32_t reserved;  // always 0
    std::uint8_t exclusive;
    std::uint8_t locked;
    char* error_text;  // the latest error, or null
};

// Internal errors of the package go to standard output; `format` has one
// or two %s for the class name.
void report(pTHX_ const char* format) { PerlIO_printf(PerlIO_stdout(), format, kClass, kClass); }

// The record of a method's object, or null after printing why there is
// none: not a hash reference (`no_object`) or no record in it. `slot`
// receives the hash entry that holds the record's address.
FileLockRecord* lock_record(pTHX_ SV* self, const char* no_object, const char* no_record,
                            SV** slot = nullptr) {
    if (!SvROK(self) || SvTYPE(SvRV(self)) != SVt_PVHV) {
        report(aTHX_ no_object);
        return nullptr;
    }
    SV** entry = hv_fetch(reinterpret_cast<HV*>(SvRV(self)), kKey, sizeof kKey - 1, 0);
    auto* record = entry && SvOK(*entry) ? INT2PTR(FileLockRecord*, SvUV(*entry)) : nullptr;
    if (record == nullptr) report(aTHX_ no_record);
    if (slot != nullptr) *slot = entry ? *entry : nullptr;
    return record;
}

void set_error(pTHX_ FileLockRecord* r, const char* prefix, DWORD code) {
    Safefree(r->error_text);
    r->error_text = savepv(lmx::system_error_text(prefix, code).c_str());
}

// The whole file, from offset 0 for 2^64 - 1 bytes, without waiting.
BOOL lock_whole_file(const FileLockRecord* r) {
    OVERLAPPED start{};
    const DWORD mode = LOCKFILE_FAIL_IMMEDIATELY | (r->exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
    return LockFileEx(crt::get_osfhandle(r->fd), mode, 0, 0xFFFFFFFFu, 0xFFFFFFFFu, &start);
}

// Releases the whole-file lock; false with the error text set.
bool unlock_whole_file(pTHX_ FileLockRecord* r) {
    OVERLAPPED start{};
    if (!UnlockFileEx(crt::get_osfhandle(r->fd), 0, 0xFFFFFFFFu, 0xFFFFFFFFu, &start)) {
        set_error(aTHX_ r, "unlock failed: ", GetLastError());
        return false;
    }
    r->locked = 0;
    return true;
}

XS_INTERNAL(xs_new) {
    dXSARGS;
    if (items != 1 && items != 2) {
        report(aTHX_ "%s::new(): item error\n");
        XSRETURN_UNDEF;
    }
    if (!SvOK(ST(0))) {
        report(aTHX_ "%s::new(): undefined fd\n");
        XSRETURN_UNDEF;
    }
    auto* r = lmx::new_record<FileLockRecord>();
    r->fd = static_cast<std::int32_t>(SvIV(ST(0)));
    r->exclusive = items == 2 && SvOK(ST(1)) && SvIV(ST(1)) == 1;
    ST(0) = lmx::new_object(aTHX_ kClass, kKey, r);
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
        set_error(aTHX_ r, "set lock failed: ", GetLastError());
        XSRETURN_IV(-1);
    }
    r->locked = 1;
    XSRETURN_IV(0);
}

XS_INTERNAL(xs_Unlock) {
    dXSARGS;
    if (items != 1) XSRETURN_UNDEF;
    FileLockRecord* r = lock_record(aTHX_ ST(0),
                                    "%s::Unlock(): first arg is no FileLock object\n",
                                    "%s::Unlock(): cannot get object\n");
    if (r == nullptr) XSRETURN_UNDEF;
    XSRETURN_IV(unlock_whole_file(aTHX_ r) ? 0 : -1);
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
        set_error(aTHX_ r, "test lock failed: ", code);
        XSRETURN_IV(-1);
    }
    XSRETURN_IV(unlock_whole_file(aTHX_ r) ? 0 : -1);
}

XS_INTERNAL(xs_GetError) {
    dXSARGS;
    if (items != 1) XSRETURN_UNDEF;
    FileLockRecord* r = lock_record(aTHX_ ST(0),
                                    "%s::GetError(): first arg is no FileLock object\n",
                                    "%s::GetError(): cannot get object\n");
    if (r == nullptr || r->error_text == nullptr) XSRETURN_UNDEF;
    ST(0) = sv_2mortal(newSVpv(r->error_text, 0));
    XSRETURN(1);
}

XS_INTERNAL(xs_DESTROY) {
    dXSARGS;
    if (items != 1) {
        report(aTHX_ "%s::DESTROY(): item error\n");
        XSRETURN_UNDEF;
    }
    SV* slot;
    FileLockRecord* r = lock_record(aTHX_ ST(0), "%s::DESTROY(): first arg is no %s object\n",
                                    "%s::DESTROY(): cannot get object\n", &slot);
    if (r == nullptr) XSRETURN_UNDEF;
    sv_setuv(slot, 0);
    Safefree(r->error_text);
    lmx::free_record(r);
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
