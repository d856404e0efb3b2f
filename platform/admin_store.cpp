// The administration tables of the machine part of the system store, and
// the operations scheduled for the next start in its registry.
#include "platform/admin_store.h"

#include <cstdint>

#include "platform/errors.h"
#include "platform/registry_names.h"
#include "platform/registry_tables.h"
#include "platform/security.h"

namespace platform::store {
namespace {

const char kTables[] =
    "CREATE TABLE acct_next_rid(rid INTEGER NOT NULL);"
    "CREATE TABLE acct_users("
    "  rid INTEGER PRIMARY KEY,"
    "  name TEXT NOT NULL UNIQUE COLLATE NOCASE,"
    "  comment TEXT NOT NULL,"
    "  password_hash TEXT NOT NULL,"
    "  privilege INTEGER NOT NULL,"
    "  flags INTEGER NOT NULL);"
    "CREATE TABLE acct_groups("
    "  rid INTEGER PRIMARY KEY,"
    "  kind TEXT NOT NULL CHECK(kind IN ('global', 'local')),"
    "  name TEXT NOT NULL UNIQUE COLLATE NOCASE,"
    "  comment TEXT NOT NULL);"
    "CREATE TABLE acct_members("
    "  group_sid TEXT NOT NULL,"
    "  member_sid TEXT NOT NULL,"
    "  UNIQUE(group_sid, member_sid));"
    "CREATE INDEX acct_members_member ON acct_members(member_sid);"
    "CREATE TABLE acct_rights("
    "  sid TEXT NOT NULL,"
    "  name TEXT NOT NULL,"
    "  UNIQUE(sid, name));"
    "CREATE TABLE shares("
    "  name TEXT PRIMARY KEY COLLATE NOCASE,"
    "  path TEXT NOT NULL,"
    "  remark TEXT NOT NULL,"
    "  password TEXT NOT NULL,"
    "  permissions INTEGER NOT NULL,"
    "  max_uses INTEGER NOT NULL,"
    "  sd BLOB);"
    "CREATE TABLE drives("
    "  letter TEXT PRIMARY KEY CHECK(length(letter) = 1 AND letter BETWEEN 'A' AND 'Z'),"
    "  root TEXT NOT NULL);";

// Relative ids start where the host's end.
DWORD seed(Transaction& tx) {
    tx.statement("INSERT INTO acct_next_rid(rid) VALUES (?1)").bind(1, kFirstStoreRid).run();
    return tx.error();
}

const SchemaStep kSteps[] = {{kTables, seed}};

constexpr char kPendingKey[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr char kPendingValue[] = "PendingFileRenameOperations";

// Work on the machine part, read or written; its failure code when the
// part cannot be opened.
DWORD on_machine_part(bool writing, FunctionRef<DWORD(Transaction&)> work) {
    std::shared_ptr<Part> part = machine_part();
    if (!part) {
        const DWORD code = GetLastError();
        return code ? code : ERROR_BADDB;
    }
    return writing ? write(*part, work) : read(*part, work);
}

DWORD query(FunctionRef<DWORD(Transaction&)> work) { return on_machine_part(false, work); }
DWORD change(FunctionRef<DWORD(Transaction&)> work) { return on_machine_part(true, work); }

bool name_in_use(Transaction& tx, const std::string& name) {
    Statement q = tx.statement(
        "SELECT 1 FROM acct_users WHERE name = ?1 "
        "UNION ALL SELECT 1 FROM acct_groups WHERE name = ?1");
    return q.bind(1, name).next();
}

// The next relative id of the one sequence of users and groups.
DWORD take_rid(Transaction& tx, DWORD& rid) {
    Statement q = tx.statement("UPDATE acct_next_rid SET rid = rid + 1 RETURNING rid - 1");
    if (!q.next()) return tx.error() ? tx.error() : tx.fail(ERROR_BADDB, "no relative-id sequence");
    const std::int64_t next = q.integer(0);
    if (next < kFirstStoreRid || next > 0xFFFFFFFFll)
        return tx.fail(ERROR_NO_MORE_ITEMS, "the relative ids are used up");
    rid = static_cast<DWORD>(next);
    return ERROR_SUCCESS;
}

// The result of a change that did nothing: `code` when the latest
// statement changed no row, the statement's failure, or ERROR_SUCCESS.
DWORD unless_unchanged(Transaction& tx, DWORD code) {
    if (tx.error()) return tx.error();
    return tx.changes() == 0 ? code : DWORD{ERROR_SUCCESS};
}

// A new account under a name that no store account has (else `taken`):
// `insert` stores it with the next relative id, which comes back in `rid`.
DWORD add_account(const std::string& name, DWORD taken, DWORD& rid,
                  FunctionRef<void(Transaction&, DWORD)> insert) {
    DWORD given = 0;
    const DWORD status = change([&](Transaction& tx) -> DWORD {
        if (name_in_use(tx, name)) return taken;
        if (DWORD rc = take_rid(tx, given)) return rc;
        insert(tx, given);
        return tx.error();
    });
    if (status == ERROR_SUCCESS) rid = given;
    return status;
}

// Deletes the account that `sql` names by its relative id (?1), with its
// memberships and rights; `missing` when there is none.
DWORD delete_account(const char* sql, DWORD rid, DWORD missing) {
    return change([&](Transaction& tx) -> DWORD {
        tx.statement(sql).bind(1, std::int64_t{rid}).run();
        if (DWORD rc = unless_unchanged(tx, missing)) return rc;
        const std::string sid = sid_string(machine_account_sid(rid));
        tx.statement("DELETE FROM acct_members WHERE group_sid = ?1 OR member_sid = ?1")
            .bind(1, sid)
            .run();
        tx.statement("DELETE FROM acct_rights WHERE sid = ?1").bind(1, sid).run();
        return tx.error();
    });
}

std::vector<User> select_users(const char* sql, FunctionRef<void(Statement&)> bind) {
    std::vector<User> found;
    query([&](Transaction& tx) -> DWORD {
        Statement q = tx.statement(sql);
        bind(q);
        while (q.next())
            found.push_back(User{static_cast<DWORD>(q.integer(0)), std::string(q.text(1)),
                                 std::string(q.text(2)), std::string(q.text(3)),
                                 static_cast<DWORD>(q.integer(4)),
                                 static_cast<DWORD>(q.integer(5))});
        return tx.error();
    });
    return found;
}

bool first_user(std::vector<User> found, User& user) {
    if (found.empty()) return false;
    user = std::move(found.front());
    return true;
}

bool select_group(const char* sql, FunctionRef<void(Statement&)> bind, Group& group) {
    bool found = false;
    query([&](Transaction& tx) -> DWORD {
        Statement q = tx.statement(sql);
        bind(q);
        if (q.next()) {
            group = Group{static_cast<DWORD>(q.integer(0)),
                          q.text(1) == "local" ? GroupKind::local : GroupKind::global,
                          std::string(q.text(2)), std::string(q.text(3))};
            found = true;
        }
        return tx.error();
    });
    return found;
}

std::vector<std::string> select_sids(const char* sql, const std::string& sid) {
    std::vector<std::string> sids;
    query([&](Transaction& tx) -> DWORD {
        Statement q = tx.statement(sql);
        q.bind(1, sid);
        while (q.next()) sids.emplace_back(q.text(0));
        return tx.error();
    });
    return sids;
}

// --- PendingFileRenameOperations ---

// The Session Manager key, made when it is missing and `create` says so;
// 0 when it is missing or cannot be made.
std::int64_t session_manager_key(Transaction& tx, bool create) {
    std::int64_t id = registry::kMachineTop;
    std::string_view path = kPendingKey;
    while (!path.empty() && id != 0) {
        const std::size_t cut = path.find('\\');
        const std::string_view name = path.substr(0, cut);
        registry::KeyRow row;
        if (registry::find_child(tx, id, registry::fold(name), row))
            id = row.id;
        else
            id = create ? registry::create_child(tx, id, name, false) : 0;
        path = cut == std::string_view::npos ? std::string_view() : path.substr(cut + 1);
    }
    return id;
}

// The pairs of a REG_MULTI_SZ list of sources and targets. Empty strings
// are entries here (the target of a deletion), so the list's closing empty
// string is told apart by the count.
std::vector<PendingRename> parse_pending(const std::string& data) {
    std::vector<std::string> strings;
    std::size_t begin = 0;
    while (begin < data.size()) {
        std::size_t end = data.find('\0', begin);
        if (end == std::string::npos) end = data.size();
        strings.push_back(data.substr(begin, end - begin));
        begin = end + 1;
    }
    if (strings.size() % 2 == 1 && strings.back().empty()) strings.pop_back();
    std::vector<PendingRename> pairs;
    for (std::size_t i = 0; i + 1 < strings.size(); i += 2)
        pairs.push_back(PendingRename{strings[i], strings[i + 1]});
    if (strings.size() % 2 == 1 && !strings.back().empty())
        pairs.push_back(PendingRename{strings.back(), std::string()});
    return pairs;
}

std::string format_pending(const std::vector<PendingRename>& pairs) {
    std::string data;
    for (const PendingRename& p : pairs) {
        data.append(p.source).push_back('\0');
        data.append(p.target).push_back('\0');
    }
    data.push_back('\0');
    return data;
}

// The operations as stored, with the key that holds them (0 when the key
// is missing).
std::vector<PendingRename> read_pending(Transaction& tx, std::int64_t key) {
    DWORD type = REG_NONE;
    std::string data;
    if (key == 0 ||
        registry::get_value(tx, key, registry::fold(kPendingValue), type, data) !=
            registry::Lookup::Found ||
        (type != REG_MULTI_SZ && type != REG_SZ && type != REG_EXPAND_SZ))
        return {};
    return parse_pending(data);
}

}  // namespace

const Component kAdminComponent = {"admin", kMachinePart, kSteps, 1, nullptr, nullptr};

// --- Users and groups ---

bool find_user(const std::string& name, User& user) {
    return first_user(select_users("SELECT rid, name, comment, password_hash, privilege, flags "
                                   "FROM acct_users WHERE name = ?1",
                                   [&](Statement& q) { q.bind(1, name); }),
                      user);
}

bool find_user(DWORD rid, User& user) {
    return first_user(select_users("SELECT rid, name, comment, password_hash, privilege, flags "
                                   "FROM acct_users WHERE rid = ?1",
                                   [&](Statement& q) { q.bind(1, std::int64_t{rid}); }),
                      user);
}

std::vector<User> users() {
    return select_users(
        "SELECT rid, name, comment, password_hash, privilege, flags FROM acct_users ORDER BY rid",
        [](Statement&) {});
}

bool find_group(const std::string& name, Group& group) {
    return select_group("SELECT rid, kind, name, comment FROM acct_groups WHERE name = ?1",
                        [&](Statement& q) { q.bind(1, name); }, group);
}

bool find_group(DWORD rid, Group& group) {
    return select_group("SELECT rid, kind, name, comment FROM acct_groups WHERE rid = ?1",
                        [&](Statement& q) { q.bind(1, std::int64_t{rid}); }, group);
}

DWORD add_user(User& user) {
    return add_account(user.name, NERR_UserExists, user.rid, [&](Transaction& tx, DWORD rid) {
        tx.statement(
              "INSERT INTO acct_users(rid, name, comment, password_hash, privilege, flags) "
              "VALUES (?1, ?2, ?3, ?4, ?5, ?6)")
            .bind(1, std::int64_t{rid})
            .bind(2, user.name)
            .bind(3, user.comment)
            .bind(4, user.password_hash)
            .bind(5, std::int64_t{user.privilege})
            .bind(6, std::int64_t{user.flags})
            .run();
    });
}

DWORD delete_user(DWORD rid) {
    return delete_account("DELETE FROM acct_users WHERE rid = ?1", rid, NERR_UserNotFound);
}

DWORD add_group(Group& group) {
    return add_account(group.name, NERR_GroupExists, group.rid, [&](Transaction& tx, DWORD rid) {
        tx.statement("INSERT INTO acct_groups(rid, kind, name, comment) VALUES (?1, ?2, ?3, ?4)")
            .bind(1, std::int64_t{rid})
            .bind_lasting(2, group.kind == GroupKind::local ? "local" : "global")
            .bind(3, group.name)
            .bind(4, group.comment)
            .run();
    });
}

DWORD delete_group(DWORD rid) {
    return delete_account("DELETE FROM acct_groups WHERE rid = ?1", rid, NERR_GroupNotFound);
}

// --- Memberships ---

std::vector<std::string> members(const std::string& group_sid) {
    return select_sids("SELECT member_sid FROM acct_members WHERE group_sid = ?1 ORDER BY rowid",
                       group_sid);
}

std::vector<std::string> groups_with_member(const std::string& member_sid) {
    return select_sids("SELECT group_sid FROM acct_members WHERE member_sid = ?1 ORDER BY rowid",
                       member_sid);
}

DWORD add_member(const std::string& group_sid, const std::string& member_sid) {
    return change([&](Transaction& tx) -> DWORD {
        tx.statement(
              "INSERT INTO acct_members(group_sid, member_sid) VALUES (?1, ?2) "
              "ON CONFLICT DO NOTHING")
            .bind(1, group_sid)
            .bind(2, member_sid)
            .run();
        return unless_unchanged(tx, ERROR_MEMBER_IN_ALIAS);
    });
}

// --- Account rights ---

DWORD add_account_rights(const std::string& sid, const std::vector<std::string>& rights) {
    return change([&](Transaction& tx) -> DWORD {
        for (const std::string& right : rights)
            tx.statement("INSERT INTO acct_rights(sid, name) VALUES (?1, ?2) ON CONFLICT DO NOTHING")
                .bind(1, sid)
                .bind(2, right)
                .run();
        return tx.error();
    });
}

// --- Shares ---

bool find_share(const std::string& name, Share& share) {
    bool found = false;
    query([&](Transaction& tx) -> DWORD {
        Statement q = tx.statement(
            "SELECT name, path, remark, password, permissions, max_uses FROM shares "
            "WHERE name = ?1");
        if (q.bind(1, name).next()) {
            share = Share{std::string(q.text(0)), std::string(q.text(1)), std::string(q.text(2)),
                          std::string(q.text(3)), static_cast<DWORD>(q.integer(4)),
                          static_cast<DWORD>(q.integer(5))};
            found = true;
        }
        return tx.error();
    });
    return found;
}

DWORD add_share(const Share& share) {
    return change([&](Transaction& tx) -> DWORD {
        tx.statement(
              "INSERT INTO shares(name, path, remark, password, permissions, max_uses) "
              "VALUES (?1, ?2, ?3, ?4, ?5, ?6) ON CONFLICT DO NOTHING")
            .bind(1, share.name)
            .bind(2, share.path)
            .bind(3, share.remark)
            .bind(4, share.password)
            .bind(5, std::int64_t{share.permissions})
            .bind(6, std::int64_t{share.max_uses})
            .run();
        return unless_unchanged(tx, NERR_DuplicateShare);
    });
}

DWORD delete_share(const std::string& name) {
    return change([&](Transaction& tx) -> DWORD {
        tx.statement("DELETE FROM shares WHERE name = ?1").bind(1, name).run();
        return unless_unchanged(tx, NERR_NetNameNotFound);
    });
}

bool share_security(const std::string& name, std::string& descriptor) {
    bool found = false;
    query([&](Transaction& tx) -> DWORD {
        Statement q = tx.statement("SELECT sd FROM shares WHERE name = ?1");
        if (q.bind(1, name).next()) {
            descriptor = std::string(q.blob(0));
            found = true;
        }
        return tx.error();
    });
    return found;
}

DWORD set_share_security(const std::string& name, const std::string& descriptor) {
    return change([&](Transaction& tx) -> DWORD {
        Statement update = tx.statement("UPDATE shares SET sd = ?2 WHERE name = ?1");
        update.bind(1, name);
        if (descriptor.empty())
            update.bind_null(2);
        else
            update.bind_blob(2, descriptor.data(), descriptor.size());
        update.run();
        return unless_unchanged(tx, NERR_NetNameNotFound);
    });
}

// --- Drives ---

std::vector<std::pair<char, std::string>> drive_mappings() {
    std::vector<std::pair<char, std::string>> mappings;
    query([&](Transaction& tx) -> DWORD {
        Statement q = tx.statement("SELECT letter, root FROM drives ORDER BY letter");
        while (q.next()) mappings.emplace_back(q.text(0)[0], std::string(q.text(1)));
        return tx.error();
    });
    return mappings;
}

DWORD set_drive_mapping(char letter, const std::string& root) {
    if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
    if (letter < 'A' || letter > 'Z' || letter == 'C') return ERROR_INVALID_PARAMETER;
    const std::string name(1, letter);
    return change([&](Transaction& tx) -> DWORD {
        if (root.empty()) {
            tx.statement("DELETE FROM drives WHERE letter = ?1").bind(1, name).run();
            return unless_unchanged(tx, ERROR_FILE_NOT_FOUND);
        }
        tx.statement(
              "INSERT INTO drives(letter, root) VALUES (?1, ?2) "
              "ON CONFLICT(letter) DO UPDATE SET root = excluded.root")
            .bind(1, name)
            .bind(2, root)
            .run();
        return tx.error();
    });
}

// --- Operations at the next start ---

DWORD append_pending_file_rename(const std::string& source, const std::string& target) {
    return change([&](Transaction& tx) -> DWORD {
        const std::int64_t key = session_manager_key(tx, true);
        if (key == 0) return tx.error() ? tx.error() : tx.fail(ERROR_BADDB);
        std::vector<PendingRename> pairs = read_pending(tx, key);
        pairs.push_back(PendingRename{source, target});
        const std::string data = format_pending(pairs);
        registry::set_value(tx, key, kPendingValue, REG_MULTI_SZ, data.data(), data.size());
        registry::touch_key(tx, key);
        return tx.error();
    });
}

DWORD pending_file_renames(std::vector<PendingRename>& pending) {
    return query([&](Transaction& tx) -> DWORD {
        pending = read_pending(tx, session_manager_key(tx, false));
        return tx.error();
    });
}

DWORD take_pending_file_renames(std::vector<PendingRename>& taken) {
    return change([&](Transaction& tx) -> DWORD {
        const std::int64_t key = session_manager_key(tx, false);
        taken = read_pending(tx, key);
        if (key != 0 && registry::delete_value(tx, key, registry::fold(kPendingValue)))
            registry::touch_key(tx, key);
        return tx.error();
    });
}

}  // namespace platform::store
