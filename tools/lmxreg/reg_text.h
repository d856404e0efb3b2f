// The registry's text forms for people: key paths with their roots, value
// data as `query` shows it and `add` takes it, and registry files (.reg):
// "Windows Registry Editor Version 5.00" files as Windows writes them
// (UTF-16LE with a byte-order mark, CR LF lines, text types as UTF-16LE
// bytes) and read in that form, as UTF-8, and as REGEDIT4 (text types as
// bytes of the ANSI code page, which is UTF-8 here).
//
// Stored string data (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) is in the ANSI
// code page, terminators included, as the ANSI registry calls store it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"

namespace lmxreg {

// --- Key paths ---

struct KeyPath {
    HKEY root = nullptr;
    std::string root_name;  // the long form, "HKEY_LOCAL_MACHINE"
    std::string subkey;     // without leading or trailing "\"
    std::string full() const { return subkey.empty() ? root_name : root_name + "\\" + subkey; }
};

// "HKLM\Software\X" or "HKEY_LOCAL_MACHINE\Software\X" (roots in any case:
// HKLM, HKCU, HKCR, HKU, HKCC and their long names).
bool parse_key_path(std::string_view text, KeyPath& path);

// --- Value data for people ---

// "REG_SZ", "REG_DWORD", ... ("0xNN" for a type without a name).
std::string type_name(DWORD type);
// The type for a name given to `add`; false for an unknown one.
bool type_of_name(std::string_view name, DWORD& type);

// Data as `query` shows it: strings as they are (a list joined with "\0"),
// numbers as 0x... hexadecimal, anything else as hexadecimal bytes.
std::string show_data(DWORD type, const std::string& data);

// The data `add` stores for a type from its text (`separator` parts the
// strings of REG_MULTI_SZ). False with `error` for text that does not fit
// the type.
bool data_of_text(DWORD type, const std::string& text, const std::string& separator,
                  std::string& data, std::string& error);

// --- Registry files ---

struct RegEntry {
    enum class Kind { Key, DeleteKey, Value, DeleteValue };
    Kind kind = Kind::Key;
    std::size_t line = 0;  // where it stands in the file
    std::string path;      // keys: as written, root included
    std::string name;      // values ("" is the default value)
    DWORD type = REG_NONE;
    std::string data;  // as stored
};

// Parses a whole registry file. False with `error` ("line 12: ...").
bool parse_reg_file(const std::string& bytes, std::vector<RegEntry>& entries,
                    std::string& error);

// The text of a version 5 file, a key's section at a time: the header,
// then for each key its "[path]" line, its values and a blank line. In
// UTF-8 with CR LF line ends; utf16le_file makes the file from it.
std::string reg_file_header();
std::string reg_key_section(const std::string& path,
                            const std::vector<platform::registry::Value>& values);
std::string utf16le_file(const std::string& text);

}  // namespace lmxreg
