// The identity mapping: the accounts that names and SIDs stand for on this
// host, and who is a member of which group. Every module that names an
// owner, a trustee, a user or a group goes through it (the advapi32 lookups
// of platform/security.h, the netapi32 calls of platform/accounts_net.h).
// Also the computer and user names (kernel32 GetComputerNameA, secur32
// GetUserNameExA).
//
// Accounts:
// - the well-known ones: Everyone (S-1-1-0), NT AUTHORITY\SYSTEM
//   (S-1-5-18), the domain BUILTIN (S-1-5-32) with its local groups
//   BUILTIN\Administrators (S-1-5-32-544) and BUILTIN\Users (S-1-5-32-545),
//   and the machine's own domain COMPUTER (the machine SID);
// - the host's users and groups, read-only: uid u is the user COMPUTER\name
//   with SID machine-SID-(1000+u), gid g the local group COMPUTER\name with
//   SID machine-SID-(1000+g). A user and a group with equal ids share a SID
//   (as Debian's user private groups do, usually under one name too); the
//   SID and the name then resolve to the user;
// - the users, global groups and local groups of the system store, with
//   relative ids from kFirstStoreRid on.
// Names compare without regard to ASCII case; a host name that is spelt
// exactly so is preferred.
//
// Memberships: BUILTIN\Administrators holds root (uid 0) and the members of
// the host group "sudo"; BUILTIN\Users every user; a host group its users
// (primary group and members in the group database); and every group the
// members the store adds to it.
#pragma once

#include <string>
#include <vector>

#include "platform/security.h"
#include "platform/types.h"

// --- Computer and user names ---

#define MAX_COMPUTERNAME_LENGTH 15

// The computer name (platform::machine_name). *nSize is the buffer's size
// in; the name's length out. A buffer that is too small fails with
// ERROR_BUFFER_OVERFLOW and the size needed (with terminator) in *nSize.
BOOL GetComputerNameA(LPSTR lpBuffer, LPDWORD nSize);

enum EXTENDED_NAME_FORMAT { NameUnknown = 0, NameFullyQualifiedDN = 1, NameSamCompatible = 2 };

// NameSamCompatible: COMPUTER\user of the effective uid. Other forms name
// directory objects, which this host does not have: ERROR_NONE_MAPPED, as
// on a machine outside a domain; so does a uid without a passwd entry. A
// buffer that is too small fails with ERROR_MORE_DATA and the size needed
// (with terminator) in *nSize.
BOOL GetUserNameExA(EXTENDED_NAME_FORMAT NameFormat, LPSTR lpNameBuffer, ULONG* nSize);

namespace platform {

struct Account {
    enum class Origin { domain, well_known, host_user, host_group, store_user, store_group };
    Origin origin = Origin::well_known;
    SID sid{};
    std::string domain;  // "" for Everyone
    std::string name;
    SID_NAME_USE use = SidTypeUnknown;
    DWORD id = 0;  // uid or gid of a host account, relative id of a store account
    std::string comment;  // a host user's GECOS field
    std::string home;     // a host user's home directory
};

// DOMAIN\name, or the name alone for an account without a domain.
std::string qualified_name(const Account& account);

// An account by "name" or "DOMAIN\name" (DOMAIN alone names a domain); a
// bare name is looked up among the well-known accounts, the domains and
// then the machine's accounts.
bool find_account(const std::string& name, Account& account);

// An account by SID.
bool find_account(const SID& sid, Account& account);

// The host group with that gid.
bool find_host_group(DWORD gid, Account& group);

// A user of the host or the store by "name" or "COMPUTER\name".
bool find_user(const std::string& name, Account& user);

// A local group (built-in, host group or of the store) by "name",
// "BUILTIN\name" or "COMPUTER\name".
bool find_local_group(const std::string& name, Account& group);

// A global group of the store by "name" or "COMPUTER\name".
bool find_global_group(const std::string& name, Account& group);

// The local groups that hold the user, directly or through a group that
// holds it, in a fixed order (built-in groups first), each once.
std::vector<Account> local_groups_of(const Account& user);

// The global groups of the store that hold the user.
std::vector<Account> global_groups_of(const Account& user);

// The accounts in a local or global group, each once.
std::vector<Account> group_members(const Account& group);

// True when the user is a member of BUILTIN\Administrators.
bool is_administrator(const Account& user);

// The gid of the host group whose members administer the machine
// ("sudo"); false when the host has none.
bool administrators_host_gid(DWORD& gid);

// True for a server name that names this machine: empty, ".", "localhost",
// the computer name or the host name, each also after two backslashes, in
// any case.
bool is_this_machine(const std::string& server);

// A salted hash of the password in the crypt(3) form that Debian's shadow
// database uses (yescrypt, "$y$..."); false when the host cannot make one.
bool hash_password(const std::string& password, std::string& hash);

// True when the password matches a crypt(3) hash; false for an empty,
// locked ("!...") or disabled ("*") hash.
bool password_matches(const std::string& password, const std::string& hash);

}  // namespace platform
