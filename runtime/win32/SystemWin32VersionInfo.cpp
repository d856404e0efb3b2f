// KALDOR::Install::System::Win32::VersionInfo: the version resource of a
// Windows program file, read as a stream from a file or from an archive
// entry being extracted. GetVersionInfo and QueryVersionValue serve the
// build-information module through the interpreter, on records it owns
// for the length of its call (version_records.h); SysVersionInfo gives a
// file's FileVersion text.
#include <optional>
#include <string>

#include "runtime/host/arguments.h"
#include "runtime/host/module_table.h"
#include "runtime/host/xs_module.h"
#include "runtime/win32/version_query.h"
#include "runtime/win32/version_records.h"
#include "runtime/win32/version_source.h"

namespace {

using lmx::version::LiveRecord;

const char* const kFileVersionQueries[] = {"\\StringFileInfo\\040904E4\\FileVersion",
                                           "\\StringFileInfo\\040904B0\\FileVersion"};

std::uintptr_t address_arg(pTHX_ SV* value) {
    if (!lmx::is_defined(aTHX_ value)) return 0;
    return static_cast<std::uintptr_t>(SvUV_nomg(value));
}

// GetVersionInfo(address of a version-read record): 0, or -1 for an
// address that names no live record.
XS_INTERNAL(xs_GetVersionInfo) {
    dXSARGS;
    if (items != 1) XSRETURN_UNDEF;
    lmx::version::ReadRecord* record =
        LiveRecord<lmx::version::ReadRecord>::find(address_arg(aTHX_ ST(0)));
    XSRETURN_IV(record != nullptr ? lmx::version::get_version_info(*record) : -1);
}

// QueryVersionValue(address of a version-query record): 0, or -1 for an
// address that names no live record.
XS_INTERNAL(xs_QueryVersionValue) {
    dXSARGS;
    if (items != 1) XSRETURN_UNDEF;
    lmx::version::QueryRecord* record =
        LiveRecord<lmx::version::QueryRecord>::find(address_arg(aTHX_ ST(0)));
    if (record == nullptr) XSRETURN_IV(-1);
    lmx::version::answer_query(*record);
    XSRETURN_IV(0);
}

// SysVersionInfo(path or extraction object): the FileVersion text of the
// US English table (code page 1252, else Unicode), or the empty string.
XS_INTERNAL(xs_SysVersionInfo) {
    dXSARGS;
    if (items != 1) XSRETURN_UNDEF;
    lmx::version::VersionSource source(aTHX_ ST(0));
    const lmx::version::VersionData data = lmx::version::read_version(
        source.key(), source.reader(),
        [](lmx::version::ReadRecord& r) { return lmx::version::get_version_info(r) == 0; });
    std::string text;
    for (const char* query : kFileVersionQueries) {
        if (!data.block) break;
        const std::optional<lmx::version::TextValue> value =
            lmx::version::query_text(data.block->data(), data.block->size(), query);
        if (!value) continue;
        text = lmx::version::narrow_text(data.block->data() + value->offset, value->length);
        break;
    }
    ST(0) = sv_2mortal(newSVpvn(text.data(), text.size()));
    XSRETURN(1);
}

const lmx::NativeFunction kFunctions[] = {
    {"KALDOR::Install::System::Win32::VersionInfo::GetVersionInfo", xs_GetVersionInfo},
    {"KALDOR::Install::System::Win32::VersionInfo::QueryVersionValue", xs_QueryVersionValue},
    {"KALDOR::Install::System::Win32::VersionInfo::SysVersionInfo", xs_SysVersionInfo},
};

}  // namespace

XS_EXTERNAL(boot_KALDOR__Install__System__Win32__VersionInfo) {
    PERL_UNUSED_VAR(cv);
    lmx::boot_module(aTHX_ "SystemWin32VersionInfo", kFunctions);
}
