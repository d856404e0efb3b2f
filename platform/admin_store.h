// The administration data of the system store: the users, global groups and
// local groups made through the account calls, group memberships, account
// rights, shares, drive letters mapped beyond the layer's defaults, and the
// file operations scheduled for the next start of the system.
//
// The layer's account, share, drive and file calls reach the store only
// through these functions. Queries answer from the store; changes are one
// transaction each and return ERROR_SUCCESS or a Windows code. The store
// decides access from its own files (its machine part is writable by root
// only), so a change without the right to write it fails with
// ERROR_ACCESS_DENIED.
//
// Names compare without regard to ASCII case; SIDs are kept in their
// standard string form ("S-1-5-21-x-y-z-r").
//
// The tables live in the machine part (platform/store.h); a part that
// cannot be opened (damaged, newer, unreadable) answers queries as an empty
// store does and fails every change with the store's code (ERROR_BADDB,
// ERROR_REVISION_MISMATCH, ...).
//
// The tables (those from next_rid to rights named with an acct_ prefix):
//   next_rid(rid)   the next relative id to give out
//   users(rid PRIMARY KEY, name UNIQUE, comment, password_hash, privilege, flags)
//   groups(rid PRIMARY KEY, kind 'global' | 'local', name UNIQUE, comment)
//   members(group_sid, member_sid, UNIQUE(group_sid, member_sid))
//       (group_sid may name a store group, a host group or a built-in local
//       group; member_sid any account)
//   rights(sid, name, UNIQUE(sid, name))
//   shares(name PRIMARY KEY, path, remark, password, permissions, max_uses, sd)
//       (sd: the share's self-relative security descriptor, or NULL)
//   drives(letter PRIMARY KEY, root)
// and the REG_MULTI_SZ value PendingFileRenameOperations under
// HKLM\SYSTEM\CurrentControlSet\Control\Session Manager of the store's
// registry. Users and groups share one relative-id sequence that starts at
// platform::kFirstStoreRid; a relative id is never given out twice.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/store.h"
#include "platform/types.h"

namespace platform::store {

// The tables above, for the list of platform/store_components.cpp.
extern const Component kAdminComponent;

struct User {
    DWORD rid = 0;
    std::string name;
    std::string comment;
    std::string password_hash;  // crypt(3) form, "$y$..."; empty: no password
    DWORD privilege = 0;        // USER_PRIV_*
    DWORD flags = 0;            // UF_*
};

enum class GroupKind { global, local };

struct Group {
    DWORD rid = 0;
    GroupKind kind = GroupKind::global;
    std::string name;
    std::string comment;
};

struct Share {
    std::string name;
    std::string path;  // as given to NetShareAdd ("C:\data", "/srv/data")
    std::string remark;
    std::string password;
    DWORD permissions = 0;
    DWORD max_uses = 0;
};

// --- Users and groups ---

bool find_user(const std::string& name, User& user);
bool find_user(DWORD rid, User& user);
std::vector<User> users();

bool find_group(const std::string& name, Group& group);
bool find_group(DWORD rid, Group& group);

// A new user; its relative id comes back in user.rid. NERR_UserExists when
// a user or group of the store has the name.
DWORD add_user(User& user);
// Removes the user with its memberships and rights. NERR_UserNotFound.
DWORD delete_user(DWORD rid);

// A new group of either kind; its relative id comes back in group.rid.
// NERR_GroupExists when a user or group of the store has the name.
DWORD add_group(Group& group);
// Removes the group with its memberships. NERR_GroupNotFound.
DWORD delete_group(DWORD rid);

// --- Memberships ---

// The member SIDs of a group, in the order they were added.
std::vector<std::string> members(const std::string& group_sid);
// The SIDs of the groups that hold the member directly.
std::vector<std::string> groups_with_member(const std::string& member_sid);
// ERROR_MEMBER_IN_ALIAS when the member is in the group already.
DWORD add_member(const std::string& group_sid, const std::string& member_sid);

// --- Account rights ---

// Adds the rights that the account does not hold yet.
DWORD add_account_rights(const std::string& sid, const std::vector<std::string>& rights);

// --- Shares ---

bool find_share(const std::string& name, Share& share);
// NERR_DuplicateShare when the name is taken.
DWORD add_share(const Share& share);
// NERR_NetNameNotFound for an unknown name.
DWORD delete_share(const std::string& name);
// The share's security descriptor in self-relative binary form; empty when none is stored. false: no such share.
bool share_security(const std::string& name, std::string& descriptor);
// Stores the descriptor (empty removes it). NERR_NetNameNotFound for an unknown share.
DWORD set_share_security(const std::string& name, const std::string& descriptor);

// --- Drives ---

// The drive letters (upper case) mapped in the store, with their host
// directories.
std::vector<std::pair<char, std::string>> drive_mappings();
// Maps the letter (either case) to the host directory, replacing its
// mapping; an empty directory removes it. ERROR_INVALID_PARAMETER for a letter
// outside A to Z or for C, which is always "/"; ERROR_FILE_NOT_FOUND when
// there is nothing to remove.
DWORD set_drive_mapping(char letter, const std::string& root);

// --- Operations at the next start ---

// One entry of PendingFileRenameOperations, as stored: "\??\" and a path;
// the target empty for a deletion, "!" before it when an existing target
// may be replaced.
struct PendingRename {
    std::string source;
    std::string target;
};

// Appends the pair (source, target) to PendingFileRenameOperations.
DWORD append_pending_file_rename(const std::string& source, const std::string& target);
// The operations scheduled, in order.
DWORD pending_file_renames(std::vector<PendingRename>& pending);
// The operations scheduled, taken out of the store in the same transaction
// (the value is deleted), so that each is carried out once.
DWORD take_pending_file_renames(std::vector<PendingRename>& taken);

}  // namespace platform::store
