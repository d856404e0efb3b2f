// The identity mapping and the account calls over it: SID texts, names and
// SIDs of well-known, host and machine accounts, lookups with the Windows
// buffer protocol, token groups, passwords, the netapi32 checks, and the
// module's controller rules.
#include <gtest/gtest.h>

#include <grp.h>
#include <sys/wait.h>
#include <pwd.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/accounts.h"
#include "platform/accounts_net.h"
#include "platform/errors.h"
#include "platform/handles.h"
#include "platform/processes.h"
#include "platform/reboot_operations.h"
#include "platform/security.h"
#include "platform/utf16.h"
#include "runtime/win32/api_support.h"

namespace {

std::string sid_text_of(const std::string& text) {
    SID sid;
    return platform::parse_sid_string(text, sid) ? platform::sid_string(sid) : "invalid";
}

std::string account_name_of(const std::string& name) {
    platform::Account a;
    return platform::find_account(name, a) ? platform::qualified_name(a) : "none";
}

}  // namespace

TEST(Sids, StringFormsAndWhatIsRefused) {
    EXPECT_EQ(sid_text_of("S-1-5-32-544"), "S-1-5-32-544");
    EXPECT_EQ(sid_text_of("s-1-1-0"), "S-1-1-0");
    EXPECT_EQ(sid_text_of("S-1-0x5-18"), "S-1-5-18");
    EXPECT_EQ(sid_text_of("S-1-0x100000000-7"), "S-1-0x100000000-7");
    EXPECT_EQ(sid_text_of("S-1-5-4294967295"), "S-1-5-4294967295");
    EXPECT_EQ(sid_text_of("BA"), "S-1-5-32-544");
    EXPECT_EQ(sid_text_of("SY"), "S-1-5-18");
    std::string fifteen = "S-1-5";
    for (int i = 0; i < 15; ++i) fifteen += "-1";
    EXPECT_EQ(sid_text_of(fifteen), fifteen);
    for (const char* bad :
         {"", "S", "S-1", "S-1-5", "S-2-5-1", "S-1-5--1", "S-1-5-1-", "S-1-5-4294967296",
          "S-1-5- 1", "S-1-5-+1", "S-1-5-0x10", "S-1-0x1000000000000-1", "X-1-5-1", "S-1-5-1a",
          "ba", "S-01-5-1x"}) {
        EXPECT_EQ(sid_text_of(bad), "invalid") << bad;
    }
    EXPECT_EQ(sid_text_of(fifteen + "-1"), "invalid") << "sixteen sub-authorities";

    PSID sid = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidA("S-1-5-21-1-2-3-1000", &sid));
    EXPECT_EQ(GetLengthSid(sid), 8u + 4 * 5);
    PSID same = nullptr;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    ASSERT_TRUE(AllocateAndInitializeSid(&nt, 5, 21, 1, 2, 3, 1000, 0, 0, 0, &same));
    EXPECT_TRUE(EqualSid(sid, same));
    LPSTR text = nullptr;
    ASSERT_TRUE(ConvertSidToStringSidA(same, &text));
    EXPECT_STREQ(text, "S-1-5-21-1-2-3-1000");
    LocalFree(text);
    FreeSid(same);
    ASSERT_TRUE(AllocateAndInitializeSid(&nt, 4, 21, 1, 2, 3, 0, 0, 0, 0, &same));
    EXPECT_FALSE(EqualSid(sid, same)) << "a prefix is not equal";
    FreeSid(same);
    EXPECT_FALSE(AllocateAndInitializeSid(&nt, 9, 1, 2, 3, 4, 5, 6, 7, 8, &same));
    EXPECT_FALSE(ConvertStringSidToSidA("S-1-5-x", &same));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_SID);
    LocalFree(sid);
    BYTE garbage[8] = {1, 200, 0, 0, 0, 0, 0, 5};
    EXPECT_FALSE(IsValidSid(garbage));
    EXPECT_EQ(GetLengthSid(garbage), 0u);
}

TEST(Identities, WellKnownHostAndMachineAccounts) {
    const std::string computer = platform::machine_name();
    EXPECT_LE(computer.size(), 15u);
    for (char c : computer) EXPECT_FALSE(c >= 'a' && c <= 'z');
    EXPECT_EQ(computer.find('.'), std::string::npos);

    EXPECT_EQ(account_name_of("Administrators"), "BUILTIN\\Administrators");
    EXPECT_EQ(account_name_of("builtin\\USERS"), "BUILTIN\\Users");
    EXPECT_EQ(account_name_of("system"), "NT AUTHORITY\\SYSTEM");
    EXPECT_EQ(account_name_of("Everyone"), "Everyone");
    EXPECT_EQ(account_name_of("root"), computer + "\\root");
    EXPECT_EQ(account_name_of(computer + "\\root"), computer + "\\root");
    EXPECT_EQ(account_name_of("ROOT"), computer + "\\root") << "another case";
    EXPECT_EQ(account_name_of(computer), computer + "\\" + computer) << "the machine's domain";
    EXPECT_EQ(account_name_of("OTHER\\root"), "none");
    EXPECT_EQ(account_name_of(std::string("ro\0ot", 5)), "none");
    EXPECT_EQ(account_name_of(""), "none");

    platform::Account a;
    ASSERT_TRUE(platform::find_account(platform::local_system_sid(), a));
    EXPECT_EQ(a.use, SidTypeWellKnownGroup);
    // uid 0 and gid 0 share machine-SID-1000; it names the user.
    ASSERT_TRUE(platform::find_account(platform::account_sid(0), a));
    EXPECT_EQ(a.origin, platform::Account::Origin::host_user);
    EXPECT_EQ(a.home, "/root");
    // The group stays reachable as a local group.
    ASSERT_TRUE(platform::find_local_group("root", a));
    EXPECT_EQ(a.origin, platform::Account::Origin::host_group);
    EXPECT_EQ(a.use, SidTypeAlias);
    ASSERT_TRUE(platform::find_local_group("BUILTIN\\Administrators", a));
    EXPECT_FALSE(platform::find_local_group("BUILTIN\\root", a));

    DWORD uid = 7;
    EXPECT_FALSE(platform::uid_of_sid(platform::machine_account_sid(platform::kFirstStoreRid), uid))
        << "store accounts are no host users";
    EXPECT_FALSE(platform::find_account(platform::machine_account_sid(999), a));

    EXPECT_TRUE(platform::is_this_machine(""));
    EXPECT_TRUE(platform::is_this_machine("\\\\" + computer));
    EXPECT_TRUE(platform::is_this_machine("LocalHost"));
    EXPECT_FALSE(platform::is_this_machine("\\\\elsewhere"));
}

TEST(Identities, MembershipsFollowTheHost) {
    platform::Account root;
    ASSERT_TRUE(platform::find_user("root", root));
    EXPECT_TRUE(platform::is_administrator(root));
    const std::vector<platform::Account> groups = platform::local_groups_of(root);
    ASSERT_GE(groups.size(), 3u);
    EXPECT_EQ(platform::qualified_name(groups[0]), "BUILTIN\\Administrators");
    EXPECT_EQ(platform::qualified_name(groups[1]), "BUILTIN\\Users");
    platform::Account nobody;
    if (platform::find_user("nobody", nobody)) {
        EXPECT_FALSE(platform::is_administrator(nobody));
    }
    platform::Account administrators;
    ASSERT_TRUE(platform::find_local_group("Administrators", administrators));
    const std::vector<platform::Account> members = platform::group_members(administrators);
    ASSERT_FALSE(members.empty());
    EXPECT_EQ(members[0].name, "root");
}

TEST(Lookups, BufferProtocolAndUnknownNames) {
    DWORD sid_size = 0, domain_size = 0;
    SID_NAME_USE use;
    EXPECT_FALSE(
        LookupAccountNameA(nullptr, "Administrators", nullptr, &sid_size, nullptr, &domain_size, &use));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(sid_size, 16u);
    EXPECT_EQ(domain_size, 8u) << "BUILTIN and its terminator";
    std::vector<BYTE> sid(sid_size);
    std::vector<char> domain(domain_size);
    ASSERT_TRUE(LookupAccountNameA(nullptr, "Administrators", sid.data(), &sid_size, domain.data(),
                                   &domain_size, &use));
    EXPECT_EQ(domain_size, 7u);
    EXPECT_STREQ(domain.data(), "BUILTIN");
    EXPECT_EQ(use, SidTypeAlias);

    char name[8];
    DWORD name_size = 3;
    domain_size = sizeof domain;
    EXPECT_FALSE(LookupAccountSidA(nullptr, sid.data(), name, &name_size, domain.data(),
                                   &domain_size, &use));
    EXPECT_EQ(name_size, 15u) << "Administrators and its terminator";

    sid_size = domain_size = 99;
    EXPECT_FALSE(LookupAccountNameA(nullptr, "no such account here", nullptr, &sid_size, nullptr,
                                    &domain_size, &use));
    EXPECT_EQ(GetLastError(), ERROR_NONE_MAPPED);
    EXPECT_EQ(sid_size + domain_size, 0u);
    EXPECT_FALSE(LookupAccountNameA("elsewhere", "root", nullptr, &sid_size, nullptr, &domain_size,
                                    &use));
    EXPECT_EQ(GetLastError(), RPC_S_SERVER_UNAVAILABLE);
}

namespace {

// The attributes of a group in this process's token; -1 when it has none.
long token_attributes(const std::string& group_sid) {
    HANDLE token = nullptr;
    DWORD size = 0;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return -2;
    GetTokenInformation(token, TokenGroups, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    const bool read = GetTokenInformation(token, TokenGroups, buffer.data(), size, &size);
    CloseHandle(token);
    if (!read) return -2;
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
    const SID_AND_ATTRIBUTES* entries = groups->Groups;
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
        SID sid;
        if (platform::copy_sid(entries[i].Sid, sid) && platform::sid_string(sid) == group_sid)
            return entries[i].Attributes;
    }
    return -1;
}

}  // namespace

TEST(Tokens, AFilteredAdministratorHoldsTheGroupForDenyOnly) {
    DWORD sudo = 0;
    if (::geteuid() != 0 || !platform::administrators_host_gid(sudo))
        GTEST_SKIP() << "needs root and a sudo group";
    EXPECT_EQ(token_attributes("S-1-5-32-544"), 0xF) << "root: enabled, owner";
    const pid_t child = ::fork();
    if (child == 0) {
        const gid_t groups[] = {static_cast<gid_t>(sudo)};
        if (::setgroups(1, groups) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
            ::setresuid(65534, 65534, 65534) != 0)
            ::_exit(2);
        const long sudo_member = token_attributes("S-1-5-32-544");
        ::_exit(sudo_member == SE_GROUP_USE_FOR_DENY_ONLY ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "a sudo member that is not root: present, not enabled";
}

TEST(Tokens, GroupsOfThisProcess) {
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    DWORD size = 0;
    EXPECT_FALSE(GetTokenInformation(token, TokenGroups, nullptr, 0, &size));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    std::vector<BYTE> buffer(size);
    ASSERT_TRUE(GetTokenInformation(token, TokenGroups, buffer.data(), size, &size));
    CloseHandle(token);
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
    const SID_AND_ATTRIBUTES* entries = groups->Groups;
    bool everyone = false, administrators = false;
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
        SID sid;
        ASSERT_TRUE(platform::copy_sid(entries[i].Sid, sid));
        const std::string text = platform::sid_string(sid);
        if (text == "S-1-1-0") everyone = entries[i].Attributes & SE_GROUP_ENABLED;
        if (text == "S-1-5-32-544") administrators = entries[i].Attributes & SE_GROUP_ENABLED;
    }
    EXPECT_TRUE(everyone);
    EXPECT_EQ(administrators, ::geteuid() == 0);
}

TEST(Passwords, SaltedHashesAndRefusedForms) {
    std::string hash, again;
    ASSERT_TRUE(platform::hash_password("secret", hash));
    ASSERT_TRUE(platform::hash_password("secret", again));
    EXPECT_EQ(hash.compare(0, 3, "$y$"), 0);
    EXPECT_NE(hash, again) << "salted";
    EXPECT_TRUE(platform::password_matches("secret", hash));
    EXPECT_FALSE(platform::password_matches("Secret", hash));
    EXPECT_FALSE(platform::password_matches("secret", "!" + hash)) << "locked";
    EXPECT_FALSE(platform::password_matches("", ""));
    EXPECT_FALSE(platform::password_matches("*", "*"));
    EXPECT_FALSE(platform::hash_password(std::string("a\0b", 3), hash));
}

TEST(NetAccounts, ChecksBeforeTheStore) {
    auto add = [](const std::string& name, DWORD priv, const std::string& comment = "") {
        std::u16string n = platform::widen(name), c = platform::widen(comment);
        USER_INFO_1 info{};
        info.usri1_name = n.data();
        info.usri1_comment = c.data();
        info.usri1_priv = priv;
        DWORD parm = 0;
        const NET_API_STATUS status = NetUserAdd(nullptr, 1, reinterpret_cast<LPBYTE>(&info), &parm);
        return std::make_pair(status, parm);
    };
    EXPECT_EQ(add("a/b", USER_PRIV_USER).first, NERR_BadUsername);
    EXPECT_EQ(add("...", USER_PRIV_USER).first, NERR_BadUsername);
    EXPECT_EQ(add(std::string(21, 'x'), USER_PRIV_USER).first, NERR_BadUsername);
    EXPECT_EQ(add("newuser", USER_PRIV_ADMIN), std::make_pair(DWORD{87}, DWORD{USER_PRIV_PARMNUM}));
    EXPECT_EQ(add("newuser", USER_PRIV_USER, std::string(257, 'c')).second, USER_COMMENT_PARMNUM);
    EXPECT_EQ(add("root", USER_PRIV_USER).first, NERR_UserExists);
    EXPECT_EQ(add("Administrators", USER_PRIV_USER).first, NERR_GroupExists);

    std::u16string root = u"root", server = u"elsewhere";
    EXPECT_EQ(NetUserDel(nullptr, root.data()), DWORD{ERROR_ACCESS_DENIED}) << "host users stay";
    EXPECT_EQ(NetUserDel(server.data(), root.data()), DWORD{ERROR_BAD_NETPATH});
    LPBYTE block = nullptr;
    ASSERT_EQ(NetUserGetInfo(nullptr, root.data(), 1, &block), NERR_Success);
    const auto* info = reinterpret_cast<const USER_INFO_1*>(block);
    EXPECT_EQ(platform::narrow(info->usri1_name), "root");
    EXPECT_EQ(platform::narrow(info->usri1_home_dir), "/root");
    EXPECT_EQ(info->usri1_priv, USER_PRIV_ADMIN);
    NetApiBufferFree(block);

    std::u16string administrators = u"Administrators";
    PSID sid = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidA(platform::sid_string(platform::account_sid(0)).c_str(), &sid));
    LOCALGROUP_MEMBERS_INFO_0 member{sid};
    EXPECT_EQ(NetLocalGroupAddMembers(nullptr, administrators.data(), 0,
                                      reinterpret_cast<LPBYTE>(&member), 1),
              DWORD{ERROR_MEMBER_IN_ALIAS});
    LocalFree(sid);
    ASSERT_TRUE(ConvertStringSidToSidA("S-1-5-21-9-9-9-5000", &sid));
    member.lgrmi0_sid = sid;
    EXPECT_EQ(NetLocalGroupAddMembers(nullptr, administrators.data(), 0,
                                      reinterpret_cast<LPBYTE>(&member), 1),
              DWORD{ERROR_NO_SUCH_MEMBER});
    LocalFree(sid);
    std::u16string missing = u"no such group";
    EXPECT_EQ(NetLocalGroupDel(nullptr, missing.data()), DWORD{NERR_GroupNotFound});
    EXPECT_EQ(NetLocalGroupDel(nullptr, administrators.data()), DWORD{ERROR_ACCESS_DENIED});

    EXPECT_EQ(NetGetAnyDCName(nullptr, root.data(), &block), DWORD{ERROR_NO_SUCH_DOMAIN});
    EXPECT_EQ(NetGetDCName(nullptr, root.data(), &block), DWORD{NERR_DCNotFound});
    PDOMAIN_CONTROLLER_INFOA dc = nullptr;
    EXPECT_EQ(DsGetDcNameA(nullptr, "ANY", nullptr, nullptr, 0, &dc), DWORD{ERROR_NO_SUCH_DOMAIN});
    EXPECT_FALSE(DeleteProfileA("S-1-5-x", nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_SID);
}

TEST(Names, ComputerAndUserBuffers) {
    char small[2];
    DWORD size = sizeof small;
    const std::string computer = platform::machine_name();
    if (computer.size() >= 2) {
        EXPECT_FALSE(GetComputerNameA(small, &size));
        EXPECT_EQ(GetLastError(), ERROR_BUFFER_OVERFLOW);
        EXPECT_EQ(size, computer.size() + 1);
    }
    char buffer[64];
    ULONG length = sizeof buffer;
    ASSERT_TRUE(GetUserNameExA(NameSamCompatible, buffer, &length));
    std::string expected;
    ASSERT_TRUE(platform::account_name(::geteuid(), expected));
    EXPECT_EQ(std::string(buffer, length), expected);
    length = 3;
    EXPECT_FALSE(GetUserNameExA(NameSamCompatible, buffer, &length));
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
    EXPECT_EQ(length, expected.size() + 1);
    EXPECT_FALSE(GetUserNameExA(NameFullyQualifiedDN, buffer, &length));
    EXPECT_EQ(GetLastError(), ERROR_NONE_MAPPED);
}

TEST(Reboot, PendingEntriesAreAbsoluteHostPaths) {
    std::string entry;
    ASSERT_TRUE(platform::pending_operation_path("C:\\tmp\\a b", entry));
    EXPECT_EQ(entry, "\\??\\/tmp/a b");
    ASSERT_TRUE(platform::pending_operation_path("rel", entry));
    EXPECT_EQ(entry.compare(0, 5, "\\??\\/"), 0);
    EXPECT_EQ(entry.substr(entry.size() - 4), "/rel");
    EXPECT_FALSE(platform::pending_operation_path("", entry));
    EXPECT_FALSE(MoveFileExA("/tmp/x", "/tmp/y", MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED) << "only scheduling is provided";
}

TEST(Controllers, FlagWordAndNameRules) {
    using lmx::win32api::controller_flags;
    using lmx::win32api::controller_name_code;
    EXPECT_EQ(controller_flags(nullptr), 32u);
    EXPECT_EQ(controller_flags(""), 32u);
    EXPECT_EQ(controller_flags("0"), 0u);
    EXPECT_EQ(controller_flags("1073741856x"), 1073741856u) << "read as atoi reads it";
    EXPECT_EQ(controller_name_code("\\\\dc1"), 0);
    EXPECT_EQ(controller_name_code("\\\\"), -5);
    EXPECT_EQ(controller_name_code("ab"), -5);
    EXPECT_EQ(controller_name_code("\\xdc"), -4);
    EXPECT_EQ(controller_name_code("x\\dc"), -3);
    std::string server;
    EXPECT_EQ(lmx::win32api::find_controller("", "SOMEDOMAIN", server), -1);
}
