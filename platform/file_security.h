// The Windows security descriptors of host files and directories.
//
// A file's descriptor is kept with the file, in the extended attribute
// security.NTACL (written by root; the kernel lets only privileged
// processes write that namespace) or user.NTACL (written by other users),
// in the self-relative binary form. Reading prefers security.NTACL.
// The owner and group of a stored descriptor that name host accounts are
// the file's real uid and gid; a stored owner or group outside the host's
// accounts (BUILTIN\Administrators, an account of the system store) is
// reported as stored.
//
// A file without a stored descriptor gets one derived from the host: owner
// the uid's account, group the gid's, and a DACL of allow entries in the
// order of its POSIX ACL (owner, named users, owning group, named groups,
// Everyone for the other class), each with the rights of its effective
// permission bits (see docs/platform.md for the mapping); a class without
// bits gives no entry.
//
// Setting a DACL stores the descriptor, then recomputes the permission bits
// and the POSIX ACL from the allow and deny entries that apply to the file
// itself and name host accounts, so that the kernel's checks follow the
// DACL as closely as it can.
//
// Paths are host paths; an open handle is reached as /proc/self/fd/N.
#pragma once

#include <string>
#include <vector>

#include "platform/security_descriptor.h"
#include "platform/types.h"

namespace platform {

// The descriptor of the file (stored or derived). ERROR_INVALID_SECURITY_DESCR
// for a stored one that does not decode.
DWORD read_file_security(const std::string& path, sd::Descriptor& descriptor);

// Replaces the DACL. `protect`: the DACL stops inheritance from the parent
// directory and holds exactly `dacl`; otherwise the parent's inheritable
// entries are appended as inherited entries. Nothing changes when the
// descriptor cannot be stored (ERROR_NOT_SUPPORTED on a filesystem without
// extended attributes, ERROR_ALLOTTED_SPACE_EXCEEDED when it is too large
// for the filesystem, ERROR_ACCESS_DENIED for a non-root process when root
// stored the descriptor).
DWORD write_file_dacl(const std::string& path, const std::vector<sd::Ace>& dacl, bool protect);

// Sets the owner: a SID of a host user changes the file's uid (chown);
// another SID is stored in the descriptor, which only root may do. Either
// refused: ERROR_INVALID_OWNER.
DWORD write_file_owner(const std::string& path, const SID& owner);

// Gives a file or directory that the layer has just created the entries
// that its parent directory's stored DACL passes on (object-inherit
// entries to files, container-inherit entries to directories). Does
// nothing when the parent passes nothing on; a failure to store leaves the
// new file with its host permissions.
void inherit_file_security(const std::string& path);

}  // namespace platform
