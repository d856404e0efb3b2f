// The registry calls over the system store: names, orders, sizes, deleted
// keys, access, roots, volatile keys.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/store.h"
#include "store_dir.h"

namespace {

HKEY create(HKEY root, const char* path, DWORD options = 0, DWORD* disposition = nullptr) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExA(root, path, 0, nullptr, options, KEY_ALL_ACCESS, nullptr, &key,
                              disposition),
              ERROR_SUCCESS)
        << path;
    return key;
}

LONG set_string(HKEY key, const char* name, const std::string& text) {
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>(text.size() + 1));
}

// The names that an enumeration call gives for positions 0, 1, ... up to
// ERROR_NO_MORE_ITEMS.
template <class Enumerate>
std::vector<std::string> names_of(Enumerate enumerate) {
    std::vector<std::string> names;
    char name[300];
    for (DWORD i = 0;; ++i) {
        DWORD length = sizeof name;
        const LONG rc = enumerate(i, name, &length);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        EXPECT_EQ(rc, ERROR_SUCCESS);
        if (rc) break;
        names.emplace_back(name, length);
    }
    return names;
}

std::vector<std::string> subkeys(HKEY key) {
    return names_of([key](DWORD i, char* name, DWORD* length) {
        return RegEnumKeyExA(key, i, name, length, nullptr, nullptr, nullptr, nullptr);
    });
}

std::vector<std::string> value_names(HKEY key) {
    return names_of([key](DWORD i, char* name, DWORD* length) {
        return RegEnumValueA(key, i, name, length, nullptr, nullptr, nullptr, nullptr);
    });
}

// Runs SQL on a part file from outside, as another program would.
void outside_sql(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    char* error = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK)
        << (error ? error : "");
    sqlite3_free(error);
    sqlite3_close(db);
}

}  // namespace

TEST(Registry, NamesAreCaseInsensitiveAndKeepTheirCase) {
    StoreDir store;
    DWORD disposition = 0;
    HKEY app = create(HKEY_CURRENT_USER, "Software\\MyApp\\Ünïcode", 0, &disposition);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    HKEY again = create(HKEY_CURRENT_USER, "SOFTWARE\\myapp\\ÜNÏCODE\\", 0, &disposition);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    ASSERT_EQ(set_string(app, "Path", "C:\\x"), ERROR_SUCCESS);
    ASSERT_EQ(set_string(again, "PATH", "C:\\y"), ERROR_SUCCESS);
    EXPECT_EQ(value_names(app), std::vector<std::string>{"Path"});
    char data[16];
    DWORD size = sizeof data, type = 0;
    EXPECT_EQ(RegQueryValueExA(app, "path", nullptr, &type, reinterpret_cast<BYTE*>(data), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::string(data, size), std::string("C:\\y", 5));
    EXPECT_EQ(type, REG_SZ);

    HKEY software = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "software", 0, KEY_READ, &software), ERROR_SUCCESS);
    EXPECT_EQ(subkeys(software), std::vector<std::string>{"MyApp"});
    HKEY missing = reinterpret_cast<HKEY>(0x1234);
    EXPECT_EQ(RegOpenKeyExA(software, "Nothing\\Here", 0, KEY_READ, &missing), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(missing, reinterpret_cast<HKEY>(0x1234));
    for (HKEY k : {app, again, software}) EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
}

TEST(Registry, SubkeysInNameOrderValuesInTheOrderFirstSet) {
    StoreDir store;
    HKEY key = create(HKEY_CURRENT_USER, "Software\\Order");
    for (const char* name : {"b", "A", "c", "_", "B2"}) RegCloseKey(create(key, name));
    EXPECT_EQ(subkeys(key), (std::vector<std::string>{"A", "b", "B2", "c", "_"}));
    for (const char* name : {"zeta", "alpha", "", "mid"}) ASSERT_EQ(set_string(key, name, name), 0);
    ASSERT_EQ(set_string(key, "ZETA", "again"), ERROR_SUCCESS);
    EXPECT_EQ(value_names(key), (std::vector<std::string>{"zeta", "alpha", "", "mid"}));
    ASSERT_EQ(RegDeleteValueA(key, "alpha"), ERROR_SUCCESS);
    ASSERT_EQ(set_string(key, "alpha", "back"), ERROR_SUCCESS);
    EXPECT_EQ(value_names(key), (std::vector<std::string>{"zeta", "", "mid", "alpha"}));
    // The default value is the one named "", also through NULL.
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, nullptr, nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 1u);
    EXPECT_EQ(RegDeleteValueA(key, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(key, "", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteValueA(key, "none"), ERROR_FILE_NOT_FOUND);

    DWORD count = 0, values = 0, max_key = 0, max_name = 0, max_data = 0;
    ASSERT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &count, &max_key, nullptr, &values,
                               &max_name, &max_data, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(max_key, 2u);
    EXPECT_EQ(values, 3u);
    EXPECT_EQ(max_name, 5u);
    EXPECT_EQ(max_data, 6u);  // "again" and its terminator
    char name[8];
    DWORD length = 2;  // "zeta" needs 5 with its terminator
    EXPECT_EQ(RegEnumValueA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);
    length = 1;
    EXPECT_EQ(RegEnumKeyExA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);
    RegCloseKey(key);
}

TEST(Registry, EnumerationFollowsChangesBetweenSteps) {
    StoreDir store;
    HKEY key = create(HKEY_CURRENT_USER, "Software\\Steps");
    HKEY other = create(HKEY_CURRENT_USER, "Software\\Steps");
    for (const char* name : {"a", "b", "c", "d"}) ASSERT_EQ(set_string(key, name, name), 0);
    for (const char* name : {"k1", "k2", "k3"}) RegCloseKey(create(key, name));
    const auto value = [&](DWORD i) {
        char name[8];
        DWORD length = sizeof name;
        return RegEnumValueA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) == 0
                   ? std::string(name, length)
                   : std::string("-");
    };
    const auto subkey = [&](DWORD i) {
        char name[8];
        DWORD length = sizeof name;
        return RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) == 0
                   ? std::string(name, length)
                   : std::string("-");
    };
    const auto values = [&] {
        DWORD n = 0;
        RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &n, nullptr,
                         nullptr, nullptr, nullptr);
        return n;
    };
    EXPECT_EQ(value(0) + value(1) + value(1), "abb");
    EXPECT_EQ(values(), 4u);
    ASSERT_EQ(RegDeleteValueA(other, "a"), ERROR_SUCCESS);  // through another handle
    EXPECT_EQ(value(1), "c");
    EXPECT_EQ(values(), 3u);
    EXPECT_EQ(subkey(0) + subkey(1), "k1k2");
    outside_sql(store.path + "/users/" + platform::store::current_user_sid() + ".db",
                "DELETE FROM reg_keys WHERE name = 'k1'");  // by another connection
    EXPECT_EQ(subkey(1), "k3");
    EXPECT_EQ(value(2) + value(3), "d-");
    RegCloseKey(key);
    RegCloseKey(other);
}

TEST(Registry, SizeQueryAndShortBuffers) {
    StoreDir store;
    HKEY key = create(HKEY_CURRENT_USER, "Software\\Sizes");
    const BYTE blob[] = {1, 0, 2, 0, 3};
    ASSERT_EQ(RegSetValueExA(key, "bin", 0, REG_BINARY, blob, sizeof blob), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "empty", 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
    DWORD type = 0, size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "bin", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(size, 5u);
    BYTE buffer[8] = {};
    size = 4;
    EXPECT_EQ(RegQueryValueExA(key, "bin", nullptr, nullptr, buffer, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(RegQueryValueExA(key, "bin", nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 5), std::string("\1\0\2\0\3", 5));
    size = sizeof buffer;
    EXPECT_EQ(RegQueryValueExA(key, "empty", nullptr, &type, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(RegQueryValueExA(key, "bin", nullptr, nullptr, buffer, nullptr),
              ERROR_INVALID_PARAMETER);

    char name[8];
    DWORD length = sizeof name;
    size = 2;
    EXPECT_EQ(RegEnumValueA(key, 0, name, &length, nullptr, &type, buffer, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 5u);
    length = sizeof name;
    EXPECT_EQ(RegEnumValueA(key, 2, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    RegCloseKey(key);
}

TEST(Registry, DeletingKeys) {
    StoreDir store;
    HKEY parent = create(HKEY_CURRENT_USER, "Software\\Del\\Child");
    RegCloseKey(parent);
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Del", 0, KEY_ALL_ACCESS, &parent), 0);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Del"), ERROR_ACCESS_DENIED);
    HKEY child = nullptr, other = nullptr;
    ASSERT_EQ(RegOpenKeyExA(parent, "child", 0, KEY_ALL_ACCESS, &child), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExA(parent, "Child", 0, KEY_ALL_ACCESS, &other), ERROR_SUCCESS);
    ASSERT_EQ(set_string(child, "v", "x"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(parent, "Child"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(parent, "Child"), ERROR_FILE_NOT_FOUND);
    // Every handle of the deleted key says so, whoever deleted it.
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(other, "v", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
    EXPECT_EQ(set_string(other, "v", "y"), ERROR_KEY_DELETED);
    HKEY sub = nullptr;
    EXPECT_EQ(RegOpenKeyExA(other, "", 0, KEY_READ, &sub), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCreateKeyExA(other, "new", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr),
              ERROR_KEY_DELETED);
    char name[8];
    DWORD length = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(other, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_KEY_DELETED);
    EXPECT_EQ(RegQueryInfoKeyA(other, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr),
              ERROR_KEY_DELETED);
    // A new key of that name is another key.
    RegCloseKey(create(parent, "child"));
    EXPECT_EQ(RegQueryValueExA(child, "v", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(child), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(other), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(other), ERROR_INVALID_HANDLE);
    // Deleting a key through its own handle, and the roots.
    ASSERT_EQ(RegOpenKeyExA(parent, "child", 0, KEY_ALL_ACCESS, &child), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(child, ""), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(child), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, ""), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, ""), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(HKEY_USERS, ".DEFAULT"), ERROR_ACCESS_DENIED);
    RegCloseKey(parent);
}

TEST(Registry, HandlesHaveTheRightsTheyWereOpenedWith) {
    StoreDir store;
    RegCloseKey(create(HKEY_CURRENT_USER, "Software\\Rights\\Sub"));
    HKEY reader = nullptr, writer = nullptr, generic = nullptr, viewed = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Rights", 0, KEY_READ, &reader), 0);
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Rights", 0, KEY_SET_VALUE, &writer), 0);
    EXPECT_EQ(set_string(reader, "v", "x"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueA(reader, "v"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(set_string(writer, "v", "x"), ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(writer, "v", nullptr, nullptr, nullptr, &size), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegQueryValueExA(reader, "v", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    char name[8];
    DWORD length = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(writer, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_ACCESS_DENIED);
    // Creating subkeys is checked against the part, not the handle.
    HKEY sub = nullptr;
    EXPECT_EQ(RegCreateKeyExA(reader, "Made", 0, nullptr, 0, KEY_READ, nullptr, &sub, nullptr), 0);
    RegCloseKey(sub);
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Rights", 0, GENERIC_WRITE, &generic), 0);
    EXPECT_EQ(set_string(generic, "g", "x"), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Rights", 0,
                            KEY_READ | KEY_WOW64_32KEY | KEY_WOW64_64KEY, &viewed),
              ERROR_SUCCESS);
    EXPECT_EQ(subkeys(viewed), (std::vector<std::string>{"Made", "Sub"}));
    for (HKEY k : {reader, writer, generic, viewed}) RegCloseKey(k);
}

TEST(Registry, NameRulesAndLimits) {
    StoreDir store;
    HKEY key = create(HKEY_CURRENT_USER, "Software\\Limits");
    HKEY sub = nullptr;
    const std::string longest(255, 'k');
    EXPECT_EQ(RegCreateKeyExA(key, longest.c_str(), 0, nullptr, 0, KEY_READ, nullptr, &sub, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(sub);
    const std::string too_long = longest + "k";
    EXPECT_EQ(RegCreateKeyExA(key, too_long.c_str(), 0, nullptr, 0, KEY_READ, nullptr, &sub,
                              nullptr),
              ERROR_INVALID_PARAMETER);
    const std::string wide_255 = std::string(254, 'k') + "é";  // 255 characters, 256 bytes
    EXPECT_EQ(RegCreateKeyExA(key, wide_255.c_str(), 0, nullptr, 0, KEY_READ, nullptr, &sub,
                              nullptr),
              ERROR_SUCCESS);
    RegCloseKey(sub);
    EXPECT_EQ(RegOpenKeyExA(key, "\\lead", 0, KEY_READ, &sub), ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegOpenKeyExA(key, "a\\\\b", 0, KEY_READ, &sub), ERROR_BAD_PATHNAME);
    const std::string value_name(16384, 'v');
    EXPECT_EQ(set_string(key, value_name.c_str(), "x"), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(set_string(key, value_name.c_str() + 1, "x"), ERROR_SUCCESS);
    std::string huge(platform::registry::kMaxValueSize + 1, 'h');
    EXPECT_EQ(RegSetValueExA(key, "huge", 0, REG_BINARY, reinterpret_cast<const BYTE*>(huge.data()),
                             static_cast<DWORD>(huge.size())),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExA(key, "huge", 0, REG_BINARY, reinterpret_cast<const BYTE*>(huge.data()),
                             static_cast<DWORD>(huge.size() - 1)),
              ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "huge", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, platform::registry::kMaxValueSize);
    EXPECT_EQ(RegSetValueExA(key, "odd", 0, 0x12345678u, reinterpret_cast<const BYTE*>("ab"), 2),
              ERROR_SUCCESS);
    DWORD type = 0;
    EXPECT_EQ(RegQueryValueExA(key, "odd", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, 0x12345678u);
    EXPECT_EQ(RegCreateKeyExA(key, "link", 0, nullptr, REG_OPTION_CREATE_LINK, KEY_READ, nullptr,
                              &sub, nullptr),
              ERROR_NOT_SUPPORTED);
    RegCloseKey(key);
}

TEST(Registry, RootsAndHandleValues) {
    StoreDir store;
    EXPECT_EQ(reinterpret_cast<std::intptr_t>(HKEY_LOCAL_MACHINE), -2147483646);
    // HKLM itself takes no keys or values of its own.
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Mine", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(set_string(HKEY_LOCAL_MACHINE, "v", "x"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(subkeys(HKEY_LOCAL_MACHINE),
              (std::vector<std::string>{"HARDWARE", "SOFTWARE", "SYSTEM"}));
    char name[64];
    DWORD size = sizeof name;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                            "SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName", 0,
                            KEY_READ, &key),
              ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(key, "ComputerName", nullptr, nullptr, reinterpret_cast<BYTE*>(name),
                               &size),
              ERROR_SUCCESS);
    EXPECT_GT(size, 1u);
    RegCloseKey(key);

    // HKCR is HKLM\SOFTWARE\Classes, HKCC the current hardware profile.
    key = create(HKEY_CLASSES_ROOT, ".lmx");
    RegCloseKey(key);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Classes\\.LMX", 0, KEY_READ, &key), 0);
    RegCloseKey(key);
    ASSERT_EQ(set_string(HKEY_CLASSES_ROOT, "", "classes"), ERROR_SUCCESS);
    ASSERT_EQ(set_string(HKEY_CURRENT_CONFIG, "cc", "profile"), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                            "SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current", 0, KEY_READ,
                            &key),
              ERROR_SUCCESS);
    EXPECT_EQ(value_names(key), std::vector<std::string>{"cc"});
    RegCloseKey(key);

    // HKU: .DEFAULT and the current user, whose hive is HKCU.
    const std::string sid = platform::store::current_user_sid();
    EXPECT_EQ(subkeys(HKEY_USERS), (std::vector<std::string>{".DEFAULT", sid}));
    RegCloseKey(create(HKEY_CURRENT_USER, "Software\\Seen"));
    ASSERT_EQ(RegOpenKeyExA(HKEY_USERS, (sid + "\\Software\\Seen").c_str(), 0, KEY_READ, &key), 0);
    RegCloseKey(key);
    ASSERT_EQ(RegOpenKeyExA(HKEY_USERS, ".default\\Software", 0, KEY_READ, &key), 0);
    RegCloseKey(key);
    EXPECT_EQ(RegOpenKeyExA(HKEY_USERS, "S-1-5-21-1-2-3-4", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCreateKeyExA(HKEY_USERS, "NewHive", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_ACCESS_DENIED);

    // Handles: the low 32 bits identify them, sign-extended or not.
    const auto zero_extended = [](HKEY k) {
        return reinterpret_cast<HKEY>(
            static_cast<std::uintptr_t>(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(k))));
    };
    EXPECT_EQ(RegOpenKeyExA(zero_extended(HKEY_LOCAL_MACHINE), "SOFTWARE", 0, KEY_READ, &key), 0);
    const auto value = reinterpret_cast<std::intptr_t>(key);
    EXPECT_EQ(value, static_cast<std::int32_t>(value));
    EXPECT_GT(value, 0);
    EXPECT_EQ(RegCloseKey(zero_extended(key)), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExA(HKEY_PERFORMANCE_DATA, "x", 0, KEY_READ, &key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegOpenKeyExA(reinterpret_cast<HKEY>(0x7654), "x", 0, KEY_READ, &key),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
}

TEST(Registry, VolatileKeysEndWithTheBoot) {
    StoreDir store;
    DWORD disposition = 0;
    HKEY run = create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Run", REG_OPTION_VOLATILE, &disposition);
    HKEY sub = nullptr;
    EXPECT_EQ(RegCreateKeyExA(run, "Stable", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr),
              ERROR_CHILD_MUST_BE_VOLATILE);
    RegCloseKey(create(run, "Inner", REG_OPTION_VOLATILE));
    ASSERT_EQ(set_string(run, "v", "x"), ERROR_SUCCESS);
    RegCloseKey(run);
    // As if the machine had restarted since: the key carries another boot's id.
    outside_sql(store.machine(), "UPDATE reg_keys SET boot = 'earlier-boot' WHERE boot IS NOT NULL");
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Run", 0, KEY_READ, &sub),
              ERROR_FILE_NOT_FOUND);
    HKEY software = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &software), 0);
    EXPECT_EQ(subkeys(software), (std::vector<std::string>{"Classes", "Microsoft"}));
    RegCloseKey(software);
    run = create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Run", 0, &disposition);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    EXPECT_EQ(value_names(run), std::vector<std::string>{});
    RegCloseKey(run);
}
