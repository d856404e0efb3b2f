#include "tools/lmxreg/commands.h"

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/registry.h"
#include "platform/registry_names.h"
#include "tools/lmxreg/reg_text.h"

namespace lmxreg {
namespace {

using platform::registry::KeyContents;
using platform::registry::Value;

constexpr std::size_t kMaxFileSize = 256u << 20;
constexpr char kDone[] = "The operation completed successfully.\n";

// An open key that closes itself.
struct OpenKey {
    HKEY key = nullptr;
    OpenKey() = default;
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;
    ~OpenKey() {
        if (key) RegCloseKey(key);
    }
};

std::string child_path(const std::string& parent, const std::string& name) {
    return parent.empty() ? name : parent + "\\" + name;
}

bool key_path_operand(const Arguments& args, std::size_t i, KeyPath& path, int& rc) {
    if (args.operands.size() <= i) {
        rc = fail("a key is needed (for example HKLM\\SOFTWARE\\Vendor)");
        return false;
    }
    if (!parse_key_path(args.operands[i], path)) {
        rc = fail(args.operands[i] + ": unknown root key (HKLM, HKCU, HKCR, HKU or HKCC)");
        return false;
    }
    return true;
}

// The value a command names: /v NAME or /ve (the default value).
bool value_option(const Arguments& args, std::string& name, int& rc) {
    if (args.has("v") && args.has("ve")) {
        rc = fail("/v and /ve exclude each other");
        return false;
    }
    name = args.get("v");
    return true;
}

LONG read_tree_key(HKEY root, const std::string& subkey, KeyContents& contents) {
    OpenKey k;
    LONG rc = RegOpenKeyExA(root, subkey.c_str(), 0, KEY_READ, &k.key);
    if (rc == ERROR_SUCCESS) rc = platform::registry::read_key(k.key, contents);
    return rc;
}

// Every key of a tree in enumeration order, the tree's top first; `visit`
// returns false to stop. Iterative, so a deep tree needs no deep stack.
template <class Visit>
LONG walk_tree(const KeyPath& top, bool recurse, Visit visit) {
    std::vector<std::string> pending{top.subkey};
    while (!pending.empty()) {
        const std::string subkey = pending.back();
        pending.pop_back();
        KeyContents contents;
        const LONG rc = read_tree_key(top.root, subkey, contents);
        if (rc) return rc;
        visit(subkey, contents);
        if (!recurse) continue;
        for (auto it = contents.subkeys.rbegin(); it != contents.subkeys.rend(); ++it)
            pending.push_back(child_path(subkey, *it));
    }
    return ERROR_SUCCESS;
}

std::string full_name(const KeyPath& top, const std::string& subkey) {
    return subkey.empty() ? top.root_name : top.root_name + "\\" + subkey;
}

void print_value(const Value& v) {
    std::printf("    %s    %s    %s\n", v.name.empty() ? "(Default)" : v.name.c_str(),
                type_name(v.type).c_str(), show_data(v.type, v.data).c_str());
}

// Deletes a key with everything below it, the deepest keys first.
LONG delete_tree(HKEY root, const std::string& subkey) {
    std::vector<std::string> pending{subkey};
    while (!pending.empty()) {
        KeyContents contents;
        LONG rc = read_tree_key(root, pending.back(), contents);
        if (rc == ERROR_FILE_NOT_FOUND && pending.size() > 1) {
            pending.pop_back();  // gone meanwhile
            continue;
        }
        if (rc) return rc;
        if (contents.subkeys.empty()) {
            rc = RegDeleteKeyA(root, pending.back().c_str());
            if (rc) return rc;
            pending.pop_back();
            continue;
        }
        const std::string parent = pending.back();
        for (const std::string& name : contents.subkeys) pending.push_back(child_path(parent, name));
    }
    return ERROR_SUCCESS;
}

bool read_whole_file(const std::string& path, std::string& bytes, int& rc) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        rc = fail(path + ": no such file");
        return false;
    }
    if (static_cast<std::size_t>(st.st_size) > kMaxFileSize) {
        rc = fail(path + ": larger than " + std::to_string(kMaxFileSize >> 20) + " MiB");
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    if (!in.good() && !in.eof()) {
        rc = fail(path + ": cannot be read");
        return false;
    }
    bytes = text.str();
    return true;
}

}  // namespace

int query(const Arguments& args) {
    KeyPath top;
    int rc = 0;
    std::string wanted;
    if (!key_path_operand(args, 0, top, rc) || !value_option(args, wanted, rc)) return rc;
    const bool one_value = args.has("v") || args.has("ve");
    const bool recurse = args.has("s");
    bool found = false;
    const LONG status = walk_tree(top, recurse, [&](const std::string& subkey, const KeyContents& c) {
        std::vector<const Value*> shown;
        for (const Value& v : c.values)
            if (!one_value || platform::registry::fold(v.name) == platform::registry::fold(wanted)) shown.push_back(&v);
        if (one_value && shown.empty()) return;
        found = true;
        std::printf("\n%s\n", full_name(top, subkey).c_str());
        for (const Value* v : shown) print_value(*v);
        if (!recurse && !one_value) {
            if (!c.subkeys.empty()) std::printf("\n");
            for (const std::string& name : c.subkeys)
                std::printf("%s\n", full_name(top, child_path(subkey, name)).c_str());
        }
    });
    if (status) return fail(top.full(), status);
    if (one_value && !found)
        return fail(top.full() + ": " + (wanted.empty() ? "(Default)" : wanted), ERROR_FILE_NOT_FOUND);
    std::printf("\n");
    return 0;
}

int add(const Arguments& args) {
    KeyPath top;
    int rc = 0;
    std::string name;
    if (!key_path_operand(args, 0, top, rc) || !value_option(args, name, rc)) return rc;
    DWORD type = REG_SZ;
    if (args.has("t") && !type_of_name(args.get("t"), type))
        return fail(args.get("t") + ": unknown type (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, "
                                    "REG_DWORD, REG_QWORD, REG_BINARY, REG_NONE)");
    std::string data, error;
    if ((args.has("v") || args.has("ve")) &&
        !data_of_text(type, args.get("d"), args.get("s", "\\0"), data, error))
        return fail(error);
    OpenKey k;
    LONG status = RegCreateKeyExA(top.root, top.subkey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &k.key, nullptr);
    if (status) return fail(top.full(), status);
    if (args.has("v") || args.has("ve")) {
        status = RegSetValueExA(k.key, name.c_str(), 0, type,
                                reinterpret_cast<const BYTE*>(data.data()),
                                static_cast<DWORD>(data.size()));
        if (status) return fail(top.full() + ": " + (name.empty() ? "(Default)" : name), status);
    }
    std::fputs(kDone, stdout);
    return 0;
}

int remove(const Arguments& args) {
    KeyPath top;
    int rc = 0;
    std::string name;
    if (!key_path_operand(args, 0, top, rc) || !value_option(args, name, rc)) return rc;
    if (args.has("v") || args.has("ve") || args.has("va")) {
        OpenKey k;
        LONG status = RegOpenKeyExA(top.root, top.subkey.c_str(), 0, KEY_READ | KEY_SET_VALUE,
                                    &k.key);
        if (status) return fail(top.full(), status);
        std::vector<std::string> names{name};
        if (args.has("va")) {
            KeyContents contents;
            status = platform::registry::read_key(k.key, contents);
            if (status) return fail(top.full(), status);
            names.clear();
            for (const Value& v : contents.values) names.push_back(v.name);
        }
        for (const std::string& n : names) {
            status = RegDeleteValueA(k.key, n.c_str());
            if (status) return fail(top.full() + ": " + (n.empty() ? "(Default)" : n), status);
        }
    } else {
        if (top.subkey.empty()) return fail(top.full() + ": a root key cannot be deleted");
        const LONG status = delete_tree(top.root, top.subkey);
        if (status) return fail(top.full(), status);
    }
    std::fputs(kDone, stdout);
    return 0;
}

int export_file(const Arguments& args) {
    KeyPath top;
    int rc = 0;
    if (!key_path_operand(args, 0, top, rc)) return rc;
    if (args.operands.size() < 2) return fail("export needs a key and a file");
    const std::string& file = args.operands[1];
    struct stat st {};
    if (!args.has("y") && ::stat(file.c_str(), &st) == 0)
        return fail(file + ": exists already (/y overwrites it)");
    std::string text = reg_file_header();
    const LONG status = walk_tree(top, true, [&](const std::string& subkey, const KeyContents& c) {
        text += reg_key_section(full_name(top, subkey), c.values);
    });
    if (status) return fail(top.full(), status);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << utf16le_file(text);
    out.close();
    if (!out) return fail(file + ": cannot be written");
    std::fputs(kDone, stdout);
    return 0;
}

int import_file(const Arguments& args) {
    if (args.operands.empty()) return fail("import needs a file");
    const std::string& file = args.operands[0];
    std::string bytes, error;
    int rc = 0;
    if (!read_whole_file(file, bytes, rc)) return rc;
    std::vector<RegEntry> entries;
    if (!parse_reg_file(bytes, entries, error)) return fail(file + ": " + error);
    OpenKey current;
    std::string current_path;
    for (const RegEntry& e : entries) {
        const std::string where = file + " line " + std::to_string(e.line) + ": ";
        LONG status = ERROR_SUCCESS;
        KeyPath path;
        switch (e.kind) {
            case RegEntry::Kind::Key:
                parse_key_path(e.path, path);
                if (current.key) RegCloseKey(current.key);
                current.key = nullptr;
                current_path = e.path;
                status = RegCreateKeyExA(path.root, path.subkey.c_str(), 0, nullptr, 0,
                                         KEY_ALL_ACCESS, nullptr, &current.key, nullptr);
                break;
            case RegEntry::Kind::DeleteKey:
                parse_key_path(e.path, path);
                status = path.subkey.empty() ? LONG{ERROR_ACCESS_DENIED}
                                             : delete_tree(path.root, path.subkey);
                if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;
                break;
            case RegEntry::Kind::Value:
                status = RegSetValueExA(current.key, e.name.c_str(), 0, e.type,
                                        reinterpret_cast<const BYTE*>(e.data.data()),
                                        static_cast<DWORD>(e.data.size()));
                break;
            case RegEntry::Kind::DeleteValue:
                status = RegDeleteValueA(current.key, e.name.c_str());
                if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;
                break;
        }
        if (status) return fail(where + (e.kind == RegEntry::Kind::Value ||
                                                 e.kind == RegEntry::Kind::DeleteValue
                                             ? current_path + ": " + (e.name.empty() ? "@" : e.name)
                                             : e.path),
                                status);
    }
    std::fputs(kDone, stdout);
    return 0;
}

}  // namespace lmxreg
