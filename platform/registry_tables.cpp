#include "platform/registry_tables.h"

#include <chrono>

#include "platform/registry_names.h"
#include "platform/security.h"

namespace platform {
namespace registry {
namespace {

using store::Statement;
using store::Transaction;

// Makes the keys of `path` below `top` that are missing; the last one's id.
std::int64_t seed_path(Transaction& tx, std::int64_t top, std::string_view path) {
    std::int64_t id = top;
    while (!path.empty() && id != 0) {
        const std::size_t cut = path.find('\\');
        const std::string_view name = path.substr(0, cut);
        KeyRow row;
        id = find_child(tx, id, fold(name), row) ? row.id : create_child(tx, id, name, false);
        path = cut == std::string_view::npos ? std::string_view() : path.substr(cut + 1);
    }
    return id;
}

void seed_top(Transaction& tx, std::int64_t id, std::string_view name) {
    tx.statement("INSERT INTO reg_keys(id, parent, name, fold, written) VALUES (?1, 0, ?2, ?3, ?4)")
        .bind(1, id)
        .bind(2, name)
        .bind(3, fold(name))
        .bind(4, filetime_now())
        .run();
}

// The keys a new part starts with: the hives' skeletons, the places the
// modules use (installed products, operations at the next restart) and the
// machine's name.
DWORD seed(Transaction& tx) {
    if (tx.kind() == store::PartKind::User) {
        seed_top(tx, kUserTop, "USER");
        seed_path(tx, kUserTop, "Software");
        seed_path(tx, kUserTop, "Environment");
        return tx.error();
    }
    seed_top(tx, kMachineTop, "MACHINE");
    seed_top(tx, kDefaultUserTop, ".DEFAULT");
    seed_path(tx, kDefaultUserTop, "Software");
    seed_path(tx, kMachineTop, "HARDWARE");
    seed_path(tx, kMachineTop, "SOFTWARE\\Classes");
    seed_path(tx, kMachineTop, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall");
    seed_path(tx, kMachineTop, "SYSTEM\\CurrentControlSet\\Control\\Session Manager");
    seed_path(tx, kMachineTop, "SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current");
    const std::int64_t computer =
        seed_path(tx, kMachineTop, "SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName");
    const std::string name = machine_name();
    set_value(tx, computer, "ComputerName", REG_SZ, name.c_str(), name.size() + 1);
    return tx.error();
}

const char kTables[] =
    "CREATE TABLE reg_keys("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  parent INTEGER NOT NULL,"
    "  name TEXT NOT NULL,"
    "  fold TEXT NOT NULL,"
    "  boot TEXT,"
    "  written INTEGER NOT NULL,"
    "  UNIQUE(parent, fold));"
    "CREATE INDEX reg_keys_volatile ON reg_keys(boot) WHERE boot IS NOT NULL;"
    "CREATE TABLE reg_values("
    "  key INTEGER NOT NULL REFERENCES reg_keys(id) ON DELETE CASCADE,"
    "  seq INTEGER NOT NULL,"
    "  name TEXT NOT NULL,"
    "  fold TEXT NOT NULL,"
    "  type INTEGER NOT NULL,"
    "  data BLOB NOT NULL,"
    "  PRIMARY KEY(key, seq),"
    "  UNIQUE(key, fold)) WITHOUT ROWID;";

const store::SchemaStep kSteps[] = {{kTables, seed}};

bool has_stale_volatile_keys(Transaction& tx) {
    Statement q = tx.statement(
        "SELECT 1 FROM reg_keys WHERE boot IS NOT NULL AND boot != ?1 LIMIT 1");
    return q.bind_lasting(1, store::boot_id()).next();
}

// Volatile keys of an earlier boot are gone (with their subkeys, which are
// volatile too, and their values).
DWORD drop_stale_volatile_keys(Transaction& tx) {
    tx.statement("DELETE FROM reg_keys WHERE boot IS NOT NULL AND boot != ?1")
        .bind_lasting(1, store::boot_id())
        .run();
    return tx.error();
}

}  // namespace

const store::Component kStoreComponent = {
    "registry", store::kMachinePart | store::kUserPart, kSteps, 1,
    has_stale_volatile_keys, drop_stale_volatile_keys,
};

std::int64_t filetime_now() {
    using namespace std::chrono;
    const auto since_1970 =
        duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100;
    return since_1970 + 116444736000000000LL;
}

bool key_exists(Transaction& tx, std::int64_t id, KeyRow* row) {
    Statement q = tx.statement(
        "SELECT boot IS NOT NULL FROM reg_keys WHERE id = ?1 AND (boot IS NULL OR boot = ?2)");
    if (!q.bind(1, id).bind_lasting(2, store::boot_id()).next()) return false;
    if (row) *row = KeyRow{id, q.integer(0) != 0};
    return true;
}

bool find_child(Transaction& tx, std::int64_t parent, std::string_view folded, KeyRow& child) {
    Statement q = tx.statement(
        "SELECT id, boot IS NOT NULL FROM reg_keys "
        "WHERE parent = ?1 AND fold = ?2 AND (boot IS NULL OR boot = ?3)");
    if (!q.bind(1, parent).bind(2, folded).bind_lasting(3, store::boot_id()).next()) return false;
    child = KeyRow{q.integer(0), q.integer(1) != 0};
    return true;
}

std::int64_t create_child(Transaction& tx, std::int64_t parent, std::string_view name,
                          bool is_volatile) {
    const std::string folded = fold(name);
    // A volatile key of an earlier boot under that name is gone already.
    tx.statement(
          "DELETE FROM reg_keys WHERE parent = ?1 AND fold = ?2 AND boot IS NOT NULL "
          "AND boot != ?3")
        .bind(1, parent)
        .bind(2, folded)
        .bind_lasting(3, store::boot_id())
        .run();
    Statement insert = tx.statement(
        "INSERT INTO reg_keys(parent, name, fold, boot, written) VALUES (?1, ?2, ?3, ?4, ?5)");
    insert.bind(1, parent).bind(2, name).bind(3, folded).bind(5, filetime_now());
    if (is_volatile)
        insert.bind_lasting(4, store::boot_id());
    else
        insert.bind_null(4);
    return insert.run() ? tx.last_insert_id() : 0;
}

bool has_subkeys(Transaction& tx, std::int64_t id) {
    Statement q = tx.statement(
        "SELECT 1 FROM reg_keys WHERE parent = ?1 AND (boot IS NULL OR boot = ?2) LIMIT 1");
    return q.bind(1, id).bind_lasting(2, store::boot_id()).next();
}

void delete_key(Transaction& tx, std::int64_t id) {
    // Subkeys left from an earlier boot go with it.
    tx.statement("DELETE FROM reg_keys WHERE id = ?1 OR parent = ?1").bind(1, id).run();
}

bool touch_key(Transaction& tx, std::int64_t id) {
    // Kept to the second: a change within the same second as the last one
    // writes nothing more to the key.
    constexpr std::int64_t kSecond = 10000000;
    Statement q = tx.statement(
        "SELECT written FROM reg_keys WHERE id = ?1 AND (boot IS NULL OR boot = ?2)");
    if (!q.bind(1, id).bind_lasting(2, store::boot_id()).next()) return false;
    const std::int64_t now = filetime_now();
    if (now - q.integer(0) < kSecond) return true;
    tx.statement("UPDATE reg_keys SET written = ?2 WHERE id = ?1").bind(1, id).bind(2, now).run();
    return tx.error() == ERROR_SUCCESS;
}

Lookup get_value(Transaction& tx, std::int64_t key, std::string_view folded, DWORD& type,
                 std::string& data) {
    Statement q = tx.statement(
        "SELECT v.type, v.data FROM reg_keys k "
        "LEFT JOIN reg_values v ON v.key = k.id AND v.fold = ?2 "
        "WHERE k.id = ?1 AND (k.boot IS NULL OR k.boot = ?3)");
    if (!q.bind(1, key).bind(2, folded).bind_lasting(3, store::boot_id()).next()) return Lookup::KeyGone;
    if (q.is_null(0)) return Lookup::Missing;
    type = static_cast<DWORD>(q.integer(0));
    data = std::string(q.blob(1));
    return Lookup::Found;
}

void set_value(Transaction& tx, std::int64_t key, std::string_view name, DWORD type,
               const void* data, std::size_t size) {
    tx.statement(
          "INSERT INTO reg_values(key, seq, name, fold, type, data) VALUES (?1, "
          "(SELECT coalesce(max(seq), 0) + 1 FROM reg_values WHERE key = ?1), ?2, ?3, ?4, ?5) "
          "ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, data = excluded.data")
        .bind(1, key)
        .bind(2, name)
        .bind(3, fold(name))
        .bind(4, static_cast<std::int64_t>(type))
        .bind_blob(5, data, size)
        .run();
}

bool delete_value(Transaction& tx, std::int64_t key, std::string_view folded) {
    tx.statement("DELETE FROM reg_values WHERE key = ?1 AND fold = ?2")
        .bind(1, key)
        .bind(2, folded)
        .run();
    return tx.error() == ERROR_SUCCESS && tx.changes() > 0;
}

bool value_at(Transaction& tx, std::int64_t key, DWORD index, Value& value, Cursor& cursor) {
    const std::uint64_t stamp = tx.change_stamp();
    const bool onward = cursor.stamp == stamp && cursor.key == key && index >= cursor.index;
    Statement q = tx.statement(
        "SELECT name, type, data, seq FROM reg_values WHERE key = ?1 AND seq >= ?2 "
        "ORDER BY seq LIMIT 1 OFFSET ?3");
    q.bind(1, key).bind(2, onward ? cursor.seq : 0);
    if (!q.bind(3, static_cast<std::int64_t>(onward ? index - cursor.index : index)).next())
        return false;
    value.name = std::string(q.text(0));
    value.type = static_cast<DWORD>(q.integer(1));
    value.data = std::string(q.blob(2));
    cursor = Cursor{stamp, key, index, q.integer(3), std::string()};
    return true;
}

bool subkey_at(Transaction& tx, std::int64_t key, DWORD index, std::string& name,
               std::int64_t& written, Cursor& cursor) {
    const std::uint64_t stamp = tx.change_stamp();
    const bool onward = cursor.stamp == stamp && cursor.key == key && index >= cursor.index;
    Statement q = tx.statement(
        "SELECT name, written, fold FROM reg_keys WHERE parent = ?1 AND fold >= ?2 "
        "AND (boot IS NULL OR boot = ?3) ORDER BY fold LIMIT 1 OFFSET ?4");
    q.bind(1, key).bind(2, onward ? std::string_view(cursor.fold) : std::string_view(""));
    q.bind_lasting(3, store::boot_id());
    if (!q.bind(4, static_cast<std::int64_t>(onward ? index - cursor.index : index)).next())
        return false;
    name = std::string(q.text(0));
    written = q.integer(1);
    cursor = Cursor{stamp, key, index, 0, std::string(q.text(2))};
    return true;
}

KeyInfo key_info(Transaction& tx, std::int64_t key) {
    KeyInfo info;
    Statement keys = tx.statement(
        "SELECT count(*), coalesce(max(length(CAST(name AS BLOB))), 0) FROM reg_keys "
        "WHERE parent = ?1 AND (boot IS NULL OR boot = ?2)");
    if (keys.bind(1, key).bind_lasting(2, store::boot_id()).next()) {
        info.subkeys = static_cast<DWORD>(keys.integer(0));
        info.max_subkey_name = static_cast<DWORD>(keys.integer(1));
    }
    Statement values = tx.statement(
        "SELECT count(*), coalesce(max(length(CAST(name AS BLOB))), 0), "
        "coalesce(max(length(data)), 0) FROM reg_values WHERE key = ?1");
    if (values.bind(1, key).next()) {
        info.values = static_cast<DWORD>(values.integer(0));
        info.max_value_name = static_cast<DWORD>(values.integer(1));
        info.max_value_size = static_cast<DWORD>(values.integer(2));
    }
    Statement written = tx.statement("SELECT written FROM reg_keys WHERE id = ?1");
    if (written.bind(1, key).next()) info.written = written.integer(0);
    return info;
}

void read_contents(Transaction& tx, std::int64_t key, KeyContents& contents) {
    Statement keys = tx.statement(
        "SELECT name FROM reg_keys WHERE parent = ?1 AND (boot IS NULL OR boot = ?2) "
        "ORDER BY fold");
    keys.bind(1, key).bind_lasting(2, store::boot_id());
    while (keys.next()) contents.subkeys.emplace_back(keys.text(0));
    Statement values =
        tx.statement("SELECT name, type, data FROM reg_values WHERE key = ?1 ORDER BY seq");
    values.bind(1, key);
    while (values.next())
        contents.values.push_back(
            Value{std::string(values.text(0)), static_cast<DWORD>(values.integer(1)),
                  std::string(values.blob(2))});
}

}  // namespace registry
}  // namespace platform
