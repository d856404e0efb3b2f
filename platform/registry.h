// The registry (advapi32 Reg*A), kept in the system store (platform/store.h).
//
// Roots: HKEY_LOCAL_MACHINE and HKEY_USERS\.DEFAULT live in the machine
// part, HKEY_CURRENT_USER in the part of the process's effective user,
// HKEY_USERS\SID in that user's part. HKEY_CLASSES_ROOT is
// HKLM\SOFTWARE\Classes and HKEY_CURRENT_CONFIG is
// HKLM\SYSTEM\CurrentControlSet\Hardware Profiles\Current (no per-user
// merge, no control-set links). HKEY_PERFORMANCE_DATA and HKEY_DYN_DATA give
// ERROR_INVALID_HANDLE. HKLM and HKU themselves hold only their seeded
// subkeys: keys and values cannot be added to them (ERROR_ACCESS_DENIED).
//
// Names are bytes in the ANSI code page (UTF-8 here), "\" separated, compared
// without regard to case (each character upper-cased by its simple Unicode
// mapping; bytes that are not UTF-8 compare as they are) and kept in the case
// they were first created with. A key name component holds at most 255
// characters (ERROR_INVALID_PARAMETER beyond), a value name at most 16,383;
// a path may not begin with "\" or hold an empty component
// (ERROR_BAD_PATHNAME); one trailing "\" is ignored. Value data is stored as
// given, at most kMaxValueSize bytes. The value named "" is the key's default
// value.
//
// Subkeys enumerate in the order of their upper-cased names, values in the
// order in which they were first set. Every call is one transaction of the
// store; a handle whose key was deleted (by this or another process) gives
// ERROR_KEY_DELETED. Access: a handle has the rights it was opened with
// (generic rights mapped to KEY_READ, KEY_WRITE, KEY_EXECUTE, KEY_ALL_ACCESS;
// MAXIMUM_ALLOWED gives what the part allows); querying and enumerating
// values need KEY_QUERY_VALUE, setting and deleting values KEY_SET_VALUE,
// enumerating subkeys KEY_ENUMERATE_SUB_KEYS. Creating and deleting keys are
// checked against the part only, as Windows checks them against the key's
// security descriptor rather than the handle. Asking for write rights on a
// part that the process may not change gives ERROR_ACCESS_DENIED, as does
// every change through the predefined handles there.
//
// Volatile keys (REG_OPTION_VOLATILE) carry the boot id of the boot that
// made them and are gone once the machine has restarted; a volatile key can
// only have volatile subkeys (ERROR_CHILD_MUST_BE_VOLATILE). The view flags
// KEY_WOW64_64KEY and KEY_WOW64_32KEY are accepted and have no effect: this
// host has one registry view. Key handles are handles of the layer's handle
// table: their values fit in 31 bits, so the low 32 bits of a handle,
// sign-extended, are the handle itself, and every call identifies a handle
// (the predefined ones included) by its low 32 bits alone.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/types.h"

struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
using REGSAM = DWORD;
using LSTATUS = LONG;

#define LMX_PREDEFINED_KEY(value) \
    (reinterpret_cast<HKEY>(static_cast<std::intptr_t>(static_cast<LONG>(value))))
#define HKEY_CLASSES_ROOT LMX_PREDEFINED_KEY(0x80000000u)
#define HKEY_CURRENT_USER LMX_PREDEFINED_KEY(0x80000001u)
#define HKEY_LOCAL_MACHINE LMX_PREDEFINED_KEY(0x80000002u)
#define HKEY_USERS LMX_PREDEFINED_KEY(0x80000003u)
#define HKEY_PERFORMANCE_DATA LMX_PREDEFINED_KEY(0x80000004u)
#define HKEY_CURRENT_CONFIG LMX_PREDEFINED_KEY(0x80000005u)
#define HKEY_DYN_DATA LMX_PREDEFINED_KEY(0x80000006u)

// Value types.
#define REG_NONE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_BINARY 3u
#define REG_DWORD 4u
#define REG_DWORD_BIG_ENDIAN 5u
#define REG_LINK 6u
#define REG_MULTI_SZ 7u
#define REG_QWORD 11u

// Access rights.
#define DELETE 0x00010000u
#define WRITE_DAC 0x00040000u
#define WRITE_OWNER 0x00080000u
#define MAXIMUM_ALLOWED 0x02000000u
#define GENERIC_EXECUTE 0x20000000u
#define GENERIC_ALL 0x10000000u
#define KEY_QUERY_VALUE 0x0001u
#define KEY_SET_VALUE 0x0002u
#define KEY_CREATE_SUB_KEY 0x0004u
#define KEY_ENUMERATE_SUB_KEYS 0x0008u
#define KEY_NOTIFY 0x0010u
#define KEY_CREATE_LINK 0x0020u
#define KEY_WOW64_64KEY 0x0100u
#define KEY_WOW64_32KEY 0x0200u
#define KEY_READ 0x20019u
#define KEY_EXECUTE 0x20019u
#define KEY_WRITE 0x20006u
#define KEY_ALL_ACCESS 0xF003Fu

// Options of RegCreateKeyExA and RegOpenKeyExA, dispositions.
#define REG_OPTION_NON_VOLATILE 0x0u
#define REG_OPTION_VOLATILE 0x1u
#define REG_OPTION_CREATE_LINK 0x2u
#define REG_OPTION_BACKUP_RESTORE 0x4u
#define REG_OPTION_OPEN_LINK 0x8u
#define REG_CREATED_NEW_KEY 1u
#define REG_OPENED_EXISTING_KEY 2u

struct SECURITY_ATTRIBUTES;

namespace platform {
namespace registry {

constexpr std::size_t kMaxKeyNameLength = 255;
constexpr std::size_t kMaxValueNameLength = 16383;
constexpr std::size_t kMaxValueSize = 16u << 20;

}  // namespace registry
}  // namespace platform

// Opens `lpSubKey` (NULL or "" for a new handle to hKey itself). ulOptions
// is not used (REG_OPTION_OPEN_LINK has nothing to do: there are no links).
// ERROR_FILE_NOT_FOUND for a missing key; ERROR_ACCESS_DENIED for write
// rights on a part that the process may not change.
LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                      PHKEY phkResult);

// Creates the key and any missing keys above it, or opens it when it
// exists (which a process that may not change the part can also do).
// dwOptions: REG_OPTION_VOLATILE applies to every key created;
// REG_OPTION_BACKUP_RESTORE is accepted and changes nothing;
// REG_OPTION_CREATE_LINK gives ERROR_NOT_SUPPORTED. Class and security
// attributes are not used. lpdwDisposition (optional) receives
// REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY.
LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass,
                        DWORD dwOptions, REGSAM samDesired,
                        const SECURITY_ATTRIBUTES* lpSecurityAttributes, PHKEY phkResult,
                        LPDWORD lpdwDisposition);

// Closes a handle; the predefined handles close without effect.
LSTATUS RegCloseKey(HKEY hKey);

// Deletes the key and its values ("" deletes hKey's own key). A key that
// still has subkeys, or a root, gives ERROR_ACCESS_DENIED.
LSTATUS RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey);

// Deletes a value (NULL or "" the default value); ERROR_FILE_NOT_FOUND when
// it does not exist.
LSTATUS RegDeleteValueA(HKEY hKey, LPCSTR lpValueName);

// Reads a value: its type into *lpType and its data into lpData, whose size
// *lpcbData gives. With lpData NULL only the size is reported; a buffer that
// is too small gives ERROR_MORE_DATA with the size needed in *lpcbData.
// Data comes back exactly as stored (no conversion, no added terminator).
LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                         BYTE* lpData, LPDWORD lpcbData);

// Writes a value of any type with cbData bytes of lpData.
// ERROR_INVALID_PARAMETER for a name longer than 16,383 characters or data
// over kMaxValueSize.
LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                       const BYTE* lpData, DWORD cbData);

// The value at position dwIndex: its name into lpValueName (*lpcchValueName
// characters of room, terminator included; the name's length comes back),
// type and data as for RegQueryValueExA. ERROR_MORE_DATA when the name does
// not fit; ERROR_NO_MORE_ITEMS past the last value.
LSTATUS RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                      LPDWORD lpReserved, LPDWORD lpType, BYTE* lpData, LPDWORD lpcbData);

// The subkey at position dwIndex, with the same name rules; its class is
// empty, its last write time the time its values last changed.
LSTATUS RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                      LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass,
                      FILETIME* lpftLastWriteTime);

// Counts and the longest lengths of a key's subkeys and values (every
// pointer optional): names in bytes of their ANSI form without the
// terminator, data in bytes. Keys have no class and no security descriptor
// of their own here (both reported as empty).
LSTATUS RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                         LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                         LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen,
                         LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                         FILETIME* lpftLastWriteTime);

namespace platform {
namespace registry {

struct Value {
    std::string name;
    DWORD type = REG_NONE;
    std::string data;
};

struct KeyContents {
    std::vector<std::string> subkeys;  // in enumeration order
    std::vector<Value> values;         // in enumeration order
};

// Everything below an open key (it needs KEY_QUERY_VALUE and
// KEY_ENUMERATE_SUB_KEYS), read in one transaction: for tools that show or
// export whole keys.
LSTATUS read_key(HKEY hKey, KeyContents& contents);

}  // namespace registry
}  // namespace platform
