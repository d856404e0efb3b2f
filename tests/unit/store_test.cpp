// The system store: creation with its rights, schema versions, damaged and
// foreign files, transactions, fork.
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "platform/errors.h"
#include "platform/registry.h"
#include "platform/registry_tables.h"
#include "platform/store.h"
#include "store_dir.h"

namespace {

using namespace platform;

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void write(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

mode_t mode_of(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

void sql(const std::string& path, const char* text) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, text, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
}

std::shared_ptr<store::Part> open_machine(const std::string& path,
                                          const std::vector<const store::Component*>& with =
                                              store::components()) {
    return store::open_part_file(path, store::PartKind::Machine, "", with);
}

// A component of a test, in two versions.
int step_runs = 0;
DWORD count_run(store::Transaction&) {
    ++step_runs;
    return ERROR_SUCCESS;
}
const store::SchemaStep kTestSteps[] = {
    {"CREATE TABLE test_items(name TEXT)", count_run},
    {"ALTER TABLE test_items ADD COLUMN size INTEGER", count_run},
};
const store::Component kTestV1 = {"test", store::kMachinePart, kTestSteps, 1, nullptr, nullptr};
const store::Component kTestV2 = {"test", store::kMachinePart, kTestSteps, 2, nullptr, nullptr};

}  // namespace

TEST(Store, PartsAreCreatedSeededWithTheirRights) {
    StoreDir dir;
    ::umask(0077);  // the rights do not depend on the umask
    auto machine = store::machine_part();
    ASSERT_TRUE(machine);
    EXPECT_TRUE(machine->writable());
    EXPECT_EQ(mode_of(dir.machine()), 0644u);
    EXPECT_EQ(mode_of(dir.path + "/users"), 01777u);
    auto user = store::current_user_part();
    ASSERT_TRUE(user);
    EXPECT_EQ(user->path(), dir.path + "/users/" + store::current_user_sid() + ".db");
    EXPECT_EQ(mode_of(user->path()), 0600u);
    ::umask(0022);
    EXPECT_EQ(store::machine_part(), machine);  // one Part per file and process
    // WAL mode, with the -wal and -shm files there for readers without rights.
    int found = 0;
    EXPECT_EQ(store::read(*machine, [&](store::Transaction& tx) -> DWORD {
                  store::Statement q = tx.statement("PRAGMA journal_mode");
                  if (q.next() && q.text(0) == "wal") ++found;
                  return tx.error();
              }),
              ERROR_SUCCESS);
    EXPECT_EQ(found, 1);
    EXPECT_EQ(::access((dir.machine() + "-shm").c_str(), F_OK), 0);
}

TEST(Store, NewerSchemasAreRefusedAndOlderOnesUpgraded) {
    StoreDir dir;
    const std::string path = dir.path + "/own.db";
    step_runs = 0;
    ASSERT_TRUE(open_machine(path, {&kTestV1}));
    EXPECT_EQ(step_runs, 1);
    ASSERT_TRUE(open_machine(path, {&kTestV2}));
    EXPECT_EQ(step_runs, 2);
    ASSERT_TRUE(open_machine(path, {&kTestV2}));
    EXPECT_EQ(step_runs, 2);
    EXPECT_FALSE(open_machine(path, {&kTestV1}));
    EXPECT_EQ(GetLastError(), ERROR_REVISION_MISMATCH);
    EXPECT_NE(store::failure_text().find("test schema version 2 is newer"), std::string::npos)
        << store::failure_text();
    sql(path, "PRAGMA user_version = 2");
    EXPECT_FALSE(open_machine(path, {&kTestV2}));
    EXPECT_EQ(GetLastError(), ERROR_REVISION_MISMATCH);
    EXPECT_NE(store::failure_text().find("store format 2 is newer"), std::string::npos);
}

TEST(Store, DamagedAndForeignFilesAreReportedAndLeftAlone) {
    StoreDir dir;
    const std::string good = dir.path + "/good.db";
    {
        auto part = open_machine(good);
        ASSERT_TRUE(part);
        ASSERT_EQ(store::write(*part, [](store::Transaction& tx) -> DWORD {
                      for (int i = 0; i < 300; ++i)
                          registry::set_value(tx, registry::kDefaultUserTop, std::to_string(i),
                                              REG_SZ, std::string(200, 'x').c_str(), 200);
                      return tx.error();
                  }),
                  ERROR_SUCCESS);
    }
    sql(good, "PRAGMA wal_checkpoint(TRUNCATE)");
    const std::string whole = contents(good);
    ASSERT_GT(whole.size(), 8192u);
    struct Case {
        const char* name;
        std::string bytes;
    };
    std::string scrambled = whole;
    for (size_t i = 4096; i < scrambled.size(); i += 7) scrambled[i] = static_cast<char>(i);
    const Case cases[] = {
        {"empty", ""},
        {"garbage", std::string(10000, 'G')},
        {"truncated", whole.substr(0, whole.size() / 2)},
        {"scrambled", scrambled},
    };
    for (const Case& c : cases) {
        const std::string path = dir.path + "/" + c.name + ".db";
        write(path, c.bytes);
        auto part = open_machine(path);
        if (part) {
            // Damage past the first pages shows when they are read.
            const DWORD rc = store::read(*part, [](store::Transaction& tx) -> DWORD {
                tx.statement("SELECT count(*) FROM reg_values WHERE length(data) > 0").run();
                return tx.error();
            });
            EXPECT_EQ(rc, ERROR_BADDB) << c.name;
        } else {
            EXPECT_EQ(GetLastError(), ERROR_BADDB) << c.name << ": " << store::failure_text();
        }
        EXPECT_EQ(contents(path), c.bytes) << c.name << " was changed";
    }
    const std::string foreign = dir.path + "/foreign.db";
    sql(foreign, "CREATE TABLE notes(text TEXT); INSERT INTO notes VALUES ('mine')");
    const std::string before = contents(foreign);
    EXPECT_FALSE(open_machine(foreign));
    EXPECT_EQ(GetLastError(), ERROR_BADDB);
    EXPECT_NE(store::failure_text().find("not a system store file"), std::string::npos);
    EXPECT_EQ(contents(foreign), before);
}

TEST(Store, TransactionsCommitWholeOrNothing) {
    StoreDir dir;
    auto part = store::machine_part();
    ASSERT_TRUE(part);
    const auto count = [&] {
        std::int64_t n = -1;
        store::read(*part, [&](store::Transaction& tx) -> DWORD {
            store::Statement q = tx.statement("SELECT count(*) FROM reg_values");
            if (q.next()) n = q.integer(0);
            return tx.error();
        });
        return n;
    };
    const std::int64_t before = count();
    EXPECT_EQ(store::write(*part, [](store::Transaction& tx) -> DWORD {
                  registry::set_value(tx, registry::kDefaultUserTop, "a", REG_SZ, "", 0);
                  return ERROR_FILE_EXISTS;
              }),
              ERROR_FILE_EXISTS);
    EXPECT_EQ(store::write(*part, [](store::Transaction& tx) -> DWORD {
                  registry::set_value(tx, registry::kDefaultUserTop, "b", REG_SZ, "", 0);
                  tx.statement("INSERT INTO no_such_table VALUES (1)").run();
                  return ERROR_SUCCESS;
              }),
              ERROR_IO_DEVICE);
    EXPECT_EQ(count(), before);
    EXPECT_EQ(store::write(*part, [&](store::Transaction&) -> DWORD {
                  return store::read(*part, [](store::Transaction&) -> DWORD { return 0; });
              }),
              ERROR_INVALID_FUNCTION);
    EXPECT_EQ(store::write(*part, [](store::Transaction& tx) -> DWORD {
                  registry::set_value(tx, registry::kDefaultUserTop, "c", REG_SZ, "", 0);
                  return tx.error();
              }),
              ERROR_SUCCESS);
    EXPECT_EQ(count(), before + 1);
}

TEST(Store, AForkedChildOpensItsOwnConnection) {
    StoreDir dir;
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Fork", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const pid_t child = ::fork();
    if (child == 0) {
        const DWORD one = 1;
        ::_exit(RegSetValueExA(key, "child", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4));
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    DWORD value = 0, size = sizeof value;
    EXPECT_EQ(RegQueryValueExA(key, "child", nullptr, nullptr, reinterpret_cast<BYTE*>(&value),
                               &size),
              ERROR_SUCCESS);
    EXPECT_EQ(value, 1u);
    RegCloseKey(key);
}
