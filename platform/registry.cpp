#include "platform/registry.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/errors.h"
#include "platform/handles.h"
#include "platform/internal.h"
#include "platform/registry_names.h"
#include "platform/registry_tables.h"
#include "platform/store.h"

namespace platform {
namespace registry {
namespace {

using store::Part;
using store::Transaction;

constexpr REGSAM kWriteRights =
    KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC | WRITE_OWNER;
constexpr char kDefaultUser[] = ".DEFAULT";

// What a handle remembers of its key between calls, for as long as the
// part's change stamp stays the same: where the enumerations stood and the
// key's counts, so that a loop over a key's values or subkeys (each step
// with RegQueryInfoKeyA, as the registry module does) is not quadratic.
struct Remembered {
    Cursor values, subkeys;
    std::uint64_t info_stamp = 0;
    std::int64_t info_key = 0;
    KeyInfo info;
};

// An open key: the part and the key's row, or HKEY_USERS itself (no part).
struct KeyObject : KernelObject {
    std::shared_ptr<Part> part;
    std::int64_t id = 0;
    REGSAM access = 0;
    std::mutex lock;  // of memory
    Remembered memory;
};

// Where a call starts: a key of a part (perhaps with a path still to walk,
// for HKCR and HKCC), or HKEY_USERS.
struct Location {
    std::shared_ptr<Part> part;
    std::int64_t id = 0;
    const char* below = nullptr;
    REGSAM access = KEY_ALL_ACCESS;
    std::shared_ptr<KeyObject> object;  // an opened handle's, null for a predefined key
};

bool is_machine_top(const Location& at, std::int64_t id) {
    return at.part && at.part->kind() == store::PartKind::Machine && id == kMachineTop;
}

// A handle is identified by its low 32 bits, sign-extended.
HANDLE normalized(HKEY key) {
    const auto low = static_cast<std::int32_t>(reinterpret_cast<std::uintptr_t>(key));
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(low));
}

LONG part_error(const std::shared_ptr<Part>& part) { return part ? ERROR_SUCCESS : GetLastError(); }

LONG locate(HKEY key, Location& at) {
    const HANDLE h = normalized(key);
    if (h == normalized(HKEY_LOCAL_MACHINE) || h == normalized(HKEY_CLASSES_ROOT) ||
        h == normalized(HKEY_CURRENT_CONFIG)) {
        at.part = store::machine_part();
        at.id = kMachineTop;
        if (h == normalized(HKEY_CLASSES_ROOT)) at.below = "SOFTWARE\\Classes";
        if (h == normalized(HKEY_CURRENT_CONFIG))
            at.below = "SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current";
        return part_error(at.part);
    }
    if (h == normalized(HKEY_CURRENT_USER)) {
        at.part = store::current_user_part();
        at.id = kUserTop;
        return part_error(at.part);
    }
    if (h == normalized(HKEY_USERS)) return ERROR_SUCCESS;
    const auto object = std::dynamic_pointer_cast<KeyObject>(handle_lookup(h));
    if (!object) return ERROR_INVALID_HANDLE;
    at.part = object->part;
    at.id = object->id;
    at.access = object->access;
    at.object = object;
    return ERROR_SUCCESS;
}

// The location of a handle that must hold `rights`.
LONG locate_with(HKEY key, REGSAM rights, Location& at) {
    const LONG rc = locate(key, at);
    if (rc) return rc;
    return (at.access & rights) == rights ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

// The transaction's failure, else `code`.
DWORD failure_or(const Transaction& tx, DWORD code) { return tx.error() ? tx.error() : code; }

// Follows `components` from key `from`; ERROR_FILE_NOT_FOUND when one is
// missing. `walked` (optional) receives how many were found, `last` the
// deepest key found.
LONG walk(Transaction& tx, std::int64_t from, const std::vector<std::string_view>& components,
          KeyRow& last, std::size_t* walked = nullptr) {
    last.id = from;
    std::size_t n = 0;
    for (const std::string_view name : components) {
        KeyRow child;
        if (!find_child(tx, last.id, fold(name), child)) break;
        last = child;
        ++n;
    }
    if (walked) *walked = n;
    if (tx.error()) return tx.error();
    return n == components.size() ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

// The key a location stands for, inside a transaction: ERROR_KEY_DELETED
// for a handle whose key is gone.
LONG resolve(Transaction& tx, const Location& at, KeyRow& row) {
    if (!key_exists(tx, at.id, &row)) return failure_or(tx, ERROR_KEY_DELETED);
    if (at.below == nullptr) return ERROR_SUCCESS;
    std::vector<std::string_view> components;
    split_path(at.below, components);
    return walk(tx, row.id, components, row);
}

// One read transaction on the key of a location, with what the handle
// remembers of it (a predefined key remembers nothing); the memory the work
// leaves is kept for the handle's next call.
LONG read_remembering(const Location& at,
                      store::FunctionRef<DWORD(Transaction&, std::int64_t, Remembered&)> work) {
    Remembered memory;
    if (at.object) {
        std::lock_guard<std::mutex> guard(at.object->lock);
        memory = at.object->memory;
    }
    const LONG rc = store::read(*at.part, [&](Transaction& tx) -> DWORD {
        KeyRow row;
        const LONG found = resolve(tx, at, row);
        return found ? found : work(tx, row.id, memory);
    });
    if (at.object) {
        std::lock_guard<std::mutex> guard(at.object->lock);
        at.object->memory = std::move(memory);
    }
    return rc;
}

// The row of a location for a call that checks the key's existence itself
// (a handle's own row, or the path of HKCR and HKCC walked).
LONG key_id(Transaction& tx, const Location& at, std::int64_t& id) {
    id = at.id;
    if (at.below == nullptr) return ERROR_SUCCESS;
    KeyRow row;
    const LONG found = resolve(tx, at, row);
    id = row.id;
    return found;
}

// The rights a handle gets for `sam`, and whether they ask for more than a
// part that the process may only read allows.
REGSAM granted_rights(REGSAM sam, bool writable, bool& denied) {
    REGSAM rights = sam & ~(KEY_WOW64_64KEY | KEY_WOW64_32KEY | MAXIMUM_ALLOWED);
    if (sam & GENERIC_READ) rights |= KEY_READ;
    if (sam & GENERIC_WRITE) rights |= KEY_WRITE;
    if (sam & GENERIC_EXECUTE) rights |= KEY_EXECUTE;
    if (sam & GENERIC_ALL) rights |= KEY_ALL_ACCESS;
    rights &= KEY_ALL_ACCESS;
    denied = !writable && (rights & kWriteRights);
    if (sam & MAXIMUM_ALLOWED) rights |= writable ? KEY_ALL_ACCESS : KEY_READ;
    return rights;
}

LONG new_handle(std::shared_ptr<Part> part, std::int64_t id, REGSAM sam, PHKEY result) {
    bool denied = false;
    const REGSAM rights = granted_rights(sam, part ? part->writable() : false, denied);
    if (denied) return ERROR_ACCESS_DENIED;
    std::shared_ptr<KeyObject> object;
    if (allocation_error([&] { object = std::make_shared<KeyObject>(); }) != ERROR_SUCCESS)
        return ERROR_NOT_ENOUGH_MEMORY;
    object->part = std::move(part);
    object->id = id;
    object->access = rights;
    const HANDLE h = handle_insert(std::move(object));
    if (h == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    *result = reinterpret_cast<HKEY>(h);
    return ERROR_SUCCESS;
}

// Below HKEY_USERS the first component names the hive: .DEFAULT (in the
// machine part) or a user's SID. Moves `at` to that hive's top and drops
// the component.
LONG enter_user_hive(Location& at, std::vector<std::string_view>& components) {
    const std::string name(components.front());
    if (fold(name) == kDefaultUser) {
        at.part = store::machine_part();
        at.id = kDefaultUserTop;
    } else {
        at.part = store::user_part(name);
        at.id = kUserTop;
        if (!at.part && GetLastError() == ERROR_FILE_NOT_FOUND) return ERROR_FILE_NOT_FOUND;
    }
    components.erase(components.begin());
    at.below = nullptr;
    at.object = nullptr;
    return part_error(at.part);
}

// The hives below HKEY_USERS in enumeration order.
std::vector<std::string> user_hives() {
    std::vector<std::string> names = store::user_part_sids();
    names.emplace_back(kDefaultUser);
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return fold(a) < fold(b); });
    return names;
}

// Copies data into a caller's buffer with the size rules of the query calls.
LONG deliver(const std::string& data, BYTE* buffer, LPDWORD size) {
    if (size == nullptr) return ERROR_SUCCESS;
    const DWORD room = *size;
    *size = static_cast<DWORD>(data.size());
    if (buffer == nullptr) return ERROR_SUCCESS;
    if (data.size() > room) return ERROR_MORE_DATA;
    if (!data.empty()) std::memcpy(buffer, data.data(), data.size());
    return ERROR_SUCCESS;
}

// Copies a name with its terminator; ERROR_MORE_DATA when it does not fit
// in `*room` characters.
LONG deliver_name(const std::string& name, LPSTR buffer, LPDWORD room) {
    if (name.size() >= *room) return ERROR_MORE_DATA;
    std::memcpy(buffer, name.c_str(), name.size() + 1);
    *room = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

void to_filetime(std::int64_t t, FILETIME* out) {
    if (out == nullptr) return;
    out->dwLowDateTime = static_cast<DWORD>(t & 0xFFFFFFFF);
    out->dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(t) >> 32);
}

// Where a value call works, and the value's folded name (NULL is "");
// the handle must hold `rights`.
LONG locate_value(HKEY key, REGSAM rights, LPCSTR name, Location& at, std::string& folded) {
    LONG rc = locate_with(key, rights, at);
    if (rc == ERROR_SUCCESS && name && utf16_length(name) > kMaxValueNameLength)
        rc = ERROR_INVALID_PARAMETER;
    if (rc == ERROR_SUCCESS) folded = fold(name ? name : "");
    return rc;
}

}  // namespace

LSTATUS read_key(HKEY hKey, KeyContents& contents) {
    contents = KeyContents();
    Location at;
    const LONG rc = locate_with(hKey, KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS, at);
    if (rc) return rc;
    if (!at.part) {
        contents.subkeys = user_hives();
        return ERROR_SUCCESS;
    }
    return store::read(*at.part, [&](Transaction& tx) -> DWORD {
        KeyRow row;
        const LONG found = resolve(tx, at, row);
        if (found) return found;
        read_contents(tx, row.id, contents);
        return tx.error();
    });
}

}  // namespace registry
}  // namespace platform

using namespace platform;
using namespace platform::registry;

LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD /*ulOptions*/, REGSAM samDesired,
                      PHKEY phkResult) {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    Location at;
    LONG rc = locate(hKey, at);
    std::vector<std::string_view> components;
    if (rc == ERROR_SUCCESS) rc = split_path(lpSubKey, components);
    if (rc == ERROR_SUCCESS && !at.part && !components.empty())
        rc = enter_user_hive(at, components);
    if (rc) return rc;
    if (!at.part) return new_handle(nullptr, 0, samDesired & ~kWriteRights, phkResult);
    KeyRow row;
    rc = store::read(*at.part, [&](Transaction& tx) -> DWORD {
        const LONG found = resolve(tx, at, row);
        return found ? found : walk(tx, row.id, components, row);
    });
    return rc ? rc : new_handle(at.part, row.id, samDesired, phkResult);
}

LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD /*Reserved*/, LPSTR /*lpClass*/,
                        DWORD dwOptions, REGSAM samDesired,
                        const SECURITY_ATTRIBUTES* /*lpSecurityAttributes*/, PHKEY phkResult,
                        LPDWORD lpdwDisposition) {
    if (phkResult == nullptr || lpSubKey == nullptr ||
        (dwOptions & ~(REG_OPTION_VOLATILE | REG_OPTION_CREATE_LINK | REG_OPTION_BACKUP_RESTORE |
                       REG_OPTION_OPEN_LINK)))
        return ERROR_INVALID_PARAMETER;
    if (dwOptions & REG_OPTION_CREATE_LINK) return ERROR_NOT_SUPPORTED;
    const bool make_volatile = (dwOptions & REG_OPTION_VOLATILE) != 0;
    Location at;
    LONG rc = locate(hKey, at);
    std::vector<std::string_view> components;
    if (rc == ERROR_SUCCESS) rc = split_path(lpSubKey, components);
    if (rc == ERROR_SUCCESS && !at.part && !components.empty()) {
        rc = enter_user_hive(at, components);
        if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_ACCESS_DENIED;  // no new hives
    }
    if (rc) return rc;
    if (!at.part) {
        if (lpdwDisposition) *lpdwDisposition = REG_OPENED_EXISTING_KEY;
        return new_handle(nullptr, 0, samDesired & ~kWriteRights, phkResult);
    }
    // An existing key is opened without changing anything, so that a
    // process that may only read the part can do it too.
    KeyRow row;
    rc = store::read(*at.part, [&](Transaction& tx) -> DWORD {
        const LONG found = resolve(tx, at, row);
        return found ? found : walk(tx, row.id, components, row);
    });
    DWORD disposition = REG_OPENED_EXISTING_KEY;
    if (rc == ERROR_FILE_NOT_FOUND) {
        rc = store::write(*at.part, [&](Transaction& tx) -> DWORD {
            LONG found = resolve(tx, at, row);
            if (found) return found;
            std::size_t walked = 0;
            found = walk(tx, row.id, components, row, &walked);
            if (found != ERROR_FILE_NOT_FOUND) return found;
            if (is_machine_top(at, row.id)) return ERROR_ACCESS_DENIED;
            if (row.is_volatile && !make_volatile) return ERROR_CHILD_MUST_BE_VOLATILE;
            for (std::size_t i = walked; i < components.size(); ++i) {
                row.id = create_child(tx, row.id, components[i], make_volatile);
                if (row.id == 0) return tx.error();
            }
            disposition = REG_CREATED_NEW_KEY;
            return tx.error();
        });
    }
    if (rc == ERROR_SUCCESS) rc = new_handle(at.part, row.id, samDesired, phkResult);
    if (rc == ERROR_SUCCESS && lpdwDisposition) *lpdwDisposition = disposition;
    return rc;
}

LSTATUS RegCloseKey(HKEY hKey) {
    const HANDLE h = normalized(hKey);
    if (h >= normalized(HKEY_CLASSES_ROOT) && h <= normalized(HKEY_DYN_DATA)) return ERROR_SUCCESS;
    if (!std::dynamic_pointer_cast<KeyObject>(handle_lookup(h))) return ERROR_INVALID_HANDLE;
    return handle_remove(h) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LSTATUS RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
    Location at;
    LONG rc = locate(hKey, at);
    std::vector<std::string_view> components;
    if (rc == ERROR_SUCCESS) rc = split_path(lpSubKey, components);
    if (rc == ERROR_SUCCESS && !at.part) {
        if (components.size() < 2) return ERROR_ACCESS_DENIED;  // HKU or a hive itself
        rc = enter_user_hive(at, components);
    }
    if (rc) return rc;
    // A missing key is reported as missing, also to a process that may not
    // change the part.
    const auto target = [&](Transaction& tx, KeyRow& row) -> DWORD {
        const LONG found = resolve(tx, at, row);
        return found ? found : walk(tx, row.id, components, row);
    };
    KeyRow row;
    rc = store::read(*at.part, [&](Transaction& tx) -> DWORD { return target(tx, row); });
    if (rc) return rc;
    return store::write(*at.part, [&](Transaction& tx) -> DWORD {
        const LONG found = target(tx, row);
        if (found) return found;
        if (row.id == kMachineTop || (at.part->kind() == store::PartKind::Machine &&
                                      row.id == kDefaultUserTop))
            return ERROR_ACCESS_DENIED;
        if (has_subkeys(tx, row.id)) return ERROR_ACCESS_DENIED;
        delete_key(tx, row.id);
        return tx.error();
    });
}

LSTATUS RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    Location at;
    std::string folded;
    const LONG rc = locate_value(hKey, KEY_SET_VALUE, lpValueName, at, folded);
    if (rc) return rc;
    if (!at.part) return ERROR_FILE_NOT_FOUND;
    return store::write(*at.part, [&](Transaction& tx) -> DWORD {
        KeyRow row;
        const LONG found = resolve(tx, at, row);
        if (found) return found;
        if (!delete_value(tx, row.id, folded)) return failure_or(tx, ERROR_FILE_NOT_FOUND);
        touch_key(tx, row.id);
        return tx.error();
    });
}

LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                         BYTE* lpData, LPDWORD lpcbData) {
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr))
        return ERROR_INVALID_PARAMETER;
    Location at;
    std::string folded;
    LONG rc = locate_value(hKey, KEY_QUERY_VALUE, lpValueName, at, folded);
    if (rc) return rc;
    if (!at.part) return ERROR_FILE_NOT_FOUND;
    DWORD type = REG_NONE;
    std::string data;
    rc = store::read(*at.part, [&](Transaction& tx) -> DWORD {
        std::int64_t id = 0;
        const LONG found = key_id(tx, at, id);
        if (found) return found;
        switch (get_value(tx, id, folded, type, data)) {
            case Lookup::Found: return ERROR_SUCCESS;
            case Lookup::Missing: return ERROR_FILE_NOT_FOUND;
            case Lookup::KeyGone: break;
        }
        return failure_or(tx, ERROR_KEY_DELETED);
    });
    if (rc) return rc;
    if (lpType) *lpType = type;
    return deliver(data, lpData, lpcbData);
}

LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD /*Reserved*/, DWORD dwType,
                       const BYTE* lpData, DWORD cbData) {
    if ((lpData == nullptr && cbData != 0) || cbData > kMaxValueSize)
        return ERROR_INVALID_PARAMETER;
    Location at;
    std::string folded;
    const LONG rc = locate_value(hKey, KEY_SET_VALUE, lpValueName, at, folded);
    if (rc) return rc;
    if (!at.part || is_machine_top(at, at.below ? 0 : at.id)) return ERROR_ACCESS_DENIED;
    const std::string_view name = lpValueName ? lpValueName : "";
    return store::write(*at.part, [&](Transaction& tx) -> DWORD {
        std::int64_t id = 0;
        const LONG found = key_id(tx, at, id);
        if (found) return found;
        if (!touch_key(tx, id)) return failure_or(tx, ERROR_KEY_DELETED);
        set_value(tx, id, name, dwType, lpData, cbData);
        return tx.error();
    });
}

LSTATUS RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                      LPDWORD lpReserved, LPDWORD lpType, BYTE* lpData, LPDWORD lpcbData) {
    if (lpValueName == nullptr || lpcchValueName == nullptr || lpReserved != nullptr ||
        (lpData != nullptr && lpcbData == nullptr))
        return ERROR_INVALID_PARAMETER;
    Location at;
    LONG rc = locate_with(hKey, KEY_QUERY_VALUE, at);
    if (rc) return rc;
    if (!at.part) return ERROR_NO_MORE_ITEMS;
    Value value;
    const auto step = [&](Transaction& tx, std::int64_t id, Remembered& memory) -> DWORD {
        return value_at(tx, id, dwIndex, value, memory.values)
                   ? ERROR_SUCCESS
                   : failure_or(tx, ERROR_NO_MORE_ITEMS);
    };
    rc = read_remembering(at, step);
    if (rc == ERROR_SUCCESS) rc = deliver_name(value.name, lpValueName, lpcchValueName);
    if (rc) return rc;
    if (lpType) *lpType = value.type;
    return deliver(value.data, lpData, lpcbData);
}

LSTATUS RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                      LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass,
                      FILETIME* lpftLastWriteTime) {
    if (lpName == nullptr || lpcchName == nullptr || lpReserved != nullptr)
        return ERROR_INVALID_PARAMETER;
    Location at;
    LONG rc = locate_with(hKey, KEY_ENUMERATE_SUB_KEYS, at);
    if (rc) return rc;
    std::string name;
    std::int64_t written = 0;
    if (!at.part) {
        const std::vector<std::string> hives = user_hives();
        if (dwIndex >= hives.size()) return ERROR_NO_MORE_ITEMS;
        name = hives[dwIndex];
    } else {
        const auto step = [&](Transaction& tx, std::int64_t id, Remembered& memory) -> DWORD {
            return subkey_at(tx, id, dwIndex, name, written, memory.subkeys)
                       ? ERROR_SUCCESS
                       : failure_or(tx, ERROR_NO_MORE_ITEMS);
        };
        rc = read_remembering(at, step);
        if (rc) return rc;
    }
    rc = deliver_name(name, lpName, lpcchName);
    if (rc) return rc;
    if (lpClass && lpcchClass && *lpcchClass > 0) lpClass[0] = '\0';
    if (lpcchClass) *lpcchClass = 0;
    to_filetime(written, lpftLastWriteTime);
    return ERROR_SUCCESS;
}

LSTATUS RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                         LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                         LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen,
                         LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                         FILETIME* lpftLastWriteTime) {
    if (lpReserved != nullptr) return ERROR_INVALID_PARAMETER;
    Location at;
    LONG rc = locate_with(hKey, KEY_QUERY_VALUE, at);
    if (rc) return rc;
    KeyInfo info;
    if (!at.part) {
        for (const std::string& hive : user_hives()) {
            ++info.subkeys;
            info.max_subkey_name = std::max<DWORD>(info.max_subkey_name, hive.size());
        }
    } else {
        const auto count = [&](Transaction& tx, std::int64_t id, Remembered& memory) -> DWORD {
            const std::uint64_t stamp = tx.change_stamp();
            if (memory.info_stamp != stamp || memory.info_key != id) {
                memory.info = key_info(tx, id);
                memory.info_stamp = tx.error() ? 0 : stamp;  // counts cut short are not kept
                memory.info_key = id;
            }
            info = memory.info;
            return tx.error();
        };
        rc = read_remembering(at, count);
        if (rc) return rc;
    }
    if (lpClass && lpcchClass && *lpcchClass > 0) lpClass[0] = '\0';
    if (lpcchClass) *lpcchClass = 0;
    if (lpcSubKeys) *lpcSubKeys = info.subkeys;
    if (lpcbMaxSubKeyLen) *lpcbMaxSubKeyLen = info.max_subkey_name;
    if (lpcbMaxClassLen) *lpcbMaxClassLen = 0;
    if (lpcValues) *lpcValues = info.values;
    if (lpcbMaxValueNameLen) *lpcbMaxValueNameLen = info.max_value_name;
    if (lpcbMaxValueLen) *lpcbMaxValueLen = info.max_value_size;
    if (lpcbSecurityDescriptor) *lpcbSecurityDescriptor = 0;
    to_filetime(info.written, lpftLastWriteTime);
    return ERROR_SUCCESS;
}
