// The registry's tables in the system store and the statements on them.
// Every function works inside a transaction of the caller; a failing
// statement is recorded in the transaction (store::Transaction::error).
//
// reg_keys: one row per key (id never reused, so a deleted key's handle
// can tell), its parent's id (0 for the top key of a hive), its name as
// created and folded, the boot id of a volatile key, its last write time.
// reg_values: one row per value, numbered within its key in the order first
// set (seq).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/registry.h"
#include "platform/store.h"

namespace platform {
namespace registry {

extern const store::Component kStoreComponent;

// The top keys of the hives, made first when a part is seeded.
constexpr std::int64_t kMachineTop = 1;      // HKLM, machine part
constexpr std::int64_t kDefaultUserTop = 2;  // HKU\.DEFAULT, machine part
constexpr std::int64_t kUserTop = 1;         // a user's hive, user part

struct KeyRow {
    std::int64_t id = 0;
    bool is_volatile = false;
};

struct KeyInfo {
    DWORD subkeys = 0, max_subkey_name = 0;
    DWORD values = 0, max_value_name = 0, max_value_size = 0;
    std::int64_t written = 0;
};

enum class Lookup { KeyGone, Missing, Found };

// Whether the key exists in this boot.
bool key_exists(store::Transaction& tx, std::int64_t id, KeyRow* row = nullptr);

// The subkey of `parent` with the folded name.
bool find_child(store::Transaction& tx, std::int64_t parent, std::string_view folded, KeyRow& child);

// A new subkey; 0 on failure.
std::int64_t create_child(store::Transaction& tx, std::int64_t parent, std::string_view name,
                          bool is_volatile);

bool has_subkeys(store::Transaction& tx, std::int64_t id);
void delete_key(store::Transaction& tx, std::int64_t id);

// Sets the key's last write time to now; false when the key is gone.
bool touch_key(store::Transaction& tx, std::int64_t id);

Lookup get_value(store::Transaction& tx, std::int64_t key, std::string_view folded, DWORD& type,
                 std::string& data);
void set_value(store::Transaction& tx, std::int64_t key, std::string_view name, DWORD type,
               const void* data, std::size_t size);
// False when there was no such value.
bool delete_value(store::Transaction& tx, std::int64_t key, std::string_view folded);

// Where an enumeration of a key last stood. While the part has not changed
// since (the same change stamp), a later position is found from there
// instead of counting from the first, so that enumerating a key is not
// quadratic in its size.
struct Cursor {
    std::uint64_t stamp = 0;
    std::int64_t key = 0;
    DWORD index = 0;
    std::int64_t seq = 0;  // values
    std::string fold;      // subkeys
};

bool value_at(store::Transaction& tx, std::int64_t key, DWORD index, Value& value,
              Cursor& cursor);
bool subkey_at(store::Transaction& tx, std::int64_t key, DWORD index, std::string& name,
               std::int64_t& written, Cursor& cursor);
KeyInfo key_info(store::Transaction& tx, std::int64_t key);
void read_contents(store::Transaction& tx, std::int64_t key, KeyContents& contents);

// Now as a FILETIME count (100 ns units since 1601).
std::int64_t filetime_now();

}  // namespace registry
}  // namespace platform
