// The share modes of CreateFileA within this process: a table of the
// files opened through the layer, by device and inode, with the access and
// share mode of each open handle.
//
// As on Windows, only opens with data access take part (read: read data,
// execute or a generic read, execute or all right; write: write or append
// data, generic write or all; delete: DELETE): a new open fails with
// ERROR_SHARING_VIOLATION when it asks for an access that an open handle
// does not share, or shares less than an open handle has. Security access
// takes part too (READ_CONTROL as read; WRITE_DAC and WRITE_OWNER as
// write), so that a handle opened to change a file's security without
// sharing keeps every other opener out while it is open. Opens for
// attributes alone never conflict. Other processes are not affected: the
// host has no share modes.
#pragma once

#include <sys/types.h>

#include <memory>

#include "platform/handles.h"
#include "platform/types.h"

namespace platform {

// A descriptor object for an open file that holds its place in the table
// until the last handle to it is closed; null, leaving the descriptor open,
// with ERROR_SHARING_VIOLATION when the open conflicts with an open handle
// of the same file (or ERROR_NOT_ENOUGH_MEMORY).
std::shared_ptr<KernelObject> shared_file_object(int descriptor, dev_t device, ino_t inode,
                                                 DWORD access, DWORD share);

}  // namespace platform
