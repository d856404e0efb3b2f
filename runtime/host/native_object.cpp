#include "runtime/host/native_object.h"

#include <cstring>

namespace lmx::detail {

namespace {

MAGIC* guard_of(pTHX_ SV* holder, const MGVTBL* vtable) {
    if (holder == nullptr || SvTYPE(holder) < SVt_PVMG || !SvRMAGICAL(holder)) return nullptr;
    return mg_findext(holder, PERL_MAGIC_ext, vtable);
}

}  // namespace

void attach(pTHX_ SV* holder, const MGVTBL* vtable, void* record) {
    sv_setuv(holder, PTR2UV(record));
    MAGIC* magic = guard_of(aTHX_ holder, vtable);
    if (magic == nullptr) {
        magic = sv_magicext(holder, nullptr, PERL_MAGIC_ext, vtable, nullptr, 0);
        magic->mg_flags |= MGf_DUP;
    }
    magic->mg_ptr = static_cast<char*>(record);
    magic->mg_private = 0;
}

void* guarded(pTHX_ SV* holder, const MGVTBL* vtable) {
    MAGIC* magic = guard_of(aTHX_ holder, vtable);
    if (magic == nullptr || magic->mg_ptr == nullptr) return nullptr;
    if (magic->mg_private == kHolderStale) {
        magic->mg_private = 0;
        sv_setuv(holder, PTR2UV(magic->mg_ptr));
    }
    // A holder that the caller overwrote names no record any more.
    if (!SvIOK(holder) || SvUVX(holder) != PTR2UV(magic->mg_ptr)) return nullptr;
    return magic->mg_ptr;
}

void* detach(pTHX_ SV* holder, const MGVTBL* vtable) {
    MAGIC* magic = guard_of(aTHX_ holder, vtable);
    if (magic == nullptr || magic->mg_ptr == nullptr) return nullptr;
    void* record = magic->mg_ptr;
    magic->mg_ptr = nullptr;
    magic->mg_private = 0;
    if (!SvREADONLY(holder)) sv_setuv(holder, 0);
    return record;
}

SV* holder_of(pTHX_ SV* object, const char* key) {
    if (object == nullptr || !SvROK(object) || !SvOBJECT(SvRV(object)) ||
        SvTYPE(SvRV(object)) != SVt_PVHV)
        return nullptr;
    SV** slot = hv_fetch(reinterpret_cast<HV*>(SvRV(object)), key,
                         static_cast<I32>(std::strlen(key)), 0);
    return slot != nullptr ? *slot : nullptr;
}

SV* new_holder_object(pTHX_ const char* class_name, const char* key, SV** holder) {
    HV* hash = newHV();
    *holder = newSVuv(0);
    hv_store(hash, key, static_cast<I32>(std::strlen(key)), *holder, 0);
    SV* reference = newRV_noinc(reinterpret_cast<SV*>(hash));
    sv_bless(reference, gv_stashpv(class_name, GV_ADD));
    return sv_2mortal(reference);
}

}  // namespace lmx::detail
