// What the files of the system store share inside the layer: store.cpp
// (where the parts are, one Part per file and process), store_file.cpp
// (opening, making and upgrading part files) and store_transaction.cpp
// (transactions, statements, failures).
#pragma once

#include <sqlite3.h>
#include <sys/types.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/store.h"

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
    std::uint32_t serial = 0;  // tells this connection from earlier ones of the process
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
    unsigned generation = 0;  // fork_generation() when connected
    Mode mode = Mode::File;
    bool writable = false;
};

// The text of this thread's latest store failure (failure_text()).
extern thread_local std::string failure;

// Records `text` as the latest failure; returns `code`.
DWORD record_failure(DWORD code, const std::string& text);
// The Windows code of an SQLite result, and its recording with the part's path.
DWORD code_of(sqlite3* db, int rc);
DWORD sqlite_failure(const std::string& path, sqlite3* db, int rc);

// How many forks this process came out of.
unsigned fork_generation();

// mkdir -p with `mode` for every directory made, each given to `owner`
// unless that is -1.
DWORD make_dirs(const std::string& dir, mode_t mode, uid_t owner);

void close_connection(Connection& conn);
// Gives up a connection inherited across fork() without touching it.
void abandon_connection(Connection& conn);

// Makes sure the part has a connection this process may use (opening,
// creating or upgrading the file as needed).
DWORD ensure_connected(Part& part);

// One transaction on a connected part whose lock the caller holds.
DWORD run_locked(Part& part, bool writing, FunctionRef<DWORD(Transaction&)> work);

}  // namespace store
}  // namespace platform
