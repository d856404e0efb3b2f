// Security descriptors and ACLs: the binary forms against blocks built by
// hand from the format's layout, refusal of damaged blocks without reading
// past them, the entry-list calls and the inheritance rules.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <stdlib.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "platform/acl_rules.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/handles.h"
#include "platform/security_acl.h"
#include "platform/security_descriptor.h"

using platform::make_sid;
namespace sd = platform::sd;

namespace {

// O:BA G:SY D:P(A;OICI;FA;;;BA), laid out as Windows does: header, DACL,
// owner, group.
const std::string kAdministratorsFullAccess(
    "\x01\x00\x04\x90"           // revision 1, control SELF_RELATIVE|DACL_PROTECTED|DACL_PRESENT
    "\x34\x00\x00\x00"           // owner at 0x34
    "\x44\x00\x00\x00"           // group at 0x44
    "\x00\x00\x00\x00"           // no SACL
    "\x14\x00\x00\x00"           // DACL at 0x14
    "\x02\x00\x20\x00\x01\x00\x00\x00"  // ACL revision 2, 32 bytes, 1 entry
    "\x00\x03\x18\x00"           // allowed, OI|CI, 24 bytes
    "\xff\x01\x1f\x00"           // FILE_ALL_ACCESS
    "\x01\x02\x00\x00\x00\x00\x00\x05\x20\x00\x00\x00\x20\x02\x00\x00"  // S-1-5-32-544
    "\x01\x02\x00\x00\x00\x00\x00\x05\x20\x00\x00\x00\x20\x02\x00\x00"  // owner BA
    "\x01\x01\x00\x00\x00\x00\x00\x05\x12\x00\x00\x00",                 // group SY
    0x50);

sd::Descriptor administrators_full_access() {
    sd::Descriptor d;
    d.control = SE_DACL_PROTECTED;
    d.owner = make_sid(5, {32, 544});
    d.group = make_sid(5, {18});
    sd::Ace ace;
    ace.flags = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    ace.mask = FILE_ALL_ACCESS;
    ace.sid = make_sid(5, {32, 544});
    d.dacl = std::vector<sd::Ace>{ace};
    return d;
}

bool same_sid(const SID& a, const SID& b) {
    return EqualSid(const_cast<SID*>(&a), const_cast<SID*>(&b)) != FALSE;
}

}  // namespace

TEST(SecurityDescriptor, EncodesTheHandBuiltBlock) {
    std::string block;
    ASSERT_TRUE(sd::encode(administrators_full_access(), block));
    EXPECT_EQ(block, kAdministratorsFullAccess);
}

TEST(SecurityDescriptor, DecodesTheHandBuiltBlock) {
    sd::Descriptor d;
    ASSERT_TRUE(sd::decode(kAdministratorsFullAccess, d));
    EXPECT_EQ(d.control, SE_SELF_RELATIVE | SE_DACL_PROTECTED | SE_DACL_PRESENT);
    ASSERT_TRUE(d.owner && d.group && d.dacl);
    EXPECT_FALSE(d.sacl);
    EXPECT_EQ(platform::sid_string(*d.owner), "S-1-5-32-544");
    EXPECT_EQ(platform::sid_string(*d.group), "S-1-5-18");
    ASSERT_EQ(d.dacl->size(), 1u);
    EXPECT_EQ((*d.dacl)[0].type, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ((*d.dacl)[0].flags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
    EXPECT_EQ((*d.dacl)[0].mask, FILE_ALL_ACCESS);
}

TEST(SecurityDescriptor, EveryTruncationIsRefused) {
    sd::Descriptor d;
    for (size_t n = 0; n < kAdministratorsFullAccess.size(); ++n) {
        const std::string cut = kAdministratorsFullAccess.substr(0, n);
        EXPECT_FALSE(sd::decode(cut, d)) << "length " << n;
    }
}

TEST(SecurityDescriptor, DamagedFieldsAreRefused) {
    struct Damage {
        size_t at;
        char value;
    } damages[] = {
        {0, 2},       // revision
        {3, 0x10},    // not self-relative
        {4, 0x50},    // owner at the end
        {16, 0x4b},   // DACL near the end
        {20, 9},      // ACL revision
        {22, 0x7f},   // ACL larger than the block
        {24, 2},      // two entries in room for one
        {28, 9},      // object entry type
        {30, 4},      // entry smaller than its header
        {30, 0x30},   // entry beyond its ACL
        {37, 16},     // sixteen sub-authorities
        {52, 2},      // owner's SID revision
    };
    for (const Damage& damage : damages) {
        std::string block = kAdministratorsFullAccess;
        block[damage.at] = damage.value;
        sd::Descriptor d;
        EXPECT_FALSE(sd::decode(block, d)) << "byte " << damage.at;
    }
    // A present DACL at offset 0 is the NULL DACL, which is refused too.
    std::string null_dacl = kAdministratorsFullAccess;
    null_dacl[16] = 0;
    sd::Descriptor d;
    EXPECT_FALSE(sd::decode(null_dacl, d));
}

TEST(SecurityDescriptor, RandomMutationsNeverReadPastTheBlock) {
    std::mt19937 random(15);
    for (int round = 0; round < 20000; ++round) {
        std::string block = kAdministratorsFullAccess;
        for (int k = 0; k < 3; ++k)
            block[random() % block.size()] = static_cast<char>(random() & 0xFF);
        block.resize(random() % (block.size() + 1));
        sd::Descriptor d;
        // The answer does not matter; the sanitizers watch the reads.
        if (sd::decode(block, d) && d.dacl) {
            std::string again;
            EXPECT_TRUE(sd::encode(d, again));
        }
    }
}

TEST(SecurityDescriptor, AclLimitIsItsSizeField) {
    // Entries of 36 bytes: 1820 fit in 65,535 bytes, 1821 do not.
    std::vector<sd::Ace> aces(1820);
    for (sd::Ace& ace : aces) ace.sid = make_sid(5, {21, 1, 2, 3, 1000});
    std::string block;
    EXPECT_TRUE(sd::encode_acl(aces, block));
    EXPECT_EQ(block.size(), 8u + 1820u * 36u);
    aces.push_back(aces[0]);
    EXPECT_FALSE(sd::encode_acl(aces, block));
}

namespace {

EXPLICIT_ACCESS_A entry(ACCESS_MODE mode, DWORD mask, SID& sid, DWORD inheritance = 0) {
    EXPLICIT_ACCESS_A e{};
    e.grfAccessMode = mode;
    e.grfAccessPermissions = mask;
    e.grfInheritance = inheritance;
    e.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    e.Trustee.ptstrName = reinterpret_cast<LPSTR>(&sid);
    return e;
}

std::vector<sd::Ace> aces_of(PACL acl) {
    std::vector<sd::Ace> aces;
    EXPECT_TRUE(sd::decode_acl(reinterpret_cast<const BYTE*>(acl), acl->AclSize, aces));
    return aces;
}

}  // namespace

TEST(EntriesInAcl, ModesApplyInOrderWithDenyFirst) {
    SID everyone = make_sid(1, {0});
    SID admins = make_sid(5, {32, 544});
    std::vector<EXPLICIT_ACCESS_A> list = {
        entry(GRANT_ACCESS, FILE_READ_DATA, everyone),
        entry(GRANT_ACCESS, FILE_WRITE_DATA, everyone),  // merged into the first
        entry(SET_ACCESS, FILE_ALL_ACCESS, admins, SUB_CONTAINERS_AND_OBJECTS_INHERIT),
        entry(DENY_ACCESS, FILE_EXECUTE, everyone),
    };
    PACL acl = nullptr;
    ASSERT_EQ(SetEntriesInAclA(static_cast<ULONG>(list.size()), list.data(), nullptr, &acl),
              ERROR_SUCCESS);
    const std::vector<sd::Ace> aces = aces_of(acl);
    ASSERT_EQ(aces.size(), 3u);
    EXPECT_EQ(aces[0].type, ACCESS_DENIED_ACE_TYPE);
    EXPECT_EQ(aces[1].mask, FILE_READ_DATA | FILE_WRITE_DATA);
    EXPECT_TRUE(same_sid(aces[2].sid, admins));
    EXPECT_EQ(aces[2].flags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);

    // SET_ACCESS and REVOKE_ACCESS on top of the old list.
    std::vector<EXPLICIT_ACCESS_A> more = {entry(SET_ACCESS, FILE_READ_DATA, everyone),
                                           entry(REVOKE_ACCESS, 0, admins)};
    PACL next = nullptr;
    ASSERT_EQ(SetEntriesInAclA(2, more.data(), acl, &next), ERROR_SUCCESS);
    const std::vector<sd::Ace> replaced = aces_of(next);
    ASSERT_EQ(replaced.size(), 1u);
    EXPECT_EQ(replaced[0].type, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(replaced[0].mask, FILE_READ_DATA);
    LocalFree(acl);
    LocalFree(next);
}

TEST(EntriesInAcl, BadEntriesAreRefused) {
    SID everyone = make_sid(1, {0});
    PACL acl = reinterpret_cast<PACL>(1);
    EXPLICIT_ACCESS_A no_trustee = entry(GRANT_ACCESS, 1, everyone);
    no_trustee.Trustee.ptstrName = nullptr;
    EXPECT_EQ(SetEntriesInAclA(1, &no_trustee, nullptr, &acl), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(acl, nullptr);
    EXPLICIT_ACCESS_A bad_flags = entry(GRANT_ACCESS, 1, everyone, 0x10);
    EXPECT_EQ(SetEntriesInAclA(1, &bad_flags, nullptr, &acl), ERROR_INVALID_PARAMETER);
    EXPLICIT_ACCESS_A audit = entry(SET_AUDIT_SUCCESS, 1, everyone);
    EXPECT_EQ(SetEntriesInAclA(1, &audit, nullptr, &acl), ERROR_INVALID_PARAMETER);
    EXPLICIT_ACCESS_A unknown = entry(GRANT_ACCESS, 1, everyone);
    unknown.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
    unknown.Trustee.ptstrName = const_cast<LPSTR>("NoSuchAccountHere\\nobody-at-all");
    EXPECT_EQ(SetEntriesInAclA(1, &unknown, nullptr, &acl), ERROR_NONE_MAPPED);

    // Ten thousand different trustees do not fit in an ACL.
    std::vector<SID> sids;
    for (DWORD i = 0; i < 10000; ++i) sids.push_back(make_sid(5, {21, 1, 2, 3, 5000 + i}));
    std::vector<EXPLICIT_ACCESS_A> many;
    for (SID& sid : sids) many.push_back(entry(GRANT_ACCESS, FILE_READ_DATA, sid));
    EXPECT_EQ(SetEntriesInAclA(10000, many.data(), nullptr, &acl), ERROR_ALLOTTED_SPACE_EXCEEDED);
    EXPECT_EQ(acl, nullptr);
}

TEST(EntriesInAcl, ExplicitEntriesLeaveInheritedOnesOut) {
    std::vector<sd::Ace> aces(3);
    aces[0].mask = 1;
    aces[0].sid = make_sid(1, {0});
    aces[1] = aces[0];
    aces[1].flags = INHERITED_ACE;
    aces[2].type = ACCESS_DENIED_ACE_TYPE;
    aces[2].mask = 2;
    aces[2].flags = CONTAINER_INHERIT_ACE;
    aces[2].sid = make_sid(5, {32, 545});
    std::string block;
    ASSERT_TRUE(sd::encode_acl(aces, block));
    ULONG count = 0;
    PEXPLICIT_ACCESS_A list = nullptr;
    ASSERT_EQ(GetExplicitEntriesFromAclA(reinterpret_cast<PACL>(block.data()), &count, &list),
              ERROR_SUCCESS);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(list[0].grfAccessMode, SET_ACCESS);
    EXPECT_EQ(list[1].grfAccessMode, DENY_ACCESS);
    EXPECT_EQ(list[1].grfInheritance, CONTAINER_INHERIT_ACE);
    SID sid;
    ASSERT_TRUE(platform::copy_sid(list[1].Trustee.ptstrName, sid));
    EXPECT_EQ(platform::sid_string(sid), "S-1-5-32-545");
    LocalFree(list);
}

TEST(AclRules, MasksAndBits) {
    using namespace platform::acl_rules;
    EXPECT_EQ(entry_bits(FILE_ALL_ACCESS, true), kRead | kWrite | kExecute);
    EXPECT_EQ(entry_bits(GENERIC_READ, true), kRead);
    EXPECT_EQ(entry_bits(FILE_WRITE_DATA, true), 0u);  // write needs append as well
    EXPECT_EQ(entry_bits(FILE_APPEND_DATA, false), kWrite);
    EXPECT_EQ(rights_of_bits(kRead | kWrite | kExecute, true, false), 0x1201FFu);
    EXPECT_EQ(rights_of_bits(kRead, false, true), FILE_GENERIC_READ | WRITE_DAC);
}

TEST(AclRules, Inheritance) {
    using platform::acl_rules::inherited_entries;
    const SID owner = make_sid(5, {21, 1, 2, 3, 1000});
    const SID group = make_sid(5, {21, 1, 2, 3, 1100});
    std::vector<sd::Ace> parent(4);
    parent[0].flags = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    parent[0].mask = GENERIC_ALL;
    parent[0].sid = make_sid(5, {32, 544});
    parent[1].flags = OBJECT_INHERIT_ACE;
    parent[1].sid = make_sid(3, {0});  // CREATOR OWNER
    parent[2].flags = CONTAINER_INHERIT_ACE | NO_PROPAGATE_INHERIT_ACE;
    parent[2].sid = make_sid(1, {0});
    parent[3].sid = make_sid(1, {0});  // not inheritable
    const std::vector<sd::Ace> file = inherited_entries(parent, false, owner, group);
    ASSERT_EQ(file.size(), 2u);
    EXPECT_EQ(file[0].flags, INHERITED_ACE);
    EXPECT_EQ(file[0].mask, FILE_ALL_ACCESS);
    EXPECT_TRUE(same_sid(file[1].sid, owner));
    const std::vector<sd::Ace> dir = inherited_entries(parent, true, owner, group);
    ASSERT_EQ(dir.size(), 3u);
    EXPECT_EQ(dir[0].flags, INHERITED_ACE | OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
    EXPECT_EQ(dir[1].flags, INHERITED_ACE | OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE);
    EXPECT_EQ(dir[2].flags, INHERITED_ACE);
}

namespace {

// The explicit and inherited entries of a file's DACL by path.
std::vector<sd::Ace> dacl_at(const std::string& path) {
    PSECURITY_DESCRIPTOR block = nullptr;
    PACL acl = nullptr;
    std::vector<sd::Ace> aces;
    EXPECT_EQ(GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                    nullptr, nullptr, &acl, nullptr, &block),
              ERROR_SUCCESS);
    if (acl != nullptr) aces = aces_of(acl);
    LocalFree(block);
    return aces;
}

}  // namespace

TEST(FileSecurity, LayerCreatedFilesInheritAndProtectionStopsIt) {
    char pattern[] = "/tmp/lmxaclXXXXXX";
    const std::string dir = ::mkdtemp(pattern);
    SID everyone = make_sid(1, {0});
    EXPLICIT_ACCESS_A pass_on = entry(SET_ACCESS, FILE_ALL_ACCESS, everyone,
                                      SUB_CONTAINERS_AND_OBJECTS_INHERIT);
    PACL acl = nullptr;
    ASSERT_EQ(SetEntriesInAclA(1, &pass_on, nullptr, &acl), ERROR_SUCCESS);
    ASSERT_EQ(SetNamedSecurityInfoA(const_cast<LPSTR>(dir.c_str()), SE_FILE_OBJECT,
                                    DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                    nullptr, nullptr, acl, nullptr),
              ERROR_SUCCESS);

    const std::string sub = dir + "/sub";
    ASSERT_TRUE(CreateDirectoryA(sub.c_str(), nullptr));
    EXPECT_FALSE(CreateDirectoryA(sub.c_str(), nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    const std::string file = sub + "\\file.txt";
    HANDLE h = CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    // Without sharing, nothing else in the process opens it meanwhile.
    EXPECT_EQ(CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                          nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    HANDLE attributes = CreateFileA(file.c_str(), FILE_READ_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                                    0, nullptr);
    EXPECT_NE(attributes, INVALID_HANDLE_VALUE) << "attribute opens take no part";
    CloseHandle(attributes);
    CloseHandle(h);

    const std::vector<sd::Ace> in_sub = dacl_at(sub);
    ASSERT_EQ(in_sub.size(), 1u);
    EXPECT_EQ(in_sub[0].flags, INHERITED_ACE | OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
    const std::vector<sd::Ace> in_file = dacl_at(sub + "/file.txt");
    ASSERT_EQ(in_file.size(), 1u);
    EXPECT_EQ(in_file[0].flags, INHERITED_ACE);
    struct stat st;
    ASSERT_EQ(::stat((sub + "/file.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0777u) << "Everyone's rights reach every class";

    // A protected DACL on the subdirectory: its new files inherit only its
    // own inheritable entry.
    SID admins = make_sid(5, {32, 544});
    EXPLICIT_ACCESS_A own[] = {entry(SET_ACCESS, FILE_ALL_ACCESS, admins, SUB_OBJECTS_ONLY_INHERIT),
                               entry(SET_ACCESS, FILE_ALL_ACCESS, everyone)};
    PACL own_acl = nullptr;
    ASSERT_EQ(SetEntriesInAclA(2, own, nullptr, &own_acl), ERROR_SUCCESS);
    ASSERT_EQ(SetNamedSecurityInfoA(const_cast<LPSTR>(sub.c_str()), SE_FILE_OBJECT,
                                    DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                    nullptr, nullptr, own_acl, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(dacl_at(sub).size(), 2u);
    const std::string second = sub + "/second.txt";
    h = CreateFileA(second.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    const std::vector<sd::Ace> in_second = dacl_at(second);
    ASSERT_EQ(in_second.size(), 1u);
    EXPECT_TRUE(same_sid(in_second[0].sid, admins));
    LocalFree(acl);
    LocalFree(own_acl);
    std::system(("rm -rf '" + dir + "'").c_str());
}
