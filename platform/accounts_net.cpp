#include "platform/accounts_net.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/accounts.h"
#include "platform/admin_store.h"
#include "platform/errors.h"
#include "platform/net_buffer.h"
#include "platform/security.h"
#include "platform/utf16.h"

using namespace platform;

namespace {

constexpr size_t kMaxUserName = 20;
constexpr size_t kMaxGroupName = 256;
constexpr size_t kMaxComment = 256;
constexpr size_t kMaxPassword = 256;

size_t characters(const std::string& text) { return widen(text).size(); }

// A name as Windows accepts it for an account.
bool valid_account_name(const std::string& name, size_t max_length) {
    const size_t length = characters(name);
    if (length == 0 || length > max_length) return false;
    if (name.find_first_not_of(". ") == std::string::npos) return false;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7F || std::strchr("\"/\\[]:|<>+=;?,*@", c) != nullptr) return false;
    return true;
}

NET_API_STATUS parameter_error(LPDWORD parm_err, DWORD field) {
    if (parm_err) *parm_err = field;
    return ERROR_INVALID_PARAMETER;
}

// The code for a name that an account has already, from the view of the
// call that adds `adding` (a user, a global or a local group).
NET_API_STATUS name_taken(const std::string& name, SID_NAME_USE adding) {
    Account existing;
    if (!find_account(name, existing)) return NERR_Success;
    if (existing.use == SidTypeUser) return NERR_UserExists;
    if (adding == SidTypeAlias && existing.use != SidTypeGroup) return ERROR_ALIAS_EXISTS;
    return NERR_GroupExists;
}

NET_API_STATUS add_group(LPCWSTR servername, DWORD level, LPBYTE buf, LPDWORD parm_err,
                         store::GroupKind kind) {
    if (NET_API_STATUS status = check_net_server(servername)) return status;
    if (level != 1) return ERROR_INVALID_LEVEL;
    if (buf == nullptr) return ERROR_INVALID_PARAMETER;
    // GROUP_INFO_1 and LOCALGROUP_INFO_1 have the same layout.
    const auto* info = reinterpret_cast<const GROUP_INFO_1*>(buf);
    store::Group group;
    group.kind = kind;
    group.name = narrow(info->grpi1_name);
    group.comment = narrow(info->grpi1_comment);
    if (!valid_account_name(group.name, kMaxGroupName)) {
        if (parm_err) *parm_err = GROUP_NAME_PARMNUM;
        return ERROR_INVALID_ACCOUNT_NAME;
    }
    if (characters(group.comment) > kMaxComment)
        return parameter_error(parm_err, GROUP_COMMENT_PARMNUM);
    const SID_NAME_USE use = kind == store::GroupKind::global ? SidTypeGroup : SidTypeAlias;
    if (NET_API_STATUS status = name_taken(group.name, use)) return status;
    return store::add_group(group);
}

// The groups of a user by name, level 0, as NetUserGetGroups and
// NetUserGetLocalGroups list them; `bad_flags` are flags the call does not
// know.
template <class T>
NET_API_STATUS user_groups(LPCWSTR servername, LPCWSTR username, DWORD level, DWORD bad_flags,
                           LPBYTE* bufptr, LPDWORD entriesread, LPDWORD totalentries,
                           std::vector<Account> (*groups_of)(const Account&),
                           LPWSTR T::*member) {
    if (NET_API_STATUS status = check_net_server(servername)) return status;
    if (level != 0) return ERROR_INVALID_LEVEL;
    if (bufptr == nullptr || entriesread == nullptr || totalentries == nullptr || bad_flags != 0)
        return ERROR_INVALID_PARAMETER;
    Account user;
    if (!find_user(narrow(username), user)) return NERR_UserNotFound;
    NetBuffer<T> block;
    for (const Account& g : groups_of(user)) {
        block.add();
        block.text(member, g.name);
    }
    return block.finish(bufptr, entriesread, totalentries);
}

using GroupFinder = bool (*)(const std::string& name, Account& group);

NET_API_STATUS delete_group(LPCWSTR servername, LPCWSTR groupname, GroupFinder find) {
    if (NET_API_STATUS status = check_net_server(servername)) return status;
    Account group;
    if (!find(narrow(groupname), group)) return NERR_GroupNotFound;
    if (group.origin != Account::Origin::store_group) return ERROR_ACCESS_DENIED;
    return store::delete_group(group.id);
}

// Level 1: name and comment (GROUP_INFO_1 and LOCALGROUP_INFO_1 have one
// layout).
NET_API_STATUS group_info(LPCWSTR servername, LPCWSTR groupname, DWORD level, LPBYTE* bufptr,
                          GroupFinder find) {
    if (NET_API_STATUS status = check_net_server(servername)) return status;
    if (level != 1) return ERROR_INVALID_LEVEL;
    if (bufptr == nullptr) return ERROR_INVALID_PARAMETER;
    Account group;
    if (!find(narrow(groupname), group)) return NERR_GroupNotFound;
    NetBuffer<GROUP_INFO_1> block;
    block.add();
    block.text(&GROUP_INFO_1::grpi1_name, group.name);
    block.text(&GROUP_INFO_1::grpi1_comment, group.comment);
    return block.finish(bufptr);
}

bool holds_member(const Account& group, const SID& member) {
    for (const Account& m : group_members(group))
        if (EqualSid(const_cast<SID*>(&m.sid), const_cast<SID*>(&member))) return true;
    return false;
}

}  // namespace

NET_API_STATUS NetUserAdd(LPCWSTR servername, DWORD level, LPBYTE buf, LPDWORD parm_err) {
    if (NET_API_STATUS status = check_net_server(servername)) return status;
    if (level != 1) return ERROR_INVALID_LEVEL;
    if (buf == nullptr) return ERROR_INVALID_PARAMETER;
    const auto* info = reinterpret_cast<const USER_INFO_1*>(buf);
    store::User user;
    user.name = narrow(info->usri1_name);
    user.comment = narrow(info->usri1_comment);
    user.privilege = info->usri1_priv;
    user.flags = info->usri1_flags;
    const std::string password = narrow(info->usri1_password);
    if (!valid_account_name(user.name, kMaxUserName)) {
        if (parm_err) *parm_err = USER_NAME_PARMNUM;
        return NERR_BadUsername;
    }
    if (info->usri1_priv != USER_PRIV_USER) return parameter_error(parm_err, USER_PRIV_PARMNUM);
    if (characters(user.comment) > kMaxComment)
        return parameter_error(parm_err, USER_COMMENT_PARMNUM);
    if (characters(password) > kMaxPassword)
        return parameter_error(parm_err, USER_PASSWORD_PARMNUM);
    if (NET_API_STATUS status = name_taken(user.name, SidTypeUser)) return status;
    if (!password.empty() && !hash_password(password, user.password_hash))
        return ERROR_NOT_SUPPORTED;
    return store::add_user(user);
}

NET_API_STATUS NetUserDel(LPCWSTR servername, LPCWSTR username) {
    if (NET_API_STATUS status = check_net_server(servername)) return status;
    Account user;
    if (!find_user(narrow(username), user)) return NERR_UserNotFound;
    if (user.origin != Account::Origin::store_user) return ERROR_ACCESS_DENIED;
    return store::delete_user(user.id);
}

NET_API_STATUS NetUserGetInfo(LPCWSTR servername, LPCWSTR username, DWORD level,
                              LPBYTE* bufptr) {
    if (NET_API_STATUS status = check_net_server(servername)) return status;
    if (level != 1) return ERROR_INVALID_LEVEL;
    if (bufptr == nullptr) return ERROR_INVALID_PARAMETER;
    Account user;
    if (!find_user(narrow(username), user)) return NERR_UserNotFound;
    NetBuffer<USER_INFO_1> block;
    USER_INFO_1& info = block.add();
    info.usri1_priv = is_administrator(user) ? USER_PRIV_ADMIN : USER_PRIV_USER;
    info.usri1_flags = UF_SCRIPT | UF_NORMAL_ACCOUNT | UF_DONT_EXPIRE_PASSWD;
    store::User stored;
    if (user.origin == Account::Origin::store_user && store::find_user(user.id, stored)) {
        info.usri1_flags = stored.flags | UF_SCRIPT;
        if (info.usri1_priv != USER_PRIV_ADMIN) info.usri1_priv = stored.privilege;
    }
    block.text(&USER_INFO_1::usri1_name, user.name);
    block.text(&USER_INFO_1::usri1_home_dir, user.home);
    block.text(&USER_INFO_1::usri1_comment, user.comment);
    block.text(&USER_INFO_1::usri1_script_path, "");
    return block.finish(bufptr);
}

NET_API_STATUS NetGroupAdd(LPCWSTR servername, DWORD level, LPBYTE buf, LPDWORD parm_err) {
    return add_group(servername, level, buf, parm_err, store::GroupKind::global);
}

NET_API_STATUS NetGroupDel(LPCWSTR servername, LPCWSTR groupname) {
    return delete_group(servername, groupname, find_global_group);
}

NET_API_STATUS NetGroupGetInfo(LPCWSTR servername, LPCWSTR groupname, DWORD level,
                               LPBYTE* bufptr) {
    return group_info(servername, groupname, level, bufptr, find_global_group);
}

NET_API_STATUS NetGroupAddUser(LPCWSTR servername, LPCWSTR GroupName, LPCWSTR username) {
    if (NET_API_STATUS status = check_net_server(servername)) return status;
    Account group, user;
    if (!find_global_group(narrow(GroupName), group)) return NERR_GroupNotFound;
    if (!find_user(narrow(username), user)) return NERR_UserNotFound;
    const NET_API_STATUS status = store::add_member(sid_string(group.sid), sid_string(user.sid));
    return status == ERROR_MEMBER_IN_ALIAS ? NERR_UserInGroup : status;
}

NET_API_STATUS NetUserGetGroups(LPCWSTR servername, LPCWSTR username, DWORD level,
                                LPBYTE* bufptr, DWORD /*prefmaxlen*/, LPDWORD entriesread,
                                LPDWORD totalentries) {
    return user_groups(servername, username, level, 0, bufptr, entriesread, totalentries,
                       global_groups_of, &GROUP_USERS_INFO_0::grui0_name);
}

NET_API_STATUS NetUserGetLocalGroups(LPCWSTR servername, LPCWSTR username, DWORD level,
                                     DWORD flags, LPBYTE* bufptr, DWORD /*prefmaxlen*/,
                                     LPDWORD entriesread, LPDWORD totalentries) {
    return user_groups(servername, username, level, flags & ~LG_INCLUDE_INDIRECT, bufptr,
                       entriesread, totalentries, local_groups_of,
                       &LOCALGROUP_USERS_INFO_0::lgrui0_name);
}

NET_API_STATUS NetLocalGroupAdd(LPCWSTR servername, DWORD level, LPBYTE buf, LPDWORD parm_err) {
    return add_group(servername, level, buf, parm_err, store::GroupKind::local);
}

NET_API_STATUS NetLocalGroupDel(LPCWSTR servername, LPCWSTR groupname) {
    return delete_group(servername, groupname, find_local_group);
}

NET_API_STATUS NetLocalGroupGetInfo(LPCWSTR servername, LPCWSTR groupname, DWORD level,
                                    LPBYTE* bufptr) {
    return group_info(servername, groupname, level, bufptr, find_local_group);
}

NET_API_STATUS NetLocalGroupGetMembers(LPCWSTR servername, LPCWSTR localgroupname, DWORD level,
                                       LPBYTE* bufptr, DWORD /*prefmaxlen*/, LPDWORD entriesread,
                                       LPDWORD totalentries, ULONG_PTR* resumehandle) {
    if (NET_API_STATUS status = check_net_server(servername)) return status;
    if (level != 3) return ERROR_INVALID_LEVEL;
    if (bufptr == nullptr || entriesread == nullptr || totalentries == nullptr)
        return ERROR_INVALID_PARAMETER;
    Account group;
    if (!find_local_group(narrow(localgroupname), group)) return NERR_GroupNotFound;
    NetBuffer<LOCALGROUP_MEMBERS_INFO_3> block;
    for (const Account& m : group_members(group)) {
        block.add();
        block.text(&LOCALGROUP_MEMBERS_INFO_3::lgrmi3_domainandname, qualified_name(m));
    }
    if (resumehandle) *resumehandle = 0;
    return block.finish(bufptr, entriesread, totalentries);
}

NET_API_STATUS NetLocalGroupAddMembers(LPCWSTR servername, LPCWSTR groupname, DWORD level,
                                       LPBYTE buf, DWORD totalentries) {
    if (NET_API_STATUS status = check_net_server(servername)) return status;
    if (level != 0) return ERROR_INVALID_LEVEL;
    if (buf == nullptr && totalentries != 0) return ERROR_INVALID_PARAMETER;
    Account group;
    if (!find_local_group(narrow(groupname), group)) return NERR_GroupNotFound;
    const auto* members = reinterpret_cast<const LOCALGROUP_MEMBERS_INFO_0*>(buf);
    for (DWORD i = 0; i < totalentries; ++i) {
        SID sid;
        Account member;
        if (!copy_sid(members[i].lgrmi0_sid, sid)) return ERROR_INVALID_PARAMETER;
        if (!find_account(sid, member)) return ERROR_NO_SUCH_MEMBER;
        if (holds_member(group, sid)) return ERROR_MEMBER_IN_ALIAS;
        if (NET_API_STATUS status = store::add_member(sid_string(group.sid), sid_string(sid)))
            return status;
    }
    return NERR_Success;
}

NET_API_STATUS NetApiBufferFree(LPVOID Buffer) {
    std::free(Buffer);
    return NERR_Success;
}

NET_API_STATUS NetGetAnyDCName(LPCWSTR servername, LPCWSTR /*domainname*/, LPBYTE* bufptr) {
    if (bufptr == nullptr) return ERROR_INVALID_PARAMETER;
    if (NET_API_STATUS status = check_net_server(servername)) return status;
    return ERROR_NO_SUCH_DOMAIN;
}

NET_API_STATUS NetGetDCName(LPCWSTR servername, LPCWSTR /*domainname*/, LPBYTE* bufptr) {
    if (bufptr == nullptr) return ERROR_INVALID_PARAMETER;
    if (NET_API_STATUS status = check_net_server(servername)) return status;
    return NERR_DCNotFound;
}

DWORD DsGetDcNameA(LPCSTR ComputerName, LPCSTR /*DomainName*/, GUID* /*DomainGuid*/,
                   LPCSTR /*SiteName*/, ULONG /*Flags*/,
                   PDOMAIN_CONTROLLER_INFOA* DomainControllerInfo) {
    if (DomainControllerInfo == nullptr) return ERROR_INVALID_PARAMETER;
    if (ComputerName != nullptr && !is_this_machine(ComputerName)) return ERROR_BAD_NETPATH;
    return ERROR_NO_SUCH_DOMAIN;
}

BOOL DeleteProfileA(LPCSTR lpSidString, LPCSTR /*lpProfilePath*/, LPCSTR lpComputerName) {
    SID sid;
    if (lpSidString == nullptr || !parse_sid_string(lpSidString, sid)) {
        SetLastError(ERROR_INVALID_SID);
        return FALSE;
    }
    if (lpComputerName != nullptr && !is_this_machine(lpComputerName)) {
        SetLastError(ERROR_BAD_NETPATH);
        return FALSE;
    }
    Account account;
    const bool host = find_account(sid, account) && account.origin == Account::Origin::host_user;
    SetLastError(host ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND);
    return FALSE;
}
