// The registry's hot calls beside plain SQLite doing the same work: N
// RegSetValueExA into one key against N prepared INSERTs, N
// RegQueryValueExA against N prepared SELECTs, each one transaction per
// call with the store's settings (WAL, synchronous=NORMAL), and opening a
// key 10 levels deep against the same 10 lookups in plain SQLite. Prints
// "name seconds" lines; the store is LMX_STORE_DIR, which the caller sets.
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/registry.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string name_of(int i) { return "value" + std::to_string(i); }

void check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "registry_bench: %s failed\n", what);
    std::exit(1);
}

struct Peer {
    sqlite3* db = nullptr;
    sqlite3_stmt* stmt(const char* sql) {
        sqlite3_stmt* s = nullptr;
        check(sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr) == SQLITE_OK,
              sql);
        return s;
    }
    static void run(sqlite3_stmt* s) {
        while (sqlite3_step(s) == SQLITE_ROW) {
        }
        sqlite3_reset(s);
    }
};

}  // namespace

// Runs `ours` and `peer` in alternating slices of the work, so that both
// meet the same load of a shared machine; returns the seconds of each.
template <class Ours, class Theirs>
void alternate(int total, int slices, Ours ours, Theirs peer, double& ours_s, double& peer_s) {
    ours_s = peer_s = 0;
    const int per_slice = total / slices;
    for (int slice = 0; slice < slices; ++slice) {
        const int from = slice * per_slice, to = from + per_slice;
        auto start = std::chrono::steady_clock::now();
        for (int i = from; i < to; ++i) ours(i);
        ours_s += seconds_since(start);
        start = std::chrono::steady_clock::now();
        for (int i = from; i < to; ++i) peer(i);
        peer_s += seconds_since(start);
    }
}

int main(int argc, char** argv) {
    const int n = argc > 1 ? std::atoi(argv[1]) : 100000;
    const int slices = 20;
    const char* dir = std::getenv("LMX_STORE_DIR");
    check(dir != nullptr, "LMX_STORE_DIR");
    const DWORD data = 0x12345678;

    // The peer: tables of its own in a database with the store's settings.
    Peer peer;
    check(sqlite3_open((std::string(dir) + "/peer.db").c_str(), &peer.db) == SQLITE_OK, "open");
    sqlite3_exec(peer.db,
                 "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
                 "CREATE TABLE v(key INTEGER, name TEXT, type INTEGER, data BLOB,"
                 " PRIMARY KEY(key, name));"
                 "CREATE TABLE k(id INTEGER PRIMARY KEY, parent INTEGER, name TEXT,"
                 " UNIQUE(parent, name));",
                 nullptr, nullptr, nullptr);
    sqlite3_busy_timeout(peer.db, 20000);
    sqlite3_stmt* begin_write = peer.stmt("BEGIN IMMEDIATE");
    sqlite3_stmt* begin_read = peer.stmt("BEGIN");
    sqlite3_stmt* commit = peer.stmt("COMMIT");
    sqlite3_stmt* insert = peer.stmt("INSERT OR REPLACE INTO v VALUES (1, ?1, 4, ?2)");
    sqlite3_stmt* select = peer.stmt("SELECT type, data FROM v WHERE key = 1 AND name = ?1");
    sqlite3_stmt* child = peer.stmt("SELECT id FROM k WHERE parent = ?1 AND name = ?2");

    HKEY key = nullptr;
    check(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Bench", 0, nullptr, 0, KEY_ALL_ACCESS,
                          nullptr, &key, nullptr) == ERROR_SUCCESS,
          "RegCreateKeyExA");
    double ours_s = 0, peer_s = 0;
    alternate(
        n, slices,
        [&](int i) {
            check(RegSetValueExA(key, name_of(i).c_str(), 0, REG_DWORD,
                                 reinterpret_cast<const BYTE*>(&data), 4) == ERROR_SUCCESS,
                  "RegSetValueExA");
        },
        [&](int i) {
            const std::string name = name_of(i);
            Peer::run(begin_write);
            sqlite3_bind_text(insert, 1, name.data(), static_cast<int>(name.size()),
                              SQLITE_TRANSIENT);
            sqlite3_bind_blob(insert, 2, &data, 4, SQLITE_TRANSIENT);
            check(sqlite3_step(insert) == SQLITE_DONE, "INSERT");
            sqlite3_reset(insert);
            Peer::run(commit);
        },
        ours_s, peer_s);
    std::printf("set %.6f\npeer_set %.6f\n", ours_s, peer_s);

    alternate(
        n, slices,
        [&](int i) {
            DWORD type = 0, value = 0, size = sizeof value;
            check(RegQueryValueExA(key, name_of(i).c_str(), nullptr, &type,
                                   reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS &&
                      value == data,
                  "RegQueryValueExA");
        },
        [&](int i) {
            const std::string name = name_of(i);
            Peer::run(begin_read);
            sqlite3_bind_text(select, 1, name.data(), static_cast<int>(name.size()),
                              SQLITE_TRANSIENT);
            check(sqlite3_step(select) == SQLITE_ROW && sqlite3_column_bytes(select, 1) == 4,
                  "SELECT");
            sqlite3_reset(select);
            Peer::run(commit);
        },
        ours_s, peer_s);
    std::printf("query %.6f\npeer_query %.6f\n", ours_s, peer_s);
    RegCloseKey(key);

    std::string deep;
    sqlite3_exec(peer.db, "BEGIN", nullptr, nullptr, nullptr);
    for (int level = 1; level <= 10; ++level) {
        deep += (level > 1 ? "\\L" : "L") + std::to_string(level);
        const std::string sql = "INSERT INTO k VALUES (" + std::to_string(level) + ", " +
                                std::to_string(level - 1) + ", 'L" + std::to_string(level) + "')";
        sqlite3_exec(peer.db, sql.c_str(), nullptr, nullptr, nullptr);
    }
    sqlite3_exec(peer.db, "COMMIT", nullptr, nullptr, nullptr);
    check(RegCreateKeyExA(HKEY_CURRENT_USER, deep.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                          &key, nullptr) == ERROR_SUCCESS,
          "RegCreateKeyExA deep");
    RegCloseKey(key);
    const int opens = n / 10;
    alternate(
        opens, slices,
        [&](int) {
            check(RegOpenKeyExA(HKEY_CURRENT_USER, deep.c_str(), 0, KEY_READ, &key) ==
                      ERROR_SUCCESS,
                  "RegOpenKeyExA deep");
            RegCloseKey(key);
        },
        [&](int) {
            Peer::run(begin_read);
            sqlite3_int64 id = 0;
            for (int level = 1; level <= 10; ++level) {
                const std::string name = "L" + std::to_string(level);
                sqlite3_bind_int64(child, 1, id);
                sqlite3_bind_text(child, 2, name.data(), static_cast<int>(name.size()),
                                  SQLITE_TRANSIENT);
                check(sqlite3_step(child) == SQLITE_ROW, "walk");
                id = sqlite3_column_int64(child, 0);
                sqlite3_reset(child);
            }
            Peer::run(commit);
        },
        ours_s, peer_s);
    std::printf("open10 %.9f\npeer_open10 %.9f\n", ours_s / opens, peer_s / opens);
    for (sqlite3_stmt* s : {begin_write, begin_read, commit, insert, select, child})
        sqlite3_finalize(s);
    sqlite3_close(peer.db);
    return 0;
}
