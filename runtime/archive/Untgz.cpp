// KALDOR::Install::Untgz: the installer's reader of installation archives
// (tar, usually gzip-compressed). An object walks the entries one at a
// time, describes them, reads an entry's data into Perl scalars and
// extracts entries to disk or checks them in a test run. The Perl half
// (Untgz.pl) adds evaluation of entry data, the usage summary and the calls
// into the build-information modules.
#include <algorithm>
#include <memory>
#include <optional>
#include <string>

#include "platform/crt.h"
#include "runtime/archive/untgz_listing.h"
#include "runtime/archive/untgz_state.h"
#include "runtime/archive/untgz_walk.h"
#include "runtime/archive/untgz_writer.h"
#include "embedded_texts.h"
#include "runtime/host/arguments.h"
#include "runtime/host/module_table.h"
#include "runtime/host/native_object.h"
#include "runtime/host/xs_module.h"

namespace {

using namespace lmx::untgz;

const char kClass[] = "KALDOR::Install::Untgz";
const char kKey[] = "obj";

// The record of a method's object when the argument count is `low` to
// `high`, else null.
UntgzState* state_arg(pTHX_ I32 items, SV* self, I32 low, I32 high) {
    if (items < low || items > high) return nullptr;
    return lmx::record_of<UntgzState>(aTHX_ self, kKey);
}

// The entry's name as described: the pending long name, else the name
// field without trailing blanks.
std::string described_name(const UntgzState* s) {
    if (s->pax_path) return *s->pax_path;
    if (s->long_name) return *s->long_name;
    std::string name = name_field(s);
    while (!name.empty() && name.back() == ' ') name.pop_back();
    return name;
}

// Puts the current entry's description on the stack for the caller's
// context and returns the number of values.
int describe(pTHX_ const UntgzState* s, SV** stack_base) {
    const std::string name = described_name(s);
    const char type = typeflag(s);
    const lmx::tar::HeaderNumbers& n = s->numbers;
    switch (GIMME_V) {
        case G_LIST:
            stack_base[0] = sv_2mortal(newSViv(mode_with_type(type, n.mode)));
            stack_base[1] = sv_2mortal(newSViv(n.size));
            stack_base[2] = sv_2mortal(newSVuv(static_cast<UV>(n.mtime)));
            stack_base[3] = sv_2mortal(newSVpvn(name.data(), name.size()));
            return 4;
        case G_SCALAR: {
            struct ::tm tm {};
            LocalTime t{0, 0, 0, 0, 0, 0};
            if (crt::localtime(n.mtime, tm))
                t = {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
            const std::string line = listing_line(type, n.mode, n.size, t, name);
            stack_base[0] = sv_2mortal(newSVpvn(line.data(), line.size()));
            return 1;
        }
        default: stack_base[0] = &PL_sv_undef; return 1;
    }
}

XS_INTERNAL(xs_new) {
    dXSARGS;
    if (items != 0) XSRETURN_UNDEF;
    EXTEND(SP, 1);
    ST(0) = lmx::new_object(aTHX_ kClass, kKey, std::make_unique<UntgzState>());
    XSRETURN(1);
}

XS_INTERNAL(xs_DESTROY) {
    dXSARGS;
    if (items == 1) lmx::free_record<UntgzState>(aTHX_ ST(0), kKey);
    XSRETURN_UNDEF;
}

XS_INTERNAL(xs_Open) {
    dXSARGS;
    UntgzState* s = state_arg(aTHX_ items, ST(0), 2, 3);
    if (s == nullptr) XSRETURN_UNDEF;
    const std::optional<std::string> path = lmx::text_arg(aTHX_ ST(1));
    if (!path || path->empty()) XSRETURN_UNDEF;
    const bool test_run = items == 3 && lmx::iv_arg(aTHX_ ST(2)) != 0;
    if (!open_archive(s, *path, test_run)) XSRETURN_UNDEF;
    XSRETURN_IV(0);
}

XS_INTERNAL(xs_Next) {
    dXSARGS;
    UntgzState* s = state_arg(aTHX_ items, ST(0), 1, 1);
    if (s == nullptr) XSRETURN_UNDEF;
    if (!next_entry(s)) XSRETURN_UNDEF;
    EXTEND(SP, 4);
    XSRETURN(describe(aTHX_ s, &ST(0)));
}

XS_INTERNAL(xs_GetHeader) {
    dXSARGS;
    UntgzState* s = state_arg(aTHX_ items, ST(0), 1, 1);
    if (s == nullptr) XSRETURN_UNDEF;
    if (!has_entry(s)) XSRETURN_UNDEF;
    EXTEND(SP, 4);
    XSRETURN(describe(aTHX_ s, &ST(0)));
}

XS_INTERNAL(xs_GetArchivename) {
    dXSARGS;
    UntgzState* s = state_arg(aTHX_ items, ST(0), 1, 1);
    if (s == nullptr) XSRETURN_UNDEF;
    if (!s->archive_name) XSRETURN_UNDEF;
    ST(0) = sv_2mortal(newSVpvn(s->archive_name->data(), s->archive_name->size()));
    XSRETURN(1);
}

XS_INTERNAL(xs_Rewind) {
    dXSARGS;
    UntgzState* s = state_arg(aTHX_ items, ST(0), 1, 1);
    if (s == nullptr) XSRETURN_UNDEF;
    XSRETURN_IV(rewind_archive(s));
}

XS_INTERNAL(xs_ExtractScalar) {
    dXSARGS;
    UntgzState* s = state_arg(aTHX_ items, ST(0), 2, 2);
    if (s == nullptr) XSRETURN_UNDEF;
    if (!extract_scalar(aTHX_ s, ST(1))) XSRETURN_UNDEF;
    XSRETURN_IV(0);
}

XS_INTERNAL(xs_ExtractRead) {
    dXSARGS;
    UntgzState* s = state_arg(aTHX_ items, ST(0), 2, 3);
    if (s == nullptr) XSRETURN_UNDEF;
    const IV size = items == 3 ? lmx::iv_arg(aTHX_ ST(2)) : 512;
    if (size < 0 || size % 512 != 0) XSRETURN_UNDEF;
    const IV n = extract_read(aTHX_ s, ST(1), size);
    if (n < 0) XSRETURN_UNDEF;
    XSRETURN_IV(n);
}

XS_INTERNAL(xs_ExtractFile) {
    dXSARGS;
    UntgzState* s = state_arg(aTHX_ items, ST(0), 1, items);
    if (s == nullptr) XSRETURN_UNDEF;
    XSRETURN_IV(extract_file(aTHX_ s));
}

XS_INTERNAL(xs_SetDestDir) {
    dXSARGS;
    UntgzState* s = state_arg(aTHX_ items, ST(0), 2, 2);
    if (s == nullptr) XSRETURN_UNDEF;
    std::optional<std::string> dir = lmx::text_arg(aTHX_ ST(1));
    if (!dir || dir->empty()) XSRETURN_UNDEF;
    s->errors.clear();
    s->destination = std::move(dir);
    XSRETURN_IV(0);
}

XS_INTERNAL(xs_SetOwner) {
    dXSARGS;
    UntgzState* s = state_arg(aTHX_ items, ST(0), 3, 3);
    if (s == nullptr) XSRETURN_UNDEF;
    s->errors.clear();
    XSRETURN_IV(0);
}

XS_INTERNAL(xs_SetReadOnly) {
    dXSARGS;
    UntgzState* s = state_arg(aTHX_ items, ST(0), 2, 2);
    if (s == nullptr) XSRETURN_UNDEF;
    if (s->stream == nullptr) XSRETURN_UNDEF;
    s->test_run = lmx::iv_arg(aTHX_ ST(1)) != 0;
    XSRETURN_IV(0);
}

XS_INTERNAL(xs_FetchFSUsage) {
    dXSARGS;
    UntgzState* s = state_arg(aTHX_ items, ST(0), 1, 2);
    if (s == nullptr) XSRETURN_UNDEF;
    if (items == 1) XSRETURN_UV(s->usage.size());
    const IV index = std::max<IV>(lmx::iv_arg(aTHX_ ST(1)), 0);
    if (static_cast<UV>(index) >= s->usage.size()) XSRETURN_UNDEF;
    const FsUsageEntry& u = s->usage[static_cast<size_t>(index)];
    const std::string name = u.filesystem_name.value_or("");
    EXTEND(SP, 6);
    ST(0) = sv_2mortal(newSVpvs("FSNAME"));
    ST(1) = sv_2mortal(newSVpvn(name.data(), name.size()));
    ST(2) = sv_2mortal(newSVpvs("USED"));
    ST(3) = sv_2mortal(newSVuv(u.used));
    ST(4) = sv_2mortal(newSVpvs("NEEDED"));
    ST(5) = sv_2mortal(newSVuv(u.needed));
    XSRETURN(6);
}

XS_INTERNAL(xs_GetErr) {
    dXSARGS;
    UntgzState* s = state_arg(aTHX_ items, ST(0), 1, 1);
    if (s == nullptr) XSRETURN_UNDEF;
    SP -= items;
    for (const std::string& text : s->errors)
        XPUSHs(sv_2mortal(newSVpvn(text.data(), text.size())));
    PUTBACK;
}

XS_INTERNAL(xs_ErrAdd) {
    dXSARGS;
    UntgzState* s = state_arg(aTHX_ items, ST(0), 2, 2);
    if (s == nullptr) XSRETURN_UNDEF;
    std::optional<std::string> text = lmx::text_arg(aTHX_ ST(1));
    if (text && !text->empty()) add_error(s, std::move(*text));
    XSRETURN_UNDEF;
}

const lmx::NativeFunction kFunctions[] = {
    {"KALDOR::Install::Untgz::new", xs_new},
    {"KALDOR::Install::Untgz::DESTROY", xs_DESTROY},
    {"KALDOR::Install::Untgz::Open", xs_Open},
    {"KALDOR::Install::Untgz::Next", xs_Next},
    {"KALDOR::Install::Untgz::GetHeader", xs_GetHeader},
    {"KALDOR::Install::Untgz::GetArchivename", xs_GetArchivename},
    {"KALDOR::Install::Untgz::Rewind", xs_Rewind},
    {"KALDOR::Install::Untgz::ExtractScalar", xs_ExtractScalar},
    {"KALDOR::Install::Untgz::ExtractRead", xs_ExtractRead},
    {"KALDOR::Install::Untgz::ExtractFile", xs_ExtractFile},
    {"KALDOR::Install::Untgz::SetDestDir", xs_SetDestDir},
    {"KALDOR::Install::Untgz::SetOwner", xs_SetOwner},
    {"KALDOR::Install::Untgz::SetReadOnly", xs_SetReadOnly},
    {"KALDOR::Install::Untgz::FetchFSUsage", xs_FetchFSUsage},
    {"KALDOR::Install::Untgz::GetErr", xs_GetErr},
    {"KALDOR::Install::Untgz::ErrAdd", xs_ErrAdd},
};

}  // namespace

XS_EXTERNAL(boot_KALDOR__Install__Untgz) {
    PERL_UNUSED_VAR(cv);
    lmx::boot_module(aTHX_ "Untgz", kFunctions, &lmx::kUntgzText);
}
