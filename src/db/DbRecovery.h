#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace velk::data {
class LogWrapper;
}

namespace velk::db {

// Puts a new database file in place of a damaged one. The damaged file is moved aside under a
// name no earlier copy holds; the new one carries, ids kept, what can still be read of the work
// in hand: open update rows with their order and package rows, undelivered reports, boot times
// not yet acknowledged and the marks of kept answers. Any thread may note damage; the rebuild
// runs on the thread holding the lock file, with no connection open. It never deletes or
// overwrites a file that holds data.
class DbRecovery {
  public:
    // Remembers a result that says the file is damaged (SQLITE_CORRUPT, SQLITE_NOTADB).
    static void noteResult(int code);
    static bool damageNoted();
    static void forgetDamage();

    // Runs "PRAGMA quick_check" or "PRAGMA integrity_check": SQLITE_OK when the file is sound,
    // SQLITE_CORRUPT with the first finding, or the code that kept the check from running.
    static int checkFile(sqlite3* conn, const char* pragma, std::string& finding);

    // Every commit on a connection that writes is on disk, journal unlink included, once it returns.
    static bool makeDurable(sqlite3* conn);

    DbRecovery(data::LogWrapper* log, std::string dbFile);

    // After noted damage: rebuilds when a full check confirms it. True when the file is sound now.
    bool recoverNoted();
    // False leaves the old file where it was.
    bool rebuild();
    const std::string& asidePath() const { return aside; }

  private:
    struct Counts {
        int64_t rows = 0;
        int64_t skipped = 0;
        int64_t lastId = 0;  // the highest id read, kept or not
    };
    class Row;
    using Keep = std::function<bool(const Row&)>;

    bool _carryAll(sqlite3* from, sqlite3* to);
    Counts _carry(sqlite3* from, sqlite3* to, const std::string& table, const Keep& keep);
    bool _moveAside();

    data::LogWrapper* log;
    std::string dbFile;
    std::string aside;
    std::map<std::string, Counts> carried;
};

}  // namespace velk::db
