// The name of the filesystem that holds a path, as KALDOR::Install::FSUsage
// reports it.
#pragma once

#include <string>

namespace lmx {

// A UNC path ("\\server\share\...") gives "\\SERVER\SHARE" and a path that
// begins with a drive letter its drive ("C:"), both in upper case; any other
// path gives the mount point of the filesystem that holds it, as the host
// spells it ("/", "/home"). False when the name cannot be determined: a UNC
// path without a server separator or with an empty share name, or a path
// the host cannot resolve.
bool filesystem_name(const std::string& path, std::string& name);

}  // namespace lmx
