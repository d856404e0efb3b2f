// The advapi32 calls over the identity mapping: account lookups, logons and
// account rights (declared in platform/security.h).
#include <shadow.h>
#include <unistd.h>

#include <strings.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/accounts.h"
#include "platform/admin_store.h"
#include "platform/errors.h"
#include "platform/internal.h"
#include "platform/handles.h"
#include "platform/security.h"
#include "platform/utf16.h"

using namespace platform;

namespace {

// A logon's token: it stands for the user and is only closed.
struct LogonToken : KernelObject {
    explicit LogonToken(const SID& user) : sid(user) {}
    SID sid;
};

// An open policy and the access it was opened with.
struct PolicyObject : KernelObject {
    explicit PolicyObject(ACCESS_MASK granted) : access(granted) {}
    ACCESS_MASK access;
};

constexpr ACCESS_MASK kReadPolicy = POLICY_VIEW_LOCAL_INFORMATION | POLICY_LOOKUP_NAMES |
                                    READ_CONTROL;

bool local_system(LPCSTR system) { return system == nullptr || is_this_machine(system); }

// Fills the two name buffers of a lookup with the Windows size protocol.
BOOL give_names(const std::string& name, LPSTR name_buffer, LPDWORD name_size,
                const std::string& domain, LPSTR domain_buffer, LPDWORD domain_size) {
    const bool name_fits = name_size == nullptr || (name_buffer && *name_size > name.size());
    const bool domain_fits = domain_buffer && *domain_size > domain.size();
    if (!name_fits || !domain_fits) {
        if (name_size) *name_size = static_cast<DWORD>(name.size() + 1);
        *domain_size = static_cast<DWORD>(domain.size() + 1);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (name_size) {
        std::memcpy(name_buffer, name.c_str(), name.size() + 1);
        *name_size = static_cast<DWORD>(name.size());
    }
    std::memcpy(domain_buffer, domain.c_str(), domain.size() + 1);
    *domain_size = static_cast<DWORD>(domain.size());
    return TRUE;
}

// The salted hash of a user's password: a host user's from the shadow
// database, a store user's from the store. False when there is none to
// read (unknown user, shadow database not readable).
bool password_hash_of(const Account& user, std::string& hash) {
    if (user.origin == Account::Origin::store_user) {
        store::User stored;
        if (!store::find_user(user.id, stored)) return false;
        hash = stored.password_hash;
        return true;
    }
    std::vector<char> buffer(4096);
    for (;;) {
        struct spwd entry, *found = nullptr;
        const int err = ::getspnam_r(user.name.c_str(), &entry, buffer.data(), buffer.size(), &found);
        if (err == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (err != 0 || found == nullptr || found->sp_pwdp == nullptr) return false;
        hash = found->sp_pwdp;
        return true;
    }
}

// The rights and privileges an account may be given.
const char* const kAccountRights[] = {
    "SeBatchLogonRight", "SeDenyBatchLogonRight", "SeDenyInteractiveLogonRight",
    "SeDenyNetworkLogonRight", "SeDenyRemoteInteractiveLogonRight", "SeDenyServiceLogonRight",
    "SeInteractiveLogonRight", "SeNetworkLogonRight", "SeRemoteInteractiveLogonRight",
    "SeServiceLogonRight", "SeAssignPrimaryTokenPrivilege", "SeAuditPrivilege",
    "SeBackupPrivilege", "SeChangeNotifyPrivilege", "SeCreateGlobalPrivilege",
    "SeCreatePagefilePrivilege", "SeCreatePermanentPrivilege", "SeCreateSymbolicLinkPrivilege",
    "SeCreateTokenPrivilege", "SeDebugPrivilege", "SeDelegateSessionUserImpersonatePrivilege",
    "SeEnableDelegationPrivilege", "SeImpersonatePrivilege", "SeIncreaseBasePriorityPrivilege",
    "SeIncreaseQuotaPrivilege", "SeIncreaseWorkingSetPrivilege", "SeLoadDriverPrivilege",
    "SeLockMemoryPrivilege", "SeMachineAccountPrivilege", "SeManageVolumePrivilege",
    "SeProfileSingleProcessPrivilege", "SeRelabelPrivilege", "SeRemoteShutdownPrivilege",
    "SeRestorePrivilege", "SeSecurityPrivilege", "SeShutdownPrivilege", "SeSyncAgentPrivilege",
    "SeSystemEnvironmentPrivilege", "SeSystemProfilePrivilege", "SeSystemtimePrivilege",
    "SeTakeOwnershipPrivilege", "SeTcbPrivilege", "SeTimeZonePrivilege",
    "SeTrustedCredManAccessPrivilege", "SeUndockPrivilege",
};

// The canonical spelling of a right's name; false for an unknown name.
bool known_right(const std::string& name, std::string& canonical) {
    for (const char* right : kAccountRights) {
        if (name.size() == std::strlen(right) && ::strcasecmp(name.c_str(), right) == 0) {
            canonical = right;
            return true;
        }
    }
    return false;
}

struct StatusCode {
    NTSTATUS status;
    DWORD code;
};

const StatusCode kStatusCodes[] = {
    {STATUS_SUCCESS, ERROR_SUCCESS},
    {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
    {STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE},
    {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
    {STATUS_NO_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
    {STATUS_NO_SUCH_PRIVILEGE, ERROR_NO_SUCH_PRIVILEGE},
    {STATUS_INVALID_SID, ERROR_INVALID_SID},
    {STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
    {RPC_NT_SERVER_UNAVAILABLE, RPC_S_SERVER_UNAVAILABLE},
    {static_cast<NTSTATUS>(0xC000007Fu), ERROR_DISK_FULL},      // STATUS_DISK_FULL
    {static_cast<NTSTATUS>(0xC0000001u), ERROR_GEN_FAILURE},    // STATUS_UNSUCCESSFUL
};

NTSTATUS status_of_code(DWORD code) {
    for (const StatusCode& s : kStatusCodes)
        if (s.code == code) return s.status;
    return static_cast<NTSTATUS>(0xC0000001u);
}

}  // namespace

BOOL LookupAccountNameA(LPCSTR lpSystemName, LPCSTR lpAccountName, PSID Sid, LPDWORD cbSid,
                        LPSTR ReferencedDomainName, LPDWORD cchReferencedDomainName,
                        PSID_NAME_USE peUse) {
    if (lpAccountName == nullptr || cbSid == nullptr || cchReferencedDomainName == nullptr ||
        peUse == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!local_system(lpSystemName)) {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return FALSE;
    }
    Account account;
    if (!find_account(lpAccountName, account)) {
        *cbSid = *cchReferencedDomainName = 0;
        SetLastError(ERROR_NONE_MAPPED);
        return FALSE;
    }
    const DWORD length = GetLengthSid(&account.sid);
    const bool sid_fits = Sid != nullptr && *cbSid >= length;
    if (!sid_fits) {
        *cbSid = length;
        *cchReferencedDomainName = static_cast<DWORD>(account.domain.size() + 1);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (!give_names("", nullptr, nullptr, account.domain, ReferencedDomainName,
                    cchReferencedDomainName)) {
        *cbSid = length;
        return FALSE;
    }
    std::memcpy(Sid, &account.sid, length);
    *cbSid = length;
    *peUse = account.use;
    return TRUE;
}

BOOL LookupAccountSidA(LPCSTR lpSystemName, PSID Sid, LPSTR Name, LPDWORD cchName,
                       LPSTR ReferencedDomainName, LPDWORD cchReferencedDomainName,
                       PSID_NAME_USE peUse) {
    if (cchName == nullptr || cchReferencedDomainName == nullptr || peUse == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    SID sid;
    if (!copy_sid(Sid, sid)) {
        SetLastError(ERROR_INVALID_SID);
        return FALSE;
    }
    if (!local_system(lpSystemName)) {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return FALSE;
    }
    Account account;
    if (!find_account(sid, account)) {
        SetLastError(ERROR_NONE_MAPPED);
        return FALSE;
    }
    if (!give_names(account.name, Name, cchName, account.domain, ReferencedDomainName,
                    cchReferencedDomainName))
        return FALSE;
    *peUse = account.use;
    return TRUE;
}

BOOL LogonUserW(LPCWSTR lpszUsername, LPCWSTR lpszDomain, LPCWSTR lpszPassword,
                DWORD /*dwLogonType*/, DWORD /*dwLogonProvider*/, PHANDLE phToken) {
    if (lpszUsername == nullptr || phToken == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::string domain = narrow(lpszDomain);
    Account user;
    std::string hash;
    if (!is_this_machine(domain) || !find_user(narrow(lpszUsername), user) ||
        !password_hash_of(user, hash) || !password_matches(narrow(lpszPassword), hash)) {
        SetLastError(ERROR_LOGON_FAILURE);
        return FALSE;
    }
    HANDLE token = insert_new<LogonToken>(user.sid);
    if (token == nullptr) return FALSE;
    *phToken = token;
    return TRUE;
}

NTSTATUS LsaOpenPolicy(PLSA_UNICODE_STRING SystemName, PLSA_OBJECT_ATTRIBUTES /*ObjectAttributes*/,
                       ACCESS_MASK DesiredAccess, PLSA_HANDLE PolicyHandle) {
    if (PolicyHandle == nullptr) return STATUS_INVALID_PARAMETER;
    if (SystemName != nullptr && SystemName->Length != 0 &&
        !is_this_machine(narrow(SystemName->Buffer, SystemName->Length / 2)))
        return RPC_NT_SERVER_UNAVAILABLE;
    if ((DesiredAccess & ~kReadPolicy) != 0 && ::geteuid() != 0) return STATUS_ACCESS_DENIED;
    HANDLE policy = insert_new<PolicyObject>(DesiredAccess);
    if (policy == nullptr) return STATUS_NO_MEMORY;
    *PolicyHandle = policy;
    return STATUS_SUCCESS;
}

NTSTATUS LsaAddAccountRights(LSA_HANDLE PolicyHandle, PSID AccountSid,
                             PLSA_UNICODE_STRING UserRights, ULONG CountOfRights) {
    auto policy = std::dynamic_pointer_cast<PolicyObject>(handle_lookup(PolicyHandle));
    if (!policy) return STATUS_INVALID_HANDLE;
    if ((policy->access & ~kReadPolicy) == 0) return STATUS_ACCESS_DENIED;
    SID sid;
    if (!copy_sid(AccountSid, sid)) return STATUS_INVALID_SID;
    if (CountOfRights != 0 && UserRights == nullptr) return STATUS_INVALID_PARAMETER;
    std::vector<std::string> rights;
    for (ULONG i = 0; i < CountOfRights; ++i) {
        std::string right;
        if (!known_right(narrow(UserRights[i].Buffer, UserRights[i].Length / 2), right))
            return STATUS_NO_SUCH_PRIVILEGE;
        rights.push_back(right);
    }
    if (rights.empty()) return STATUS_SUCCESS;
    return status_of_code(store::add_account_rights(sid_string(sid), rights));
}

NTSTATUS LsaClose(LSA_HANDLE ObjectHandle) {
    if (!std::dynamic_pointer_cast<PolicyObject>(handle_lookup(ObjectHandle)))
        return STATUS_INVALID_HANDLE;
    handle_remove(ObjectHandle);
    return STATUS_SUCCESS;
}

ULONG LsaNtStatusToWinError(NTSTATUS Status) {
    for (const StatusCode& s : kStatusCodes)
        if (s.status == Status) return s.code;
    return ERROR_MR_MID_NOT_FOUND;
}
