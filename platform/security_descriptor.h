// The binary forms of Windows security descriptors, ACLs and ACEs: the
// self-relative descriptor that a file's extended attribute and a share's
// store row hold, and the ACL blocks that the advapi32 calls hand out.
// Pure functions over bytes; every offset and length is checked before it
// is used, so a damaged or hostile block is refused, never overrun.
//
// Self-relative descriptor: revision 1, a pad byte, the control word, then
// four 32-bit offsets from the start of the block (owner, group, SACL,
// DACL; 0 for absent). ACL: revision 2 (4 with object entries), a pad
// byte, its size, its entry count, a pad word, then the entries. ACE:
// type, flags, size, the 32-bit access mask, the SID. SID: revision 1, the
// sub-authority count, the 48-bit authority (big-endian), the
// sub-authorities (32-bit little-endian). Every number is little-endian.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/security.h"
#include "platform/types.h"

// Control bits of a security descriptor.
#define SE_OWNER_DEFAULTED 0x0001u
#define SE_GROUP_DEFAULTED 0x0002u
#define SE_DACL_PRESENT 0x0004u
#define SE_DACL_DEFAULTED 0x0008u
#define SE_SACL_PRESENT 0x0010u
#define SE_SACL_DEFAULTED 0x0020u
#define SE_DACL_AUTO_INHERITED 0x0400u
#define SE_SACL_AUTO_INHERITED 0x0800u
#define SE_DACL_PROTECTED 0x1000u
#define SE_SACL_PROTECTED 0x2000u
#define SE_SELF_RELATIVE 0x8000u

// ACE types and flags.
#define ACCESS_ALLOWED_ACE_TYPE 0x0u
#define ACCESS_DENIED_ACE_TYPE 0x1u
#define SYSTEM_AUDIT_ACE_TYPE 0x2u
#define SYSTEM_ALARM_ACE_TYPE 0x3u
#define OBJECT_INHERIT_ACE 0x1u
#define CONTAINER_INHERIT_ACE 0x2u
#define NO_PROPAGATE_INHERIT_ACE 0x4u
#define INHERIT_ONLY_ACE 0x8u
#define INHERITED_ACE 0x10u
#define VALID_INHERIT_FLAGS 0x1Fu
#define SUCCESSFUL_ACCESS_ACE_FLAG 0x40u
#define FAILED_ACCESS_ACE_FLAG 0x80u

#define ACL_REVISION 2u
#define ACL_REVISION_DS 4u

// The ACL header as the advapi32 calls hand it out; its entries follow it
// in the same block (AclSize bytes in all).
struct ACL {
    BYTE AclRevision;
    BYTE Sbz1;
    WORD AclSize;
    WORD AceCount;
    WORD Sbz2;
};

namespace platform::sd {

// An ACE of the four basic types (allowed, denied, audit, alarm).
struct Ace {
    BYTE type = ACCESS_ALLOWED_ACE_TYPE;
    BYTE flags = 0;
    DWORD mask = 0;
    SID sid{};
};

// A descriptor in its parts. The control word keeps its bits as stored;
// SE_DACL_PRESENT and SE_SACL_PRESENT follow whether the lists are there,
// and encoding always sets SE_SELF_RELATIVE.
struct Descriptor {
    WORD control = 0;
    std::optional<SID> owner;
    std::optional<SID> group;
    std::optional<std::vector<Ace>> sacl;
    std::optional<std::vector<Ace>> dacl;
};

constexpr size_t kDescriptorHeaderSize = 20;
constexpr size_t kAclHeaderSize = 8;
constexpr size_t kAceHeaderSize = 8;  // type, flags, size and mask
// An ACL's size is a 16-bit field: no ACL holds more bytes.
constexpr size_t kMaxAclSize = 0xFFFF;

// The SID's bytes (8 + 4 per sub-authority).
std::string encode_sid(const SID& sid);

// The SID at the start of `bytes`, when it is valid and all of it lies
// within `size`; its length in `length`.
bool decode_sid(const BYTE* bytes, size_t size, SID& sid, size_t& length);

// The ACL block (revision 2); false when it would exceed kMaxAclSize bytes.
bool encode_acl(const std::vector<Ace>& aces, std::string& block);

// The ACL at the start of `bytes`: a known revision, its declared size
// within `size`, every entry within the declared size, each of a basic
// type with a valid SID inside the entry. False for anything else.
bool decode_acl(const BYTE* bytes, size_t size, std::vector<Ace>& aces);

// The self-relative form (SACL, DACL, owner, group in that order, as
// Windows lays it out); false when an ACL is too large.
bool encode(const Descriptor& descriptor, std::string& block);

// A self-relative descriptor: revision 1, the self-relative bit, and every
// part that an offset names within `size` and valid. False otherwise.
bool decode(const BYTE* bytes, size_t size, Descriptor& descriptor);
bool decode(const std::string& block, Descriptor& descriptor);

}  // namespace platform::sd
