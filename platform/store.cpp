#include "platform/store.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "platform/errors.h"
#include "platform/security.h"

namespace platform {
namespace store {

// The statements of one connection, each prepared once and found by its
// text (the map's keys view the texts that the entries own).
struct CachedStatement {
    std::string sql;
    sqlite3_stmt* stmt = nullptr;
    bool busy = false;
};

struct Connection {
    sqlite3* db = nullptr;
    std::unordered_map<std::string_view, std::unique_ptr<CachedStatement>> statements;
};

// How a part's file is being read.
enum class Mode {
    File,       // the file itself, read and (when the rights allow) written
    Immutable,  // a file this process may only read and whose -wal file is missing
    Seeded,     // no file yet and none can be made: a seeded copy in memory
};

struct Part::State {
    PartKind kind = PartKind::Machine;
    std::string sid;
    std::string path;
    std::vector<const Component*> components;
    uid_t owner = static_cast<uid_t>(-1);  // who a new file belongs to (-1: this process)
    mode_t file_mode = 0644;
    mode_t dir_mode = 0755;

    std::mutex lock;
    std::atomic<std::thread::id> in_transaction{};
    Connection conn;
    unsigned generation = 0;  // fork_generation when connected
    Mode mode = Mode::File;
    bool writable = false;
};

namespace {

constexpr int kApplicationId = 0x4C4D5853;  // "LMXS"
constexpr int kFormatVersion = 1;           // the layout of store_components
constexpr const char* kDefaultMachinePart = "/var/lib/lmxrun/machine.db";

thread_local std::string failure;

// Counts the forks this process came out of, so that a connection can tell
// it was inherited without a system call per transaction.
std::atomic<unsigned> fork_generation{0};
[[maybe_unused]] const int fork_counter_installed =
    pthread_atfork(nullptr, nullptr, [] { fork_generation.fetch_add(1); });

DWORD record_failure(DWORD code, const std::string& text) {
    failure = text;
    return code;
}

// The Windows code for an SQLite result.
DWORD code_of(sqlite3* db, int rc) {
    switch (rc & 0xFF) {
        case SQLITE_OK:
        case SQLITE_ROW:
        case SQLITE_DONE: return ERROR_SUCCESS;
        case SQLITE_BUSY:
        case SQLITE_LOCKED: return ERROR_BUSY;
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_AUTH: return ERROR_ACCESS_DENIED;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB: return ERROR_BADDB;
        case SQLITE_FULL: return ERROR_DISK_FULL;
        case SQLITE_NOMEM: return ERROR_NOT_ENOUGH_MEMORY;
        case SQLITE_TOOBIG: return ERROR_INVALID_PARAMETER;
        case SQLITE_CONSTRAINT: return ERROR_ALREADY_EXISTS;
        case SQLITE_CANTOPEN: {
            const int err = db ? sqlite3_system_errno(db) : 0;
            return err ? error_from_errno(err) : ERROR_IO_DEVICE;
        }
        default: return ERROR_IO_DEVICE;
    }
}

DWORD sqlite_failure(const std::string& path, sqlite3* db, int rc) {
    const char* text = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    return record_failure(code_of(db, rc), path + ": " + text);
}

// Waits for other writers in short slices up to the busy timeout.
int busy_wait(void*, int count) {
    using Clock = std::chrono::steady_clock;
    thread_local Clock::time_point started;
    if (count == 0) started = Clock::now();
    if (Clock::now() - started > std::chrono::milliseconds(kBusyTimeoutMs)) return 0;
    std::this_thread::sleep_for(std::chrono::microseconds(100 * std::min(count + 1, 20)));
    return 1;
}

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

DWORD run_locked(Part& part, bool writing, FunctionRef<DWORD(Transaction&)> work);

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

DWORD open_sqlite(Part::State& s, const std::string& name, int flags) {
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
    s.generation = fork_generation.load();
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

// Makes sure `s` has a connection that this process may use.
DWORD ensure_connected(Part& part) {
    Part::State& s = part.state();
    if (s.conn.db && s.generation != fork_generation.load()) abandon_connection(s.conn);
    if (s.conn.db && ((s.mode == Mode::Seeded && exists(s.path)) ||
                      (s.mode == Mode::Immutable && has_wal_frames(s.path))))
        close_connection(s.conn);
    return s.conn.db ? ERROR_SUCCESS : connect(part);
}

// One transaction on a connected part whose lock the caller holds.
DWORD run_locked(Part& part, bool writing, FunctionRef<DWORD(Transaction&)> work) {
    Part::State& s = part.state();
    if (writing && !s.writable)
        return record_failure(ERROR_ACCESS_DENIED, s.path + ": this process may not change it");
    Transaction tx(part, s.conn);
    if (!tx.statement(writing ? "BEGIN IMMEDIATE" : "BEGIN").run()) return tx.error();
    DWORD result = work(tx);
    if (result == ERROR_SUCCESS) result = tx.error();
    if (result == ERROR_SUCCESS) {
        Transaction end(part, s.conn);
        if (end.statement("COMMIT").run()) return ERROR_SUCCESS;
        result = end.error();
    }
    if (!sqlite3_get_autocommit(s.conn.db)) {
        Transaction end(part, s.conn);
        end.statement("ROLLBACK").run();
    }
    return result;
}

DWORD run_transaction(Part& part, bool writing, FunctionRef<DWORD(Transaction&)> work) {
    Part::State& s = part.state();
    if (s.in_transaction.load() == std::this_thread::get_id())
        return record_failure(ERROR_INVALID_FUNCTION, s.path + ": transactions do not nest");
    std::lock_guard<std::mutex> guard(s.lock);
    s.in_transaction = std::this_thread::get_id();
    struct Leave {
        Part::State& s;
        ~Leave() { s.in_transaction = std::thread::id(); }
    } leave{s};
    failure.clear();
    const DWORD rc = ensure_connected(part);
    return rc ? rc : run_locked(part, writing, work);
}

std::mutex& cache_lock() {
    static std::mutex m;
    return m;
}

std::map<std::string, std::shared_ptr<Part>>& cache() {
    static auto* parts = new std::map<std::string, std::shared_ptr<Part>>;
    return *parts;
}

std::string store_dir() {
    const char* dir = std::getenv("LMX_STORE_DIR");
    return dir && *dir ? std::string(dir) : std::string();
}

// The part at `path` when this process has it open already.
std::shared_ptr<Part> cached_part(const std::string& path) {
    std::lock_guard<std::mutex> guard(cache_lock());
    auto found = cache().find(path);
    return found == cache().end() ? nullptr : found->second;
}

// The part at `path`, from the cache or newly opened.
std::shared_ptr<Part> shared_part(const std::string& path, PartKind kind, const std::string& sid,
                                  uid_t owner, mode_t file_mode, mode_t dir_mode) {
    failure.clear();
    std::lock_guard<std::mutex> guard(cache_lock());
    auto found = cache().find(path);
    if (found != cache().end()) return found->second;
    auto state = std::make_unique<Part::State>();
    state->kind = kind;
    state->sid = sid;
    state->path = path;
    state->components = components();
    state->owner = owner;
    state->file_mode = file_mode;
    state->dir_mode = dir_mode;
    auto part = std::make_shared<Part>(std::move(state));
    const DWORD rc = ensure_connected(*part);
    if (rc) {
        SetLastError(rc);
        return nullptr;
    }
    cache()[path] = part;
    return part;
}

// The users directory of LMX_STORE_DIR exists before any user part: every
// user may add a part there, and only remove their own (1777, as /tmp).
void make_users_dir(const std::string& dir) {
    if (make_dirs(dir, 0755, static_cast<uid_t>(-1)) == ERROR_SUCCESS &&
        ::mkdir((dir + "/users").c_str(), 01777) == 0)
        ::chmod((dir + "/users").c_str(), 01777);
}

// Parses a SID in its text form into `sid`.
bool parse_sid(const std::string& text, SID& sid) {
    if (text.size() < 4 || (text[0] != 'S' && text[0] != 's') || text.compare(1, 3, "-1-") != 0)
        return false;
    sid = SID{};
    sid.Revision = SID_REVISION;
    const char* p = text.c_str() + 4;
    bool authority = true;
    while (true) {
        if (*p < '0' || *p > '9') return false;
        char* end = nullptr;
        errno = 0;
        const unsigned long long v = std::strtoull(p, &end, 10);
        if (errno || v > 0xFFFFFFFFull) return false;
        if (authority) {
            for (int i = 0; i < 4; ++i) sid.IdentifierAuthority.Value[5 - i] = (v >> (8 * i)) & 0xFF;
            authority = false;
        } else {
            if (sid.SubAuthorityCount == SID_MAX_SUB_AUTHORITIES) return false;
            sid.SubAuthority[sid.SubAuthorityCount++] = static_cast<DWORD>(v);
        }
        if (*end == '\0') return true;
        if (*end != '-') return false;
        p = end + 1;
    }
}

std::string sid_text(const SID& sid) {
    char* text = nullptr;
    SID copy = sid;
    if (!ConvertSidToStringSidA(&copy, &text)) return std::string();
    std::string result = text;
    LocalFree(text);
    return result;
}

// The host uid and the canonical text of a user's SID, remembered for each
// text (the machine SID they depend on does not change).
bool user_of_sid(const std::string& text, DWORD& uid, std::string& canonical) {
    struct User {
        bool known;
        DWORD uid;
        std::string canonical;
    };
    static std::mutex lock;
    static auto* users = new std::map<std::string, User>;
    std::lock_guard<std::mutex> guard(lock);
    auto found = users->find(text);
    if (found == users->end()) {
        User user{false, 0, std::string()};
        SID sid;
        if (parse_sid(text, sid) && uid_of_sid(sid, user.uid)) {
            user.canonical = sid_text(account_sid(user.uid));
            user.known = !user.canonical.empty();
        }
        found = users->emplace(text, user).first;
    }
    uid = found->second.uid;
    canonical = found->second.canonical;
    return found->second.known;
}

// The user's data directory ($XDG_DATA_HOME for this process's user).
bool data_home(uid_t uid, std::string& dir) {
    if (uid == ::geteuid()) {
        const char* xdg = std::getenv("XDG_DATA_HOME");
        if (xdg && xdg[0] == '/') {
            dir = xdg;
            return true;
        }
        const char* home = std::getenv("HOME");
        if (home && home[0] == '/') {
            dir = std::string(home) + "/.local/share";
            return true;
        }
    }
    struct passwd entry, *found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
        return false;
    dir = std::string(found->pw_dir) + "/.local/share";
    return true;
}

}  // namespace

Part::Part(std::unique_ptr<State> state) : state_(std::move(state)) {}

Part::~Part() {
    if (state_->generation == fork_generation.load())
        close_connection(state_->conn);
    else
        abandon_connection(state_->conn);
}

PartKind Part::kind() const { return state_->kind; }
const std::string& Part::sid() const { return state_->sid; }
const std::string& Part::path() const { return state_->path; }
bool Part::writable() const { return state_->writable; }

std::shared_ptr<Part> machine_part() {
    const std::string dir = store_dir();
    const std::string path = dir.empty() ? std::string(kDefaultMachinePart) : dir + "/machine.db";
    if (std::shared_ptr<Part> part = cached_part(path)) return part;
    if (!dir.empty()) make_users_dir(dir);
    return shared_part(path, PartKind::Machine, std::string(), static_cast<uid_t>(-1), 0644, 0755);
}

std::shared_ptr<Part> user_part(const std::string& sid) {
    DWORD uid = 0;
    std::string canonical;
    if (!user_of_sid(sid, uid, canonical)) {
        failure = sid + ": not a user of this machine";
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    const uid_t owner = ::geteuid() == 0 && uid != 0 ? static_cast<uid_t>(uid)
                                                     : static_cast<uid_t>(-1);
    const std::string dir = store_dir();
    if (!dir.empty()) {
        const std::string path = dir + "/users/" + canonical + ".db";
        if (std::shared_ptr<Part> part = cached_part(path)) return part;
        make_users_dir(dir);
        return shared_part(path, PartKind::User, canonical, owner, 0600, 0755);
    }
    std::string home;
    if (!data_home(static_cast<uid_t>(uid), home)) {
        failure = sid + ": the user has no home directory";
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    return shared_part(home + "/lmxrun/user.db", PartKind::User, canonical, owner, 0600, 0700);
}

std::string current_user_sid() {
    static std::mutex lock;
    static uid_t cached_uid = static_cast<uid_t>(-1);
    static std::string cached;
    const uid_t uid = ::geteuid();
    std::lock_guard<std::mutex> guard(lock);
    if (cached.empty() || cached_uid != uid) {
        cached = sid_text(account_sid(static_cast<DWORD>(uid)));
        cached_uid = uid;
    }
    return cached;
}

std::shared_ptr<Part> current_user_part() {
    // The same user in the same environment has the same part: remembered,
    // so that HKCU costs no SID or path work per call.
    const auto variable = [](const char* name) {
        const char* value = std::getenv(name);
        return value ? value : "";
    };
    const std::string where = std::string(variable("LMX_STORE_DIR")) + '\n' +
                              variable("XDG_DATA_HOME") + '\n' + variable("HOME");
    const uid_t uid = ::geteuid();
    static std::mutex lock;
    static uid_t last_uid = static_cast<uid_t>(-1);
    static auto* last_where = new std::string;
    static auto* last_part = new std::shared_ptr<Part>;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (*last_part && last_uid == uid && *last_where == where) return *last_part;
    }
    std::shared_ptr<Part> part = user_part(current_user_sid());
    if (part) {
        std::lock_guard<std::mutex> guard(lock);
        last_uid = uid;
        *last_where = where;
        *last_part = part;
    }
    return part;
}

std::vector<std::string> user_part_sids() {
    std::vector<std::string> sids{current_user_sid()};
    const std::string dir = store_dir();
    if (dir.empty()) return sids;
    DIR* users = ::opendir((dir + "/users").c_str());
    if (users == nullptr) return sids;
    while (const struct dirent* entry = ::readdir(users)) {
        const std::string name = entry->d_name;
        if (name.size() <= 3 || name.compare(name.size() - 3, 3, ".db") != 0) continue;
        DWORD uid = 0;
        std::string canonical;
        if (user_of_sid(name.substr(0, name.size() - 3), uid, canonical) &&
            canonical == name.substr(0, name.size() - 3) && canonical != sids[0])
            sids.push_back(canonical);
    }
    ::closedir(users);
    return sids;
}

std::shared_ptr<Part> open_part_file(const std::string& path, PartKind kind,
                                     const std::string& sid,
                                     const std::vector<const Component*>& with) {
    failure.clear();
    auto state = std::make_unique<Part::State>();
    state->kind = kind;
    state->sid = sid;
    state->path = path;
    state->components = with;
    state->file_mode = kind == PartKind::Machine ? 0644 : 0600;
    auto part = std::make_shared<Part>(std::move(state));
    const DWORD rc = ensure_connected(*part);
    if (rc) {
        SetLastError(rc);
        return nullptr;
    }
    return part;
}

const std::string& failure_text() { return failure; }

const std::string& boot_id() {
    static const std::string id = [] {
        std::ifstream in("/proc/sys/kernel/random/boot_id");
        std::string text;
        std::getline(in, text);
        return text.empty() ? std::string("unknown") : text;
    }();
    return id;
}

DWORD read(Part& part, FunctionRef<DWORD(Transaction&)> work) {
    return run_transaction(part, false, work);
}

DWORD write(Part& part, FunctionRef<DWORD(Transaction&)> work) {
    return run_transaction(part, true, work);
}

// --- Statements and transactions ---

Statement::~Statement() {
    if (stmt_ == nullptr) return;
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
    if (busy_) {
        *busy_ = false;
    } else {
        sqlite3_finalize(stmt_);
    }
}

Statement& Statement::bind(int index, std::int64_t value) {
    if (stmt_) tx_->check(sqlite3_bind_int64(stmt_, index, value));
    return *this;
}

Statement& Statement::bind(int index, std::string_view text) {
    if (stmt_)
        tx_->check(sqlite3_bind_text64(stmt_, index, text.data(), text.size(), SQLITE_TRANSIENT,
                                       SQLITE_UTF8));
    return *this;
}

Statement& Statement::bind_lasting(int index, std::string_view text) {
    if (stmt_)
        tx_->check(sqlite3_bind_text64(stmt_, index, text.data(), text.size(), SQLITE_STATIC,
                                       SQLITE_UTF8));
    return *this;
}

Statement& Statement::bind_blob(int index, const void* data, std::size_t size) {
    if (stmt_)
        tx_->check(sqlite3_bind_blob64(stmt_, index, size ? data : "", size, SQLITE_TRANSIENT));
    return *this;
}

Statement& Statement::bind_null(int index) {
    if (stmt_) tx_->check(sqlite3_bind_null(stmt_, index));
    return *this;
}

bool Statement::next() {
    if (stmt_ == nullptr || tx_->error()) return false;
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    tx_->check(rc);
    return false;
}

bool Statement::run() {
    while (next()) {
    }
    return stmt_ != nullptr && tx_->error() == ERROR_SUCCESS;
}

std::int64_t Statement::integer(int column) const { return sqlite3_column_int64(stmt_, column); }

std::string_view Statement::text(int column) const {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    return p ? std::string_view(p, static_cast<size_t>(sqlite3_column_bytes(stmt_, column)))
             : std::string_view();
}

std::string_view Statement::blob(int column) const {
    const auto* p = static_cast<const char*>(sqlite3_column_blob(stmt_, column));
    return p ? std::string_view(p, static_cast<size_t>(sqlite3_column_bytes(stmt_, column)))
             : std::string_view();
}

bool Statement::is_null(int column) const {
    return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

Statement Transaction::statement(const char* sql) {
    auto found = conn_.statements.find(std::string_view(sql));
    if (found == conn_.statements.end()) {
        auto entry = std::make_unique<CachedStatement>();
        entry->sql = sql;
        if (!check(sqlite3_prepare_v3(conn_.db, sql, -1, SQLITE_PREPARE_PERSISTENT, &entry->stmt,
                                      nullptr)))
            return Statement(*this, nullptr, nullptr);
        const std::string_view key = entry->sql;
        found = conn_.statements.emplace(key, std::move(entry)).first;
    }
    CachedStatement& cached = *found->second;
    if (!cached.busy) {
        cached.busy = true;
        return Statement(*this, cached.stmt, &cached.busy);
    }
    // The same text is in use further up (a nested loop): a statement of its own.
    sqlite3_stmt* own = nullptr;
    if (!check(sqlite3_prepare_v2(conn_.db, sql, -1, &own, nullptr))) own = nullptr;
    return Statement(*this, own, nullptr);
}

bool Transaction::execute(const char* sql) { return check(sqlite3_exec(conn_.db, sql, nullptr, nullptr, nullptr)); }

std::int64_t Transaction::last_insert_id() const { return sqlite3_last_insert_rowid(conn_.db); }

int Transaction::changes() const { return sqlite3_changes(conn_.db); }

DWORD Transaction::fail(DWORD code, const std::string& detail) {
    if (error_ == ERROR_SUCCESS) {
        error_ = code;
        failure = detail;
    }
    return code;
}

bool Transaction::check(int rc) {
    if (rc == SQLITE_OK || rc == SQLITE_ROW || rc == SQLITE_DONE) return true;
    if (error_ == ERROR_SUCCESS) {
        error_ = code_of(conn_.db, rc);
        failure = part_.path() + ": " + sqlite3_errmsg(conn_.db);
    }
    return false;
}

}  // namespace store
}  // namespace platform
