// Rules of the extraction file writer that depend on nothing but their
// arguments.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace lmx::untgz {

// The mode for the missing parent directories of a regular file: its bits
// 0777, with each class's execute bit added where that class may read or
// write.
int directory_mode(std::int64_t file_mode);

// The mode of a directory that an entry implies (a missing parent): `mode`
// when it lets the owner create entries in it (write and search, 0300),
// else the default 0777 (less the umask when it is created), so that the
// entries below can still be written.
int implied_directory_mode(int mode);

// True when the host path `path` is `directory` or lies below it (both
// absolute, links resolved).
bool lies_within(const std::string& path, const std::string& directory);

// True when the entry name has a ".." component ("/" and "\" both
// separate), so that below a destination directory it would name a path
// outside it.
bool leaves_destination(const std::string& name);

// Kilobytes, rounded up.
std::uint64_t kilobytes(std::uint64_t bytes);

bool is_separator(char c);

// The directory part of a path: up to its last separator (slash or
// backslash); "/" for a name right below the root; false when the path has
// no separator.
bool parent_directory(const std::string& path, std::string& parent);

// The output path of an entry: the name below the destination directory
// (joined by one "/"), or the name itself without one.
std::string output_path(const std::optional<std::string>& destination, const std::string& name);

// True for "X:", an ASCII letter and a colon (a drive).
bool is_drive(const std::string& name);

// True for "X:/" or "X:\" (a drive's root).
bool is_drive_root(const std::string& path);

}  // namespace lmx::untgz
