#include "platform/acl_rules.h"

#include <cstring>

namespace platform::acl_rules {
namespace {

bool same_sid(const SID& a, const SID& b) {
    return a.Revision == b.Revision && a.SubAuthorityCount == b.SubAuthorityCount &&
           std::memcmp(&a.IdentifierAuthority, &b.IdentifierAuthority, 6) == 0 &&
           std::memcmp(a.SubAuthority, b.SubAuthority, 4u * a.SubAuthorityCount) == 0;
}

const SID kCreatorOwner = make_sid(3, {0});
const SID kCreatorGroup = make_sid(3, {1});

}  // namespace

DWORD rights_of_bits(unsigned bits, bool directory, bool owner) {
    DWORD rights = owner ? READ_CONTROL | WRITE_DAC : 0;
    if (bits & kRead) rights |= FILE_GENERIC_READ;
    if (bits & kWrite) rights |= FILE_GENERIC_WRITE | (directory ? FILE_DELETE_CHILD : 0);
    if (bits & kExecute) rights |= FILE_GENERIC_EXECUTE;
    return rights;
}

DWORD map_generic(DWORD mask) {
    DWORD mapped = mask & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (mask & GENERIC_READ) mapped |= FILE_GENERIC_READ;
    if (mask & GENERIC_WRITE) mapped |= FILE_GENERIC_WRITE;
    if (mask & GENERIC_EXECUTE) mapped |= FILE_GENERIC_EXECUTE;
    if (mask & GENERIC_ALL) mapped |= FILE_ALL_ACCESS;
    return mapped;
}

unsigned entry_bits(DWORD mask, bool allow) {
    const DWORD m = map_generic(mask);
    const DWORD write = m & (FILE_WRITE_DATA | FILE_APPEND_DATA);
    unsigned bits = 0;
    if (m & FILE_READ_DATA) bits |= kRead;
    if (allow ? write == (FILE_WRITE_DATA | FILE_APPEND_DATA) : write != 0) bits |= kWrite;
    if (m & FILE_EXECUTE) bits |= kExecute;
    return bits;
}

std::vector<sd::Ace> inherited_entries(const std::vector<sd::Ace>& parent, bool directory,
                                       const SID& owner, const SID& group) {
    std::vector<sd::Ace> entries;
    for (const sd::Ace& ace : parent) {
        const bool to_objects = ace.flags & OBJECT_INHERIT_ACE;
        const bool to_containers = ace.flags & CONTAINER_INHERIT_ACE;
        const bool stop = ace.flags & NO_PROPAGATE_INHERIT_ACE;
        if (!(directory ? to_containers || (to_objects && !stop) : to_objects)) continue;
        sd::Ace child = ace;
        if (same_sid(child.sid, kCreatorOwner)) child.sid = owner;
        if (same_sid(child.sid, kCreatorGroup)) child.sid = group;
        child.mask = map_generic(ace.mask);
        BYTE flags = INHERITED_ACE;
        if (directory && !stop) {
            flags |= ace.flags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
            // An object-inherit entry only passes through a directory.
            if (!to_containers) flags |= INHERIT_ONLY_ACE;
        }
        child.flags = static_cast<BYTE>(flags | (ace.flags & (SUCCESSFUL_ACCESS_ACE_FLAG |
                                                              FAILED_ACCESS_ACE_FLAG)));
        entries.push_back(child);
    }
    return entries;
}

}  // namespace platform::acl_rules
