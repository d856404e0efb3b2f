// KALDOR::Install::System::Win32::API, the account half: users, groups,
// local groups, rights, name and SID lookups, the administrator test, the
// current user and computer names, and profiles.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/accounts.h"
#include "platform/accounts_net.h"
#include "platform/errors.h"
#include "platform/handles.h"
#include "platform/processes.h"
#include "platform/security.h"
#include "platform/utf16.h"
#include "runtime/host/arguments.h"
#include "runtime/win32/api_support.h"

namespace lmx::win32api {
namespace {

constexpr size_t kMaxLocalGroupName = 20;
constexpr size_t kMaxComment = 256;
constexpr DWORD kMaxSidSize = 68;
constexpr DWORD kNameBufferSize = 2048;

#define API "KALDOR::Install::System::Win32::API::"

// The server of a domain-aware call: the domain's controller when a domain
// is named, else the given server. False with the result code (-10000 - k)
// when the controller cannot be determined.
bool domain_server(const std::string& server, const std::string& domain, std::string& target,
                   IV& code) {
    target = server;
    if (domain.empty()) return true;
    const int lookup = find_controller(server, domain, target);
    code = -10000 - lookup;
    return lookup == 0;
}

// (code) on success, else (code, text).
I32 code_and_text(pTHX_ I32 ax, IV code) {
    if (code == 0) return put_results(aTHX_ ax, {newSViv(0)});
    return put_results(aTHX_ ax,
                       {newSViv(code), new_text(aTHX_ error_text(static_cast<DWORD>(code)))});
}

SV* new_array_ref(pTHX_ const std::vector<std::string>& items) {
    AV* array = newAV();
    for (const std::string& item : items) av_push(array, new_text(aTHX_ item));
    return newRV_noinc(reinterpret_cast<SV*>(array));
}

// The names of a result block of `count` entries whose first member is a
// wide name.
std::vector<std::string> block_names(const BYTE* block, DWORD count) {
    std::vector<std::string> names;
    const auto* entries = reinterpret_cast<const LPWSTR*>(block);
    for (DWORD i = 0; block != nullptr && i < count; ++i) names.push_back(narrow_text(entries[i]));
    return names;
}

// NetUserGetLocalGroups with indirect membership on the local machine.
NET_API_STATUS local_groups(const std::string& account, std::vector<std::string>& names) {
    Wide name(account);
    LPBYTE block = nullptr;
    DWORD read = 0, total = 0;
    const NET_API_STATUS status = NetUserGetLocalGroups(nullptr, name.always(), 0,
                                                        LG_INCLUDE_INDIRECT, &block,
                                                        MAX_PREFERRED_LENGTH, &read, &total);
    NetBufferOwner owner(block);
    if (status == NERR_Success) names = block_names(block, read);
    return status;
}

// The SID-and-name lookups of LookupAccountSidA: "DOMAIN\name" (the name
// alone without a domain) in `name`; the lookup's error otherwise.
DWORD sid_name(PSID sid, std::string& name) {
    char account[kNameBufferSize], domain[kNameBufferSize];
    DWORD account_size = sizeof account, domain_size = sizeof domain;
    SID_NAME_USE use;
    if (!LookupAccountSidA(nullptr, sid, account, &account_size, domain, &domain_size, &use))
        return GetLastError();
    name = domain[0] ? std::string(domain) + "\\" + account : std::string(account);
    return ERROR_SUCCESS;
}

// deleteUser and deleteGroup (name, server, domain): `empty` for an empty
// name, else 0 or 2 from `remove` at the domain's controller or the server.
I32 delete_account(pTHX_ I32 ax, I32 items, IV empty,
                   NET_API_STATUS (*remove)(LPCWSTR server, LPCWSTR name)) {
    Arguments args(aTHX_ PL_stack_base + ax, items);
    const std::optional<std::string> name = args.string(0);
    const std::string server = args.text(1), domain = args.text(2);
    if (!args.in_range(1, 3) || !name || args.invalid()) return put_results(aTHX_ ax, {newSV(0)});
    IV code = empty;
    std::string target;
    if (!name->empty() && domain_server(server, domain, target, code)) {
        Wide wide_server(target), wide_name(*name);
        code = remove(wide_server.get(), wide_name.always()) == NERR_Success ? 0 : 2;
    }
    return put_results(aTHX_ ax, {newSViv(code)});
}

XS_INTERNAL(xs_createUser) {
    dXSARGS;
    LMX_ARGUMENTS(args);
    const std::optional<std::string> name = args.string(0);
    const std::string password = args.text(1), comment = args.text(2), server = args.text(3),
                      domain = args.text(4);
    std::optional<IV> type = args.integer(5);
    if (const std::optional<IV> type2 = args.integer(6)) type = type2;
    if (!args.in_range(1, 7) || !name || args.invalid()) XSRETURN_UNDEF;
    if (name->empty()) XSRETURN(code_and_text(aTHX_ ax, NERR_BadUsername));
    std::string target;
    IV code = 0;
    if (!domain_server(server, domain, target, code)) XSRETURN(code_and_text(aTHX_ ax, code));
    Wide wide_name(*name), wide_password(password), wide_comment(comment), wide_server(target);
    USER_INFO_1 info{};
    info.usri1_name = wide_name.always();
    info.usri1_password = wide_password.always();
    info.usri1_comment = wide_comment.always();
    info.usri1_priv = type == 1 ? USER_PRIV_GUEST : type == 3 ? USER_PRIV_ADMIN : USER_PRIV_USER;
    info.usri1_flags = UF_DONT_EXPIRE_PASSWD | UF_NORMAL_ACCOUNT;
    DWORD parm_err = 0;
    const NET_API_STATUS status =
        NetUserAdd(wide_server.get(), 1, reinterpret_cast<LPBYTE>(&info), &parm_err);
    XSRETURN(code_and_text(aTHX_ ax, status));
}

XS_INTERNAL(xs_deleteUser) {
    dXSARGS;
    XSRETURN(delete_account(aTHX_ ax, items, -1, NetUserDel));
}

XS_INTERNAL(xs_infoUser) {
    dXSARGS;
    LMX_ARGUMENTS(args);
    const std::optional<std::string> name = args.string(0);
    const std::string password = args.text(1), server = args.text(2), domain = args.text(3);
    if (!args.in_range(1, 4) || !name || args.invalid()) XSRETURN_UNDEF;
    std::string target;
    IV code = 0;
    if (!domain_server(server, domain, target, code)) XSRETURN_IV(code);
    Wide wide_server(target), wide_name(*name);
    LPBYTE block = nullptr;
    const NET_API_STATUS status = NetUserGetInfo(wide_server.get(), wide_name.always(), 1, &block);
    NetBufferOwner owner(block);
    if (status != NERR_Success) XSRETURN_IV(-1);
    const auto* info = reinterpret_cast<const USER_INFO_1*>(block);
    if (!password.empty()) {
        Wide wide_password(password);
        HANDLE token = nullptr;
        if (!LogonUserW(wide_name.always(), nullptr, wide_password.always(),
                        LOGON32_LOGON_NETWORK, LOGON32_PROVIDER_DEFAULT, &token))
            XSRETURN_IV(static_cast<IV>(GetLastError()));
        CloseHandle(token);
    }
    std::vector<SV*> results = {newSViv(0), new_text(aTHX_ narrow_text(info->usri1_comment))};
    const std::string home = narrow_text(info->usri1_home_dir);
    if (!home.empty()) results.push_back(new_text(aTHX_ home));
    XSRETURN(put_results(aTHX_ ax, results));
}

XS_INTERNAL(xs_createGroup) {
    dXSARGS;
    LMX_ARGUMENTS(args);
    const std::optional<std::string> name = args.string(0);
    const std::string comment = args.text(1), server = args.text(2), domain = args.text(3);
    if (!args.in_range(1, 4) || !name || args.invalid()) XSRETURN_UNDEF;
    if (name->empty()) XSRETURN_IV(-1);
    std::string target;
    IV code = 0;
    if (!domain_server(server, domain, target, code)) XSRETURN_IV(code);
    Wide wide_server(target), wide_name(*name), wide_comment(comment);
    GROUP_INFO_1 info{wide_name.always(), wide_comment.always()};
    DWORD parm_err = 0;
    XSRETURN_IV(NetGroupAdd(wide_server.get(), 1, reinterpret_cast<LPBYTE>(&info), &parm_err) ==
                        NERR_Success
                    ? 0
                    : 2);
}

XS_INTERNAL(xs_deleteGroup) {
    dXSARGS;
    XSRETURN(delete_account(aTHX_ ax, items, -2, NetGroupDel));
}

XS_INTERNAL(xs_infoGroup) {
    dXSARGS;
    LMX_ARGUMENTS(args);
    const std::optional<std::string> name = args.string(0);
    const std::string server = args.text(1), domain = args.text(2);
    if (!args.in_range(1, 3) || !name || args.invalid()) XSRETURN_UNDEF;
    std::string target;
    IV code = 0;
    if (!domain_server(server, domain, target, code)) XSRETURN_IV(code);
    Wide wide_server(target), wide_name(*name);
    LPBYTE block = nullptr;
    const NET_API_STATUS status = NetGroupGetInfo(wide_server.get(), wide_name.always(), 1, &block);
    NetBufferOwner owner(block);
    if (status != NERR_Success) XSRETURN_IV(2);
    const auto* info = reinterpret_cast<const GROUP_INFO_1*>(block);
    XSRETURN(put_results(aTHX_ ax, {newSViv(0), new_text(aTHX_ narrow_text(info->grpi1_comment))}));
}

XS_INTERNAL(xs_addUserToGroup) {
    dXSARGS;
    LMX_ARGUMENTS(args);
    const std::optional<std::string> group = args.string(0), user = args.string(1);
    const std::string server = args.text(2), domain = args.text(3);
    if (!args.in_range(2, 4) || !group || !user || args.invalid()) XSRETURN_UNDEF;
    if (group->empty()) XSRETURN_IV(-2);
    if (user->empty()) XSRETURN_IV(-1);
    std::string target;
    IV code = 0;
    if (!domain_server(server, domain, target, code)) XSRETURN_IV(code);
    Wide wide_server(target), wide_group(*group), wide_user(*user);
    XSRETURN_IV(NetGroupAddUser(wide_server.get(), wide_group.always(), wide_user.always()) ==
                        NERR_Success
                    ? 0
                    : 2);
}

XS_INTERNAL(xs_getGroups) {
    dXSARGS;
    LMX_ARGUMENTS(args);
    const std::optional<std::string> account = args.string(0);
    if (items != 1 || !account || args.invalid()) XSRETURN_UNDEF;
    const size_t slash = account->find('\\');
    const std::string domain = slash == std::string::npos ? "" : account->substr(0, slash);
    const std::string user = slash == std::string::npos ? *account : account->substr(slash + 1);
    std::vector<std::string> groups;
    // Domain groups, at the domain's controller.
    std::string server;
    IV lookup_code = 0;
    domain_server("", domain, server, lookup_code);
    Wide wide_server(server), wide_user(user);
    LPBYTE block = nullptr;
    DWORD read = 0, total = 0;
    IV domain_code = NetUserGetGroups(wide_server.get(), wide_user.always(), 0, &block,
                                      MAX_PREFERRED_LENGTH, &read, &total);
    NetBufferOwner owner(block);
    if (domain_code == NERR_Success) {
        for (const std::string& g : block_names(block, read))
            groups.push_back(domain.empty() ? g : domain + "\\" + g);
        domain_code = lookup_code;
    }
    // Local groups, on this machine.
    std::vector<std::string> local;
    const IV local_code = local_groups(*account, local);
    char computer[MAX_COMPUTERNAME_LENGTH + 1] = "";
    DWORD size = sizeof computer;
    GetComputerNameA(computer, &size);
    for (const std::string& g : local) groups.push_back(std::string(computer) + "\\" + g);
    XSRETURN(put_results(aTHX_ ax, {newSViv(domain_code * 10000 + local_code),
                                    new_array_ref(aTHX_ groups)}));
}

XS_INTERNAL(xs_AddLocalGroup) {
    dXSARGS;
    LMX_ARGUMENTS(args);
    const std::optional<std::string> name = args.string(0), comment = args.string(1);
    if (items != 2 || !name || !comment || args.invalid()) XSRETURN_UNDEF;
    Wide wide_name(*name);
    if (std::char_traits<char16_t>::length(wide_name.always()) > kMaxLocalGroupName)
        XSRETURN_IV(1);
    std::u16string cut = platform::widen(*comment).substr(0, kMaxComment);
    LOCALGROUP_INFO_1 info{wide_name.always(), cut.data()};
    DWORD parm_err = 0;
    XSRETURN_IV(NetLocalGroupAdd(nullptr, 1, reinterpret_cast<LPBYTE>(&info), &parm_err) ==
                        NERR_Success
                    ? 0
                    : -1);
}

XS_INTERNAL(xs_RemoveLocalGroup) {
    dXSARGS;
    LMX_ARGUMENTS(args);
    const std::optional<std::string> name = args.string(0);
    if (items != 1 || !name || args.invalid()) XSRETURN_UNDEF;
    Wide wide_name(*name);
    if (std::char_traits<char16_t>::length(wide_name.always()) > kMaxLocalGroupName)
        XSRETURN_IV(-1);
    XSRETURN_IV(NetLocalGroupDel(nullptr, wide_name.always()) == NERR_Success ? 0 : -1);
}

XS_INTERNAL(xs_ExistsGroup) {
    dXSARGS;
    LMX_ARGUMENTS(args);
    const std::optional<std::string> name = args.string(0);
    if (items != 1 || !name || args.invalid()) XSRETURN_UNDEF;
    BYTE sid[kMaxSidSize];
    char domain[kNameBufferSize];
    DWORD sid_size = sizeof sid, domain_size = sizeof domain;
    SID_NAME_USE use = SidTypeUnknown;
    const bool found =
        LookupAccountNameA(nullptr, name->c_str(), sid, &sid_size, domain, &domain_size, &use);
    XSRETURN_IV(found && (use == SidTypeGroup || use == SidTypeAlias ||
                          use == SidTypeWellKnownGroup)
                    ? 1
                    : 0);
}

XS_INTERNAL(xs_infoLocalGroup) {
    dXSARGS;
    LMX_ARGUMENTS(args);
    const std::optional<std::string> name = args.string(0);
    const std::string server = args.text(1);
    if (!args.in_range(1, 2) || !name || args.invalid()) XSRETURN_UNDEF;
    Wide wide_server(server), wide_name(*name);
    LPBYTE block = nullptr;
    const NET_API_STATUS status =
        NetLocalGroupGetInfo(wide_server.get(), wide_name.always(), 1, &block);
    NetBufferOwner owner(block);
    if (status == NERR_GroupNotFound) XSRETURN_IV(2);
    if (status != NERR_Success) XSRETURN_IV(1);
    const auto* info = reinterpret_cast<const LOCALGROUP_INFO_1*>(block);
    XSRETURN(put_results(aTHX_ ax, {newSViv(0), new_text(aTHX_ narrow_text(info->lgrpi1_comment))}));
}

XS_INTERNAL(xs_getLocalGroupMembers) {
    dXSARGS;
    LMX_ARGUMENTS(args);
    const std::optional<std::string> name = args.string(0);
    const std::string server = args.text(1);
    if (!args.in_range(1, 2) || !name || args.invalid()) XSRETURN_UNDEF;
    Wide wide_server(server), wide_name(*name);
    LPBYTE block = nullptr;
    DWORD read = 0, total = 0;
    ULONG_PTR resume = 0;
    const NET_API_STATUS status = NetLocalGroupGetMembers(
        wide_server.get(), wide_name.always(), 3, &block, MAX_PREFERRED_LENGTH, &read, &total,
        &resume);
    NetBufferOwner owner(block);
    const std::vector<std::string> members =
        status == NERR_Success ? block_names(block, read) : std::vector<std::string>{};
    XSRETURN(put_results(aTHX_ ax, {newSViv(status), new_array_ref(aTHX_ members)}));
}

XS_INTERNAL(xs_addLocalGroupMember) {
    dXSARGS;
    LMX_ARGUMENTS(args);
    const std::optional<std::string> group = args.string(0), sid_text = args.string(1);
    const std::string server = args.text(2);
    if (!args.in_range(2, 3) || !group || !sid_text || args.invalid()) XSRETURN_UNDEF;
    PSID sid = nullptr;
    if (!ConvertStringSidToSidA(sid_text->c_str(), &sid)) XSRETURN_IV(-1);
    Wide wide_server(server), wide_group(*group);
    LOCALGROUP_MEMBERS_INFO_0 member{sid};
    NET_API_STATUS status = NetLocalGroupAddMembers(wide_server.get(), wide_group.always(), 0,
                                                    reinterpret_cast<LPBYTE>(&member), 1);
    LocalFree(sid);
    if (status == ERROR_MEMBER_IN_ALIAS) status = NERR_Success;
    XSRETURN(code_and_text(aTHX_ ax, status));
}

XS_INTERNAL(xs_addAccountRights) {
    dXSARGS;
    LMX_ARGUMENTS(args);
    const std::optional<std::string> sid_text = args.string(0);
    SV* rights = args.value(1);
    if (items != 2 || !sid_text || args.invalid() || !SvROK(rights) ||
        SvTYPE(SvRV(rights)) != SVt_PVAV)
        XSRETURN_UNDEF;
    AV* list = reinterpret_cast<AV*>(SvRV(rights));
    std::vector<std::u16string> names;
    for (SSize_t i = 0; i <= av_len(list); ++i) {
        SV** element = av_fetch(list, i, 0);
        const std::optional<std::string> text =
            element ? lmx::text_arg(aTHX_ *element) : std::nullopt;
        names.push_back(platform::widen(text.value_or("")));
    }
    PSID sid = nullptr;
    if (!ConvertStringSidToSidA(sid_text->c_str(), &sid)) XSRETURN_IV(-1);
    std::vector<LSA_UNICODE_STRING> strings;
    for (std::u16string& n : names) {
        const USHORT bytes = static_cast<USHORT>(std::min<size_t>(n.size() * 2, 0xFFFE));
        strings.push_back({bytes, bytes, n.data()});
    }
    LSA_OBJECT_ATTRIBUTES attributes{};
    LSA_HANDLE policy = nullptr;
    NTSTATUS status = LsaOpenPolicy(nullptr, &attributes, POLICY_ALL_ACCESS, &policy);
    if (status == STATUS_SUCCESS) {
        status = LsaAddAccountRights(policy, sid, strings.data(), static_cast<ULONG>(strings.size()));
        LsaClose(policy);
    }
    LocalFree(sid);
    XSRETURN_IV(static_cast<IV>(LsaNtStatusToWinError(status)));
}

XS_INTERNAL(xs_lookupAccount) {
    dXSARGS;
    LMX_ARGUMENTS(args);
    const std::optional<std::string> name = args.string(0);
    const std::string domain = args.text(1);
    if (!args.in_range(1, 2) || !name || args.invalid()) XSRETURN_UNDEF;
    std::string qualified = domain.empty() ? *name : domain + "\\" + *name;
    std::string machine;  // the machine to ask: the local one first
    DWORD sid_size = 0, domain_size = 0;
    SID_NAME_USE use = SidTypeUnknown;
    LookupAccountNameA(nullptr, qualified.c_str(), nullptr, &sid_size, nullptr, &domain_size, &use);
    if (sid_size == 0 && domain_size == 0) {
        machine = domain;
        qualified = *name;
        LookupAccountNameA(machine.empty() ? nullptr : machine.c_str(), qualified.c_str(), nullptr,
                           &sid_size, nullptr, &domain_size, &use);
        if (sid_size == 0 && domain_size == 0) XSRETURN_IV(-1);
    }
    std::vector<BYTE> sid(sid_size);
    std::vector<char> referenced(domain_size + 1);
    if (!LookupAccountNameA(machine.empty() ? nullptr : machine.c_str(), qualified.c_str(),
                            sid.data(), &sid_size, referenced.data(), &domain_size, &use))
        XSRETURN_IV(-3);
    LPSTR text = nullptr;
    if (!ConvertSidToStringSidA(sid.data(), &text)) XSRETURN_IV(-2);
    const std::string sid_string = text;
    LocalFree(text);
    XSRETURN(put_results(aTHX_ ax, {newSViv(0), new_text(aTHX_ sid_string), newSViv(use)}));
}

XS_INTERNAL(xs_LookupBuiltinAccount) {
    dXSARGS;
    LMX_ARGUMENTS(args);
    const std::optional<IV> rid1 = args.integer(0), rid2 = args.integer(1);
    if (!args.in_range(1, 2) || !rid1 || (items == 2 && !rid2)) XSRETURN_UNDEF;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID sid = nullptr;
    if (!AllocateAndInitializeSid(&nt, rid2 ? 2 : 1, static_cast<DWORD>(*rid1),
                                  static_cast<DWORD>(rid2.value_or(0)), 0, 0, 0, 0, 0, 0, &sid))
        XSRETURN_UNDEF;
    LPSTR text = nullptr;
    const bool converted = ConvertSidToStringSidA(sid, &text);
    const std::string sid_string = converted ? text : "";
    LocalFree(text);
    std::string name;
    const DWORD lookup = converted ? sid_name(sid, name) : GetLastError();
    FreeSid(sid);
    if (!converted || (lookup != ERROR_SUCCESS && lookup != ERROR_NONE_MAPPED)) XSRETURN_UNDEF;
    XSRETURN(put_results(aTHX_ ax, {lookup == ERROR_SUCCESS ? new_text(aTHX_ name) : newSV(0),
                                    new_text(aTHX_ sid_string)}));
}

// The administrator test: 1, 0, or -1 with `text` the error text; else
// `text` is the administrators group's name.
int local_admin(std::string& text) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        text = "OpenProcessToken() Error: " + error_text(GetLastError());
        return -1;
    }
    DWORD size = 0;
    std::vector<BYTE> groups;
    bool read = !GetTokenInformation(token, TokenGroups, nullptr, 0, &size) &&
                GetLastError() == ERROR_INSUFFICIENT_BUFFER;
    if (read) {
        groups.resize(size);
        read = GetTokenInformation(token, TokenGroups, groups.data(), size, &size);
    }
    const DWORD token_error = GetLastError();
    CloseHandle(token);
    if (!read) {
        text = "GetTokenInformation() Error: " + error_text(token_error);
        return -1;
    }
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!AllocateAndInitializeSid(&nt, 2, 32, 544, 0, 0, 0, 0, 0, 0, &administrators)) {
        text = "AllocateAndInitializeSid() Error: " + error_text(GetLastError());
        return -1;
    }
    const DWORD lookup = sid_name(administrators, text);
    if (lookup == ERROR_NONE_MAPPED) {
        LPSTR sid_text = nullptr;
        if (ConvertSidToStringSidA(administrators, &sid_text)) text = sid_text;
        LocalFree(sid_text);
    } else if (lookup != ERROR_SUCCESS) {
        FreeSid(administrators);
        text = "LookupAccountSid() Error: " + error_text(lookup);
        return -1;
    }
    const auto* list = reinterpret_cast<const TOKEN_GROUPS*>(groups.data());
    const SID_AND_ATTRIBUTES* entries = list->Groups;
    int result = 0;
    for (DWORD i = 0; i < list->GroupCount && result == 0; ++i)
        if (EqualSid(entries[i].Sid, administrators) && (entries[i].Attributes & SE_GROUP_ENABLED))
            result = 1;
    FreeSid(administrators);
    return result;
}

XS_INTERNAL(xs_IsLocalAdmin) {
    dXSARGS;
    if (items > 1) XSRETURN_UNDEF;
    std::string text;
    const int result = local_admin(text);
    if (items == 1) set_output(aTHX_ ST(0), text);
    if (result < 0) XSRETURN_UNDEF;
    XSRETURN_IV(result);
}

// The current user as COMPUTER\user; false when it has no name.
bool current_user(std::string& name) {
    char buffer[kNameBufferSize];
    ULONG size = sizeof buffer;
    if (!GetUserNameExA(NameSamCompatible, buffer, &size)) return false;
    name.assign(buffer, size);
    return true;
}

XS_INTERNAL(xs_GetUsersLocalGroups) {
    dXSARGS;
    LMX_ARGUMENTS(args);
    std::optional<std::string> account = args.string(0);
    if (items > 1 || args.invalid()) XSRETURN_UNDEF;
    std::string name;
    if (account) {
        name = *account;
    } else if (!current_user(name)) {
        XSRETURN_UNDEF;
    }
    std::vector<std::string> groups;
    const NET_API_STATUS status = local_groups(name, groups);
    if (status != NERR_Success) {
        PerlIO_printf(PerlIO_stdout(), "error number: %d\n", static_cast<int>(status));
        XSRETURN_UNDEF;
    }
    std::vector<SV*> results;
    for (const std::string& g : groups) results.push_back(new_text(aTHX_ g));
    XSRETURN(put_results(aTHX_ ax, results));
}

XS_INTERNAL(xs_GetCurrentUser) {
    dXSARGS;
    std::string name;
    if (items != 0 || !current_user(name)) XSRETURN_UNDEF;
    ST(0) = sv_2mortal(new_text(aTHX_ name));
    XSRETURN(1);
}

XS_INTERNAL(xs_GetComputerName) {
    dXSARGS;
    char buffer[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD size = sizeof buffer;
    if (items != 0 || !GetComputerNameA(buffer, &size)) XSRETURN_UNDEF;
    ST(0) = sv_2mortal(newSVpvn(buffer, size));
    XSRETURN(1);
}

XS_INTERNAL(xs_deleteProfile) {
    dXSARGS;
    LMX_ARGUMENTS(args);
    const std::optional<std::string> sid = args.string(0);
    if (items != 1 || !sid || args.invalid()) XSRETURN_UNDEF;
    XSRETURN_IV(DeleteProfileA(sid->c_str(), nullptr, nullptr) ? 0 : 1);
}

const NativeFunction kFunctions[] = {
    {API "createUser", xs_createUser},
    {API "deleteUser", xs_deleteUser},
    {API "infoUser", xs_infoUser},
    {API "createGroup", xs_createGroup},
    {API "deleteGroup", xs_deleteGroup},
    {API "infoGroup", xs_infoGroup},
    {API "addUserToGroup", xs_addUserToGroup},
    {API "getGroups", xs_getGroups},
    {API "AddLocalGroup", xs_AddLocalGroup},
    {API "RemoveLocalGroup", xs_RemoveLocalGroup},
    {API "ExistsGroup", xs_ExistsGroup},
    {API "infoLocalGroup", xs_infoLocalGroup},
    {API "getLocalGroupMembers", xs_getLocalGroupMembers},
    {API "addLocalGroupMember", xs_addLocalGroupMember},
    {API "addAccountRights", xs_addAccountRights},
    {API "lookupAccount", xs_lookupAccount},
    {API "LookupBuiltinAccount", xs_LookupBuiltinAccount},
    {API "IsLocalAdmin", xs_IsLocalAdmin},
    {API "GetUsersLocalGroups", xs_GetUsersLocalGroups},
    {API "GetCurrentUser", xs_GetCurrentUser},
    {API "GetComputerName", xs_GetComputerName},
    {API "deleteProfile", xs_deleteProfile},
};

}  // namespace

Functions account_functions() { return {kFunctions, sizeof kFunctions / sizeof kFunctions[0]}; }

void register_account_constants(pTHX) {
    static const struct {
        const char* name;
        IV value;
    } kConstants[] = {
        {"WSAECONNREFUSED", 10061},
        {"SECURITY_BUILTIN_DOMAIN_RID", 32},
        {"SECURITY_LOCAL_SYSTEM_RID", 18},
        {"DOMAIN_ALIAS_RID_USERS", 545},
        {"DOMAIN_ALIAS_RID_ADMINS", 544},
    };
    HV* stash = gv_stashpv("KALDOR::Install::System::Win32::API", GV_ADD);
    for (const auto& c : kConstants) newCONSTSUB(stash, c.name, newSViv(c.value));
}

}  // namespace lmx::win32api
