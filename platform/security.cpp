#include "platform/security.h"

#include <pwd.h>
#include <unistd.h>

#include <strings.h>

#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <new>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/accounts.h"
#include "platform/errors.h"
#include "platform/internal.h"
#include "platform/handles.h"
#include "platform/process_table.h"
#include "platform/processes.h"
#include "platform/security_acl.h"

namespace platform {
namespace {

constexpr DWORD kFirstHostRid = 1000;
constexpr DWORD kLocalSystemRid = 18;
constexpr DWORD kNtNonUnique = 21;  // S-1-5-21-...: machine and domain accounts
constexpr int kCapSysPtrace = 19;
constexpr LUID kDebugPrivilege = {20, 0};
constexpr DWORD kSidHeaderSize = 8;

// The credentials a token stands for.
struct Credentials {
    DWORD uid = 0;
    DWORD gid = 0;
    std::vector<DWORD> groups;
};

// A token: the process whose credentials and privileges it reports.
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

// The effective uid and gid and the supplementary groups of a process.
bool process_credentials(DWORD pid, Credentials& credentials) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    bool uid = false, gid = false;
    while (std::getline(status, line)) {
        std::istringstream fields(line);
        std::string key;
        unsigned long real, effective;
        fields >> key;
        if (key == "Uid:" && fields >> real >> effective) {
            credentials.uid = static_cast<DWORD>(effective);
            uid = true;
        } else if (key == "Gid:" && fields >> real >> effective) {
            credentials.gid = static_cast<DWORD>(effective);
            gid = true;
        } else if (key == "Groups:") {
            while (fields >> effective) credentials.groups.push_back(static_cast<DWORD>(effective));
        }
    }
    if (!uid || !gid) SetLastError(ERROR_INVALID_HANDLE);
    return uid && gid;
}

struct TokenGroup {
    SID sid;
    DWORD attributes;
};

constexpr DWORD kEnabledGroup = SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED;

// The groups of a token with these credentials (see GetTokenInformation).
std::vector<TokenGroup> token_groups(const Credentials& credentials) {
    std::vector<TokenGroup> groups;
    auto add = [&groups](const SID& sid, DWORD attributes) {
        for (const TokenGroup& g : groups)
            if (EqualSid(const_cast<SID*>(&g.sid), const_cast<SID*>(&sid))) return;
        groups.push_back({sid, attributes});
    };
    add(make_sid(1, {0}), kEnabledGroup);
    Account user;
    const bool known = find_account(account_sid(credentials.uid), user) && user.use == SidTypeUser;
    if (known) add(make_sid(5, {32, 545}), kEnabledGroup);
    DWORD admin_gid = 0;
    const bool have_admin_gid = administrators_host_gid(admin_gid);
    bool admin_member = credentials.uid == 0 || (known && is_administrator(user));
    std::vector<DWORD> gids = {credentials.gid};
    gids.insert(gids.end(), credentials.groups.begin(), credentials.groups.end());
    for (DWORD gid : gids) {
        Account group;
        if (find_host_group(gid, group)) add(group.sid, kEnabledGroup);
        admin_member = admin_member || (have_admin_gid && gid == admin_gid);
    }
    if (admin_member)
        add(make_sid(5, {32, 544}),
            credentials.uid == 0 ? kEnabledGroup | SE_GROUP_OWNER : SE_GROUP_USE_FOR_DENY_ONLY);
    if (known)
        for (const Account& group : local_groups_of(user))
            if (group.origin == Account::Origin::store_group) add(group.sid, kEnabledGroup);
    return groups;
}

// Writes the TOKEN_GROUPS block; false with ERROR_INSUFFICIENT_BUFFER and
// the size needed when it does not fit.
BOOL write_token_groups(const std::vector<TokenGroup>& groups, LPVOID buffer, DWORD length,
                        LPDWORD needed) {
    const size_t table = offsetof(TOKEN_GROUPS, Groups) + groups.size() * sizeof(SID_AND_ATTRIBUTES);
    size_t size = table;
    for (const TokenGroup& g : groups) size += GetLengthSid(const_cast<SID*>(&g.sid));
    *needed = static_cast<DWORD>(size);
    if (buffer == nullptr || length < size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    auto* block = static_cast<BYTE*>(buffer);
    auto* header = static_cast<TOKEN_GROUPS*>(buffer);
    SID_AND_ATTRIBUTES* entries = header->Groups;
    header->GroupCount = static_cast<DWORD>(groups.size());
    size_t offset = table;
    for (size_t i = 0; i < groups.size(); ++i) {
        const DWORD sid_length = GetLengthSid(const_cast<SID*>(&groups[i].sid));
        std::memcpy(block + offset, &groups[i].sid, sid_length);
        entries[i].Sid = block + offset;
        entries[i].Attributes = groups[i].attributes;
        offset += sid_length;
    }
    return TRUE;
}

}  // namespace

namespace {

std::vector<DWORD> read_machine_sid_parts() {
    std::ifstream in("/etc/machine-id");
    std::string id;
    if (!(in >> id) || id.size() < 24) return {0, 0, 0};
    std::vector<DWORD> read;
    for (int i = 0; i < 3; ++i) {
        const std::string group = id.substr(static_cast<size_t>(i) * 8, 8);
        char* end = nullptr;
        read.push_back(static_cast<DWORD>(std::strtoul(group.c_str(), &end, 16)));
        if (end != group.c_str() + 8) return {0, 0, 0};
    }
    return read;
}

}  // namespace

void machine_sid_parts(DWORD parts[3]) {
    static const std::vector<DWORD> cached = read_machine_sid_parts();
    std::copy(cached.begin(), cached.end(), parts);
}

SID make_sid(BYTE authority, std::initializer_list<DWORD> sub_authorities) {
    SID sid{};
    sid.Revision = SID_REVISION;
    sid.IdentifierAuthority.Value[5] = authority;
    for (DWORD s : sub_authorities)
        if (sid.SubAuthorityCount < SID_MAX_SUB_AUTHORITIES)
            sid.SubAuthority[sid.SubAuthorityCount++] = s;
    return sid;
}

SID machine_sid() {
    DWORD parts[3];
    machine_sid_parts(parts);
    return make_sid(5, {kNtNonUnique, parts[0], parts[1], parts[2]});
}

SID machine_account_sid(DWORD rid) {
    SID sid = machine_sid();
    sid.SubAuthority[sid.SubAuthorityCount++] = rid;
    return sid;
}

bool machine_rid_of_sid(const SID& sid, DWORD& rid) {
    const SID machine = machine_sid();
    if (sid.Revision != SID_REVISION || sid.SubAuthorityCount != 5 ||
        std::memcmp(&sid.IdentifierAuthority, &machine.IdentifierAuthority,
                    sizeof machine.IdentifierAuthority) != 0 ||
        std::memcmp(sid.SubAuthority, machine.SubAuthority, 4 * sizeof(DWORD)) != 0)
        return false;
    rid = sid.SubAuthority[4];
    return true;
}

std::string sid_string(const SID& sid) {
    if (sid.Revision != SID_REVISION || sid.SubAuthorityCount > SID_MAX_SUB_AUTHORITIES) return "";
    unsigned long long authority = 0;
    for (BYTE b : sid.IdentifierAuthority.Value) authority = (authority << 8) | b;
    char part[32];
    // Authorities above 32 bits are written in hexadecimal, as Windows does.
    std::snprintf(part, sizeof part, authority >> 32 ? "S-1-0x%llX" : "S-1-%llu", authority);
    std::string text = part;
    for (BYTE i = 0; i < sid.SubAuthorityCount; ++i) text += "-" + std::to_string(sid.SubAuthority[i]);
    return text;
}

namespace {

// One number of a SID string: decimal digits only (or hexadecimal after
// "0x" where allowed), at most `limit`.
bool sid_number(const std::string& text, bool hex_allowed, unsigned long long limit,
                unsigned long long& value) {
    const bool hex = hex_allowed && text.size() > 2 && text[0] == '0' &&
                     (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.size() > 16) return false;
    value = 0;
    for (char c : digits) {
        const int d = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                      : hex && std::isxdigit(static_cast<unsigned char>(c))
                          ? std::tolower(static_cast<unsigned char>(c)) - 'a' + 10
                          : -1;
        if (d < 0) return false;
        value = value * (hex ? 16 : 10) + static_cast<unsigned>(d);
        if (value > limit) return false;
    }
    return true;
}

}  // namespace

bool parse_sid_string(const std::string& text, SID& sid) {
    static const struct {
        const char* alias;
        SID sid;
    } kAliases[] = {{"WD", make_sid(1, {0})},
                    {"SY", make_sid(5, {kLocalSystemRid})},
                    {"BA", make_sid(5, {32, 544})},
                    {"BU", make_sid(5, {32, 545})}};
    for (const auto& a : kAliases) {
        if (text == a.alias) {
            sid = a.sid;
            return true;
        }
    }
    if (text.size() < 4 || (text[0] != 'S' && text[0] != 's') || text[1] != '-') return false;
    std::vector<std::string> parts;
    size_t start = 2;
    for (;;) {
        const size_t dash = text.find('-', start);
        parts.push_back(text.substr(start, dash == std::string::npos ? dash : dash - start));
        if (dash == std::string::npos) break;
        start = dash + 1;
    }
    // revision, authority, 1 to 15 sub-authorities
    if (parts.size() < 3 || parts.size() > 2 + SID_MAX_SUB_AUTHORITIES) return false;
    unsigned long long revision, authority, value;
    if (!sid_number(parts[0], false, 255, revision) || revision != SID_REVISION ||
        !sid_number(parts[1], true, 0xFFFFFFFFFFFFull, authority))
        return false;
    SID parsed{};
    parsed.Revision = SID_REVISION;
    for (int i = 5; i >= 0; --i, authority >>= 8)
        parsed.IdentifierAuthority.Value[i] = static_cast<BYTE>(authority & 0xFF);
    for (size_t i = 2; i < parts.size(); ++i) {
        if (!sid_number(parts[i], false, 0xFFFFFFFFull, value)) return false;
        parsed.SubAuthority[parsed.SubAuthorityCount++] = static_cast<DWORD>(value);
    }
    sid = parsed;
    return true;
}

bool copy_sid(PSID sid, SID& copy) {
    if (sid == nullptr) return false;
    const auto* bytes = static_cast<const BYTE*>(sid);
    if (bytes[0] != SID_REVISION || bytes[1] > SID_MAX_SUB_AUTHORITIES) return false;
    copy = SID{};
    std::memcpy(&copy, bytes, kSidHeaderSize + 4u * bytes[1]);
    return true;
}

SID account_sid(DWORD uid) { return machine_account_sid(kFirstHostRid + uid); }

SID local_system_sid() { return make_sid(5, {kLocalSystemRid}); }

bool uid_of_sid(const SID& sid, DWORD& uid) {
    SID system = local_system_sid();
    if (EqualSid(const_cast<SID*>(&sid), &system)) {
        uid = 0;
        return true;
    }
    DWORD rid;
    if (!machine_rid_of_sid(sid, rid) || rid < kFirstHostRid || rid >= kFirstStoreRid) return false;
    uid = rid - kFirstHostRid;
    return true;
}

std::string machine_name() {
    char host[256] = "";
    if (::gethostname(host, sizeof host - 1) != 0) return "LOCALHOST";
    std::string name(host, std::min<size_t>(std::strcspn(host, "."), 15));
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

namespace {

// A copy of `bytes` in a block for LocalFree.
BOOL local_copy(const void* bytes, size_t size, void** out) {
    void* copy = std::malloc(size);
    if (copy == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    std::memcpy(copy, bytes, size);
    *out = copy;
    return TRUE;
}

}  // namespace

BOOL ConvertSidToStringSidA(PSID Sid, LPSTR* StringSid) {
    if (Sid == nullptr || StringSid == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    SID sid;
    if (!copy_sid(Sid, sid)) {
        SetLastError(ERROR_INVALID_SID);
        return FALSE;
    }
    const std::string text = sid_string(sid);
    return local_copy(text.c_str(), text.size() + 1, reinterpret_cast<void**>(StringSid));
}

BOOL ConvertStringSidToSidA(LPCSTR StringSid, PSID* Sid) {
    if (StringSid == nullptr || Sid == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    SID sid;
    if (!parse_sid_string(StringSid, sid)) {
        SetLastError(ERROR_INVALID_SID);
        return FALSE;
    }
    return local_copy(&sid, sizeof sid, Sid);
}

BOOL AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY pIdentifierAuthority,
                              BYTE nSubAuthorityCount, DWORD nSubAuthority0,
                              DWORD nSubAuthority1, DWORD nSubAuthority2, DWORD nSubAuthority3,
                              DWORD nSubAuthority4, DWORD nSubAuthority5, DWORD nSubAuthority6,
                              DWORD nSubAuthority7, PSID* pSid) {
    if (pIdentifierAuthority == nullptr || pSid == nullptr || nSubAuthorityCount == 0 ||
        nSubAuthorityCount > 8) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const DWORD subs[8] = {nSubAuthority0, nSubAuthority1, nSubAuthority2, nSubAuthority3,
                           nSubAuthority4, nSubAuthority5, nSubAuthority6, nSubAuthority7};
    SID sid{};
    sid.Revision = SID_REVISION;
    sid.IdentifierAuthority = *pIdentifierAuthority;
    sid.SubAuthorityCount = nSubAuthorityCount;
    std::memcpy(sid.SubAuthority, subs, nSubAuthorityCount * sizeof(DWORD));
    return local_copy(&sid, sizeof sid, pSid);
}

void* FreeSid(PSID pSid) { return LocalFree(pSid); }

BOOL IsValidSid(PSID pSid) {
    SID sid;
    return copy_sid(pSid, sid) ? TRUE : FALSE;
}

DWORD GetLengthSid(PSID pSid) {
    SID sid;
    return copy_sid(pSid, sid) ? kSidHeaderSize + 4u * sid.SubAuthorityCount : 0;
}

BOOL EqualSid(PSID pSid1, PSID pSid2) {
    SID a, b;
    if (!copy_sid(pSid1, a) || !copy_sid(pSid2, b)) {
        SetLastError(ERROR_INVALID_SID);
        return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return a.SubAuthorityCount == b.SubAuthorityCount &&
           std::memcmp(&a, &b, kSidHeaderSize + 4u * a.SubAuthorityCount) == 0;
}

DWORD GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE ObjectType,
                      SECURITY_INFORMATION SecurityInfo, PSID* ppsidOwner, PSID* ppsidGroup,
                      PACL* ppDacl, PACL* ppSacl, PSECURITY_DESCRIPTOR* ppSecurityDescriptor) {
    if (ObjectType == SE_FILE_OBJECT && ppSacl == nullptr)
        return get_file_security_info(handle, SecurityInfo, ppsidOwner, ppsidGroup, ppDacl,
                                      ppSecurityDescriptor);
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
    HANDLE token = insert_new<TokenObject>(pid);
    if (token == nullptr) return FALSE;
    *TokenHandle = token;
    return TRUE;
}

BOOL GetTokenInformation(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass,
                         LPVOID TokenInformation, DWORD TokenInformationLength,
                         LPDWORD ReturnLength) {
    auto token = std::dynamic_pointer_cast<TokenObject>(handle_lookup(TokenHandle));
    if (!token) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (ReturnLength == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (TokenInformationClass != TokenGroups) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    Credentials credentials;
    if (!process_credentials(token->pid, credentials)) return FALSE;
    BOOL written = FALSE;
    if (!allocated([&] {
            written = write_token_groups(token_groups(credentials), TokenInformation,
                                         TokenInformationLength, ReturnLength);
        }))
        return FALSE;
    return written;
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
