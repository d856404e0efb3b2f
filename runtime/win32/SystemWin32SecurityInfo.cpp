// KALDOR::Install::System::Win32::SecurityInfo: the owner and the DACL of a
// file, a directory or a share. An object opens its file or directory once
// (security access, no sharing) and holds the handle until it goes; a share
// is reached by name. Errors are kept as text on the object, or for a
// failed `new` in one module-wide text.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/security.h"
#include "platform/security_acl.h"
#include "platform/unique_handle.h"
#include "runtime/host/arguments.h"
#include "runtime/host/module_table.h"
#include "runtime/host/native_object.h"
#include "runtime/host/system_text.h"
#include "runtime/host/xs_module.h"
#include "runtime/win32/security_entries.h"

namespace {

const char kKey[] = "sess_obj";

enum ObjectType : IV { kDirectory = 0, kFile = 1, kShare = 2 };

struct SecurityInfoRecord {
    std::string path;  // with backslashes
    platform::UniqueHandle handle;
    std::optional<std::string> error;
    IV type = kFile;
};

// The text of the latest failed `new` (of this thread's interpreter).
thread_local std::optional<std::string> construction_error;

SecurityInfoRecord* record(pTHX_ SV* self) {
    return lmx::record_of<SecurityInfoRecord>(aTHX_ self, kKey);
}

void set_error(SecurityInfoRecord* r, const std::string& prefix, DWORD code) {
    r->error = lmx::system_error_text((prefix + r->path + ": ").c_str(), code);
}

// A block of the layer, released with LocalFree.
struct LocalDeleter {
    void operator()(void* block) const { LocalFree(block); }
};
using LocalBlock = std::unique_ptr<void, LocalDeleter>;

// The descriptor with the requested parts: through the handle, or by name
// for a share. The layer's error code, or ERROR_SUCCESS.
DWORD read_security(const SecurityInfoRecord* r, SECURITY_INFORMATION info, PSID* owner,
                    PSID* group, PACL* dacl, LocalBlock& descriptor) {
    PSECURITY_DESCRIPTOR block = nullptr;
    const DWORD code =
        r->type == kShare
            ? GetNamedSecurityInfoA(r->path.c_str(), SE_LMSHARE, info, owner, group, dacl, nullptr,
                                    &block)
            : GetSecurityInfo(r->handle.get(), SE_FILE_OBJECT, info, owner, group, dacl, nullptr,
                              &block);
    descriptor.reset(block);
    return code;
}

DWORD write_security(SecurityInfoRecord* r, SECURITY_INFORMATION info, PSID owner, PACL dacl) {
    if (r->type == kShare)
        return SetNamedSecurityInfoA(r->path.data(), SE_LMSHARE, info, owner, nullptr, dacl,
                                     nullptr);
    return SetSecurityInfo(r->handle.get(), SE_FILE_OBJECT, info, owner, nullptr, dacl, nullptr);
}

// Owner or group as GetOwner gives it: DOMAIN\name, else the SID string.
SV* account_text(pTHX_ PSID sid) {
    if (sid == nullptr) return &PL_sv_undef;
    std::string name;
    if (lmx::account_of_sid(sid, name)) return sv_2mortal(newSVpvn(name.data(), name.size()));
    LPSTR text = nullptr;
    if (!ConvertSidToStringSidA(sid, &text)) return &PL_sv_undef;
    SV* value = sv_2mortal(newSVpv(text, 0));
    LocalFree(text);
    return value;
}

XS_INTERNAL(xs_new) {
    dXSARGS;
    if (items != 2 && items != 3) XSRETURN_UNDEF;
    const std::string class_name =
        lmx::class_arg(aTHX_ ST(0), "KALDOR::Install::System::Win32::SecurityInfo");
    const std::optional<std::string> given = lmx::text_arg(aTHX_ ST(1));
    if (!given) XSRETURN_UNDEF;
    auto r = std::make_unique<SecurityInfoRecord>();
    r->path = *given;
    for (char& c : r->path)
        if (c == '/') c = '\\';
    if (items == 3 && lmx::iv_arg(aTHX_ ST(2)) != 0) {
        r->type = kShare;
    } else {
        // A NUL byte would cut the path to another file's name.
        r->handle.reset(r->path.find('\0') != std::string::npos
                            ? INVALID_HANDLE_VALUE
                            : CreateFileA(r->path.c_str(), READ_CONTROL | WRITE_DAC, 0, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (!r->handle) {
            const DWORD code = r->path.find('\0') != std::string::npos ? ERROR_INVALID_NAME
                                                                        : GetLastError();
            construction_error =
                lmx::system_error_text(("cannot open " + r->path + ": ").c_str(), code);
            XSRETURN_UNDEF;
        }
        BY_HANDLE_FILE_INFORMATION info{};
        r->type = GetFileInformationByHandle(r->handle.get(), &info) &&
                          (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                      ? kDirectory
                      : kFile;
    }
    ST(0) = lmx::new_object(aTHX_ class_name.c_str(), kKey, std::move(r));
    XSRETURN(1);
}

XS_INTERNAL(xs_DESTROY) {
    dXSARGS;
    if (items == 1) lmx::free_record<SecurityInfoRecord>(aTHX_ ST(0), kKey);
    XSRETURN_UNDEF;
}

XS_INTERNAL(xs_GetObjectType) {
    dXSARGS;
    SecurityInfoRecord* r = items == 1 ? record(aTHX_ ST(0)) : nullptr;
    if (r == nullptr) XSRETURN_UNDEF;
    XSRETURN_IV(r->type);
}

XS_INTERNAL(xs_GetLastError) {
    dXSARGS;
    if (items != 1) XSRETURN_UNDEF;
    SecurityInfoRecord* r = record(aTHX_ ST(0));
    const std::optional<std::string>& text = r ? r->error : construction_error;
    if (!text) XSRETURN_UNDEF;
    ST(0) = sv_2mortal(newSVpvn(text->data(), text->size()));
    XSRETURN(1);
}

XS_INTERNAL(xs_GetOwner) {
    dXSARGS;
    SecurityInfoRecord* r = items == 1 ? record(aTHX_ ST(0)) : nullptr;
    if (r == nullptr) XSRETURN_UNDEF;
    SP -= items;
    EXTEND(SP, 3);
    PSID owner = nullptr, group = nullptr;
    LocalBlock descriptor;
    const DWORD code = read_security(r, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION,
                                     &owner, &group, nullptr, descriptor);
    if (code != ERROR_SUCCESS) {
        ST(0) = sv_2mortal(newSViv(10000 + static_cast<IV>(code)));
        ST(1) = &PL_sv_undef;
        ST(2) = &PL_sv_undef;
        XSRETURN(3);
    }
    ST(0) = sv_2mortal(newSViv(0));
    ST(1) = account_text(aTHX_ owner);
    ST(2) = account_text(aTHX_ group);
    XSRETURN(3);
}

XS_INTERNAL(xs_GetDACL) {
    dXSARGS;
    SecurityInfoRecord* r = items == 1 ? record(aTHX_ ST(0)) : nullptr;
    if (r == nullptr) XSRETURN_UNDEF;
    const bool share = r->type == kShare;
    PACL dacl = nullptr;
    LocalBlock descriptor;
    DWORD code = read_security(r, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, descriptor);
    if (code != ERROR_SUCCESS) {
        set_error(r, share ? "cannot get security info of share " : "cannot get security info of file ",
                  code);
        XSRETURN_UNDEF;
    }
    BOOL present = FALSE, defaulted = FALSE;
    if (!GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted)) {
        set_error(r, "Cannot get Dacl of file ", GetLastError());
        XSRETURN_UNDEF;
    }
    if (!present || dacl == nullptr) XSRETURN_UNDEF;
    ULONG count = 0;
    PEXPLICIT_ACCESS_A entries = nullptr;
    code = GetExplicitEntriesFromAclA(dacl, &count, &entries);
    if (code != ERROR_SUCCESS) {
        set_error(r, "Cannot get acl entries of file ", code);
        XSRETURN_UNDEF;
    }
    const LocalBlock held(entries);
    SP -= items;
    EXTEND(SP, 2);
    AV* list = newAV();
    SV* list_ref = sv_2mortal(newRV_noinc(reinterpret_cast<SV*>(list)));
    for (ULONG i = 0; i < count; ++i) av_push(list, lmx::entry_hash(aTHX_ entries[i]));
    ST(0) = list_ref;
    ST(1) = sv_2mortal(newSViv(defaulted ? 1 : 0));
    XSRETURN(2);
}

XS_INTERNAL(xs_SetDACL) {
    dXSARGS;
    if (items != 1 && items != 2) XSRETURN_UNDEF;
    SecurityInfoRecord* r = record(aTHX_ ST(0));
    if (r == nullptr) XSRETURN_UNDEF;
    if (items == 1) XSRETURN_IV(1);
    SV* aces = ST(1);
    SvGETMAGIC(aces);
    if (!SvROK(aces) || SvTYPE(SvRV(aces)) != SVt_PVAV) XSRETURN_UNDEF;
    lmx::EntryList list;
    if (!lmx::read_entries(aTHX_ reinterpret_cast<AV*>(SvRV(aces)), list, r->error)) XSRETURN_UNDEF;
    // No entries: the DACL stays as it is.
    if (list.entries.empty()) XSRETURN_IV(1);
    PACL acl = nullptr;
    DWORD code = SetEntriesInAclA(static_cast<ULONG>(list.entries.size()), list.entries.data(),
                                  nullptr, &acl);
    const LocalBlock held(acl);
    if (code != ERROR_SUCCESS) {
        set_error(r, "cannot set new acl for ", code);
        XSRETURN_UNDEF;
    }
    code = write_security(r, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                          nullptr, acl);
    if (code != ERROR_SUCCESS) {
        set_error(r, "Cannot set new acl of file ", code);
        XSRETURN_UNDEF;
    }
    XSRETURN_IV(1);
}

XS_INTERNAL(xs_SetOwner) {
    dXSARGS;
    SecurityInfoRecord* r = items == 2 ? record(aTHX_ ST(0)) : nullptr;
    if (r == nullptr) XSRETURN_UNDEF;
    const std::optional<std::string> text = lmx::text_arg(aTHX_ ST(1));
    PSID sid = nullptr;
    if (!text || text->find('\0') != std::string::npos ||
        !ConvertStringSidToSidA(text->c_str(), &sid))
        XSRETURN_IV(-1);
    const LocalBlock held(sid);
    const DWORD code = write_security(r, OWNER_SECURITY_INFORMATION, sid, nullptr);
    if (code != ERROR_SUCCESS) {
        r->error = lmx::system_error_text(
            ("SetSecurityInfo (" + r->path + ",OWNER_SECURITY_INFORMATION) failed: ").c_str(), code);
        XSRETURN_IV(-1);
    }
    XSRETURN_IV(0);
}

template <UV Value>
void constant(pTHX_ CV*) {
    dXSARGS;
    PERL_UNUSED_VAR(items);
    XSRETURN_UV(Value);
}

#define LMX_SECURITY(name) "KALDOR::Install::System::Win32::SecurityInfo::" name

const lmx::NativeFunction kFunctions[] = {
    {LMX_SECURITY("new"), xs_new},
    {LMX_SECURITY("DESTROY"), xs_DESTROY},
    {LMX_SECURITY("GetObjectType"), xs_GetObjectType},
    {LMX_SECURITY("GetLastError"), xs_GetLastError},
    {LMX_SECURITY("GetOwner"), xs_GetOwner},
    {LMX_SECURITY("GetDACL"), xs_GetDACL},
    {LMX_SECURITY("SetDACL"), xs_SetDACL},
    {LMX_SECURITY("SetOwner"), xs_SetOwner},
    {LMX_SECURITY("NO_INHERITANCE"), constant<0>},
    {LMX_SECURITY("SUB_OBJECTS_ONLY_INHERIT"), constant<1>},
    {LMX_SECURITY("SUB_CONTAINERS_ONLY_INHERIT"), constant<2>},
    {LMX_SECURITY("SUB_CONTAINERS_AND_OBJECTS_INHERIT"), constant<3>},
    {LMX_SECURITY("OBJECT_INHERIT_ACE"), constant<1>},
    {LMX_SECURITY("CONTAINER_INHERIT_ACE"), constant<2>},
    {LMX_SECURITY("NO_PROPAGATE_INHERIT_ACE"), constant<4>},
    {LMX_SECURITY("INHERIT_ONLY_ACE"), constant<8>},
    {LMX_SECURITY("NOT_USED_ACCESS"), constant<0>},
    {LMX_SECURITY("GRANT_ACCESS"), constant<1>},
    {LMX_SECURITY("SET_ACCESS"), constant<2>},
    {LMX_SECURITY("DENY_ACCESS"), constant<3>},
    {LMX_SECURITY("REVOKE_ACCESS"), constant<4>},
    {LMX_SECURITY("SET_AUDIT_SUCCESS"), constant<5>},
    {LMX_SECURITY("SET_AUDIT_FAILURE"), constant<6>},
    {LMX_SECURITY("LMX_OBJECTTYPE_DIRECTORY"), constant<0>},
    {LMX_SECURITY("LMX_OBJECTTYPE_FILE"), constant<1>},
    {LMX_SECURITY("STANDARD_RIGHTS_READ"), constant<0x20000>},
    {LMX_SECURITY("STANDARD_RIGHTS_WRITE"), constant<0x20000>},
    {LMX_SECURITY("SYNCHRONIZE"), constant<0x100000>},
    {LMX_SECURITY("MAXIMUM_ALLOWED"), constant<0x2000000>},
    {LMX_SECURITY("GENERIC_EXECUTE"), constant<0x20000000>},
    {LMX_SECURITY("GENERIC_READ"), constant<0x80000000>},
    {LMX_SECURITY("FILE_READ_DATA"), constant<0x1>},
    {LMX_SECURITY("FILE_LIST_DIRECTORY"), constant<0x1>},
    {LMX_SECURITY("FILE_WRITE_DATA"), constant<0x2>},
    {LMX_SECURITY("FILE_ADD_FILE"), constant<0x2>},
    {LMX_SECURITY("FILE_APPEND_DATA"), constant<0x4>},
    {LMX_SECURITY("FILE_ADD_SUBDIRECTORY"), constant<0x4>},
    {LMX_SECURITY("FILE_CREATE_PIPE_INSTANCE"), constant<0x4>},
    {LMX_SECURITY("FILE_READ_EA"), constant<0x8>},
    {LMX_SECURITY("FILE_WRITE_EA"), constant<0x10>},
    {LMX_SECURITY("FILE_EXECUTE"), constant<0x20>},
    {LMX_SECURITY("FILE_TRAVERSE"), constant<0x20>},
    {LMX_SECURITY("FILE_DELETE_CHILD"), constant<0x40>},
    {LMX_SECURITY("FILE_READ_ATTRIBUTES"), constant<0x80>},
    {LMX_SECURITY("FILE_WRITE_ATTRIBUTES"), constant<0x100>},
    {LMX_SECURITY("FILE_ALL_ACCESS"), constant<0x1F01FF>},
    {LMX_SECURITY("DELETE"), constant<0x10000>},
    {LMX_SECURITY("READ_CONTROL"), constant<0x20000>},
    {LMX_SECURITY("WRITE_DAC"), constant<0x40000>},
    {LMX_SECURITY("WRITE_OWNER"), constant<0x80000>},
    {LMX_SECURITY("ACCESS_SYSTEM_SECURITY"), constant<0x1000000>},
    {LMX_SECURITY("GENERIC_ALL"), constant<0x10000000>},
    {LMX_SECURITY("GENERIC_WRITE"), constant<0x40000000>},
};

}  // namespace

XS_EXTERNAL(boot_KALDOR__Install__System__Win32__SecurityInfo) {
    PERL_UNUSED_VAR(cv);
    lmx::boot_module(aTHX_ "SystemWin32SecurityInfo", kFunctions);
}
