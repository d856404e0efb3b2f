#include "platform/security.h"

#include <pwd.h>
#include <unistd.h>

#include <strings.h>

#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/handles.h"
#include "platform/process_table.h"
#include "platform/processes.h"

namespace platform {
namespace {

constexpr DWORD kFirstHostRid = 1000;
constexpr DWORD kLocalSystemRid = 18;
constexpr DWORD kNtNonUnique = 21;  // S-1-5-21-...: machine and domain accounts
constexpr int kCapSysPtrace = 19;
constexpr LUID kDebugPrivilege = {20, 0};

SID nt_sid(std::initializer_list<DWORD> sub_authorities) {
    SID sid{};
    sid.Revision = SID_REVISION;
    sid.IdentifierAuthority.Value[5] = 5;  // NT authority
    for (DWORD s : sub_authorities) sid.SubAuthority[sid.SubAuthorityCount++] = s;
    return sid;
}

bool is_nt_authority(const SID& sid) {
    static const SID_IDENTIFIER_AUTHORITY nt = {{0, 0, 0, 0, 0, 5}};
    return std::memcmp(&sid.IdentifierAuthority, &nt, sizeof nt) == 0;
}

// A token: the process whose privileges it reports.
struct TokenObject : KernelObject {
    explicit TokenObject(DWORD id) : pid(id) {}
    DWORD pid;
};

// A security descriptor in one block, as GetSecurityInfo hands it out.
struct OwnerDescriptor {
    BYTE Revision;
    BYTE Sbz1;
    WORD Control;
    DWORD OffsetOwner, OffsetGroup, OffsetSacl, OffsetDacl;
    SID owner;
};

}  // namespace

void machine_sid_parts(DWORD parts[3]) {
    parts[0] = parts[1] = parts[2] = 0;
    std::ifstream in("/etc/machine-id");
    std::string id;
    if (!(in >> id) || id.size() < 24) return;
    DWORD read[3];
    for (int i = 0; i < 3; ++i) {
        const std::string group = id.substr(static_cast<size_t>(i) * 8, 8);
        char* end = nullptr;
        read[i] = static_cast<DWORD>(std::strtoul(group.c_str(), &end, 16));
        if (end != group.c_str() + 8) return;
    }
    std::memcpy(parts, read, sizeof read);
}

SID account_sid(DWORD uid) {
    DWORD parts[3];
    machine_sid_parts(parts);
    return nt_sid({kNtNonUnique, parts[0], parts[1], parts[2], kFirstHostRid + uid});
}

SID local_system_sid() { return nt_sid({kLocalSystemRid}); }

bool uid_of_sid(const SID& sid, DWORD& uid) {
    if (sid.Revision != SID_REVISION || !is_nt_authority(sid)) return false;
    if (sid.SubAuthorityCount == 1 && sid.SubAuthority[0] == kLocalSystemRid) {
        uid = 0;
        return true;
    }
    const SID machine_account = account_sid(0);
    if (sid.SubAuthorityCount != 5 ||
        std::memcmp(sid.SubAuthority, machine_account.SubAuthority, 4 * sizeof(DWORD)) != 0 ||
        sid.SubAuthority[4] < kFirstHostRid)
        return false;
    uid = sid.SubAuthority[4] - kFirstHostRid;
    return true;
}

std::string machine_name() {
    char host[256] = "";
    if (::gethostname(host, sizeof host - 1) != 0) return "LOCALHOST";
    std::string name(host, std::strcspn(host, "."));
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return name;
}

bool account_name(DWORD uid, std::string& name) {
    struct passwd entry, *found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(static_cast<uid_t>(uid), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr)
        return false;
    name = machine_name() + "\\" + found->pw_name;
    return true;
}

}  // namespace platform

using namespace platform;

BOOL ConvertSidToStringSidA(PSID Sid, LPSTR* StringSid) {
    const auto* sid = static_cast<const SID*>(Sid);
    if (sid == nullptr || StringSid == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (sid->Revision != SID_REVISION || sid->SubAuthorityCount > SID_MAX_SUB_AUTHORITIES) {
        SetLastError(ERROR_INVALID_SID);
        return FALSE;
    }
    unsigned long long authority = 0;
    for (BYTE b : sid->IdentifierAuthority.Value) authority = (authority << 8) | b;
    char part[32];
    // Authorities above 32 bits are written in hexadecimal, as Windows does.
    std::snprintf(part, sizeof part, authority >> 32 ? "S-1-0x%llX" : "S-1-%llu", authority);
    std::string text = part;
    for (BYTE i = 0; i < sid->SubAuthorityCount; ++i) text += "-" + std::to_string(sid->SubAuthority[i]);
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    std::memcpy(copy, text.c_str(), text.size() + 1);
    *StringSid = copy;
    return TRUE;
}

DWORD GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE ObjectType,
                      SECURITY_INFORMATION SecurityInfo, PSID* ppsidOwner, PSID* ppsidGroup,
                      PACL* ppDacl, PACL* ppSacl, PSECURITY_DESCRIPTOR* ppSecurityDescriptor) {
    if (ObjectType != SE_KERNEL_OBJECT || SecurityInfo != OWNER_SECURITY_INFORMATION ||
        ppsidGroup != nullptr || ppDacl != nullptr || ppSacl != nullptr)
        return ERROR_NOT_SUPPORTED;
    if (ppSecurityDescriptor == nullptr) return ERROR_INVALID_PARAMETER;
    const DWORD pid = GetProcessId(handle);
    unsigned long long uid = 0;
    if (pid == 0 || !process_status_number(pid, "Uid", 10, uid) || !process_is_running(handle))
        return ERROR_INVALID_HANDLE;
    auto* descriptor = static_cast<OwnerDescriptor*>(std::calloc(1, sizeof(OwnerDescriptor)));
    if (descriptor == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    descriptor->Revision = 1;
    descriptor->Control = 0x8000;  // self-relative
    descriptor->OffsetOwner = offsetof(OwnerDescriptor, owner);
    descriptor->owner = account_sid(static_cast<DWORD>(uid));
    if (ppsidOwner) *ppsidOwner = &descriptor->owner;
    *ppSecurityDescriptor = descriptor;
    return ERROR_SUCCESS;
}

BOOL OpenProcessToken(HANDLE ProcessHandle, DWORD /*DesiredAccess*/, HANDLE* TokenHandle) {
    const DWORD pid = GetProcessId(ProcessHandle);
    if (pid == 0) return FALSE;
    if (TokenHandle == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    try {
        HANDLE token = handle_insert(std::make_shared<TokenObject>(pid));
        if (token == nullptr) return FALSE;
        *TokenHandle = token;
        return TRUE;
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
}

BOOL LookupPrivilegeValueA(LPCSTR lpSystemName, LPCSTR lpName, LUID* lpLuid) {
    if ((lpSystemName != nullptr && *lpSystemName != '\0') || lpName == nullptr ||
        lpLuid == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (::strcasecmp(lpName, SE_DEBUG_NAME) != 0) {
        SetLastError(ERROR_NO_SUCH_PRIVILEGE);
        return FALSE;
    }
    *lpLuid = kDebugPrivilege;
    return TRUE;
}

BOOL AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                           PTOKEN_PRIVILEGES NewState, DWORD /*BufferLength*/,
                           PTOKEN_PRIVILEGES PreviousState, LPDWORD /*ReturnLength*/) {
    auto token = std::dynamic_pointer_cast<TokenObject>(handle_lookup(TokenHandle));
    if (!token) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (PreviousState != nullptr || (!DisableAllPrivileges && NewState == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    unsigned long long capabilities = 0;
    if (!process_status_number(token->pid, "CapEff", 16, capabilities)) return FALSE;
    bool all_held = true;
    for (DWORD i = 0; !DisableAllPrivileges && i < NewState->PrivilegeCount; ++i) {
        const LUID& luid = NewState->Privileges[i].Luid;
        if (luid.LowPart != kDebugPrivilege.LowPart || luid.HighPart != kDebugPrivilege.HighPart) {
            SetLastError(ERROR_NO_SUCH_PRIVILEGE);
            return FALSE;
        }
        all_held = all_held && ((capabilities >> kCapSysPtrace) & 1);
    }
    SetLastError(all_held ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
    return TRUE;
}
