#include <fcntl.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <map>

#include "platform/errors.h"
#include "platform/store_internal.h"

namespace platform {
namespace store {
namespace {

constexpr int kApplicationId = 0x4C4D5853;  // "LMXS"
constexpr int kFormatVersion = 1;           // the layout of store_components

// Counts the forks this process came out of, so that a connection can tell
// it was inherited without a system call per transaction.
std::atomic<unsigned> forks{0};
[[maybe_unused]] const int fork_counter_installed =
    pthread_atfork(nullptr, nullptr, [] { forks.fetch_add(1); });

// Waits for other writers in short slices up to the busy timeout.
int busy_wait(void*, int count) {
    using Clock = std::chrono::steady_clock;
    thread_local Clock::time_point started;
    if (count == 0) started = Clock::now();
    if (Clock::now() - started > std::chrono::milliseconds(kBusyTimeoutMs)) return 0;
    std::this_thread::sleep_for(std::chrono::microseconds(100 * std::min(count + 1, 20)));
    return 1;
}

bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

bool has_wal_frames(const std::string& path) {
    struct stat st;
    return ::stat((path + "-wal").c_str(), &st) == 0 && st.st_size > 0;
}

std::string parent_dir(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

void configure(sqlite3* db) {
    sqlite3_busy_handler(db, busy_wait, nullptr);
    sqlite3_exec(db, "PRAGMA foreign_keys=ON; PRAGMA synchronous=NORMAL", nullptr, nullptr,
                 nullptr);
    int persist = 1;
    sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
}

// One integer from a query, or the SQLite failure.
int query_int(sqlite3* db, const char* sql, int& value) {
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(stmt);
        if (rc == SQLITE_ROW) {
            value = sqlite3_column_int(stmt, 0);
            rc = SQLITE_OK;
        }
    }
    sqlite3_finalize(stmt);
    return rc;
}

// Runs the steps of `c` from version `from` on; the caller holds a write
// transaction. Records the new version.
DWORD run_steps(Part& part, Connection& conn, const Component& c, size_t from) {
    Transaction tx(part, conn);
    for (size_t v = from; v < c.step_count && tx.error() == 0; ++v) {
        if (c.steps[v].sql && !tx.execute(c.steps[v].sql)) break;
        if (c.steps[v].code) {
            const DWORD rc = c.steps[v].code(tx);
            if (rc) tx.fail(rc, part.path() + ": schema step " + std::to_string(v + 1) + " of " +
                                    c.name + " failed");
        }
    }
    tx.statement(
          "INSERT INTO store_components(name, version) VALUES (?1, ?2) "
          "ON CONFLICT(name) DO UPDATE SET version = excluded.version")
        .bind(1, c.name)
        .bind(2, static_cast<std::int64_t>(c.step_count))
        .run();
    return tx.error();
}

bool applies(const Component& c, PartKind kind) {
    return (c.parts & (kind == PartKind::Machine ? kMachinePart : kUserPart)) != 0;
}

// Makes a new, complete part in `conn.db`: header, component table, every
// component's steps, WAL mode.
DWORD initialize(Part& part, Connection& conn, bool in_memory) {
    char header[160];
    std::snprintf(header, sizeof header,
                  "PRAGMA synchronous=OFF; PRAGMA application_id=%d; PRAGMA user_version=%d; "
                  "PRAGMA journal_mode=%s",
                  kApplicationId, kFormatVersion, in_memory ? "MEMORY" : "WAL");
    int rc = sqlite3_exec(conn.db, header, nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(conn.db,
                          "BEGIN IMMEDIATE; CREATE TABLE store_components(name TEXT PRIMARY KEY, "
                          "version INTEGER NOT NULL)",
                          nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) return sqlite_failure(part.path(), conn.db, rc);
    DWORD result = ERROR_SUCCESS;
    for (const Component* c : part.state().components)
        if (result == ERROR_SUCCESS && applies(*c, part.kind()))
            result = run_steps(part, conn, *c, 0);
    rc = sqlite3_exec(conn.db, result ? "ROLLBACK" : "COMMIT", nullptr, nullptr, nullptr);
    if (result == ERROR_SUCCESS && rc != SQLITE_OK) result = sqlite_failure(part.path(), conn.db, rc);
    return result;
}

// Builds the part under a temporary name and links it into place, under a
// lock on the directory so that two creators do not race. Returns
// ERROR_SUCCESS also when another process made the file meanwhile.
DWORD create_file(Part& part) {
    Part::State& s = part.state();
    const std::string dir = parent_dir(s.path);
    DWORD rc = make_dirs(dir, s.dir_mode, s.owner);
    if (rc) return record_failure(rc, dir + ": cannot create the store directory");
    const int dir_fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0) return record_failure(error_from_errno(errno), dir + ": cannot open");
    ::flock(dir_fd, LOCK_EX);
    std::string temp = s.path + ".new-XXXXXX";
    const bool made_meanwhile = exists(s.path);
    const int fd = made_meanwhile ? -1 : ::mkstemp(&temp[0]);
    const int mkstemp_errno = errno;
    if (made_meanwhile) {
        rc = ERROR_SUCCESS;
    } else if (fd < 0) {
        rc = record_failure(error_from_errno(mkstemp_errno), s.path + ": cannot create");
    } else {
        ::fchmod(fd, s.file_mode);
        if (s.owner != static_cast<uid_t>(-1)) {
            struct passwd* pw = ::getpwuid(s.owner);
            if (::fchown(fd, s.owner, pw ? pw->pw_gid : static_cast<gid_t>(-1)) != 0)
                rc = record_failure(error_from_errno(errno), s.path + ": cannot give it its owner");
        }
        ::close(fd);
        // A -wal file left by a part that someone deleted must not be read
        // into the new one.
        ::unlink((s.path + "-wal").c_str());
        ::unlink((s.path + "-shm").c_str());
        Connection conn;
        int sqlite_rc = rc ? SQLITE_OK
                           : sqlite3_open_v2(temp.c_str(), &conn.db,
                                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
        if (sqlite_rc != SQLITE_OK) rc = sqlite_failure(s.path, conn.db, sqlite_rc);
        if (rc == ERROR_SUCCESS) rc = initialize(part, conn, false);
        close_connection(conn);
        // Built without syncing each step: the whole file reaches the disk
        // once, before it takes the part's name.
        const int built = rc ? -1 : ::open(temp.c_str(), O_RDONLY | O_CLOEXEC);
        if (built >= 0) {
            if (::fsync(built) != 0) rc = record_failure(error_from_errno(errno), s.path + ": cannot sync");
            ::close(built);
        }
        if (rc == ERROR_SUCCESS && ::link(temp.c_str(), s.path.c_str()) != 0 && errno != EEXIST)
            rc = record_failure(error_from_errno(errno), s.path + ": cannot create");
        ::unlink(temp.c_str());
        ::fsync(dir_fd);
    }
    ::flock(dir_fd, LOCK_UN);
    ::close(dir_fd);
    return rc;
}

// Checks the header and the component versions of an opened part and
// brings older components up to date. Needs a readable connection.
DWORD check_schema(Part& part) {
    Part::State& s = part.state();
    sqlite3* db = s.conn.db;
    int app_id = 0, format = 0;
    int rc = query_int(db, "PRAGMA application_id", app_id);
    if (rc == SQLITE_OK) rc = query_int(db, "PRAGMA user_version", format);
    if (rc != SQLITE_OK) return sqlite_failure(s.path, db, rc);
    if (app_id != kApplicationId)
        return record_failure(ERROR_BADDB, s.path + ": not a system store file");
    if (format > kFormatVersion)
        return record_failure(ERROR_REVISION_MISMATCH,
                              s.path + ": store format " + std::to_string(format) +
                                  " is newer than this program's (" +
                                  std::to_string(kFormatVersion) + ")");
    std::map<std::string, size_t> stored;
    sqlite3_stmt* stmt = nullptr;
    rc = sqlite3_prepare_v2(db, "SELECT name, version FROM store_components", -1, &stmt, nullptr);
    while (rc == SQLITE_OK && (rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        rc = SQLITE_OK;
        const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
        stored[name ? name : ""] = static_cast<size_t>(sqlite3_column_int64(stmt, 1));
    }
    sqlite3_finalize(stmt);
    if (rc != SQLITE_DONE) return sqlite_failure(s.path, db, rc);
    for (const Component* c : s.components) {
        if (!applies(*c, s.kind)) continue;
        const size_t have = stored.count(c->name) ? stored[c->name] : 0;
        if (have > c->step_count)
            return record_failure(ERROR_REVISION_MISMATCH,
                                  s.path + ": " + c->name + " schema version " +
                                      std::to_string(have) + " is newer than this program's (" +
                                      std::to_string(c->step_count) + ")");
        if (have == c->step_count) continue;
        // A component that the part does not have at all (a build that had
        // no such tables made it): the rest of the part stays readable for
        // a process that may not add it; queries of the missing tables fail,
        // and callers answer as for an empty store.
        if (!s.writable && have == 0) continue;
        if (!s.writable)
            return record_failure(ERROR_REVISION_MISMATCH,
                                  s.path + ": " + c->name + " schema version " +
                                      std::to_string(have) + " is older than this program's (" +
                                      std::to_string(c->step_count) +
                                      "); a process that may write the file upgrades it");
        // Upgrade under a write lock, from the version found then (another
        // process may have upgraded it meanwhile).
        DWORD result = run_locked(part, true, [&](Transaction& tx) -> DWORD {
            size_t now = 0;
            Statement q = tx.statement("SELECT version FROM store_components WHERE name = ?1");
            q.bind(1, c->name);
            if (q.next()) now = static_cast<size_t>(q.integer(0));
            if (tx.error() || now >= c->step_count) return tx.error();
            return run_steps(part, s.conn, *c, now);
        });
        if (result) return result;
    }
    for (const Component* c : s.components) {
        if (!applies(*c, s.kind) || !s.writable || !c->needs_maintenance) continue;
        bool needed = false;
        DWORD result = run_locked(part, false, [&](Transaction& tx) -> DWORD {
            needed = c->needs_maintenance(tx);
            return tx.error();
        });
        if (result == ERROR_SUCCESS && needed) result = run_locked(part, true, c->maintain);
        if (result) return result;
    }
    return ERROR_SUCCESS;
}

std::atomic<std::uint32_t> connections{0};

DWORD open_sqlite(Part::State& s, const std::string& name, int flags) {
    s.conn.serial = connections.fetch_add(1) + 1;
    const int rc = sqlite3_open_v2(name.c_str(), &s.conn.db, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        const DWORD code = sqlite_failure(s.path, s.conn.db, rc);
        close_connection(s.conn);
        return code;
    }
    configure(s.conn.db);
    return ERROR_SUCCESS;
}

// Opens the part for this process: the file, a read-only view of it, or a
// seeded copy in memory when there is no file and none may be made.
DWORD connect(Part& part) {
    Part::State& s = part.state();
    s.generation = fork_generation();
    s.mode = Mode::File;
    if (!exists(s.path)) {
        const DWORD rc = create_file(part);
        if (rc == ERROR_ACCESS_DENIED || rc == ERROR_WRITE_PROTECT || rc == ERROR_PATH_NOT_FOUND) {
            s.mode = Mode::Seeded;
            s.writable = false;
            DWORD result = open_sqlite(s, ":memory:", SQLITE_OPEN_READWRITE);
            if (result == ERROR_SUCCESS) result = initialize(part, s.conn, true);
            if (result == ERROR_SUCCESS) {
                sqlite3_exec(s.conn.db, "PRAGMA query_only=1", nullptr, nullptr, nullptr);
                failure.clear();
            }
            return result;
        }
        if (rc) return rc;
    }
    DWORD rc = open_sqlite(s, s.path, SQLITE_OPEN_READWRITE);
    if (rc) return rc;
    s.writable = !sqlite3_db_readonly(s.conn.db, "main");
    int app_id = 0;
    const int probe = query_int(s.conn.db, "PRAGMA application_id", app_id);
    if (probe != SQLITE_OK && !s.writable && !has_wal_frames(s.path)) {
        // Reading a WAL file needs its -shm file, which this process may not
        // create; without a -wal file the database file holds everything.
        close_connection(s.conn);
        std::string uri = "file:";
        for (const char c : s.path) {
            if (c == '%' || c == '?' || c == '#') {
                char escaped[4];
                std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(c));
                uri += escaped;
            } else {
                uri += c;
            }
        }
        uri += "?immutable=1";
        rc = open_sqlite(s, uri, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI);
        if (rc) return rc;
        s.mode = Mode::Immutable;
    } else if (probe != SQLITE_OK) {
        rc = sqlite_failure(s.path, s.conn.db, probe);
        close_connection(s.conn);
        return rc;
    }
    if (!s.writable) sqlite3_exec(s.conn.db, "PRAGMA query_only=1", nullptr, nullptr, nullptr);
    rc = check_schema(part);
    if (rc) close_connection(s.conn);
    return rc;
}

}  // namespace

unsigned fork_generation() { return forks.load(); }

void close_connection(Connection& conn) {
    for (auto& entry : conn.statements) sqlite3_finalize(entry.second->stmt);
    conn.statements.clear();
    if (conn.db) sqlite3_close_v2(conn.db);
    conn.db = nullptr;
}

// A connection inherited across fork() belongs to the parent: it is left
// alone (never closed, which could touch the parent's locks or files) and
// kept reachable.
void abandon_connection(Connection& conn) {
    static std::vector<Connection>* abandoned = new std::vector<Connection>;
    abandoned->push_back(std::move(conn));
    conn = Connection();
}

// mkdir -p with `mode` for every directory it makes (chmod'ed, whatever the
// umask), each given to `owner` when that is set.
DWORD make_dirs(const std::string& dir, mode_t mode, uid_t owner) {
    if (exists(dir)) return ERROR_SUCCESS;
    const std::string up = parent_dir(dir);
    if (up != dir) {
        const DWORD rc = make_dirs(up, mode, owner);
        if (rc) return rc;
    }
    if (::mkdir(dir.c_str(), mode) != 0) return errno == EEXIST ? 0 : error_from_errno(errno);
    ::chmod(dir.c_str(), mode);
    if (owner != static_cast<uid_t>(-1)) {
        struct passwd* pw = ::getpwuid(owner);
        if (::chown(dir.c_str(), owner, pw ? pw->pw_gid : static_cast<gid_t>(-1)) != 0)
            return error_from_errno(errno);
    }
    return ERROR_SUCCESS;
}

// Makes sure `s` has a connection that this process may use.
DWORD ensure_connected(Part& part) {
    Part::State& s = part.state();
    if (s.conn.db && s.generation != fork_generation()) abandon_connection(s.conn);
    if (s.conn.db && ((s.mode == Mode::Seeded && exists(s.path)) ||
                      (s.mode == Mode::Immutable && has_wal_frames(s.path))))
        close_connection(s.conn);
    return s.conn.db ? ERROR_SUCCESS : connect(part);
}

}  // namespace store
}  // namespace platform
