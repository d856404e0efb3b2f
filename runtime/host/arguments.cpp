#include "runtime/host/arguments.h"

#include <cstring>

namespace lmx {

bool is_defined(pTHX_ SV* value) {
    if (value == nullptr) return false;
    SvGETMAGIC(value);
    return SvOK(value);
}

std::optional<std::string> text_arg(pTHX_ SV* value) {
    if (!is_defined(aTHX_ value)) return std::nullopt;
    STRLEN length;
    const char* bytes = SvPV_nomg(value, length);
    return std::string(bytes, length);
}

std::optional<std::string> string_arg(pTHX_ SV* value) {
    if (value == nullptr) return std::nullopt;
    SvGETMAGIC(value);
    if (!SvPOKp(value)) return std::nullopt;
    STRLEN length;
    const char* bytes = SvPV_nomg(value, length);
    return std::string(bytes, length);
}

std::optional<IV> integer_arg(pTHX_ SV* value) {
    if (value == nullptr) return std::nullopt;
    SvGETMAGIC(value);
    if (!SvIOKp(value)) return std::nullopt;
    return SvIV_nomg(value);
}

IV iv_arg(pTHX_ SV* value) {
    if (value == nullptr) return 0;
    SvGETMAGIC(value);
    return SvOK(value) ? SvIV_nomg(value) : 0;
}

std::string class_arg(pTHX_ SV* value, const char* fallback) {
    const std::optional<std::string> name = text_arg(aTHX_ value);
    return name && !name->empty() ? *name : std::string(fallback);
}

HV* hash_of(SV* reference) {
    if (reference == nullptr || !SvROK(reference) || SvTYPE(SvRV(reference)) != SVt_PVHV)
        return nullptr;
    return reinterpret_cast<HV*>(SvRV(reference));
}

SV* hash_fetch(pTHX_ HV* hash, const char* key) {
    SV** slot = hv_fetch(hash, key, static_cast<I32>(std::strlen(key)), 0);
    return slot != nullptr ? *slot : nullptr;
}

void hash_store(pTHX_ HV* hash, const char* key, SV* value) {
    if (hv_store(hash, key, static_cast<I32>(std::strlen(key)), value, 0) == nullptr)
        SvREFCNT_dec(value);
}

void hash_store(pTHX_ HV* hash, const char* key, const std::string& text) {
    hash_store(aTHX_ hash, key, newSVpvn(text.data(), text.size()));
}

void hash_store(pTHX_ HV* hash, const char* key, IV number) {
    hash_store(aTHX_ hash, key, newSViv(number));
}

bool set_output(pTHX_ SV* target, const char* bytes, STRLEN length) {
    if (SvREADONLY(target)) return false;
    sv_setpvn(target, bytes, length);
    SvSETMAGIC(target);
    return true;
}

bool set_output(pTHX_ SV* target, const std::string& bytes) {
    return set_output(aTHX_ target, bytes.data(), bytes.size());
}

bool set_output(pTHX_ SV* target, IV value) {
    if (SvREADONLY(target)) return false;
    sv_setiv(target, value);
    SvSETMAGIC(target);
    return true;
}

CV* module_sub(pTHX_ const char* full_name) {
    CV* sub = get_cv(full_name, 0);
    if (sub != nullptr) return sub;
    const char* end = std::strrchr(full_name, ':');
    if (end == nullptr || end - full_name < 2 || end[-1] != ':') return nullptr;
    const std::string package(full_name, static_cast<size_t>(end - 1 - full_name));
    const std::string boot = package + "::bootstrap";
    if (get_cv(boot.c_str(), 0) == nullptr) return nullptr;
    dSP;
    ENTER;
    SAVETMPS;
    PUSHMARK(SP);
    XPUSHs(sv_2mortal(newSVpvn(package.data(), package.size())));
    PUTBACK;
    call_pv(boot.c_str(), G_DISCARD | G_EVAL | G_KEEPERR);
    FREETMPS;
    LEAVE;
    return get_cv(full_name, 0);
}

}  // namespace lmx
