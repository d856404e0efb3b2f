#include "platform/security_acl.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "platform/accounts.h"
#include "platform/admin_store.h"
#include "platform/errors.h"
#include "platform/internal.h"
#include "platform/file_security.h"
#include "platform/handles.h"
#include "platform/paths.h"

using namespace platform;

namespace {

constexpr DWORD kSupportedInformation = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                        PROTECTED_DACL_SECURITY_INFORMATION |
                                        UNPROTECTED_DACL_SECURITY_INFORMATION;

DWORD get32(const BYTE* p) {
    return static_cast<DWORD>(p[0]) | (static_cast<DWORD>(p[1]) << 8) |
           (static_cast<DWORD>(p[2]) << 16) | (static_cast<DWORD>(p[3]) << 24);
}

// The host path that reaches an open handle's file.
bool handle_path(HANDLE handle, std::string& path) {
    const int fd = handle_fd(handle);
    if (fd < 0) return false;
    path = "/proc/self/fd/" + std::to_string(fd);
    return true;
}

// The share's name in "name" or "\\server\name" (this machine only).
DWORD share_name(const std::string& given, std::string& name) {
    name = given;
    if (given.rfind("\\\\", 0) != 0) return ERROR_SUCCESS;
    const size_t slash = given.find('\\', 2);
    if (slash == std::string::npos || !is_this_machine(given.substr(0, slash)))
        return ERROR_BAD_NETPATH;
    name = given.substr(slash + 1);
    return ERROR_SUCCESS;
}

// The descriptor of a share: the stored one, or the default.
DWORD share_descriptor(const std::string& given, sd::Descriptor& descriptor) {
    std::string name, stored;
    const DWORD named = share_name(given, name);
    if (named != ERROR_SUCCESS) return named;
    if (!store::share_security(name, stored)) return NERR_NetNameNotFound;
    if (!stored.empty()) return sd::decode(stored, descriptor) ? ERROR_SUCCESS
                                                               : ERROR_INVALID_SECURITY_DESCR;
    descriptor = sd::Descriptor{};
    descriptor.owner = make_sid(5, {32, 544});
    descriptor.group = local_system_sid();
    descriptor.control = SE_DACL_PRESENT;
    sd::Ace everyone;
    everyone.sid = make_sid(1, {0});
    everyone.mask = 0x1200A9;  // read and execute
    descriptor.dacl = std::vector<sd::Ace>{everyone};
    return ERROR_SUCCESS;
}

// Hands out the requested parts of a descriptor as one block.
DWORD hand_out(const sd::Descriptor& full, SECURITY_INFORMATION info, PSID* owner, PSID* group,
               PACL* dacl, PSECURITY_DESCRIPTOR* descriptor) {
    if (descriptor == nullptr) return ERROR_INVALID_PARAMETER;
    sd::Descriptor part;
    part.control = full.control & ~(SE_SACL_PRESENT | SE_DACL_PRESENT);
    if (info & OWNER_SECURITY_INFORMATION) part.owner = full.owner;
    if (info & GROUP_SECURITY_INFORMATION) part.group = full.group;
    if (info & DACL_SECURITY_INFORMATION) part.dacl = full.dacl;
    std::string bytes;
    if (!sd::encode(part, bytes)) return ERROR_ALLOTTED_SPACE_EXCEEDED;
    auto* block = static_cast<BYTE*>(std::malloc(bytes.size()));
    if (block == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    std::memcpy(block, bytes.data(), bytes.size());
    auto at = [block](size_t field) -> BYTE* {
        const DWORD offset = get32(block + field);
        return offset ? block + offset : nullptr;
    };
    if (owner) *owner = at(4);
    if (group) *group = at(8);
    if (dacl) *dacl = reinterpret_cast<PACL>(at(16));
    *descriptor = block;
    return ERROR_SUCCESS;
}

// The entries of an ACL block, which declares its own size.
bool acl_entries(PACL acl, std::vector<sd::Ace>& aces) {
    return acl != nullptr &&
           sd::decode_acl(reinterpret_cast<const BYTE*>(acl), acl->AclSize, aces);
}

bool same(const SID& a, const SID& b) {
    return EqualSid(const_cast<SID*>(&a), const_cast<SID*>(&b)) != FALSE;
}

// The SID of an explicit-access entry's trustee.
DWORD trustee_sid(const TRUSTEE_A& trustee, SID& sid) {
    if (trustee.pMultipleTrustee != nullptr ||
        trustee.MultipleTrusteeOperation != NO_MULTIPLE_TRUSTEE || trustee.ptstrName == nullptr)
        return ERROR_INVALID_PARAMETER;
    const char* name = nullptr;
    switch (trustee.TrusteeForm) {
        case TRUSTEE_IS_SID:
            return copy_sid(trustee.ptstrName, sid) ? ERROR_SUCCESS : ERROR_INVALID_SID;
        case TRUSTEE_IS_OBJECTS_AND_SID: {
            const auto* objects = reinterpret_cast<const OBJECTS_AND_SID*>(trustee.ptstrName);
            if (objects->ObjectsPresent != 0) return ERROR_NOT_SUPPORTED;
            return copy_sid(objects->pSid, sid) ? ERROR_SUCCESS : ERROR_INVALID_SID;
        }
        case TRUSTEE_IS_NAME: name = trustee.ptstrName; break;
        case TRUSTEE_IS_OBJECTS_AND_NAME: {
            const auto* objects = reinterpret_cast<const OBJECTS_AND_NAME_A*>(trustee.ptstrName);
            if (objects->ObjectsPresent != 0) return ERROR_NOT_SUPPORTED;
            name = objects->ptstrName;
            break;
        }
        default: return ERROR_INVALID_PARAMETER;
    }
    Account account;
    if (name == nullptr) return ERROR_INVALID_PARAMETER;
    if (!find_account(name, account)) return ERROR_NONE_MAPPED;
    sid = account.sid;
    return ERROR_SUCCESS;
}

// Drops the trustee's explicit entries.
void remove_entries(std::vector<sd::Ace>& aces, const SID& sid) {
    std::vector<sd::Ace> kept;
    for (const sd::Ace& ace : aces)
        if ((ace.flags & INHERITED_ACE) || !same(ace.sid, sid)) kept.push_back(ace);
    aces = std::move(kept);
}

// Adds the rights to the trustee's explicit entry of that type and
// inheritance, or appends a new entry.
void merge_entry(std::vector<sd::Ace>& aces, const sd::Ace& entry) {
    for (sd::Ace& ace : aces) {
        if (!(ace.flags & INHERITED_ACE) && ace.type == entry.type && ace.flags == entry.flags &&
            same(ace.sid, entry.sid)) {
            ace.mask |= entry.mask;
            return;
        }
    }
    aces.push_back(entry);
}

size_t acl_bytes(const std::vector<sd::Ace>& aces) {
    size_t size = sd::kAclHeaderSize;
    for (const sd::Ace& ace : aces) size += sd::kAceHeaderSize + 8 + 4u * ace.sid.SubAuthorityCount;
    return size;
}

DWORD apply_entry(std::vector<sd::Ace>& aces, const EXPLICIT_ACCESS_A& entry) {
    if (entry.grfAccessMode == NOT_USED_ACCESS) return ERROR_SUCCESS;
    if (entry.grfAccessMode > REVOKE_ACCESS || (entry.grfInheritance & ~0xFu))
        return ERROR_INVALID_PARAMETER;
    sd::Ace ace;
    const DWORD found = trustee_sid(entry.Trustee, ace.sid);
    if (found != ERROR_SUCCESS) return found;
    ace.mask = entry.grfAccessPermissions;
    ace.flags = static_cast<BYTE>(entry.grfInheritance);
    switch (entry.grfAccessMode) {
        case GRANT_ACCESS: merge_entry(aces, ace); break;
        case SET_ACCESS:
            remove_entries(aces, ace.sid);
            aces.push_back(ace);
            break;
        case DENY_ACCESS:
            ace.type = ACCESS_DENIED_ACE_TYPE;
            merge_entry(aces, ace);
            break;
        default: remove_entries(aces, ace.sid); break;
    }
    return acl_bytes(aces) > sd::kMaxAclSize ? ERROR_ALLOTTED_SPACE_EXCEEDED : ERROR_SUCCESS;
}

// Explicit deny entries, then explicit allow entries, then the inherited
// ones, each group in its order.
std::vector<sd::Ace> canonical_order(const std::vector<sd::Ace>& aces) {
    std::vector<sd::Ace> ordered;
    for (int pass = 0; pass < 3; ++pass)
        for (const sd::Ace& ace : aces) {
            const bool inherited = ace.flags & INHERITED_ACE;
            const int group = inherited ? 2 : ace.type == ACCESS_DENIED_ACE_TYPE ? 0 : 1;
            if (group == pass) ordered.push_back(ace);
        }
    return ordered;
}

// A copy of the bytes in a block for LocalFree.
void* local_block(const std::string& bytes) {
    void* block = std::malloc(bytes.size());
    if (block != nullptr) std::memcpy(block, bytes.data(), bytes.size());
    return block;
}

// The owner and DACL asked for by a set call, checked before anything is
// changed.
struct Change {
    bool owner_given = false, dacl_given = false, protect = false;
    SID owner{};
    std::vector<sd::Ace> dacl;
};

DWORD read_change(SECURITY_INFORMATION info, PSID owner, PACL dacl, Change& change) {
    if (info & ~kSupportedInformation) return ERROR_NOT_SUPPORTED;
    change.owner_given = info & OWNER_SECURITY_INFORMATION;
    change.dacl_given = info & DACL_SECURITY_INFORMATION;
    change.protect = info & PROTECTED_DACL_SECURITY_INFORMATION;
    if (change.owner_given && !copy_sid(owner, change.owner)) return ERROR_INVALID_SID;
    if (change.dacl_given && dacl == nullptr) return ERROR_INVALID_PARAMETER;
    if (change.dacl_given && !acl_entries(dacl, change.dacl)) return ERROR_INVALID_ACL;
    return ERROR_SUCCESS;
}

DWORD set_file(const std::string& path, SECURITY_INFORMATION info, PSID owner, PACL dacl) {
    Change change;
    DWORD result = read_change(info, owner, dacl, change);
    if (result == ERROR_SUCCESS && change.owner_given) result = write_file_owner(path, change.owner);
    if (result == ERROR_SUCCESS && change.dacl_given)
        result = write_file_dacl(path, change.dacl, change.protect);
    return result;
}

DWORD set_share(const std::string& given, SECURITY_INFORMATION info, PSID owner, PACL dacl) {
    std::string name;
    const DWORD named = share_name(given, name);
    if (named != ERROR_SUCCESS) return named;
    Change change;
    const DWORD checked = read_change(info, owner, dacl, change);
    if (checked != ERROR_SUCCESS) return checked;
    sd::Descriptor descriptor;
    const DWORD read = share_descriptor(name, descriptor);
    if (read == NERR_NetNameNotFound) return read;
    if (read != ERROR_SUCCESS) descriptor = sd::Descriptor{};  // a damaged one is replaced
    if (change.owner_given) descriptor.owner = change.owner;
    if (change.dacl_given) {
        descriptor.dacl = change.dacl;
        descriptor.control = static_cast<WORD>((descriptor.control & ~SE_DACL_PROTECTED) |
                                               (change.protect ? SE_DACL_PROTECTED : 0));
    }
    std::string bytes;
    if (!sd::encode(descriptor, bytes)) return ERROR_ALLOTTED_SPACE_EXCEEDED;
    return store::set_share_security(name, bytes);
}

}  // namespace

DWORD get_file_security_info(HANDLE handle, SECURITY_INFORMATION info, PSID* owner, PSID* group,
                             PACL* dacl, PSECURITY_DESCRIPTOR* descriptor) {
    std::string path;
    if (!handle_path(handle, path)) return ERROR_INVALID_HANDLE;
    sd::Descriptor full;
    const DWORD read = read_file_security(path, full);
    return read != ERROR_SUCCESS ? read : hand_out(full, info, owner, group, dacl, descriptor);
}

DWORD GetNamedSecurityInfoA(LPCSTR pObjectName, SE_OBJECT_TYPE ObjectType,
                            SECURITY_INFORMATION SecurityInfo, PSID* ppsidOwner, PSID* ppsidGroup,
                            PACL* ppDacl, PACL* ppSacl, PSECURITY_DESCRIPTOR* ppSecurityDescriptor) {
    if (pObjectName == nullptr || ppSacl != nullptr) return ERROR_INVALID_PARAMETER;
    sd::Descriptor full;
    DWORD read;
    std::string path;
    if (ObjectType == SE_LMSHARE) read = share_descriptor(pObjectName, full);
    else if (ObjectType != SE_FILE_OBJECT) return ERROR_NOT_SUPPORTED;
    else if (!host_path(pObjectName, path)) return GetLastError();
    else read = read_file_security(path, full);
    if (read != ERROR_SUCCESS) return read;
    return hand_out(full, SecurityInfo, ppsidOwner, ppsidGroup, ppDacl, ppSecurityDescriptor);
}

BOOL GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL* lpbDaclPresent,
                               PACL* pDacl, BOOL* lpbDaclDefaulted) {
    if (pSecurityDescriptor == nullptr || lpbDaclPresent == nullptr || pDacl == nullptr ||
        lpbDaclDefaulted == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const auto* bytes = static_cast<const BYTE*>(pSecurityDescriptor);
    const WORD control = static_cast<WORD>(bytes[2] | (bytes[3] << 8));
    if (bytes[0] != 1 || !(control & SE_SELF_RELATIVE)) {
        SetLastError(ERROR_INVALID_SECURITY_DESCR);
        return FALSE;
    }
    const DWORD offset = get32(bytes + 16);
    *lpbDaclPresent = (control & SE_DACL_PRESENT) ? TRUE : FALSE;
    *pDacl = *lpbDaclPresent && offset ? reinterpret_cast<PACL>(const_cast<BYTE*>(bytes + offset))
                                       : nullptr;
    *lpbDaclDefaulted = (control & SE_DACL_DEFAULTED) ? TRUE : FALSE;
    return TRUE;
}

DWORD GetExplicitEntriesFromAclA(PACL pacl, ULONG* pcCountOfExplicitEntries,
                                 PEXPLICIT_ACCESS_A* pListOfExplicitEntries) {
    if (pcCountOfExplicitEntries == nullptr || pListOfExplicitEntries == nullptr)
        return ERROR_INVALID_PARAMETER;
    std::vector<sd::Ace> aces;
    if (!acl_entries(pacl, aces)) return ERROR_INVALID_ACL;
    std::vector<sd::Ace> explicit_aces;
    for (const sd::Ace& ace : aces)
        if (!(ace.flags & INHERITED_ACE)) explicit_aces.push_back(ace);
    *pcCountOfExplicitEntries = 0;
    *pListOfExplicitEntries = nullptr;
    if (explicit_aces.empty()) return ERROR_SUCCESS;
    const size_t n = explicit_aces.size();
    // The entries, then the SIDs their trustees point to.
    auto* block = static_cast<BYTE*>(std::calloc(n, sizeof(EXPLICIT_ACCESS_A) + sizeof(SID)));
    if (block == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    auto* entries = reinterpret_cast<EXPLICIT_ACCESS_A*>(block);
    auto* sids = reinterpret_cast<SID*>(block + n * sizeof(EXPLICIT_ACCESS_A));
    for (size_t i = 0; i < n; ++i) {
        const sd::Ace& ace = explicit_aces[i];
        sids[i] = ace.sid;
        EXPLICIT_ACCESS_A& e = entries[i];
        e.grfAccessPermissions = ace.mask;
        e.grfAccessMode = ace.type == ACCESS_ALLOWED_ACE_TYPE ? SET_ACCESS
                          : ace.type == ACCESS_DENIED_ACE_TYPE
                              ? DENY_ACCESS
                              : (ace.flags & FAILED_ACCESS_ACE_FLAG ? SET_AUDIT_FAILURE
                                                                    : SET_AUDIT_SUCCESS);
        e.grfInheritance = ace.flags & VALID_INHERIT_FLAGS;
        e.Trustee.TrusteeForm = TRUSTEE_IS_SID;
        e.Trustee.TrusteeType = TRUSTEE_IS_UNKNOWN;
        e.Trustee.ptstrName = reinterpret_cast<LPSTR>(&sids[i]);
    }
    *pcCountOfExplicitEntries = static_cast<ULONG>(n);
    *pListOfExplicitEntries = entries;
    return ERROR_SUCCESS;
}

DWORD SetEntriesInAclA(ULONG cCountOfExplicitEntries, PEXPLICIT_ACCESS_A pListOfExplicitEntries,
                       PACL OldAcl, PACL* NewAcl) {
    if (NewAcl == nullptr || (cCountOfExplicitEntries > 0 && pListOfExplicitEntries == nullptr))
        return ERROR_INVALID_PARAMETER;
    *NewAcl = nullptr;
    std::vector<sd::Ace> aces;
    if (OldAcl != nullptr && !acl_entries(OldAcl, aces)) return ERROR_INVALID_ACL;
    if (OldAcl == nullptr && cCountOfExplicitEntries == 0) return ERROR_SUCCESS;
    DWORD status = ERROR_SUCCESS;
    const DWORD allocation = allocation_error([&] {
        for (ULONG i = 0; i < cCountOfExplicitEntries && status == ERROR_SUCCESS; ++i)
            status = apply_entry(aces, pListOfExplicitEntries[i]);
        if (status != ERROR_SUCCESS) return;
        std::string bytes;
        if (!sd::encode_acl(canonical_order(aces), bytes)) {
            status = ERROR_ALLOTTED_SPACE_EXCEEDED;
            return;
        }
        *NewAcl = static_cast<PACL>(local_block(bytes));
        if (*NewAcl == nullptr) status = ERROR_NOT_ENOUGH_MEMORY;
    });
    return allocation != ERROR_SUCCESS ? allocation : status;
}

DWORD SetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE ObjectType, SECURITY_INFORMATION SecurityInfo,
                      PSID psidOwner, PSID /*psidGroup*/, PACL pDacl, PACL /*pSacl*/) {
    if (ObjectType != SE_FILE_OBJECT) return ERROR_NOT_SUPPORTED;
    std::string path;
    if (!handle_path(handle, path)) return ERROR_INVALID_HANDLE;
    return set_file(path, SecurityInfo, psidOwner, pDacl);
}

DWORD SetNamedSecurityInfoA(LPSTR pObjectName, SE_OBJECT_TYPE ObjectType,
                            SECURITY_INFORMATION SecurityInfo, PSID psidOwner, PSID /*psidGroup*/,
                            PACL pDacl, PACL /*pSacl*/) {
    if (pObjectName == nullptr) return ERROR_INVALID_PARAMETER;
    if (ObjectType == SE_LMSHARE) return set_share(pObjectName, SecurityInfo, psidOwner, pDacl);
    if (ObjectType != SE_FILE_OBJECT) return ERROR_NOT_SUPPORTED;
    std::string path;
    if (!host_path(pObjectName, path)) return GetLastError();
    return set_file(path, SecurityInfo, psidOwner, pDacl);
}
