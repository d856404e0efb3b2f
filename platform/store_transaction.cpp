#include <sqlite3.h>

#include "platform/errors.h"
#include "platform/store_internal.h"

namespace platform {
namespace store {

thread_local std::string failure;

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

namespace {

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

}  // namespace

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

Statement& Statement::bind_text(int index, std::string_view text, void (*keep)(void*)) {
    if (stmt_)
        tx_->check(sqlite3_bind_text64(stmt_, index, text.data() ? text.data() : "", text.size(),
                                       keep, SQLITE_UTF8));
    return *this;
}

Statement& Statement::bind(int index, std::string_view text) {
    return bind_text(index, text, SQLITE_TRANSIENT);
}

Statement& Statement::bind_lasting(int index, std::string_view text) {
    return bind_text(index, text, SQLITE_STATIC);
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

std::uint64_t Transaction::change_stamp() {
    unsigned version = 0;
    sqlite3_file_control(conn_.db, "main", SQLITE_FCNTL_DATA_VERSION, &version);
    return (static_cast<std::uint64_t>(conn_.serial) << 32) | version;
}

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
