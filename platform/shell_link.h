// Shortcut files in the documented binary shell-link format: a 76-byte
// header (size 0x4C, class 00021401-0000-0000-C000-000000000046, link
// flags, the target's attributes, times and size, icon index, show command,
// hot key), an optional item-id list, the link information that holds the
// target's path, the string data (description, relative path, working
// directory, arguments, icon location) and extra data blocks.
//
// Written: the link information with the volume of a local target (drive
// type, serial number, empty label) and its path, in the ANSI form (the
// bytes of the UTF-8 text, which is this host's ANSI code page) and in
// UTF-16; a target "\\server\share\rest" as a network link ("\\server\share"
// and the suffix "rest"); the strings in UTF-16; no item-id list and no
// extra data but the terminal block. Read: any such file, the item-id list
// and extra data skipped; the target is the link information's path (the
// UTF-16 form when present). A target that only an item-id list holds is
// not read (the target is then empty).
//
// Every offset and length of a file being read is checked against the data;
// a malformed file fails to decode and nothing is read past its end.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/types.h"

namespace platform {

// The link flags (also the data flags of IShellLinkDataList).
enum : DWORD {
    SLDF_HAS_ID_LIST = 0x1,
    SLDF_HAS_LINK_INFO = 0x2,
    SLDF_HAS_NAME = 0x4,
    SLDF_HAS_RELPATH = 0x8,
    SLDF_HAS_WORKINGDIR = 0x10,
    SLDF_HAS_ARGS = 0x20,
    SLDF_HAS_ICONLOCATION = 0x40,
    SLDF_UNICODE = 0x80,
    SLDF_RUNAS_USER = 0x2000,
};

struct ShellLink {
    // The link flags as read; when encoding, only those that do not say
    // which parts follow (SLDF_RUNAS_USER and the like) are taken, and the
    // encoder sets the others from the parts it writes.
    DWORD flags = 0;
    DWORD file_attributes = 0;
    ULONGLONG creation_time = 0;  // FILETIME values
    ULONGLONG access_time = 0;
    ULONGLONG write_time = 0;
    DWORD file_size = 0;
    std::int32_t icon_index = 0;
    DWORD show_command = 1;  // SW_SHOWNORMAL
    WORD hot_key = 0;
    std::string target;  // UTF-8
    DWORD drive_type = 0;
    DWORD drive_serial = 0;
    std::optional<std::string> description;
    std::optional<std::string> relative_path;
    std::optional<std::string> working_directory;
    std::optional<std::string> arguments;
    std::optional<std::string> icon_location;
};

// The file's bytes. Strings are cut to the format's 65535 characters.
std::vector<BYTE> encode_shell_link(const ShellLink& link);

// False when the data is not a shortcut of this format or is malformed.
bool decode_shell_link(const BYTE* data, size_t size, ShellLink& link);

}  // namespace platform
