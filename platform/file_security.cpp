#include "platform/file_security.h"

#include <acl/libacl.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <map>
#include <memory>

#include "platform/accounts.h"
#include "platform/acl_rules.h"
#include "platform/errors.h"

namespace platform {
namespace {

const char kRootAttribute[] = "security.NTACL";
const char kUserAttribute[] = "user.NTACL";

using AclHandle = std::unique_ptr<std::remove_pointer_t<acl_t>, int (*)(void*)>;

bool same(const SID& a, const SID& b) {
    return EqualSid(const_cast<SID*>(&a), const_cast<SID*>(&b)) != FALSE;
}

SID owner_sid(uid_t uid) { return account_sid(uid); }

SID group_sid(gid_t gid) { return machine_account_sid(1000 + gid); }

DWORD error_of(int err) {
    if (err == E2BIG || err == ENOSPC || err == ERANGE) return ERROR_ALLOTTED_SPACE_EXCEEDED;
    if (err == EOPNOTSUPP) return ERROR_NOT_SUPPORTED;
    return error_from_errno(err);
}

// Runs `operation` (which returns 0 or -1 with errno); when it is refused
// for want of the permission bits `bits` on a file this process owns,
// grants them to the owner for the moment and runs it again. The user
// namespace of extended attributes asks for read permission to read and
// write permission to write, which a DACL may have taken from the owner;
// the owner may change the bits anyway, so this grants nothing new.
int with_owner_access(const std::string& path, mode_t bits, const std::function<int()>& operation) {
    const int rc = operation();
    struct stat st;
    if (rc == 0 || errno != EACCES || ::stat(path.c_str(), &st) != 0 || st.st_uid != ::geteuid())
        return rc;
    const mode_t original = st.st_mode & 07777;
    if (::chmod(path.c_str(), original | bits) != 0) return rc;
    const int again = operation();
    const int err = errno;
    ::chmod(path.c_str(), original);
    errno = err;
    return again;
}

// The stored descriptor's bytes; false with `stored` empty when there is
// none; false with the error in `error` when it cannot be read.
bool stored_bytes(const std::string& path, std::string& stored, const char* name, DWORD& error) {
    error = ERROR_SUCCESS;
    stored.clear();
    ssize_t size = -1;
    with_owner_access(path, S_IRUSR, [&]() {
        size = ::getxattr(path.c_str(), name, nullptr, 0);
        if (size <= 0) return static_cast<int>(size);
        stored.resize(static_cast<size_t>(size));
        size = ::getxattr(path.c_str(), name, stored.data(), stored.size());
        return size < 0 ? -1 : 0;
    });
    if (size >= 0) {
        stored.resize(static_cast<size_t>(size));
        return !stored.empty();
    }
    stored.clear();
    if (errno != ENODATA && errno != EOPNOTSUPP && errno != ENOTSUP) error = error_of(errno);
    return false;
}

// The stored descriptor under either name (security.NTACL first) and the
// name it was found under.
bool find_stored(const std::string& path, std::string& stored, const char*& name, DWORD& error) {
    for (const char* candidate : {kRootAttribute, kUserAttribute}) {
        name = candidate;
        if (stored_bytes(path, stored, candidate, error)) return true;
        if (error != ERROR_SUCCESS) return false;
    }
    return false;
}

// The ACL's entries of one tag type with their permission bits.
struct AclEntry {
    acl_tag_t tag;
    id_t id;
    unsigned bits;
};

std::vector<AclEntry> access_entries(const std::string& path) {
    std::vector<AclEntry> entries;
    AclHandle acl(acl_get_file(path.c_str(), ACL_TYPE_ACCESS), acl_free);
    if (!acl) return entries;
    acl_entry_t entry;
    for (int which = ACL_FIRST_ENTRY; acl_get_entry(acl.get(), which, &entry) == 1;
         which = ACL_NEXT_ENTRY) {
        AclEntry e{};
        acl_permset_t permset;
        if (acl_get_tag_type(entry, &e.tag) != 0 || acl_get_permset(entry, &permset) != 0) continue;
        if (e.tag == ACL_USER || e.tag == ACL_GROUP) {
            void* qualifier = acl_get_qualifier(entry);
            if (qualifier == nullptr) continue;
            e.id = *static_cast<id_t*>(qualifier);
            acl_free(qualifier);
        }
        e.bits = (acl_get_perm(permset, ACL_READ) == 1 ? acl_rules::kRead : 0) |
                 (acl_get_perm(permset, ACL_WRITE) == 1 ? acl_rules::kWrite : 0) |
                 (acl_get_perm(permset, ACL_EXECUTE) == 1 ? acl_rules::kExecute : 0);
        entries.push_back(e);
    }
    return entries;
}

// The descriptor that the host's owner, group, bits and ACL stand for.
sd::Descriptor derived_descriptor(const std::string& path, const struct stat& st) {
    sd::Descriptor d;
    d.owner = owner_sid(st.st_uid);
    d.group = group_sid(st.st_gid);
    const bool directory = S_ISDIR(st.st_mode);
    std::vector<AclEntry> entries = access_entries(path);
    if (entries.empty())
        entries = {{ACL_USER_OBJ, 0, (st.st_mode >> 6) & 7u},
                   {ACL_GROUP_OBJ, 0, (st.st_mode >> 3) & 7u},
                   {ACL_OTHER, 0, st.st_mode & 7u}};
    unsigned mask = 7;
    for (const AclEntry& e : entries)
        if (e.tag == ACL_MASK) mask = e.bits;
    std::vector<sd::Ace> dacl;
    for (const AclEntry& e : entries) {
        sd::Ace ace;
        unsigned bits = e.bits;
        switch (e.tag) {
            case ACL_USER_OBJ: ace.sid = *d.owner; break;
            case ACL_USER: ace.sid = owner_sid(e.id); bits &= mask; break;
            case ACL_GROUP_OBJ: ace.sid = *d.group; bits &= mask; break;
            case ACL_GROUP: ace.sid = group_sid(e.id); bits &= mask; break;
            case ACL_OTHER: ace.sid = make_sid(1, {0}); break;
            default: continue;
        }
        ace.mask = acl_rules::rights_of_bits(bits, directory, e.tag == ACL_USER_OBJ);
        if (bits != 0) dacl.push_back(ace);
    }
    d.control = SE_DACL_PRESENT;
    d.dacl = std::move(dacl);
    return d;
}

// The stored owner or group when it names no host account, else the
// file's own.
void reconcile(std::optional<SID>& stored, const SID& host) {
    DWORD id;
    if (!stored || uid_of_sid(*stored, id)) stored = host;
}

// What the host class of a trustee is for one file.
struct HostTrustee {
    enum Kind { none, owner, owning_group, other, user, group } kind = none;
    id_t id = 0;
};

HostTrustee host_trustee(const SID& sid, const struct stat& st) {
    if (same(sid, owner_sid(st.st_uid))) return {HostTrustee::owner};
    if (same(sid, group_sid(st.st_gid))) return {HostTrustee::owning_group};
    if (same(sid, make_sid(1, {0})) || same(sid, make_sid(5, {32, 545}))) return {HostTrustee::other};
    DWORD gid;
    if (same(sid, make_sid(5, {32, 544})))
        return administrators_host_gid(gid) ? HostTrustee{HostTrustee::group, gid} : HostTrustee{};
    Account account;
    if (!find_account(sid, account)) return {};
    if (account.origin == Account::Origin::host_user && account.id != 0)
        return {HostTrustee::user, account.id};
    if (account.origin == Account::Origin::host_group) return {HostTrustee::group, account.id};
    return {};
}

struct Grant {
    unsigned allow = 0, deny = 0;
};

// Adds one host entry to an ACL.
bool add_entry(acl_t* acl, acl_tag_t tag, id_t id, unsigned bits) {
    acl_entry_t entry;
    acl_permset_t permset;
    if (acl_create_entry(acl, &entry) != 0 || acl_set_tag_type(entry, tag) != 0 ||
        ((tag == ACL_USER || tag == ACL_GROUP) && acl_set_qualifier(entry, &id) != 0) ||
        acl_get_permset(entry, &permset) != 0 || acl_clear_perms(permset) != 0)
        return false;
    if (bits & acl_rules::kRead) acl_add_perm(permset, ACL_READ);
    if (bits & acl_rules::kWrite) acl_add_perm(permset, ACL_WRITE);
    if (bits & acl_rules::kExecute) acl_add_perm(permset, ACL_EXECUTE);
    return true;
}

// Recomputes the file's permission bits and POSIX ACL from the DACL's
// allow and deny entries that apply to the file and name host accounts.
// Everyone's entries apply to every class, as on Windows every user is
// in Everyone; a deny entry takes its bits whatever allows them.
DWORD apply_to_host(const std::string& path, const std::vector<sd::Ace>& dacl) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return error_from_errno(errno);
    Grant owner, owning_group, other;
    std::map<id_t, Grant> users, groups;
    for (const sd::Ace& ace : dacl) {
        if ((ace.flags & INHERIT_ONLY_ACE) ||
            (ace.type != ACCESS_ALLOWED_ACE_TYPE && ace.type != ACCESS_DENIED_ACE_TYPE))
            continue;
        const HostTrustee t = host_trustee(ace.sid, st);
        Grant* grant = t.kind == HostTrustee::owner          ? &owner
                       : t.kind == HostTrustee::owning_group ? &owning_group
                       : t.kind == HostTrustee::other        ? &other
                       : t.kind == HostTrustee::user         ? &users[t.id]
                       : t.kind == HostTrustee::group        ? &groups[t.id]
                                                             : nullptr;
        if (grant == nullptr) continue;
        const bool allow = ace.type == ACCESS_ALLOWED_ACE_TYPE;
        (allow ? grant->allow : grant->deny) |= acl_rules::entry_bits(ace.mask, allow);
    }
    auto bits = [&other](const Grant& g) {
        return (g.allow | other.allow) & ~(g.deny | other.deny) & 7u;
    };
    const unsigned other_bits = other.allow & ~other.deny & 7u;
    acl_t acl = acl_init(static_cast<int>(5 + users.size() + groups.size()));
    if (acl == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    unsigned mask = bits(owning_group);
    bool ok = add_entry(&acl, ACL_USER_OBJ, 0, bits(owner)) &&
              add_entry(&acl, ACL_GROUP_OBJ, 0, bits(owning_group)) &&
              add_entry(&acl, ACL_OTHER, 0, other_bits);
    for (const auto& [uid, g] : users) {
        ok = ok && add_entry(&acl, ACL_USER, uid, bits(g));
        mask |= bits(g);
    }
    for (const auto& [gid, g] : groups) {
        ok = ok && add_entry(&acl, ACL_GROUP, gid, bits(g));
        mask |= bits(g);
    }
    if (!users.empty() || !groups.empty()) ok = ok && add_entry(&acl, ACL_MASK, 0, mask);
    // acl_create_entry may move the ACL: it is held only once it is complete.
    const AclHandle held(acl, acl_free);
    if (!ok) return ERROR_NOT_ENOUGH_MEMORY;
    if (acl_set_file(path.c_str(), ACL_TYPE_ACCESS, acl) == 0) return ERROR_SUCCESS;
    if (errno != EOPNOTSUPP || !users.empty() || !groups.empty()) return error_of(errno);
    // No ACLs on this filesystem: the bits alone.
    const mode_t mode = (st.st_mode & 07000) | (bits(owner) << 6) | (bits(owning_group) << 3) |
                        other_bits;
    return ::chmod(path.c_str(), mode) == 0 ? ERROR_SUCCESS : error_from_errno(errno);
}

// Stores the descriptor under this process's name; root also removes a
// descriptor that a user stored, so that no older one lingers.
DWORD store(const std::string& path, const sd::Descriptor& descriptor) {
    std::string bytes;
    if (!sd::encode(descriptor, bytes)) return ERROR_ALLOTTED_SPACE_EXCEEDED;
    const bool root = ::geteuid() == 0;
    std::string existing;
    DWORD error;
    if (!root && stored_bytes(path, existing, kRootAttribute, error)) return ERROR_ACCESS_DENIED;
    const char* name = root ? kRootAttribute : kUserAttribute;
    if (with_owner_access(path, S_IWUSR, [&]() {
            return ::setxattr(path.c_str(), name, bytes.data(), bytes.size(), 0);
        }) != 0)
        return error_of(errno);
    if (root) ::removexattr(path.c_str(), kUserAttribute);
    return ERROR_SUCCESS;
}

// Puts the stored descriptor back as it was before a change that failed:
// `name` and `bytes`, or none at all.
void restore(const std::string& path, const char* name, const std::string& bytes) {
    with_owner_access(path, S_IWUSR, [&]() {
        ::removexattr(path.c_str(), ::geteuid() == 0 ? kRootAttribute : kUserAttribute);
        return name != nullptr ? ::setxattr(path.c_str(), name, bytes.data(), bytes.size(), 0) : 0;
    });
}

std::string parent_of(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The entries the parent directory passes on to `path`.
std::vector<sd::Ace> parent_entries(const std::string& path, const struct stat& st) {
    std::string stored;
    const char* name;
    DWORD error;
    sd::Descriptor parent;
    if (!find_stored(parent_of(path), stored, name, error) || !sd::decode(stored, parent) ||
        !parent.dacl)
        return {};
    return acl_rules::inherited_entries(*parent.dacl, S_ISDIR(st.st_mode), owner_sid(st.st_uid),
                                        group_sid(st.st_gid));
}

}  // namespace

DWORD read_file_security(const std::string& path, sd::Descriptor& descriptor) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return error_from_errno(errno);
    std::string stored;
    const char* name;
    DWORD error;
    if (!find_stored(path, stored, name, error)) {
        if (error != ERROR_SUCCESS) return error;
        descriptor = derived_descriptor(path, st);
        return ERROR_SUCCESS;
    }
    sd::Descriptor read;
    if (!sd::decode(stored, read)) return ERROR_INVALID_SECURITY_DESCR;
    reconcile(read.owner, owner_sid(st.st_uid));
    reconcile(read.group, group_sid(st.st_gid));
    descriptor = std::move(read);
    return ERROR_SUCCESS;
}

DWORD write_file_dacl(const std::string& path, const std::vector<sd::Ace>& dacl, bool protect) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return error_from_errno(errno);
    sd::Descriptor descriptor;
    // A damaged stored descriptor is replaced: its DACL is what is set now.
    if (read_file_security(path, descriptor) != ERROR_SUCCESS) {
        descriptor = sd::Descriptor{};
        descriptor.owner = owner_sid(st.st_uid);
        descriptor.group = group_sid(st.st_gid);
    }
    std::vector<sd::Ace> entries = dacl;
    if (!protect)
        for (const sd::Ace& ace : parent_entries(path, st)) entries.push_back(ace);
    descriptor.dacl = entries;
    descriptor.control = static_cast<WORD>(
        (descriptor.control & ~(SE_DACL_PROTECTED | SE_DACL_DEFAULTED)) | SE_DACL_PRESENT |
        (protect ? SE_DACL_PROTECTED : SE_DACL_AUTO_INHERITED));
    std::string previous;
    const char* previous_name;
    DWORD error;
    const bool had = find_stored(path, previous, previous_name, error);
    const DWORD stored = store(path, descriptor);
    if (stored != ERROR_SUCCESS) return stored;
    const DWORD applied = apply_to_host(path, entries);
    if (applied != ERROR_SUCCESS) restore(path, had ? previous_name : nullptr, previous);
    return applied;
}

DWORD write_file_owner(const std::string& path, const SID& owner) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return error_from_errno(errno);
    DWORD uid;
    Account account;
    if (find_account(owner, account) && account.origin == Account::Origin::host_user &&
        uid_of_sid(owner, uid)) {
        if (::chown(path.c_str(), uid, static_cast<gid_t>(-1)) != 0)
            return errno == EPERM ? ERROR_INVALID_OWNER : error_from_errno(errno);
        std::string stored;
        const char* name;
        DWORD error;
        sd::Descriptor descriptor;
        // A stored owner outside the host's accounts gives way to the new one.
        if (find_stored(path, stored, name, error) && sd::decode(stored, descriptor) &&
            descriptor.owner && !same(*descriptor.owner, owner)) {
            descriptor.owner = owner;
            return store(path, descriptor);
        }
        return ERROR_SUCCESS;
    }
    if (::geteuid() != 0 || !IsValidSid(const_cast<SID*>(&owner))) return ERROR_INVALID_OWNER;
    sd::Descriptor descriptor;
    const DWORD read = read_file_security(path, descriptor);
    if (read != ERROR_SUCCESS) return read;
    descriptor.owner = owner;
    return store(path, descriptor);
}

void inherit_file_security(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return;
    const std::vector<sd::Ace> entries = parent_entries(path, st);
    if (entries.empty()) return;
    sd::Descriptor descriptor;
    descriptor.owner = owner_sid(st.st_uid);
    descriptor.group = group_sid(st.st_gid);
    descriptor.control = SE_DACL_PRESENT | SE_DACL_AUTO_INHERITED;
    descriptor.dacl = entries;
    if (store(path, descriptor) == ERROR_SUCCESS) apply_to_host(path, entries);
}

}  // namespace platform
