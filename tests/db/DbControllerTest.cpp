#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <thread>
#include <vector>

#include "db/DbController.h"
#include "db/DbLock.h"
#include "db/DbTestSupport.h"

using velk::db::DbController;
using velk::db::DbLock;
using velk::test::DbFixture;
using velk::test::exists;
using velk::test::RawDb;
using velk::test::readFile;
using velk::test::TempDir;
using velk::test::TestLog;

namespace {

std::vector<std::string> columnsOf(const RawDb& db, const std::string& table) {
    std::vector<std::string> names;
    for (const auto& row : db.rows("PRAGMA table_info(" + table + ");")) {
        names.push_back(row[1] + " " + row[2] + (row[3] == "1" ? " NOT NULL" : "") +
                        (row[4] == "NULL" ? "" : " = " + row[4]));
    }
    return names;
}

class DbControllerStartup : public ::testing::Test, public DbFixture {};

}  // namespace

TEST_F(DbControllerStartup, FirstStartMakesDirectoriesSchemaAndVersionRow) {
    ASSERT_FALSE(exists(dbPath()));
    ASSERT_EQ(initDb(), DbController::INIT_SUCCESS);
    EXPECT_FALSE(exists(lockFile()));
    EXPECT_TRUE(logs.contains("in init : check exist DB file -> false"));
    EXPECT_TRUE(logs.contains("in init : create directory & db file : result -> success"));
    EXPECT_EQ(logs.count("in createDbFile : exec prepare rc -> success (101)"), 6u);

    RawDb db(dbFile());
    EXPECT_EQ(db.rows("SELECT name FROM sqlite_master WHERE type = 'table' AND name != 'sqlite_sequence' "
                      "ORDER BY rowid;"),
              (std::vector<std::vector<std::string>>{
                  {"order_info"}, {"update_info"}, {"update_package"}, {"os_boot_time"}, {"version"}}));
    EXPECT_EQ(db.number("SELECT COUNT(*) FROM sqlite_master WHERE type IN ('index', 'view', 'trigger');"), 0);
    EXPECT_EQ(columnsOf(db, "order_info"),
              (std::vector<std::string>{
                  "id INTEGER", "receive_json TEXT", "order_kind INTEGER = '0'", "order_time DATETIME",
                  "order_status INTEGER = '-1'", "response_json TEXT",
                  "create_time DATETIME NOT NULL = CURRENT_TIMESTAMP", "update_time DATETIME"}));
    EXPECT_EQ(columnsOf(db, "update_info"),
              (std::vector<std::string>{
                  "id INTEGER", "order_info_id INTEGER NOT NULL", "sw_upd_no INTEGER NOT NULL",
                  "receive_time DATETIME", "update_status INTEGER = '-1'", "status_change_time DATETIME",
                  "download_start_time DATETIME", "download_end_time DATETIME", "update_start_time DATETIME",
                  "update_end_time DATETIME", "create_time DATETIME NOT NULL = CURRENT_TIMESTAMP",
                  "update_time DATETIME"}));
    EXPECT_EQ(columnsOf(db, "update_package"),
              (std::vector<std::string>{
                  "id INTEGER", "sw_upd_no INTEGER NOT NULL", "package_name VARCHAR (32) NOT NULL",
                  "package_version VARCHAR (32) NOT NULL", "package_url VARCHAR (192) NOT NULL",
                  "target_flag INTEGER NOT NULL = 0", "old_version VARCHAR (32)", "download_flag INTEGER = 0",
                  "download_time DATETIME", "create_time DATETIME NOT NULL = CURRENT_TIMESTAMP",
                  "update_time DATETIME"}));
    EXPECT_EQ(columnsOf(db, "os_boot_time"),
              (std::vector<std::string>{"id INTEGER", "boot_time DATETIME NOT NULL", "shutdown_time DATETIME",
                                        "is_normal_term INTEGER", "is_send INTEGER NOT NULL = 0",
                                        "create_time DATETIME NOT NULL = CURRENT_TIMESTAMP",
                                        "update_time DATETIME"}));
    EXPECT_EQ(columnsOf(db, "version"),
              (std::vector<std::string>{"id INTEGER", "db_version TEXT NOT NULL",
                                        "create_date DATETIME NOT NULL = CURRENT_TIMESTAMP",
                                        "update_date DATETIME"}));
    EXPECT_EQ(db.rows("SELECT id, db_version, create_date IS NOT NULL, update_date FROM version;"),
              (std::vector<std::vector<std::string>>{{"1", "1.0", "1", "NULL"}}));
    EXPECT_EQ(db.number("PRAGMA foreign_keys;"), 0);

    struct stat st {};
    ASSERT_EQ(stat(dbPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777 & ~0022u, 0755u & ~0022u);
}

TEST_F(DbControllerStartup, ValidFileIsKeptWithItsRows) {
    ASSERT_EQ(initDb(), 0);
    RawDb(dbFile()).exec("INSERT INTO order_info ( receive_json ) VALUES ( 'kept' );");
    logs.clear();

    DbController again;
    ASSERT_EQ(again.init(dbPath(), "velk.db", "db_rw.lock", "db_ro.lock"), 0);
    EXPECT_TRUE(logs.contains("in accessCheck : access OK target : test select count = 1"));
    EXPECT_FALSE(logs.contains("in createDbFile"));
    EXPECT_EQ(RawDb(dbFile()).text("SELECT receive_json FROM order_info;"), "kept");
    EXPECT_FALSE(exists(dbFile() + ".broken"));
}

TEST_F(DbControllerStartup, EmptyFileIsReplacedByANewDatabase) {
    ASSERT_EQ(mkdir(dbPath().c_str(), 0755), 0);
    dir.write("db/velk.db", "");
    ASSERT_EQ(initDb(), 0);
    EXPECT_TRUE(logs.contains("in init : db file size = 0 : remove db file result -> 0"));
    EXPECT_EQ(RawDb(dbFile()).text("SELECT db_version FROM version;"), "1.0");
    EXPECT_FALSE(exists(dbFile() + ".broken"));
}

// An unreadable file is kept once beside the new one, replacing an older kept copy.
TEST_F(DbControllerStartup, FileThatIsNoDatabaseIsMovedAsideAndRebuilt) {
    ASSERT_EQ(mkdir(dbPath().c_str(), 0755), 0);
    const std::string garbage(4096, 'x');
    dir.write("db/velk.db", garbage);
    dir.write("db/velk.db.broken", "older copy");
    ASSERT_EQ(initDb(), 0);
    EXPECT_TRUE(logs.contains("in init : db file size = 4096"));
    EXPECT_TRUE(
        logs.contains("in accessCheck failed ! : failed to select command_id from command_info : rc -> "));
    EXPECT_EQ(readFile(dbFile() + ".broken"), garbage);
    EXPECT_EQ(RawDb(dbFile()).number("SELECT COUNT(*) FROM order_info;"), 0);
    EXPECT_FALSE(exists(lockFile()));
}

TEST_F(DbControllerStartup, DatabaseWithoutOrderInfoIsMovedAside) {
    ASSERT_EQ(mkdir(dbPath().c_str(), 0755), 0);
    {
        RawDb other(dbFile());
        ASSERT_EQ(other.exec("CREATE TABLE other (v TEXT); INSERT INTO other VALUES ('theirs');"), SQLITE_OK);
    }
    ASSERT_EQ(initDb(), 0);
    EXPECT_EQ(RawDb(dbFile() + ".broken").text("SELECT v FROM other;"), "theirs");
    EXPECT_EQ(RawDb(dbFile()).text("SELECT db_version FROM version;"), "1.0");
}

// Another program holding an exclusive lock makes the file unreadable for a moment only.
TEST_F(DbControllerStartup, BusyFileIsKeptAndInitFails) {
    ASSERT_EQ(initDb(), 0);
    RawDb holder(dbFile());
    ASSERT_EQ(holder.exec("INSERT INTO order_info ( receive_json ) VALUES ( 'precious' );"), SQLITE_OK);
    ASSERT_EQ(holder.exec("BEGIN EXCLUSIVE;"), SQLITE_OK);
    logs.clear();

    DbController again;
    again.setLockWait(5, 10);
    EXPECT_EQ(again.init(dbPath(), "velk.db", "db_rw.lock", "db_ro.lock"), DbController::INIT_DB_UNDECIDED);
    EXPECT_FALSE(logs.contains("in createDbFile"));
    EXPECT_FALSE(exists(dbFile() + ".broken"));
    EXPECT_FALSE(exists(lockFile()));
    ASSERT_EQ(holder.exec("COMMIT;"), SQLITE_OK);
    EXPECT_EQ(holder.text("SELECT receive_json FROM order_info;"), "precious");
}

// A database path that SQLite cannot open leaves its state undecided: nothing is removed.
TEST_F(DbControllerStartup, UnopenableFileIsKeptAndInitFails) {
    ASSERT_EQ(mkdir(dbPath().c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dbFile().c_str(), 0755), 0);
    dir.write("db/velk.db/inside", "data");
    EXPECT_EQ(initDb(), DbController::INIT_DB_UNDECIDED);
    EXPECT_TRUE(logs.contains("in checkDbAccess : open failed!")) << logs.text();
    EXPECT_EQ(readFile(dbFile() + "/inside"), "data");
    EXPECT_FALSE(exists(dbFile() + ".broken"));
    EXPECT_FALSE(exists(lockFile()));
}

TEST_F(DbControllerStartup, StaleLockFileIsRemovedSoTheFirstOpenSucceedsAtOnce) {
    ASSERT_EQ(initDb(), 0);
    dir.write("db/db_rw.lock", "");
    logs.clear();
    DbController again;
    again.setLockWait(1, 10);
    ASSERT_EQ(again.init(dbPath(), "velk.db", "db_rw.lock", "db_ro.lock"), 0);
    EXPECT_TRUE(logs.contains("in init : remove lock file! [RW]"));
    ASSERT_TRUE(again.open());
    again.close();
}

TEST_F(DbControllerStartup, UnusablePathsFailWithTheirCodes) {
    EXPECT_EQ(ctl.init("", "velk.db", "a", "b"), DbController::INIT_EMPTY_NAME);
    EXPECT_EQ(ctl.init(dbPath(), "", "a", "b"), DbController::INIT_EMPTY_NAME);
    std::string plain = dir.write("plain", "not a directory");
    EXPECT_EQ(ctl.init(plain, "velk.db", "a", "b"), DbController::INIT_DIRECTORY_FAILED);
    EXPECT_TRUE(logs.contains("in init : call SetLockFilename erro (2) : path -> " + plain));
}

TEST_F(DbControllerStartup, FailedBuildLeavesNoHalfFile) {
    ASSERT_EQ(initDb(), 0);
    ASSERT_EQ(std::remove(dbFile().c_str()), 0);
    // A table the schema is about to create already exists: that statement is not done.
    RawDb(dbFile()).exec("CREATE TABLE version (x);");
    EXPECT_FALSE(ctl.createDbFile());
    EXPECT_TRUE(logs.contains("in createDbFile : exec prepare : result -> not done (21)"));
    EXPECT_TRUE(logs.contains("in createDbFile failed ! : failed or not create table num -> 2"));
    EXPECT_FALSE(exists(dbFile()));
    EXPECT_FALSE(exists(lockFile()));
}

struct DirCase {
    const char* name;
    const char* path;  // below the temporary directory; "~" marks the place of that directory
    int32_t code;
    const char* made;  // a directory that must exist afterwards, or empty
};

class DbControllerDirs : public ::testing::TestWithParam<DirCase> {};

TEST_P(DbControllerDirs, CreatesOrRefuses) {
    TempDir dir;
    dir.write("file", "x");
    std::string path = GetParam().path;
    path.replace(path.find('~'), 1, dir.path());
    EXPECT_EQ(DbController::makeDirectories(path), GetParam().code);
    if (*GetParam().made != '\0') {
        struct stat st {};
        ASSERT_EQ(stat(dir.file(GetParam().made).c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, DbControllerDirs,
                         ::testing::Values(DirCase{"nested", "~/a/b/c", 0, "a/b/c"},
                                           DirCase{"doubled", "~//a///b//", 0, "a/b"},
                                           DirCase{"existing", "~", 0, ""},
                                           DirCase{"file_prefix", "~/file/sub", 2, ""},
                                           DirCase{"file_last", "~/file", 2, ""}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(DbControllerDirsOutside, RelativePathIsMadeBelowTheWorkingDirectory) {
    TempDir dir;
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof(previous)), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    int32_t code = DbController::makeDirectories("rel//x/");
    ASSERT_EQ(chdir(previous), 0);
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(exists(dir.file("rel/x")));
}

TEST(DbControllerDirsOutside, DirectoryThatCannotBeMadeGivesOne) {
    // Not even root can make a directory in /proc.
    EXPECT_EQ(DbController::makeDirectories("/proc/velk-no-such-dir/sub"), 1);
}

TEST(DbControllerDirsOutside, NoPermissionGivesOne) {
    if (geteuid() == 0) {
        GTEST_SKIP() << "root may write into any directory";
    }
    TempDir dir;
    ASSERT_EQ(mkdir(dir.file("closed").c_str(), 0555), 0);
    EXPECT_EQ(DbController::makeDirectories(dir.file("closed/sub")), 1);
}

TEST(DbControllerFile, SizeIsClampedNeverNegativeForLargeFiles) {
    TempDir dir;
    EXPECT_EQ(DbController::getFileSize(dir.file("absent")), -1);
    EXPECT_EQ(DbController::getFileSize(dir.write("empty", "")), 0);
    EXPECT_EQ(DbController::getFileSize(dir.write("small", "12345")), 5);
    // Sparse, so it costs no disk; past 2^31 a 32-bit size would turn negative and read as empty.
    std::string large = dir.file("large");
    int fd = ::open(large.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(3) << 30), 0);
    ::close(fd);
    EXPECT_EQ(DbController::getFileSize(large), 2147483647);
}

class DbControllerLock : public ::testing::Test, public DbFixture {
  protected:
    void SetUp() override { ASSERT_EQ(initDb(), 0); }
};

TEST_F(DbControllerLock, TwoThreadsAreNeverInsideTogether) {
    ctl.setLockWait(5000, 1);
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> failedOpens{0};
    auto worker = [&] {
        for (int i = 0; i < 40; ++i) {
            if (!ctl.open()) {
                ++failedOpens;
                continue;
            }
            if (++inside != 1) {
                ++overlaps;
            }
            if (ctl.connection() == nullptr) {
                ++overlaps;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            --inside;
            ctl.close();
        }
    };
    std::thread a(worker);
    std::thread b(worker);
    a.join();
    b.join();
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(failedOpens.load(), 0);
    EXPECT_FALSE(exists(lockFile()));
}

// Many short rounds, because a check-then-create lock loses only in a narrow window.
TEST_F(DbControllerLock, ExclusiveCreationLetsOnlyOneOfManyThrough) {
    DbLock lock;
    lock.setFilename(dbPath(), "race.lock", DbLock::LOCK_RW);
    int badRounds = 0;
    for (int round = 0; round < 500; ++round) {
        std::atomic<bool> go{false};
        std::atomic<int> winners{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&] {
                while (!go.load()) {
                    std::this_thread::yield();
                }
                if (lock.createLockFile()) {
                    ++winners;
                }
            });
        }
        go = true;
        for (auto& t : threads) {
            t.join();
        }
        badRounds += winners.load() == 1 ? 0 : 1;
        ASSERT_TRUE(lock.removeLockFile());
    }
    EXPECT_EQ(badRounds, 0);
    EXPECT_TRUE(lock.removeLockFile());  // nothing left to remove is not a failure
}

TEST_F(DbControllerLock, OpenGivesUpWhileTheLockIsHeldAndGetsItOnceReleased) {
    dir.write("db/db_rw.lock", "");
    ctl.setLockWait(3, 10);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(ctl.open());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_TRUE(logs.contains("in open : create lock file [RW] -> failed!"));
    EXPECT_EQ(ctl.connection(), nullptr);

    ctl.setLockWait(500, 10);
    std::thread releaser([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::remove(lockFile().c_str());
    });
    EXPECT_TRUE(ctl.open());
    releaser.join();
    EXPECT_NE(ctl.connection(), nullptr);
    ctl.close();
    EXPECT_FALSE(exists(lockFile()));
}

TEST_F(DbControllerLock, FailedSqliteOpenGivesTheLockBack) {
    ctl.setDbFile(dbPath() + "/missing-dir", "velk.db");
    ctl.setLockWait(1, 10);
    EXPECT_FALSE(ctl.open());
    EXPECT_TRUE(logs.contains("in open : DB open failed -> 14"));
    EXPECT_FALSE(exists(lockFile()));
    EXPECT_EQ(ctl.connection(), nullptr);
    // The next caller gets the lock at once and fails only on the file again.
    logs.clear();
    EXPECT_FALSE(ctl.open());
    EXPECT_TRUE(logs.contains("in open : create lock file [RW] -> success"));

    ctl.setDbFile(dbPath(), "velk.db");
    ASSERT_TRUE(ctl.open());
    ctl.close();
}

TEST_F(DbControllerLock, CloseWithoutOpenStillRemovesTheLock) {
    dir.write("db/db_rw.lock", "");
    ctl.close();
    EXPECT_FALSE(exists(lockFile()));
    EXPECT_TRUE(logs.contains("in close : remove lock file [RW] -> success"));
}

TEST_F(DbControllerLock, TransactionsNeedAConnection) {
    EXPECT_FALSE(ctl.beginTransaction());
    EXPECT_FALSE(ctl.commitTransaction());
    EXPECT_FALSE(ctl.rollbackTransaction());
    ASSERT_TRUE(ctl.open());
    ctl.close();
    EXPECT_FALSE(ctl.beginTransaction());
}

TEST_F(DbControllerLock, RollbackDiscardsCommitKeepsCloseDiscardsUncommitted) {
    auto insert = [this](const char* text) {
        return sqlite3_exec(
            ctl.connection(),
            (std::string("INSERT INTO order_info ( receive_json ) VALUES ( '") + text + "' );").c_str(),
            nullptr, nullptr, nullptr);
    };
    ASSERT_TRUE(ctl.open());
    ASSERT_TRUE(ctl.beginTransaction());
    ASSERT_EQ(insert("rolled back"), SQLITE_OK);
    EXPECT_TRUE(ctl.rollbackTransaction());
    ASSERT_TRUE(ctl.beginTransaction());
    ASSERT_EQ(insert("committed"), SQLITE_OK);
    EXPECT_TRUE(ctl.commitTransaction());
    EXPECT_FALSE(ctl.commitTransaction());  // nothing left to commit
    ASSERT_TRUE(ctl.beginTransaction());
    ASSERT_EQ(insert("left open"), SQLITE_OK);
    ctl.close();
    EXPECT_EQ(RawDb(dbFile()).rows("SELECT receive_json FROM order_info;"),
              (std::vector<std::vector<std::string>>{{"committed"}}));
}

namespace {

// Runs a test in a fixed time zone and restores the previous one.
class DbControllerTime : public ::testing::Test {
  protected:
    void use(const char* zone) {
        setenv("TZ", zone, 1);
        tzset();
    }
    void SetUp() override {
        const char* old = std::getenv("TZ");
        hadZone = old != nullptr;
        previous = hadZone ? old : "";
    }
    void TearDown() override {
        if (hadZone) {
            setenv("TZ", previous.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

  private:
    bool hadZone = false;
    std::string previous;
};

}  // namespace

TEST_F(DbControllerTime, DashAndSlashFormsGiveTheSameSeconds) {
    use("UTC0");
    EXPECT_EQ(DbController::textToTime("2024-01-02 03:04:05"), 1704164645);
    EXPECT_EQ(DbController::textToTime("2024/01/02 03:04:05"), 1704164645);
    EXPECT_EQ(DbController::timeToText(1704164645), "2024/01/02 03:04:05");
    use("JST-9");
    EXPECT_EQ(DbController::textToTime("2024-01-02 12:04:05"), 1704164645);
    EXPECT_EQ(DbController::timeToText(1704164645), "2024/01/02 12:04:05");
}

TEST_F(DbControllerTime, SummerTimeRoundTripsInAZoneWithDaylightSaving) {
    use("CET-1CEST,M3.5.0,M10.5.0/3");
    for (const char* text : {"2024/07/01 12:00:00", "2024/01/15 08:30:00", "2024/10/27 01:59:59"}) {
        EXPECT_EQ(DbController::timeToText(DbController::textToTime(text)), text);
    }
    EXPECT_EQ(DbController::textToTime("2024-07-01 12:00:00"), 1719828000);
}

TEST_F(DbControllerTime, The32BitRangeIsKeptAndUnreadableTextsAreNotSet) {
    use("UTC0");
    EXPECT_EQ(DbController::textToTime("2038-01-19 03:14:07"), 2147483647);
    EXPECT_EQ(DbController::textToTime("2038-01-19 03:14:08"), 0);
    EXPECT_EQ(DbController::textToTime("1901-12-13 20:45:52"), -2147483647 - 1);
    EXPECT_EQ(DbController::timeToText(-2147483647 - 1), "1901/12/13 20:45:52");
    EXPECT_EQ(DbController::timeToText(2147483647), "2038/01/19 03:14:07");
    for (const char* text : {"", "soon", "2024-01-02", "02/01/2024"}) {
        EXPECT_EQ(DbController::textToTime(text), 0) << text;
    }
}
