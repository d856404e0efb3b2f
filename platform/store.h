// The system store: the state of the Windows administration calls that this
// host has no counterpart for (registry keys and values today; accounts,
// groups, memberships, rights, shares with their security descriptors,
// drive letters and the like as their layer files arrive). It is a set of
// SQLite databases, one file per part:
//
//   machine part       $LMX_STORE_DIR/machine.db, else /var/lib/lmxrun/machine.db
//                      (HKLM, HKU\.DEFAULT, and every machine-wide table);
//                      created 0644 in a 0755 directory: readable by all,
//                      writable by its owner (root for the default place)
//   one part per user  $LMX_STORE_DIR/users/SID.db, else that user's
//                      $XDG_DATA_HOME/lmxrun/user.db (~/.local/share/...);
//                      created 0600 and owned by the user; the users
//                      directory below LMX_STORE_DIR is 1777, like /tmp
//
// A relative LMX_STORE_DIR is taken from the working directory the process
// had when the layer was loaded (the caller's: the runtime changes into its
// own directory later), so the runtime and the tools find the same store.
//
// A part is created and seeded on first use: it is built under a temporary
// name and linked into place whole, so a part file that exists is always
// complete. Whether this process may change a part follows from the file's
// rights alone (a part that the process may read but not write gives
// ERROR_ACCESS_DENIED to every write transaction). A part that does not
// exist and cannot be created for lack of rights reads as freshly seeded
// and refuses writes the same way.
//
// Every part is in WAL mode (its -wal and -shm files are kept when the last
// connection goes, so that readers without write rights can open it),
// synchronous=NORMAL (a committed transaction survives the death of the
// process at once; a power loss may lose the last ones but never leaves a
// half-done change), with foreign keys on. Writers wait for each other up to
// kBusyTimeoutMs.
//
// Using it from a layer file:
//
//     std::shared_ptr<store::Part> part = store::machine_part();
//     if (!part) return GetLastError();
//     return store::write(*part, [&](store::Transaction& tx) -> DWORD {
//         tx.statement("INSERT INTO acct_users(name, rid) VALUES (?1, ?2)")
//             .bind(1, name).bind(2, rid).run();
//         return tx.error();        // ERROR_SUCCESS commits, anything else rolls back
//     });
//
// Adding tables: define a Component (name, the parts it lives in, its
// schema steps) in the layer file that owns the tables, and add its address
// to the list in platform/store_components.cpp. Step i takes the component
// from version i to i + 1; the component's version is its number of steps.
// A part created by an older build is brought up to date when it is next
// opened by a process that may write it (each step in its own transaction,
// in list order; a process that may not write it reads it as it is when it
// lacks a component altogether, else fails with ERROR_REVISION_MISMATCH);
// a part that carries a newer version of a component than
// this build knows fails to open with ERROR_REVISION_MISMATCH. Never change
// a step once it has shipped: append one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/types.h"

struct sqlite3;
struct sqlite3_stmt;

namespace platform {
namespace store {

// How long a transaction waits for other processes' writers.
constexpr int kBusyTimeoutMs = 20000;

enum class PartKind { Machine, User };

// The parts a component's tables are created in.
enum PartMask : unsigned { kMachinePart = 1, kUserPart = 2 };

class Transaction;
struct Connection;

// A callable taken by reference for the duration of one call (the work of
// a transaction); it never owns or copies what it refers to.
template <class Signature>
class FunctionRef;

template <class R, class... Args>
class FunctionRef<R(Args...)> {
   public:
    template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, FunctionRef>>>
    FunctionRef(F&& f)  // NOLINT: implicit, like a function pointer
        : object_(const_cast<void*>(static_cast<const void*>(&f))),
          call_([](void* o, Args... args) -> R {
              return (*static_cast<std::remove_reference_t<F>*>(o))(std::forward<Args>(args)...);
          }) {}
    R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

   private:
    void* object_;
    R (*call_)(void*, Args...);
};

// One step of a component's schema: SQL text (any number of statements),
// then code, either of which may be null. Code returns ERROR_SUCCESS or an
// error code that makes the open fail.
struct SchemaStep {
    const char* sql;
    DWORD (*code)(Transaction& tx);
};

// The tables of one layer file. `name` is stored with the version in each
// part's store_components table.
struct Component {
    const char* name;
    unsigned parts;  // PartMask bits
    const SchemaStep* steps;
    std::size_t step_count;  // the component's current version
    // Run in a read transaction whenever a part that this process may write
    // is opened, after any upgrade; returns true when the component needs
    // its maintain function to run (null: never).
    bool (*needs_maintenance)(Transaction& tx);
    // Run in a write transaction when needs_maintenance said so.
    DWORD (*maintain)(Transaction& tx);
};

// Every component, in the order their steps run (store_components.cpp).
const std::vector<const Component*>& components();

// One open part. Parts are shared: every caller asking for the same file
// in one process gets the same Part, and transactions on it take turns.
class Part {
   public:
    struct State;
    explicit Part(std::unique_ptr<State> state);
    ~Part();
    Part(const Part&) = delete;
    Part& operator=(const Part&) = delete;

    PartKind kind() const;
    // The user's SID for a user part, empty for the machine part.
    const std::string& sid() const;
    const std::string& path() const;
    // Whether this process may change the part.
    bool writable() const;

    State& state() { return *state_; }

   private:
    std::unique_ptr<State> state_;
};

// The machine part. Null with the last error set when it can be neither
// opened nor read (ERROR_BADDB for a file that is no store or is damaged,
// ERROR_REVISION_MISMATCH for a newer schema, ERROR_ACCESS_DENIED, ...);
// failure_text() then says why.
std::shared_ptr<Part> machine_part();

// The part of the host user that `sid` names (an account SID of the
// identity mapping, or S-1-5-18 for root). ERROR_FILE_NOT_FOUND for a SID
// that is no host user's.
std::shared_ptr<Part> user_part(const std::string& sid);

// The part of the effective user of this process.
std::shared_ptr<Part> current_user_part();

// The SID of the effective user of this process.
std::string current_user_sid();

// The SIDs of the user parts that exist (for LMX_STORE_DIR, every part file
// of its users directory), always with the current user's, in no order.
std::vector<std::string> user_part_sids();

// Opens the part file at `path` with the given components (tests and tools
// that look at a part file directly). Creation and seeding as for the
// parts above; `sid` is handed to the components' code.
std::shared_ptr<Part> open_part_file(const std::string& path, PartKind kind,
                                     const std::string& sid,
                                     const std::vector<const Component*>& with);

// The text of the latest store failure of this thread ("/var/lib/lmxrun/
// machine.db: file is not a database"), empty when the latest store call
// succeeded.
const std::string& failure_text();

// The host's boot id (/proc/sys/kernel/random/boot_id): what changes when
// the machine restarts.
const std::string& boot_id();

// A prepared statement of a transaction, prepared once per connection and
// kept; reset and its bindings cleared when this object goes. Failures are
// recorded in the transaction (see Transaction::error) and make every
// later step of it fail too, so a sequence of statements can be checked
// once at its end.
class Statement {
   public:
    // `busy` marks a cached statement as in use (null: the statement is
    // this object's own and is finalized with it).
    Statement(Transaction& tx, sqlite3_stmt* stmt, bool* busy)
        : tx_(&tx), stmt_(stmt), busy_(busy) {}
    Statement(Statement&& other) noexcept
        : tx_(other.tx_), stmt_(std::exchange(other.stmt_, nullptr)), busy_(other.busy_) {}
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    Statement& operator=(Statement&&) = delete;
    ~Statement();

    // Parameters are numbered from 1 (?1, ?2 ...). Text is bound as bytes
    // (an empty view as '', never as NULL).
    Statement& bind(int index, std::int64_t value);
    Statement& bind(int index, std::string_view text);
    // Text that outlives the statement's use (a constant, boot_id()): not copied.
    Statement& bind_lasting(int index, std::string_view text);
    Statement& bind_blob(int index, const void* data, std::size_t size);
    Statement& bind_null(int index);

    // Steps once: true when a row is ready, false at the end or on failure.
    bool next();
    // Steps to the end (a statement without rows); false on failure.
    bool run();

    // Columns of the current row, numbered from 0. Text and blob views stay
    // valid until the next step.
    std::int64_t integer(int column) const;
    std::string_view text(int column) const;
    std::string_view blob(int column) const;
    bool is_null(int column) const;

   private:
    // Binds text that SQLite copies (SQLITE_TRANSIENT) or keeps a pointer to
    // (SQLITE_STATIC).
    Statement& bind_text(int index, std::string_view text, void (*keep)(void*));

    Transaction* tx_;
    sqlite3_stmt* stmt_;
    bool* busy_;
};

// The context of one transaction's work.
class Transaction {
   public:
    Transaction(Part& part, Connection& conn) : part_(part), conn_(conn) {}

    Statement statement(const char* sql);
    // Runs SQL text of any number of statements without results.
    bool execute(const char* sql);

    Part& part() { return part_; }
    PartKind kind() const { return part_.kind(); }
    const std::string& sid() const { return part_.sid(); }

    // A number that stays the same for as long as the part does not change
    // (by this process or another); valid after the transaction's first
    // statement. For caches of what a part holds.
    std::uint64_t change_stamp();

    // The rowid of the latest insert and the rows the latest statement changed.
    std::int64_t last_insert_id() const;
    int changes() const;

    // The first failure of this transaction's statements (or one recorded
    // with fail), ERROR_SUCCESS while there is none.
    DWORD error() const { return error_; }
    // Records a failure of the work itself; returns `code`.
    DWORD fail(DWORD code, const std::string& detail = std::string());
    // Records the SQLite result `rc` of a statement when it is a failure.
    bool check(int rc);

   private:
    Part& part_;
    Connection& conn_;
    DWORD error_ = ERROR_SUCCESS;
};

// Runs `work` as one read transaction (one consistent view of the part).
// Returns what work returned, or the store's failure code.
DWORD read(Part& part, FunctionRef<DWORD(Transaction&)> work);

// Runs `work` as one write transaction, begun at once (BEGIN IMMEDIATE, so
// that it waits for other writers instead of failing later), committed when
// work returns ERROR_SUCCESS and no statement failed, rolled back
// otherwise. ERROR_ACCESS_DENIED, without running work, when this process
// may not change the part. Transactions do not nest: work that needs
// another piece of work takes the same Transaction.
DWORD write(Part& part, FunctionRef<DWORD(Transaction&)> work);

}  // namespace store
}  // namespace platform
