#include "platform/accounts.h"

#include <crypt.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <strings.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>

#include "platform/admin_store.h"
#include "platform/errors.h"

namespace platform {
namespace {

constexpr DWORD kFirstHostRid = 1000;
constexpr const char* kAdministratorsHostGroup = "sudo";

bool same_name(const std::string& a, const std::string& b) {
    return a.size() == b.size() && ::strcasecmp(a.c_str(), b.c_str()) == 0;
}

Account well_known(BYTE authority, std::initializer_list<DWORD> subs, const char* domain,
                   const char* name, SID_NAME_USE use, const char* comment = "") {
    Account a;
    a.origin = Account::Origin::well_known;
    a.sid = make_sid(authority, subs);
    a.domain = domain;
    a.name = name;
    a.use = use;
    a.comment = comment;
    return a;
}

const std::vector<Account>& well_known_accounts() {
    static const std::vector<Account> accounts = {
        well_known(1, {0}, "", "Everyone", SidTypeWellKnownGroup),
        well_known(5, {18}, "NT AUTHORITY", "SYSTEM", SidTypeWellKnownGroup),
        well_known(5, {32}, "BUILTIN", "BUILTIN", SidTypeDomain),
        well_known(5, {32, 544}, "BUILTIN", "Administrators", SidTypeAlias,
                   "Administrators have complete and unrestricted access to the computer/domain"),
        well_known(5, {32, 545}, "BUILTIN", "Users", SidTypeAlias,
                   "Users are prevented from making accidental or intentional system-wide "
                   "changes and can run most applications"),
    };
    return accounts;
}

const Account& builtin(DWORD rid) {
    for (const Account& a : well_known_accounts())
        if (a.sid.SubAuthorityCount == 2 && a.sid.SubAuthority[1] == rid) return a;
    return well_known_accounts().front();
}

Account machine_domain() {
    Account a;
    a.origin = Account::Origin::domain;
    a.sid = machine_sid();
    a.domain = a.name = machine_name();
    a.use = SidTypeDomain;
    return a;
}

bool equal(const SID& a, const SID& b) {
    return EqualSid(const_cast<SID*>(&a), const_cast<SID*>(&b));
}

void add_once(std::vector<Account>& list, const Account& account) {
    for (const Account& a : list)
        if (equal(a.sid, account.sid)) return;
    list.push_back(account);
}

// --- The host's databases ---

bool host_id_maps(DWORD id) { return id < kFirstStoreRid - kFirstHostRid; }

Account host_user_account(const struct passwd& pw) {
    Account a;
    a.origin = Account::Origin::host_user;
    a.sid = machine_account_sid(kFirstHostRid + pw.pw_uid);
    a.domain = machine_name();
    a.name = pw.pw_name;
    a.use = SidTypeUser;
    a.id = pw.pw_uid;
    a.comment = pw.pw_gecos ? pw.pw_gecos : "";
    a.home = pw.pw_dir ? pw.pw_dir : "";
    return a;
}

Account host_group_account(const struct group& gr) {
    Account a;
    a.origin = Account::Origin::host_group;
    a.sid = machine_account_sid(kFirstHostRid + gr.gr_gid);
    a.domain = machine_name();
    a.name = gr.gr_name;
    a.use = SidTypeAlias;
    a.id = gr.gr_gid;
    return a;
}

// Runs one of the reentrant passwd/group lookups with a buffer that grows
// until the entry fits.
template <class Entry, class Lookup>
bool lookup_entry(Lookup lookup, const std::function<void(const Entry&)>& take) {
    std::vector<char> buffer(4096);
    for (;;) {
        Entry entry;
        Entry* found = nullptr;
        const int err = lookup(&entry, buffer.data(), buffer.size(), &found);
        if (err == ERANGE && buffer.size() < (1u << 24)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (err != 0 || found == nullptr) return false;
        take(entry);
        return true;
    }
}

void for_each_host_user(const std::function<void(const struct passwd&)>& visit) {
    ::setpwent();
    while (const struct passwd* pw = ::getpwent()) visit(*pw);
    ::endpwent();
}

void for_each_host_group(const std::function<void(const struct group&)>& visit) {
    ::setgrent();
    while (const struct group* gr = ::getgrent()) visit(*gr);
    ::endgrent();
}

bool host_user_by_uid(DWORD uid, Account& account) {
    if (!host_id_maps(uid)) return false;
    return lookup_entry<struct passwd>(
        [uid](struct passwd* e, char* b, size_t n, struct passwd** f) {
            return ::getpwuid_r(static_cast<uid_t>(uid), e, b, n, f);
        },
        [&account](const struct passwd& pw) { account = host_user_account(pw); });
}

bool host_group_by_gid(DWORD gid, Account& account) {
    if (!host_id_maps(gid)) return false;
    return lookup_entry<struct group>(
        [gid](struct group* e, char* b, size_t n, struct group** f) {
            return ::getgrgid_r(static_cast<gid_t>(gid), e, b, n, f);
        },
        [&account](const struct group& gr) { account = host_group_account(gr); });
}

// The host user of that name, spelt exactly so or else in another case.
bool host_user_by_name(const std::string& name, Account& account) {
    bool found = lookup_entry<struct passwd>(
        [&name](struct passwd* e, char* b, size_t n, struct passwd** f) {
            return ::getpwnam_r(name.c_str(), e, b, n, f);
        },
        [&account](const struct passwd& pw) { account = host_user_account(pw); });
    if (!found) {
        for_each_host_user([&](const struct passwd& pw) {
            if (!found && same_name(pw.pw_name, name)) {
                account = host_user_account(pw);
                found = true;
            }
        });
    }
    return found && host_id_maps(account.id);
}

bool host_group_by_name(const std::string& name, Account& account) {
    bool found = lookup_entry<struct group>(
        [&name](struct group* e, char* b, size_t n, struct group** f) {
            return ::getgrnam_r(name.c_str(), e, b, n, f);
        },
        [&account](const struct group& gr) { account = host_group_account(gr); });
    if (!found) {
        for_each_host_group([&](const struct group& gr) {
            if (!found && same_name(gr.gr_name, name)) {
                account = host_group_account(gr);
                found = true;
            }
        });
    }
    return found && host_id_maps(account.id);
}

// The gids of a host user: its primary group and its supplementary groups
// in the group database.
std::vector<gid_t> host_group_ids(const Account& user) {
    gid_t primary = 0;
    if (!lookup_entry<struct passwd>(
            [&user](struct passwd* e, char* b, size_t n, struct passwd** f) {
                return ::getpwuid_r(static_cast<uid_t>(user.id), e, b, n, f);
            },
            [&primary](const struct passwd& pw) { primary = pw.pw_gid; }))
        return {};
    std::vector<gid_t> gids(32);
    for (;;) {
        int count = static_cast<int>(gids.size());
        if (::getgrouplist(user.name.c_str(), primary, gids.data(), &count) >= 0) {
            gids.resize(static_cast<size_t>(count));
            return gids;
        }
        if (count <= static_cast<int>(gids.size()) || count > 65536) return {primary};
        gids.resize(static_cast<size_t>(count));
    }
}

// The users of a host group: those whose primary group it is, then its
// members in the group database.
std::vector<Account> host_group_users(DWORD gid) {
    std::vector<Account> users;
    for_each_host_user([&](const struct passwd& pw) {
        if (pw.pw_gid == gid && host_id_maps(pw.pw_uid)) add_once(users, host_user_account(pw));
    });
    std::vector<std::string> names;
    lookup_entry<struct group>(
        [gid](struct group* e, char* b, size_t n, struct group** f) {
            return ::getgrgid_r(static_cast<gid_t>(gid), e, b, n, f);
        },
        [&names](const struct group& gr) {
            for (char** m = gr.gr_mem; m && *m; ++m) names.emplace_back(*m);
        });
    for (const std::string& name : names) {
        Account user;
        if (host_user_by_name(name, user)) add_once(users, user);
    }
    return users;
}

// --- The system store ---

Account store_user_account(const store::User& u) {
    Account a;
    a.origin = Account::Origin::store_user;
    a.sid = machine_account_sid(u.rid);
    a.domain = machine_name();
    a.name = u.name;
    a.use = SidTypeUser;
    a.id = u.rid;
    a.comment = u.comment;
    return a;
}

Account store_group_account(const store::Group& g) {
    Account a;
    a.origin = Account::Origin::store_group;
    a.sid = machine_account_sid(g.rid);
    a.domain = machine_name();
    a.name = g.name;
    a.use = g.kind == store::GroupKind::global ? SidTypeGroup : SidTypeAlias;
    a.id = g.rid;
    a.comment = g.comment;
    return a;
}

// The accounts behind SID strings that the store keeps; those that no
// longer resolve are left out.
std::vector<Account> accounts_of(const std::vector<std::string>& sids) {
    std::vector<Account> accounts;
    for (const std::string& text : sids) {
        SID sid;
        Account a;
        if (parse_sid_string(text, sid) && find_account(sid, a)) add_once(accounts, a);
    }
    return accounts;
}

// --- Names ---

enum class Want { any, user, local_group, global_group };

bool find_machine_account(const std::string& name, Want want, Account& account) {
    if (name.empty()) return false;
    if ((want == Want::any || want == Want::user) && host_user_by_name(name, account))
        return true;
    if ((want == Want::any || want == Want::local_group) && host_group_by_name(name, account))
        return true;
    store::User u;
    if ((want == Want::any || want == Want::user) && store::find_user(name, u)) {
        account = store_user_account(u);
        return true;
    }
    store::Group g;
    if (want != Want::user && store::find_group(name, g)) {
        const bool global = g.kind == store::GroupKind::global;
        if (want == Want::any || global == (want == Want::global_group)) {
            account = store_group_account(g);
            return true;
        }
    }
    return false;
}

bool find_well_known(const std::string& domain, bool has_domain, const std::string& name,
                     Account& account) {
    for (const Account& a : well_known_accounts()) {
        if (has_domain && (a.domain.empty() || !same_name(a.domain, domain))) continue;
        if (name.empty() ? a.use == SidTypeDomain : same_name(a.name, name)) {
            account = a;
            return true;
        }
    }
    return false;
}

// Splits "DOMAIN\name" at its first backslash.
bool split_name(const std::string& text, std::string& domain, std::string& name) {
    const size_t slash = text.find('\\');
    if (slash == std::string::npos) {
        domain.clear();
        name = text;
        return false;
    }
    domain = text.substr(0, slash);
    name = text.substr(slash + 1);
    return true;
}

bool usable_name(const std::string& text) {
    return !text.empty() && text.find('\0') == std::string::npos;
}

// A machine account (of the wanted kind) named bare or as COMPUTER\name.
bool find_qualified_machine_account(const std::string& text, Want want, Account& account) {
    if (!usable_name(text)) return false;
    std::string domain, name;
    if (split_name(text, domain, name) && !same_name(domain, machine_name())) return false;
    return find_machine_account(name, want, account);
}

// Every SID through which the user may be a member: its own, its host
// groups' and its store global groups'.
std::vector<SID> membership_sids(const Account& user, std::vector<Account>* host_groups) {
    std::vector<SID> sids = {user.sid};
    if (user.origin == Account::Origin::host_user) {
        for (gid_t gid : host_group_ids(user)) {
            Account g;
            if (!host_group_by_gid(gid, g)) continue;
            sids.push_back(g.sid);
            if (host_groups) add_once(*host_groups, g);
        }
    }
    for (const Account& g : global_groups_of(user)) sids.push_back(g.sid);
    return sids;
}

// The groups of the store that hold any of the SIDs.
std::vector<Account> store_groups_holding(const std::vector<SID>& sids) {
    std::vector<Account> groups;
    for (const SID& sid : sids)
        for (const Account& g : accounts_of(store::groups_with_member(sid_string(sid))))
            add_once(groups, g);
    return groups;
}

bool holds(const std::vector<Account>& groups, const Account& group) {
    for (const Account& g : groups)
        if (equal(g.sid, group.sid)) return true;
    return false;
}

bool in_administrators_host_group(const Account& user) {
    DWORD admin_gid;
    if (user.origin != Account::Origin::host_user || !administrators_host_gid(admin_gid))
        return false;
    for (gid_t gid : host_group_ids(user))
        if (gid == admin_gid) return true;
    return false;
}

// Copies `text` into a caller's buffer of *size bytes; on overflow sets
// *size to the size needed and fails with `overflow`.
BOOL copy_out(const std::string& text, LPSTR buffer, DWORD* size, DWORD overflow) {
    if (size == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (buffer == nullptr || *size < text.size() + 1) {
        *size = static_cast<DWORD>(text.size() + 1);
        SetLastError(overflow);
        return FALSE;
    }
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    *size = static_cast<DWORD>(text.size());
    return TRUE;
}

}  // namespace

std::string qualified_name(const Account& account) {
    return account.domain.empty() ? account.name : account.domain + "\\" + account.name;
}

bool find_account(const std::string& text, Account& account) {
    if (!usable_name(text)) return false;
    std::string domain, name;
    const bool has_domain = split_name(text, domain, name);
    const std::string computer = machine_name();
    if (has_domain && same_name(domain, computer)) {
        if (name.empty()) account = machine_domain();
        return name.empty() || find_machine_account(name, Want::any, account);
    }
    if (find_well_known(domain, has_domain, name, account)) return true;
    if (has_domain) return false;
    if (same_name(name, computer)) {
        account = machine_domain();
        return true;
    }
    return find_machine_account(name, Want::any, account);
}

bool find_account(const SID& sid, Account& account) {
    if (!IsValidSid(const_cast<SID*>(&sid))) return false;
    for (const Account& a : well_known_accounts()) {
        if (equal(a.sid, sid)) {
            account = a;
            return true;
        }
    }
    if (equal(sid, machine_sid())) {
        account = machine_domain();
        return true;
    }
    DWORD rid;
    if (!machine_rid_of_sid(sid, rid) || rid < kFirstHostRid) return false;
    if (rid < kFirstStoreRid)
        return host_user_by_uid(rid - kFirstHostRid, account) ||
               host_group_by_gid(rid - kFirstHostRid, account);
    store::User u;
    if (store::find_user(rid, u)) {
        account = store_user_account(u);
        return true;
    }
    store::Group g;
    if (store::find_group(rid, g)) {
        account = store_group_account(g);
        return true;
    }
    return false;
}

bool find_host_group(DWORD gid, Account& group) { return host_group_by_gid(gid, group); }

bool find_user(const std::string& name, Account& user) {
    return find_qualified_machine_account(name, Want::user, user);
}

bool find_local_group(const std::string& text, Account& group) {
    if (!usable_name(text)) return false;
    std::string domain, name;
    const bool has_domain = split_name(text, domain, name);
    if (!name.empty() && (!has_domain || same_name(domain, "BUILTIN")) &&
        find_well_known("BUILTIN", true, name, group) && group.use == SidTypeAlias)
        return true;
    return find_qualified_machine_account(text, Want::local_group, group);
}

bool find_global_group(const std::string& name, Account& group) {
    return find_qualified_machine_account(name, Want::global_group, group);
}

std::vector<Account> local_groups_of(const Account& user) {
    std::vector<Account> host_groups;
    const std::vector<SID> sids = membership_sids(user, &host_groups);
    const std::vector<Account> store_groups = store_groups_holding(sids);
    std::vector<Account> groups;
    const Account& administrators = builtin(544);
    if ((user.origin == Account::Origin::host_user && user.id == 0) ||
        in_administrators_host_group(user) || holds(store_groups, administrators))
        groups.push_back(administrators);
    groups.push_back(builtin(545));
    for (const Account& g : host_groups) add_once(groups, g);
    for (const Account& g : store_groups)
        if (g.use == SidTypeAlias) add_once(groups, g);
    return groups;
}

std::vector<Account> global_groups_of(const Account& user) {
    std::vector<Account> groups;
    for (const Account& g : accounts_of(store::groups_with_member(sid_string(user.sid))))
        if (g.use == SidTypeGroup) add_once(groups, g);
    return groups;
}

bool is_administrator(const Account& user) {
    if (user.use != SidTypeUser) return false;
    return holds(local_groups_of(user), builtin(544));
}

std::vector<Account> group_members(const Account& group) {
    std::vector<Account> members;
    const bool is_builtin = group.origin == Account::Origin::well_known;
    if (is_builtin && equal(group.sid, builtin(544).sid)) {
        Account root;
        if (host_user_by_uid(0, root)) members.push_back(root);
        DWORD gid;
        if (administrators_host_gid(gid))
            for (const Account& u : host_group_users(gid)) add_once(members, u);
    } else if (is_builtin && equal(group.sid, builtin(545).sid)) {
        for_each_host_user([&](const struct passwd& pw) {
            if (host_id_maps(pw.pw_uid)) add_once(members, host_user_account(pw));
        });
        for (const store::User& u : store::users()) add_once(members, store_user_account(u));
    } else if (group.origin == Account::Origin::host_group) {
        members = host_group_users(group.id);
    }
    for (const Account& m : accounts_of(store::members(sid_string(group.sid))))
        add_once(members, m);
    return members;
}

bool administrators_host_gid(DWORD& gid) {
    Account group;
    if (!lookup_entry<struct group>(
            [](struct group* e, char* b, size_t n, struct group** f) {
                return ::getgrnam_r(kAdministratorsHostGroup, e, b, n, f);
            },
            [&group](const struct group& gr) { group = host_group_account(gr); }))
        return false;
    gid = group.id;
    return true;
}

bool is_this_machine(const std::string& server) {
    std::string name = server;
    if (name.size() >= 2 && name[0] == '\\' && name[1] == '\\') name.erase(0, 2);
    if (name.empty() || name == "." || same_name(name, "localhost") ||
        same_name(name, machine_name()))
        return true;
    char host[256] = "";
    if (::gethostname(host, sizeof host - 1) != 0) return false;
    const std::string full = host;
    return same_name(name, full) || same_name(name, full.substr(0, full.find('.')));
}

bool hash_password(const std::string& password, std::string& hash) {
    if (password.find('\0') != std::string::npos) return false;
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    if (::crypt_gensalt_rn("$y$", 0, nullptr, 0, setting, sizeof setting) == nullptr)
        return false;
    auto data = std::make_unique<struct crypt_data>();
    const char* result = ::crypt_r(password.c_str(), setting, data.get());
    if (result == nullptr || result[0] == '*') return false;
    hash = result;
    return true;
}

bool password_matches(const std::string& password, const std::string& hash) {
    if (hash.empty() || hash[0] == '!' || hash[0] == '*' ||
        password.find('\0') != std::string::npos)
        return false;
    auto data = std::make_unique<struct crypt_data>();
    const char* result = ::crypt_r(password.c_str(), hash.c_str(), data.get());
    if (result == nullptr || std::strlen(result) != hash.size()) return false;
    unsigned char difference = 0;
    for (size_t i = 0; i < hash.size(); ++i)
        difference |= static_cast<unsigned char>(result[i] ^ hash[i]);
    return difference == 0;
}

}  // namespace platform

BOOL GetComputerNameA(LPSTR lpBuffer, LPDWORD nSize) {
    return platform::copy_out(platform::machine_name(), lpBuffer, nSize, ERROR_BUFFER_OVERFLOW);
}

BOOL GetUserNameExA(EXTENDED_NAME_FORMAT NameFormat, LPSTR lpNameBuffer, ULONG* nSize) {
    std::string name;
    if (NameFormat != NameSamCompatible || !platform::account_name(::geteuid(), name)) {
        SetLastError(ERROR_NONE_MAPPED);
        return FALSE;
    }
    return platform::copy_out(name, lpNameBuffer, nSize, ERROR_MORE_DATA);
}
