// The pure rules between Windows access entries and host permissions: the
// file rights that read, write and execute bits stand for, the bits that an
// allow or deny entry's mask gives or takes, and the entries a new file or
// directory inherits from its parent's DACL.
#pragma once

#include <vector>

#include "platform/security_descriptor.h"
#include "platform/types.h"

#define FILE_READ_DATA 0x1u
#define FILE_WRITE_DATA 0x2u
#define FILE_APPEND_DATA 0x4u
#define FILE_READ_EA 0x8u
#define FILE_WRITE_EA 0x10u
#define FILE_EXECUTE 0x20u
#define FILE_DELETE_CHILD 0x40u
#define FILE_WRITE_ATTRIBUTES 0x100u
#define FILE_ALL_ACCESS 0x1F01FFu
#define FILE_GENERIC_READ 0x120089u
#define FILE_GENERIC_WRITE 0x120116u
#define FILE_GENERIC_EXECUTE 0x1200A0u
#define WRITE_OWNER 0x00080000u
#ifndef GENERIC_EXECUTE
#define GENERIC_EXECUTE 0x20000000u
#endif
#ifndef GENERIC_ALL
#define GENERIC_ALL 0x10000000u
#endif
#ifndef DELETE
#define DELETE 0x00010000u
#endif
#ifndef WRITE_DAC
#define WRITE_DAC 0x00040000u
#endif

namespace platform::acl_rules {

// Host permission bits of one class: 4 read, 2 write, 1 execute.
constexpr unsigned kRead = 4, kWrite = 2, kExecute = 1;

// The file rights of a class's bits: FILE_GENERIC_READ for read,
// FILE_GENERIC_WRITE for write (with FILE_DELETE_CHILD on a directory),
// FILE_GENERIC_EXECUTE for execute; for the owner also WRITE_DAC, which
// the owner always has on the host (chmod).
DWORD rights_of_bits(unsigned bits, bool directory, bool owner);

// The bits an allow entry gives (`allow`) or a deny entry takes: read for
// FILE_READ_DATA, execute for FILE_EXECUTE, write for FILE_WRITE_DATA and
// FILE_APPEND_DATA together (allow) or either of them (deny); generic
// rights count as their file rights. An allow entry never gives more than
// it names, a deny entry never takes less.
unsigned entry_bits(DWORD mask, bool allow);

// The generic rights of a mask mapped to the file rights they stand for.
DWORD map_generic(DWORD mask);

// The entries of a new child of a directory with `parent` as DACL:
// object-inherit entries for a file, container-inherit entries (and
// object-inherit ones, inherit-only, to pass on) for a directory, each
// marked INHERITED_ACE; NO_PROPAGATE_INHERIT_ACE stops after the child.
// CREATOR OWNER and CREATOR GROUP become `owner` and `group`.
std::vector<sd::Ace> inherited_entries(const std::vector<sd::Ace>& parent, bool directory,
                                       const SID& owner, const SID& group);

}  // namespace platform::acl_rules
