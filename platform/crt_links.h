// The C runtime's view of symbolic links, which the Windows C library
// lacks and this host has: the status of a link itself and its target.
// Paths are translated by the layer.
#pragma once

#include <sys/stat.h>

#include <string>

namespace crt {

// lstat: the status of the file at `path`, of a symbolic link itself
// rather than of what it points to; 0, or -1 with errno set.
int lstat(const char* path, struct ::stat* status);

// readlink: the target of the symbolic link at `path`, as it is stored;
// false with errno set.
bool readlink(const char* path, std::string& target);

}  // namespace crt
