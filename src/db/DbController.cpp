#include "db/DbController.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <thread>
#include <utility>

#include "TimeFormat.h"
#include "communication/HttpConnection.h"
#include "data/LogWrapper.h"
#include "db/AgentGuard.h"
#include "db/DbLock.h"
#include "db/DbRecovery.h"
#include "db/SQLiteStmtMaker.h"
#include "db/StatementSupport.h"
#include "model/OrderInfo.h"

namespace velk::db {

namespace {

using detail::stepStmt;
using detail::successText;

DbController* instance = nullptr;

constexpr const char* access_check_sql = "SELECT * FROM order_info LIMIT 1;";

constexpr const char* sel_table_count_sql =
    "SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND name IN ( 'order_info', 'update_info', "
    "'update_package', 'os_boot_time', 'version' );";

// SQLite's own SQLITE_TRANSIENT, without the old-style cast of its macro.
const sqlite3_destructor_type kTransient =
    reinterpret_cast<sqlite3_destructor_type>(static_cast<intptr_t>(-1));

// The lock objects outlive every thread that may still use them at process exit.
DbLock& rwLock() {
    static DbLock* lock = new DbLock();  // process-wide, never destroyed
    return *lock;
}

DbLock& roLock() {
    static DbLock* lock = new DbLock();  // process-wide, never destroyed
    return *lock;
}

AgentGuard& agentGuard() {
    static AgentGuard* guard = new AgentGuard();  // held until the process ends
    return *guard;
}

constexpr std::chrono::milliseconds kStopSlice{100};

const char* boolText(bool value) { return value ? "true" : "false"; }

// Codes that say the file could not be read just now, not that its content is bad.
bool isTransientError(int code) {
    switch (code & 0xff) {
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
        case SQLITE_NOMEM:
        case SQLITE_IOERR:
        case SQLITE_CANTOPEN:
        case SQLITE_PERM:
        case SQLITE_INTERRUPT:
            return true;
        default:
            return false;
    }
}

// Only a path known to be absent counts as absent; stat may also fail on a file that is there
// (a large file without large-file support, a permission problem).
bool pathExists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 || (errno != ENOENT && errno != ENOTDIR);
}

std::vector<std::string> buildCreateTableSqls() {
    return {
        "CREATE TABLE [order_info] ( [id] INTEGER PRIMARY KEY AUTOINCREMENT, [receive_json] TEXT, "
        "[order_kind] INTEGER DEFAULT '0', [order_time] DATETIME, [order_status] INTEGER DEFAULT '-1', "
        "[response_json] TEXT, [create_time] DATETIME NOT NULL DEFAULT CURRENT_TIMESTAMP, [update_time] "
        "DATETIME);",
        "CREATE TABLE [update_info] ( [id] INTEGER PRIMARY KEY AUTOINCREMENT, [order_info_id] INTEGER NOT "
        "NULL REFERENCES [order_info] ([id]), [sw_upd_no] INTEGER NOT NULL, [receive_time] DATETIME, "
        "[update_status] INTEGER DEFAULT '-1', [status_change_time] DATETIME, [download_start_time] "
        "DATETIME, [download_end_time] DATETIME, [update_start_time] DATETIME, [update_end_time] DATETIME, "
        "[create_time] DATETIME NOT NULL DEFAULT CURRENT_TIMESTAMP, [update_time] DATETIME);",
        "CREATE TABLE [update_package] ( [id] INTEGER PRIMARY KEY AUTOINCREMENT, [sw_upd_no] INTEGER NOT "
        "NULL, [package_name] VARCHAR (32) NOT NULL, [package_version] VARCHAR (32) NOT NULL, "
        "[package_url] VARCHAR (192) NOT NULL, [target_flag] INTEGER NOT NULL DEFAULT 0, [old_version] "
        "VARCHAR (32), [download_flag] INTEGER DEFAULT 0, [download_time] DATETIME, [create_time] "
        "DATETIME NOT NULL DEFAULT CURRENT_TIMESTAMP, [update_time] DATETIME );",
        "CREATE TABLE [os_boot_time] ( [id] INTEGER PRIMARY KEY AUTOINCREMENT, [boot_time] DATETIME NOT "
        "NULL, [shutdown_time] DATETIME, [is_normal_term] INTEGER, [is_send] INTEGER NOT NULL DEFAULT 0, "
        "[create_time] DATETIME NOT NULL DEFAULT CURRENT_TIMESTAMP, [update_time] DATETIME );",
        "CREATE TABLE [version] ( [id] INTEGER PRIMARY KEY AUTOINCREMENT, [db_version] TEXT NOT NULL, "
        "[create_date] DATETIME NOT NULL DEFAULT CURRENT_TIMESTAMP, [update_date] DATETIME );",
        std::string("INSERT INTO version ( db_version ) VALUES ( '") + DbController::DB_VERSION + "' );",
    };
}

}  // namespace

const std::vector<std::string> DbController::create_table_sqls = buildCreateTableSqls();

DbController* DbController::createInstance() {
    if (instance == nullptr) {
        instance = new DbController();  // process-wide, never destroyed
    }
    return instance;
}

DbController* DbController::getInstance() { return instance; }

DbController::DbController() : silentLog(std::make_unique<data::LogWrapper>(nullptr)) {
    log = silentLog.get();
}

DbController::~DbController() = default;

int32_t DbController::init(const std::string& path, const std::string& filename, const std::string& lockOrder,
                           const std::string& lockUpd) {
    if (data::LogWrapper* facade = data::LogWrapper::getInstance(); facade != nullptr) {
        log = facade;
    }
    log->setLogger("velk");
    log->info("[{}:{}] in init : path -> {} : filename -> {} : lock_file(order) -> {} : lock_file(upd) -> {}",
              VELK_AT, path, filename, lockOrder, lockUpd);
    if (path.empty() || filename.empty()) {
        return INIT_EMPTY_NAME;
    }
    setDbFile(path, filename);

    int32_t dirResult = SetLockFilename(path, lockOrder, lockUpd);
    if (dirResult != 0) {
        log->error("[{}:{}] in init : call SetLockFilename erro ({}) : path -> {}", VELK_AT, dirResult, path);
        return INIT_DIRECTORY_FAILED;
    }
    // Only with the folder held is a lock file there known to be left by a process that is gone.
    if (!agentGuard().hold(path)) {
        const int cause = errno;
        if (cause == EWOULDBLOCK) {
            log->error("[{}:{}] in init : another agent runs on the database folder {}", VELK_AT, path);
            return INIT_AGENT_RUNNING;
        }
        log->error("[{}:{}] in init : cannot hold the database folder {} : {}", VELK_AT, path,
                   std::strerror(cause));
        return INIT_LOCK_UNUSABLE;
    }
    if (rwLock().existLockFile()) {
        if (rwLock().removeLockFile()) {
            log->info("[{}:{}] in init : remove lock file! [RW]", VELK_AT);
        } else {
            // A directory (or a file in a read-only directory) in its place never comes free.
            log->error("[{}:{}] in init : cannot remove lock file [RW] -> {} : {}", VELK_AT,
                       rwLock().getFilename(), std::strerror(errno));
            return INIT_LOCK_UNUSABLE;
        }
    }

    bool exists = checkExistDbFile();
    log->info("[{}:{}] in init : check exist DB file -> {}", VELK_AT, boolText(exists));
    // An empty file that could not be removed is still safe to build into.
    if (!exists && getFileSize(dbFile) != 0 && pathExists(dbFile)) {
        log->error("[{}:{}] in init : db file cannot be read, kept as it is -> {}", VELK_AT, dbFile);
        return INIT_DB_UNDECIDED;
    }
    if (exists) {
        int32_t access = checkDbAccess();
        if (access == ACCESS_UNREADABLE && !DbRecovery(log, dbFile).rebuild()) {
            return INIT_MOVE_ASIDE_FAILED;
        }
        if (access < 0 && access != ACCESS_UNREADABLE) {
            // Busy, locked or not openable says nothing about the content: keep the data.
            log->error("[{}:{}] in init : db file not checked ({}), kept as it is -> {}", VELK_AT, access,
                       dbFile);
            return INIT_DB_UNDECIDED;
        }
    }
    if (!exists) {
        bool created = createDbFile();
        log->info("[{}:{}] in init : create directory & db file : result -> {}", VELK_AT,
                  successText(created));
        if (!created) {
            return INIT_CREATE_FAILED;
        }
    }
    // Every pass and the start-up reset select update rows by status; without the index each
    // scans the whole table, and a start-up scan can cost the first poll a lock wait.
    if (open()) {
        _exec(status_index_sql);
        close();
    }
    return INIT_SUCCESS;
}

bool DbController::open() {
    bool locked = waitLock(lockTries.load(), std::chrono::milliseconds(lockPauseMs.load()));
    const int cause = errno;
    log->info("[{}:{}] in open : create lock file [RW] -> {}", VELK_AT, locked ? "success" : "failed!");
    if (!locked) {
        log->error("[{}:{}] in open : lock file [RW] -> {} : {}", VELK_AT, rwLock().getFilename(),
                   std::strerror(cause));
        return false;
    }
    // Held lock, no connection, no transaction: the one moment a damaged file can be swapped.
    if (DbRecovery::damageNoted()) {
        DbRecovery(log, dbFile).recoverNoted();
    }
    sqlite3* raw = nullptr;
    int rc = sqlite3_open(dbFile.c_str(), &raw);
    // SQLite may hand back a handle even when the open failed; it is closed either way.
    std::unique_ptr<sqlite3, Closer> handle(raw);
    if (rc == SQLITE_OK) {
        // An operator's reader may hold the file for a moment; a write waits for it rather than fail.
        sqlite3_busy_timeout(raw, lockPauseMs.load());
        // The rollback journal's unlink ends each commit; below EXTRA it is not synced, and a journal
        // back after a power cut rolls back a commit the agent has already acted on.
        if (!DbRecovery::makeDurable(raw)) {
            log->warning("[{}:{}] in open : durable commits not set : {}", VELK_AT, sqlite3_errmsg(raw));
        }
        {
            std::lock_guard<std::mutex> guard(dbMutex);
            db = std::move(handle);
        }
        log->info("[{}:{}] in open : DB open success : db file -> {}", VELK_AT, dbFile);
        return true;
    }
    log->warning("[{}:{}] in open : DB open failed -> {}", VELK_AT, rc);
    handle.reset();
    // Callers never close after a failed open, so the lock is given back here.
    rwLock().removeLockFile();
    return false;
}

void DbController::close() {
    std::unique_ptr<sqlite3, Closer> old;
    {
        std::lock_guard<std::mutex> guard(dbMutex);
        old = std::move(db);
    }
    if (old) {
        log->info("[{}:{}] in close : db file -> {}", VELK_AT, dbFile);
        old.reset();
    }
    // The connection is gone before the lock is, so the next holder never overlaps it.
    bool removed = rwLock().removeLockFile();
    const int cause = errno;
    log->info("[{}:{}] in close : remove lock file [RW] -> {}", VELK_AT, removed ? "success" : "failed!");
    if (!removed) {
        log->warning(
            "[{}:{}] in close : lock file [RW] left behind -> {} : taken back when the folder allows",
            VELK_AT, std::strerror(cause));
    }
}

bool DbController::beginTransaction() { return _exec("BEGIN;"); }

bool DbController::commitTransaction() { return _exec("COMMIT;"); }

bool DbController::rollbackTransaction() { return _exec("ROLLBACK;"); }

void DbController::setLockWait(int32_t tries, int32_t pauseMs) {
    lockTries.store(tries);
    lockPauseMs.store(pauseMs);
}

sqlite3* DbController::connection() const {
    std::lock_guard<std::mutex> guard(dbMutex);
    return db.get();
}

bool DbController::_exec(const char* sql) {
    sqlite3* conn = connection();
    if (conn == nullptr) {
        return false;
    }
    int rc = sqlite3_exec(conn, sql, nullptr, nullptr, nullptr);
    DbRecovery::noteResult(rc);
    return rc == SQLITE_OK;
}

void DbController::setDbFile(const std::string& path, const std::string& filename) {
    dbPath = path;
    dbFileName = filename;
    dbFile = path + "/" + filename;
}

int32_t DbController::SetLockFilename(const std::string& path, const std::string& lockOrder,
                                      const std::string& lockUpd) {
    rwLock().setFilename(path, lockOrder, DbLock::LOCK_RW);
    roLock().setFilename(path, lockUpd, DbLock::LOCK_RO);
    return makeDirectories(path);
}

int32_t DbController::makeDirectories(const std::string& path) {
    // A relative path is taken from the working directory, where the database file and the
    // lock files named with it are opened too.
    std::string prefix = (!path.empty() && path.front() == '/') ? "/" : "";
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) {
            end = path.size();
        }
        if (end > start) {
            if (!prefix.empty() && prefix.back() != '/') {
                prefix += '/';
            }
            prefix.append(path, start, end - start);
            struct stat st {};
            if (stat(prefix.c_str(), &st) != 0) {
                if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) {
                    return 1;
                }
                // Made by someone else meanwhile: it must still be a directory.
                if (stat(prefix.c_str(), &st) != 0) {
                    return 1;
                }
            }
            if (!S_ISDIR(st.st_mode)) {
                return 2;
            }
        }
        start = end + 1;
    }
    return 0;
}

bool DbController::waitLock(int32_t tries, std::chrono::milliseconds pause) {
    for (int32_t attempt = 1; attempt <= tries; ++attempt) {
        if (rwLock().createLockFile()) {
            return true;
        }
        if (errno != EEXIST) {
            return false;
        }
        struct stat st {};
        if (stat(rwLock().getFilename().c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            // Never removed by a lock holder: waiting for it is pointless.
            errno = EISDIR;
            return false;
        }
        // Slices, so that an exit signal ends the wait within a fraction of a second.
        using Clock = std::chrono::steady_clock;
        const Clock::time_point end = Clock::now() + pause;
        for (Clock::time_point now = Clock::now(); attempt < tries && now < end; now = Clock::now()) {
            if (comm::HttpConnection::transfersStopped()) {
                errno = EINTR;
                return false;
            }
            std::this_thread::sleep_for(std::min<Clock::duration>(kStopSlice, end - now));
        }
    }
    return false;
}

int32_t DbController::getFileSize(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return -1;
    }
    in.seekg(0, std::ios::end);
    std::streamoff position = in.tellg();
    if (position < 0) {
        // The size is unknown, which is not the same as empty.
        return -1;
    }
    // Clamped, so that a file beyond 2 GiB is never taken for an empty one.
    if (position > std::numeric_limits<int32_t>::max()) {
        return std::numeric_limits<int32_t>::max();
    }
    return static_cast<int32_t>(position);
}

bool DbController::checkExistDbFile() {
    int32_t size = getFileSize(dbFile);
    if (size >= 1) {
        log->info("[{}:{}] in init : db file size = {}", VELK_AT, size);
        return true;
    }
    if (size == 0) {
        int removed = std::remove(dbFile.c_str()) == 0 ? 0 : -1;
        log->info("[{}:{}] in init : db file size = {} : remove db file result -> {}", VELK_AT, size,
                  removed);
    }
    return false;
}

int32_t DbController::checkDbAccess() {
    bool opened = open();
    log->info("[{}:{}] in checkDbAccess : open -> {}", VELK_AT, boolText(opened));
    if (!opened) {
        log->error("[{}:{}] in checkDbAccess : open failed!", VELK_AT);
        return ACCESS_OPEN_FAILED;
    }
    int32_t count = accessCheck();
    close();
    return count;
}

int32_t DbController::accessCheck() {
    int32_t count = 0;
    log->info("[{}:{}] in accessCheck : access check sql -> {}", VELK_AT, access_check_sql);
    sqlite3* conn = connection();
    SQLiteStmtMaker maker(conn);
    sqlite3_stmt* stmt = maker.make(access_check_sql);
    // Why the prepare failed decides between an unreadable file and a busy one.
    int prepareError = (stmt == nullptr && conn != nullptr) ? sqlite3_extended_errcode(conn) : SQLITE_OK;
    int rc = SQLITE_MISUSE;
    try {
        rc = stepStmt(stmt);
        while (rc == SQLITE_ROW) {
            ++count;
            rc = stepStmt(stmt);
        }
    } catch (const std::exception& e) {
        log->info("[{}:{}] in accessCheck : exception : reason -> {}", VELK_AT, e.what());
        return ACCESS_EXCEPTION;
    }
    if (rc == SQLITE_DONE) {
        // A file that misses any of the tables would fail every later pass and drop orders.
        sqlite3_stmt* tables = maker.make(sel_table_count_sql);
        int tablesRc = stepStmt(tables);
        if (tablesRc == SQLITE_ROW && sqlite3_column_int(tables, 0) != 5) {
            log->error("[{}:{}] in accessCheck : db file lacks tables of the agent ({} of 5)", VELK_AT,
                       sqlite3_column_int(tables, 0));
            return ACCESS_UNREADABLE;
        }
        if (tablesRc != SQLITE_ROW) {
            log->error("[{}:{}] in accessCheck : tables not checked ({})", VELK_AT, tablesRc);
            return isTransientError(tablesRc) ? ACCESS_BUSY : ACCESS_UNREADABLE;
        }
        std::string finding;
        int checked = DbRecovery::checkFile(conn, "quick_check", finding);
        if (checked != SQLITE_OK) {
            log->error("[{}:{}] in accessCheck : db file check failed ({}) -> {}", VELK_AT, checked, finding);
            return isTransientError(checked) ? ACCESS_BUSY : ACCESS_UNREADABLE;
        }
        log->info("[{}:{}] in accessCheck : access OK target : test select count = {}", VELK_AT, count);
        return count;
    }
    log->error("[{}:{}] in accessCheck failed ! : failed to select command_id from command_info : rc -> {}",
               VELK_AT, rc);
    int cause = stmt == nullptr ? prepareError : rc;
    if (isTransientError(cause)) {
        log->error("[{}:{}] in accessCheck : db file busy or not readable now ({})", VELK_AT, cause);
        return ACCESS_BUSY;
    }
    return ACCESS_UNREADABLE;
}

bool DbController::createDbFile() {
    int32_t dirResult = makeDirectories(dbPath);
    log->info("[{}:{}] in createDbFile  : result -> {}", VELK_AT, dirResult);
    if (dirResult != 0) {
        log->error("[{}:{}] in createDbFile error : failed to create directory -> {}", VELK_AT, dirResult);
        return false;
    }
    const bool found = pathExists(dbFile);
    bool opened = open();
    log->info("[{}:{}] in createDbFile open -> {}", VELK_AT, boolText(opened));
    if (!opened) {
        log->error("[{}:{}] in createDbFile : open failed!", VELK_AT);
        return false;
    }
    auto remaining = static_cast<int32_t>(create_table_sqls.size());
    {
        SQLiteStmtMaker maker(connection());
        for (const auto& sql : create_table_sqls) {
            log->info("[{}:{}] in createDbFile : create table sql -> {}", VELK_AT, sql);
            sqlite3_stmt* stmt = maker.make(sql);
            try {
                int rc = stepStmt(stmt);
                log->info("[{}:{}] in createDbFile : exec prepare rc -> {} ({})", VELK_AT,
                          successText(rc == SQLITE_DONE), rc);
                if (rc == SQLITE_DONE) {
                    --remaining;
                } else {
                    log->warning("[{}:{}] in createDbFile : exec prepare : result -> not done ({})", VELK_AT,
                                 rc);
                }
            } catch (const std::exception& e) {
                log->info("[{}:{}] in createDbFile : exception : reason -> {}", VELK_AT, e.what());
            }
        }
    }
    bool result = remaining == 0;
    if (!result) {
        log->error("[{}:{}] in createDbFile failed ! : failed or not create table num -> {}", VELK_AT,
                   remaining);
        // A file found here may hold data: only one this call made is removed.
        if (!found) {
            std::remove(dbFile.c_str());
            log->info("[{}:{}] in createDbFile : remove database file", VELK_AT);
        }
    }
    close();
    return result;
}

int32_t DbController::_stepChange(sqlite3_stmt* stmt, const char* op, int32_t exceptionCode,
                                  bool failLinesOnException, const char* failWhat) {
    int rc = -1;
    try {
        rc = stepStmt(stmt);
    } catch (const std::exception& e) {
        log->warning("[{}:{}] in {} : exception : reason -> {}", VELK_AT, op, e.what());
        if (!failLinesOnException) {
            return exceptionCode;
        }
    }
    log->info("[{}:{}] in {} : execution result -> {} ({})", VELK_AT, op, successText(rc == SQLITE_DONE), rc);
    if (rc != SQLITE_DONE) {
        log->error("[{}:{}] in {} failed ! : {} : rc -> {}", VELK_AT, op, failWhat, rc);
        return -1;
    }
    return 0;
}

void DbController::_bindInt(sqlite3_stmt* stmt, int index, int32_t value, const char* op,
                            const char* column) {
    int rc = stmt == nullptr ? SQLITE_MISUSE : sqlite3_bind_int(stmt, index, value);
    log->debug("[{}:{}] in {} : bind_int -> {} : {} = {}", VELK_AT, op, rc, column, value);
}

void DbController::_bindText(sqlite3_stmt* stmt, int index, const std::string& value, const char* op,
                             const char* column) {
    int rc = stmt == nullptr
                 ? SQLITE_MISUSE
                 : sqlite3_bind_text(stmt, index, value.data(), static_cast<int>(value.size()), kTransient);
    log->debug("[{}:{}] in {} : bind_text -> {} : {} = {}", VELK_AT, op, rc, column, value);
}

namespace {

// Seconds since the epoch of a broken-down UTC time, for any year; out-of-range days and hours
// carry over as mktime would carry them.
int64_t utcSeconds(const struct tm& t) {
    int64_t y = static_cast<int64_t>(t.tm_year) + 1900;
    int64_t m = t.tm_mon + 1;
    y += (m - 1 >= 0 ? (m - 1) / 12 : (m - 12) / 12);
    m = ((m - 1) % 12 + 12) % 12 + 1;
    y -= m <= 2 ? 1 : 0;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5;
    const int64_t days = era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
    return ((days + t.tm_mday - 1) * 24 + t.tm_hour) * 3600 + t.tm_min * 60 + t.tm_sec;
}

}  // namespace

bool DbController::readTime(const std::string& text, int64_t& seconds) {
    std::string copy = text;
    for (char& c : copy) {
        if (c == '-') {
            c = '/';
        }
    }
    struct tm parts {};
    if (strptime(copy.c_str(), "%Y/%m/%d %H:%M:%S", &parts) == nullptr) {
        return false;
    }
    // Let mktime decide daylight saving, so a summer time text round-trips in zones that have it.
    parts.tm_isdst = -1;
    struct tm probe = parts;
    time_t local = mktime(&probe);
    if (local != static_cast<time_t>(-1)) {
        seconds = static_cast<int64_t>(local);
        return true;
    }
    // A 32-bit time_t ends in 2038, yet orders may be dated later: take the zone's offset from a year
    // inside the range that has the same calendar (28 years apart), and count the seconds ourselves.
    const int64_t year = static_cast<int64_t>(parts.tm_year) + 1900;
    int64_t shift = 0;
    if (year > 2037) {
        shift = -((year - 2037 + 27) / 28) * 28;
    } else if (year < 1902) {
        shift = ((1902 - year + 27) / 28) * 28;
    } else {
        return false;
    }
    probe = parts;
    probe.tm_year = static_cast<int>(year + shift - 1900);
    local = mktime(&probe);
    if (local == static_cast<time_t>(-1)) {
        return false;
    }
    struct tm reference = parts;
    reference.tm_year = probe.tm_year;
    const int64_t offset = static_cast<int64_t>(local) - utcSeconds(reference);
    seconds = utcSeconds(parts) + offset;
    return true;
}

int32_t DbController::textToTime(const std::string& text) {
    int64_t wide = 0;
    // Wide compare: time_t is 32 bits on some targets and 64 on others.
    if (!readTime(text, wide) || wide < std::numeric_limits<int32_t>::min() ||
        wide > std::numeric_limits<int32_t>::max()) {
        return 0;
    }
    return static_cast<int32_t>(wide);
}

std::string DbController::timeToText(int32_t seconds) {
    return formatLocalTime(seconds, "%Y/%m/%d %H:%M:%S");
}

}  // namespace velk::db
