// The one translation of module paths into host paths.
//
// Module code keeps Windows-style path handling; every path that reaches the
// host passes through here: "\" and "/" both separate, an "X:" drive prefix
// maps through the drive table (platform/drives.h: by default "C:" is "/";
// LMX_DRIVE_MAP adds entries such as "D=/srv/data;E=/mnt/e"), and
// "\\server\share\..." names a share of the system store (platform/shares.h).
#pragma once

#include <string>

namespace platform {

// Translates `path` into `host`. Returns false with the last error set
// (ERROR_PATH_NOT_FOUND for an unknown drive, ERROR_BAD_NETPATH for another
// server, ERROR_BAD_NET_NAME for a share that does not exist) when the path
// cannot name a host file.
bool host_path(const char* path, std::string& host);

}  // namespace platform
