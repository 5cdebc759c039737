#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <ostream>
#include <thread>
#include <utility>
#include <vector>

#include "db/DbController.h"
#include "db/DbLock.h"
#include "db/DbSession.h"
#include "db/DbTestSupport.h"

using velk::db::DbController;
using velk::db::DbLock;
using velk::test::DbFixture;
using velk::test::exists;
using velk::test::RawDb;
using velk::test::readFile;
using velk::test::TempDir;

namespace {

using Rows = std::vector<std::vector<std::string>>;

class DbControllerStartup : public ::testing::Test, public DbFixture {};

// What a start finds in the database directory, and what it must make of it.
struct FoundFile {
    const char* name;
    void (*prepare)(DbFixture&);
    int32_t code;
    bool movedAside;  // the old file lies aside under a name of its own, an older copy untouched
};

void PrintTo(const FoundFile& c, std::ostream* os) { *os << c.name; }

class DbControllerFoundFile : public ::testing::TestWithParam<FoundFile>, public DbFixture {
  protected:
    std::string older() const { return dbFile() + ".broken-20261201-080000"; }
};

void makeDbDir(DbFixture& f) { ASSERT_EQ(mkdir(f.dbPath().c_str(), 0755), 0); }

}  // namespace

TEST_P(DbControllerFoundFile, IsKeptReplacedOrMovedAside) {
    const FoundFile& c = GetParam();
    c.prepare(*this);
    const std::string before = c.movedAside ? readFile(dbFile()) : "";
    DbController again;
    again.setLockWait(5, 10);
    EXPECT_EQ(again.init(dbPath(), "velk.db", "db_rw.lock", "db_ro.lock"), c.code);
    EXPECT_FALSE(exists(lockFile()));
    std::vector<std::string> aside;
    for (const auto& entry : std::filesystem::directory_iterator(dbPath())) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("velk.db.broken-", 0) == 0 && readFile(entry.path()) != "older copy") {
            aside.push_back(entry.path());
        }
    }
    ASSERT_EQ(aside.size(), c.movedAside ? 1u : 0u);
    if (c.movedAside) {
        EXPECT_EQ(readFile(aside[0]), before);
    }
    EXPECT_TRUE(!exists(older()) || readFile(older()) == "older copy");
    if (c.code == DbController::INIT_SUCCESS) {
        RawDb db(dbFile());
        EXPECT_EQ(db.rows("SELECT id, db_version, create_date IS NOT NULL, update_date FROM version;"),
                  (Rows{{"1", "1.0", "1", "NULL"}}));
        EXPECT_EQ(db.number("SELECT COUNT(*) FROM order_info;"), 0);
    } else {
        // An undecided file is never removed.
        EXPECT_TRUE(exists(dbFile() + "/inside"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Start, DbControllerFoundFile,
    ::testing::Values(
        // The directories and the whole schema are made on the first start.
        FoundFile{"Nothing", [](DbFixture&) {}, 0, false},
        FoundFile{"Empty",
                  [](DbFixture& f) {
                      makeDbDir(f);
                      f.dir.write("db/velk.db", "");
                  },
                  0, false},
        FoundFile{"NoDatabase",
                  [](DbFixture& f) {
                      makeDbDir(f);
                      f.dir.write("db/velk.db", std::string(4096, 'x'));
                      f.dir.write("db/velk.db.broken-20261201-080000", "older copy");
                  },
                  0, true},
        // Valid SQLite, but without every table the agent needs.
        FoundFile{
            "OnlyOrderInfo",
            [](DbFixture& f) {
                makeDbDir(f);
                RawDb(f.dbFile())
                    .exec(
                        "CREATE TABLE order_info ( id INTEGER PRIMARY KEY, receive_json TEXT ); INSERT INTO "
                        "order_info ( receive_json ) VALUES ( 'x' );");
            },
            0, true},
        // A path SQLite cannot open leaves the state undecided.
        FoundFile{"Unopenable",
                  [](DbFixture& f) {
                      makeDbDir(f);
                      ASSERT_EQ(mkdir(f.dbFile().c_str(), 0755), 0);
                      f.dir.write("db/velk.db/inside", "data");
                  },
                  DbController::INIT_DB_UNDECIDED, false}),
    [](const auto& p) { return std::string(p.param.name); });

// Another program holding an exclusive lock makes the file unreadable for a moment only.
TEST_F(DbControllerStartup, BusyFileIsKeptAndInitFails) {
    ASSERT_EQ(initDb(), 0);
    RawDb holder(dbFile());
    ASSERT_EQ(holder.exec("INSERT INTO order_info ( receive_json ) VALUES ( 'precious' );"), SQLITE_OK);
    ASSERT_EQ(holder.exec("BEGIN EXCLUSIVE;"), SQLITE_OK);
    DbController again;
    again.setLockWait(5, 10);
    EXPECT_EQ(again.init(dbPath(), "velk.db", "db_rw.lock", "db_ro.lock"), DbController::INIT_DB_UNDECIDED);
    EXPECT_FALSE(exists(dbFile() + ".broken"));
    EXPECT_FALSE(exists(lockFile()));
    ASSERT_EQ(holder.exec("COMMIT;"), SQLITE_OK);
    EXPECT_EQ(holder.text("SELECT receive_json FROM order_info;"), "precious");
}

TEST_F(DbControllerStartup, UnusablePathsFailWithTheirCodes) {
    EXPECT_EQ(ctl.init("", "velk.db", "a", "b"), DbController::INIT_EMPTY_NAME);
    EXPECT_EQ(ctl.init(dbPath(), "", "a", "b"), DbController::INIT_EMPTY_NAME);
    // A lock path that is a directory never comes free: the cause is named, nothing waits for it.
    ASSERT_EQ(mkdir(dbPath().c_str(), 0755), 0);
    ASSERT_EQ(mkdir(lockFile().c_str(), 0755), 0);
    EXPECT_EQ(initDb(), DbController::INIT_LOCK_UNUSABLE);
    EXPECT_TRUE(logs.contains("cannot remove lock file [RW] -> " + lockFile() + " : Is a directory"));
    EXPECT_FALSE(logs.contains("remove lock file! [RW]"));
    ctl.setLockWait(3, 1000);
    EXPECT_FALSE(ctl.open());
    EXPECT_TRUE(logs.contains("in open : lock file [RW] -> " + lockFile() + " : Is a directory"));
}

TEST_F(DbControllerStartup, FailedBuildKeepsAFileItFound) {
    ASSERT_EQ(initDb(), 0);
    ASSERT_EQ(std::remove(dbFile().c_str()), 0);
    // A table the schema is about to create already exists: that statement is not done.
    RawDb(dbFile()).exec("CREATE TABLE version (x); INSERT INTO version VALUES ( 'kept' );");
    EXPECT_FALSE(ctl.createDbFile());
    EXPECT_EQ(RawDb(dbFile()).text("SELECT x FROM version;"), "kept");
    EXPECT_FALSE(exists(lockFile()));
}

struct DirCase {
    const char* name;
    const char* path;  // a leading "~" stands for a temporary directory holding a plain "file"
    int32_t code;
    const char* made;  // a directory that must exist afterwards, or empty
};

class DbControllerDirs : public ::testing::TestWithParam<DirCase> {};

TEST_P(DbControllerDirs, CreatesOrRefuses) {
    TempDir dir;
    dir.write("file", "x");
    std::string path = GetParam().path;
    if (path[0] == '~') {
        path.replace(0, 1, dir.path());
    }
    // Relative paths are made below the working directory.
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof(previous)), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    const int32_t code = DbController::makeDirectories(path);
    ASSERT_EQ(chdir(previous), 0);
    EXPECT_EQ(code, GetParam().code);
    if (*GetParam().made != '\0') {
        EXPECT_TRUE(std::filesystem::is_directory(dir.file(GetParam().made)));
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, DbControllerDirs,
                         ::testing::Values(DirCase{"nested", "~/a/b/c", 0, "a/b/c"},
                                           DirCase{"relative", "rel//x/", 0, "rel/x"},
                                           DirCase{"file_prefix", "~/file/sub", 2, ""},
                                           DirCase{"file_last", "~/file", 2, ""},
                                           // Not even root can make a directory in /proc.
                                           DirCase{"unmakable", "/proc/velk-no-such-dir/sub", 1, ""}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(DbControllerFile, SizeIsClampedNeverNegativeForLargeFiles) {
    TempDir dir;
    EXPECT_EQ(DbController::getFileSize(dir.file("absent")), -1);
    EXPECT_EQ(DbController::getFileSize(dir.write("empty", "")), 0);
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
    std::atomic<int> faults{0};  // failed opens and overlaps
    auto worker = [&] {
        for (int i = 0; i < 40; ++i) {
            if (!ctl.open()) {
                ++faults;
                continue;
            }
            if (++inside != 1 || ctl.connection() == nullptr) {
                ++faults;
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
    EXPECT_EQ(faults.load(), 0);
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

// An immutable folder refuses unlinks, even root's, as a folder remounted read-only does.
struct ImmutableFolder {
    explicit ImmutableFolder(const std::string& path) : fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY)) {}
    ~ImmutableFolder() {
        set(false);
        ::close(fd);
    }
    bool set(bool on) const {
        int flags = 0;
        if (ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) {
            return false;
        }
        flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        return ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    const int fd;
};

TEST_F(DbControllerLock, ComesBackAfterAFailedOpenOrAFailedUnlink) {
    ctl.setDbFile(dbPath() + "/missing-dir", "velk.db");
    EXPECT_FALSE(ctl.open());
    EXPECT_FALSE(exists(lockFile()));
    EXPECT_EQ(ctl.connection(), nullptr);
    ctl.setDbFile(dbPath(), "velk.db");
    ASSERT_TRUE(ctl.open());
    ImmutableFolder folder(dbPath());
    const bool immutable = folder.set(true);
    ctl.close();
    if (!immutable) {
        GTEST_SKIP() << "needs root and a filesystem with the immutable flag";
    }
    EXPECT_TRUE(exists(lockFile()));
    EXPECT_FALSE(ctl.open());  // the leftover cannot go yet
    ASSERT_TRUE(folder.set(false));
    ASSERT_TRUE(ctl.open());  // not a wait on its own leftover, failing for the rest of the run
    ctl.close();
    EXPECT_FALSE(exists(lockFile()));
}

namespace {

class DbControllerTime : public ::testing::Test {
  protected:
    void use(const char* zone) {
        setenv("TZ", zone, 1);
        tzset();
    }
    void TearDown() override {
        if (hadZone) {
            use(previous.c_str());
        } else {
            unsetenv("TZ");
            tzset();
        }
    }

  private:
    bool hadZone = std::getenv("TZ") != nullptr;
    std::string previous = hadZone ? std::getenv("TZ") : "";
};

}  // namespace

// Both forms read alike in every zone, and summer times round-trip. 32-bit targets cannot mktime
// dates past 2038 or before 1901; an order so dated must still wait for its own time, while the
// stored 32-bit seconds of such a text read as not set.
TEST_F(DbControllerTime, OrdersDatedPast2038ReadAlikeOnEveryTarget) {
    struct Case {
        const char* zone;
        const char* text;
        int64_t seconds;
    };
    const char* cet = "CET-1CEST,M3.5.0,M10.5.0/3";
    const Case cases[] = {
        {"UTC0", "2024-01-02 03:04:05", 1704164645},  {"UTC0", "2024/01/02 03:04:05", 1704164645},
        {"JST-9", "2024-01-02 12:04:05", 1704164645}, {cet, "2024/07/01 12:00:00", 1719828000},
        {cet, "2024/01/15 08:30:00", 1705303800},     {cet, "2024/10/27 01:59:59", 1729987199},
        {"UTC0", "2038-01-19 03:14:07", 2147483647},  {"UTC0", "2038-01-19 03:14:08", 2147483648},
        {"UTC0", "1901-12-13 20:45:52", -2147483648}, {"UTC0", "1901-12-13 20:45:51", -2147483649},
        {"UTC0", "2099/01/01 00:00:00", 4070908800},  {cet, "2099-03-28 12:00:00", 4078378800},
        {cet, "2099-03-29 12:00:00", 4078461600},
    };
    for (const Case& c : cases) {
        use(c.zone);
        int64_t seconds = 0;
        EXPECT_TRUE(DbController::readTime(c.text, seconds)) << c.text;
        EXPECT_EQ(seconds, c.seconds) << c.text;
        const bool in32 = c.seconds >= INT32_MIN && c.seconds <= INT32_MAX;
        EXPECT_EQ(DbController::textToTime(c.text), in32 ? c.seconds : 0) << c.text;
        if (in32) {
            std::string slashed = c.text;
            std::replace(slashed.begin(), slashed.end(), '-', '/');
            EXPECT_EQ(DbController::timeToText(static_cast<int32_t>(c.seconds)), slashed) << c.text;
        }
    }
    for (const char* text : {"", "soon", "2024-01-02", "02/01/2024"}) {
        EXPECT_EQ(DbController::textToTime(text), 0) << text;
    }
}

// An operator's reader holds a read transaction across the agent's commit: the commit waits for it.
TEST_F(DbControllerStartup, SessionCommitOutlastsAShortReader) {
    ASSERT_EQ(initDb(), 0);
    ctl.setLockWait(5, 2000);
    RawDb reader(dbFile());
    ASSERT_EQ(reader.exec("BEGIN; SELECT COUNT(*) FROM order_info;"), SQLITE_OK);
    std::thread release([&reader] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        reader.exec("COMMIT;");
    });
    bool committed = false;
    {
        velk::db::DbSession session(&ctl);
        ASSERT_TRUE(session.begin());
        EXPECT_EQ(ctl.insertOsBootTime("2026-12-01 08:00:00"), 0);
        committed = session.commit();
    }
    release.join();
    EXPECT_TRUE(committed);
    EXPECT_EQ(RawDb(dbFile()).number("SELECT COUNT(*) FROM os_boot_time;"), 1);
    EXPECT_FALSE(exists(lockFile()));
}

// A commit is on disk, journal unlink included, before the agent acts on it; the journal stays.
TEST_F(DbControllerStartup, CommitsAreDurableInRollbackJournalMode) {
    ASSERT_EQ(initDb(), 0);
    ASSERT_TRUE(ctl.open());
    const std::vector<std::pair<const char*, const char*>> pragmas = {{"PRAGMA synchronous;", "3"},
                                                                      {"PRAGMA journal_mode;", "delete"}};
    for (const auto& [sql, want] : pragmas) {
        sqlite3_stmt* raw = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(ctl.connection(), sql, -1, &raw, nullptr), SQLITE_OK);
        std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> stmt(raw, sqlite3_finalize);
        ASSERT_EQ(sqlite3_step(raw), SQLITE_ROW);
        EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(raw, 0)), want) << sql;
    }
    ctl.close();
}
