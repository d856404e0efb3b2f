// Users, groups and local groups (netapi32 NetUser*, NetGroup*,
// NetLocalGroup*, the domain-controller lookups, NetApiBufferFree; userenv
// DeleteProfileA) over the identity mapping of platform/accounts.h.
//
// The host's users and groups are real and read-only here: they are
// reported, never changed (changing or deleting one fails with
// ERROR_ACCESS_DENIED, and the host's passwd and group files are never
// written). Users, global groups and local groups created here, and the
// members added to any group, live in the system store
// (platform/admin_store.h).
//
// Every call takes a server name: NULL, empty or one that names this
// machine (platform::is_this_machine) is the local machine; any other
// server cannot be reached (ERROR_BAD_NETPATH). There is no domain: the
// controller lookups fail.
//
// Result buffers are one block each, to release with NetApiBufferFree.
// Enumerations return every entry at once, whatever the preferred length.
#pragma once

#include "platform/types.h"

using NET_API_STATUS = DWORD;
using LPBYTE = BYTE*;

#define MAX_PREFERRED_LENGTH (static_cast<DWORD>(-1))

#define USER_PRIV_GUEST 0u
#define USER_PRIV_USER 1u
#define USER_PRIV_ADMIN 2u

#define UF_SCRIPT 0x1u
#define UF_NORMAL_ACCOUNT 0x200u
#define UF_DONT_EXPIRE_PASSWD 0x10000u

// Field numbers reported through parm_err.
#define USER_NAME_PARMNUM 1u
#define USER_PASSWORD_PARMNUM 3u
#define USER_PRIV_PARMNUM 5u
#define USER_COMMENT_PARMNUM 7u
#define GROUP_NAME_PARMNUM 1u
#define GROUP_COMMENT_PARMNUM 2u

#define LG_INCLUDE_INDIRECT 0x1u

#define DS_DIRECTORY_SERVICE_PREFERRED 0x20u

struct USER_INFO_1 {
    LPWSTR usri1_name;
    LPWSTR usri1_password;
    DWORD usri1_password_age;
    DWORD usri1_priv;
    LPWSTR usri1_home_dir;
    LPWSTR usri1_comment;
    DWORD usri1_flags;
    LPWSTR usri1_script_path;
};

struct GROUP_INFO_1 {
    LPWSTR grpi1_name;
    LPWSTR grpi1_comment;
};

struct GROUP_USERS_INFO_0 {
    LPWSTR grui0_name;
};

struct LOCALGROUP_INFO_1 {
    LPWSTR lgrpi1_name;
    LPWSTR lgrpi1_comment;
};

struct LOCALGROUP_USERS_INFO_0 {
    LPWSTR lgrui0_name;
};

struct LOCALGROUP_MEMBERS_INFO_0 {
    void* lgrmi0_sid;
};

struct LOCALGROUP_MEMBERS_INFO_3 {
    LPWSTR lgrmi3_domainandname;
};

struct DOMAIN_CONTROLLER_INFOA {
    LPSTR DomainControllerName;
    LPSTR DomainControllerAddress;
    ULONG DomainControllerAddressType;
    GUID DomainGuid;
    LPSTR DomainName;
    LPSTR DnsForestName;
    ULONG Flags;
    LPSTR DcSiteName;
    LPSTR ClientSiteName;
};
using PDOMAIN_CONTROLLER_INFOA = DOMAIN_CONTROLLER_INFOA*;

// Level 1. Checks in this order: the name (1 to 20 characters, none of
// "/\[]:|<>+=;?,*@ or control characters, not only dots and blanks:
// NERR_BadUsername), the privilege (USER_PRIV_USER only, as Windows
// requires when adding), comment and password (at most 256 characters) with
// ERROR_INVALID_PARAMETER and the field's number in *parm_err; a name that
// an account has already: NERR_UserExists for a user, NERR_GroupExists for
// a group or any other account. The password is kept as a salted hash
// (platform::hash_password); home directory and script path are not kept.
NET_API_STATUS NetUserAdd(LPCWSTR servername, DWORD level, LPBYTE buf, LPDWORD parm_err);

// NERR_UserNotFound for an unknown user; ERROR_ACCESS_DENIED for a host user.
NET_API_STATUS NetUserDel(LPCWSTR servername, LPCWSTR username);

// Level 1: a host user's GECOS field as comment and its home directory; a
// store user's comment and no home directory. The privilege is
// USER_PRIV_ADMIN for the members of the administrators, else
// USER_PRIV_USER (or the one kept in the store); no password is returned.
NET_API_STATUS NetUserGetInfo(LPCWSTR servername, LPCWSTR username, DWORD level,
                              LPBYTE* bufptr);

// Global groups exist only in the store. Level 1; the name is checked as a
// user's (at most 256 characters: ERROR_INVALID_ACCOUNT_NAME otherwise),
// NERR_GroupExists (NERR_UserExists) for a name that is taken.
NET_API_STATUS NetGroupAdd(LPCWSTR servername, DWORD level, LPBYTE buf, LPDWORD parm_err);
NET_API_STATUS NetGroupDel(LPCWSTR servername, LPCWSTR groupname);
NET_API_STATUS NetGroupGetInfo(LPCWSTR servername, LPCWSTR groupname, DWORD level,
                               LPBYTE* bufptr);
// NERR_UserInGroup when the user is in the group already.
NET_API_STATUS NetGroupAddUser(LPCWSTR servername, LPCWSTR GroupName, LPCWSTR username);

// Level 0: the global groups of the store that hold the user (host users
// are in none of their own).
NET_API_STATUS NetUserGetGroups(LPCWSTR servername, LPCWSTR username, DWORD level,
                                LPBYTE* bufptr, DWORD prefmaxlen, LPDWORD entriesread,
                                LPDWORD totalentries);

// Level 0: the local groups that hold the user ("name" or
// "COMPUTER\name"), by their bare names: Administrators, Users, the host
// groups, the store's local groups. Memberships through other groups are
// always included (LG_INCLUDE_INDIRECT or not).
NET_API_STATUS NetUserGetLocalGroups(LPCWSTR servername, LPCWSTR username, DWORD level,
                                     DWORD flags, LPBYTE* bufptr, DWORD prefmaxlen,
                                     LPDWORD entriesread, LPDWORD totalentries);

// Level 1. ERROR_ALIAS_EXISTS for a local group or well-known account of
// that name, NERR_GroupExists for a global group, NERR_UserExists for a
// user; the name is checked as a group's.
NET_API_STATUS NetLocalGroupAdd(LPCWSTR servername, DWORD level, LPBYTE buf, LPDWORD parm_err);

// NERR_GroupNotFound for an unknown local group, ERROR_ACCESS_DENIED for a
// built-in or host group.
NET_API_STATUS NetLocalGroupDel(LPCWSTR servername, LPCWSTR groupname);

// Level 1: name and comment. NERR_GroupNotFound for an unknown group.
NET_API_STATUS NetLocalGroupGetInfo(LPCWSTR servername, LPCWSTR groupname, DWORD level,
                                    LPBYTE* bufptr);

// Level 3: the members as DOMAIN\name.
NET_API_STATUS NetLocalGroupGetMembers(LPCWSTR servername, LPCWSTR localgroupname, DWORD level,
                                       LPBYTE* bufptr, DWORD prefmaxlen, LPDWORD entriesread,
                                       LPDWORD totalentries, ULONG_PTR* resumehandle);

// Level 0 (SIDs). NERR_GroupNotFound for an unknown group,
// ERROR_INVALID_PARAMETER for an invalid SID, ERROR_NO_SUCH_MEMBER for a SID
// without an account, ERROR_MEMBER_IN_ALIAS for a member that is in the
// group already (the host's own memberships included); members are added in
// order up to the first failure.
NET_API_STATUS NetLocalGroupAddMembers(LPCWSTR servername, LPCWSTR groupname, DWORD level,
                                       LPBYTE buf, DWORD totalentries);

NET_API_STATUS NetApiBufferFree(LPVOID Buffer);

// No domain has a controller here: ERROR_NO_SUCH_DOMAIN from
// NetGetAnyDCName and DsGetDcNameA, NERR_DCNotFound from NetGetDCName,
// whatever the flags.
NET_API_STATUS NetGetAnyDCName(LPCWSTR servername, LPCWSTR domainname, LPBYTE* bufptr);
NET_API_STATUS NetGetDCName(LPCWSTR servername, LPCWSTR domainname, LPBYTE* bufptr);
DWORD DsGetDcNameA(LPCSTR ComputerName, LPCSTR DomainName, GUID* DomainGuid, LPCSTR SiteName,
                   ULONG Flags, PDOMAIN_CONTROLLER_INFOA* DomainControllerInfo);

// Profiles are never deleted here: a host user's profile is its home
// directory, which belongs to the host (ERROR_ACCESS_DENIED), and users of
// the store have none (ERROR_FILE_NOT_FOUND, as for an unknown SID).
// ERROR_INVALID_SID for a malformed SID string; another computer cannot be
// reached (ERROR_BAD_NETPATH).
BOOL DeleteProfileA(LPCSTR lpSidString, LPCSTR lpProfilePath, LPCSTR lpComputerName);
