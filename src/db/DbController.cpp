#include "db/DbController.h"

#include <sys/stat.h>

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
#include "data/LogWrapper.h"
#include "db/DbLock.h"
#include "db/SQLiteStmtMaker.h"
#include "model/OrderInfo.h"

namespace velk::db {

namespace {

DbController* instance = nullptr;

constexpr const char* access_check_sql = "SELECT * FROM order_info LIMIT 1;";

constexpr const char* ins_order_info_sql =
    "INSERT INTO order_info ( receive_json, order_kind, order_time ) VALUES ( ?, ?, CURRENT_TIMESTAMP );";
constexpr const char* sel_order_info_max_id_sql = "SELECT MAX(id) FROM order_info WHERE receive_json = ?;";
constexpr const char* sel_unsent_instruction_result_sql =
    "SELECT id, order_status, response_json FROM order_info WHERE order_status IN ( 1, 11 ) AND "
    "response_json "
    "IS NOT NULL;";
// Only a row still holding the report that was sent: a newer report stored meanwhile stays queued.
constexpr const char* upd_order_info_resend_sql =
    "UPDATE order_info SET order_status = ?, update_time = CURRENT_TIMESTAMP WHERE id = ? AND order_status = "
    "? "
    "AND response_json = ?;";
constexpr const char* upd_order_info_swupd_send_result_sql =
    "UPDATE order_info SET order_status = ?, response_json = ?, update_time = CURRENT_TIMESTAMP WHERE id = "
    "?;";

constexpr const char* ins_update_info_sql =
    "INSERT INTO update_info ( order_info_id, sw_upd_no, receive_time, update_status, download_start_time, "
    "download_end_time, update_start_time, update_end_time ) VALUES ( ?, ?, CURRENT_TIMESTAMP, 0, ?, ?, ?, ? "
    ");";
constexpr const char* ins_update_package_sql =
    "INSERT INTO update_package ( sw_upd_no, package_name, package_version, package_url, target_flag, "
    "old_version ) VALUES ( ?, ?, ?, ?, ?, ? );";
constexpr const char* upd_update_info_delete_sql =
    "UPDATE update_info SET update_status = ?, status_change_time = CURRENT_TIMESTAMP, update_time = "
    "CURRENT_TIMESTAMP WHERE sw_upd_no = ? and update_status < 90;";
constexpr const char* upd_update_package_delete_sql =
    "UPDATE update_package SET target_flag = ?, update_time = CURRENT_TIMESTAMP WHERE sw_upd_no = ? and "
    "target_flag < 80;";
constexpr const char* upd_update_info_reset_sql =
    "UPDATE update_info SET update_status = ?, status_change_time = CURRENT_TIMESTAMP, update_time = "
    "CURRENT_TIMESTAMP WHERE update_status = ?;";
constexpr const char* sel_update_info_processing_sql =
    "SELECT COUNT(*) FROM update_info  WHERE update_status in ( 11, 21 );";
constexpr const char* sel_next_instruction_time_sql =
    "SELECT * FROM ( SELECT id, sw_upd_no, update_status, update_start_time AS start_time, 'sw_upd' AS type, "
    "0 AS download FROM update_info WHERE update_status in ( 0, 12 ) UNION ALL SELECT id, sw_upd_no, "
    "update_status, download_start_time AS start_time, 'sw_upd' AS type, 1 AS download FROM update_info "
    "WHERE "
    "update_status = 0 AND "
    "download_start_time IS NOT NULL ) AS upd_info WHERE start_time != '' ORDER BY start_time ASC, sw_upd_no "
    "ASC;";
// Only a row still in the state it was chosen in: a cancel or a newer order may have closed it since.
constexpr const char* upd_update_info_processing_sql =
    "UPDATE update_info SET update_status = ?, status_change_time = CURRENT_TIMESTAMP, update_time = "
    "CURRENT_TIMESTAMP WHERE id = ? AND update_status = ?;";
constexpr const char* sel_update_info_target_sql =
    "SELECT id, order_info_id, sw_upd_no, update_status, download_start_time, download_end_time, "
    "update_start_time, update_end_time FROM update_info  WHERE id = ?;";
constexpr const char* sel_update_package_target_sql =
    "SELECT id, sw_upd_no, package_name, package_version, package_url, target_flag, old_version, "
    "download_flag, "
    "download_time FROM update_package  WHERE sw_upd_no = ? and target_flag < 80;";
// Only from the status the run holds: a row closed by a cancel or a newer order stays closed.
constexpr const char* upd_update_info_process_end_sql =
    "UPDATE update_info SET update_status = ?, status_change_time = ?, update_time = CURRENT_TIMESTAMP WHERE "
    "id = ? AND update_status = ?;";
constexpr const char* upd_update_package_process_end_sql =
    "UPDATE update_package SET download_flag = ?, download_time = ?, update_time = CURRENT_TIMESTAMP WHERE "
    "id = ?;";

constexpr const char* sel_os_boot_time_same_data = "SELECT id FROM os_boot_time WHERE boot_time = ?;";
constexpr const char* ins_os_boot_time_sql =
    "INSERT INTO os_boot_time ( boot_time, is_send ) VALUES ( ?, ? );";
constexpr const char* sel_os_boot_time_unsemt_data = "SELECT boot_time FROM os_boot_time WHERE is_send = 0;";
constexpr const char* sel_table_count_sql =
    "SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND name IN ( 'order_info', 'update_info', "
    "'update_package', 'os_boot_time', 'version' );";
constexpr const char* upd_os_boot_time_send_sql =
    "UPDATE os_boot_time SET is_send = 1, update_time = CURRENT_TIMESTAMP WHERE is_send = 0;";

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

const char* successText(bool ok) { return ok ? "success" : "failed"; }
const char* boolText(bool value) { return value ? "true" : "false"; }

int stepStmt(sqlite3_stmt* stmt) { return stmt == nullptr ? SQLITE_MISUSE : sqlite3_step(stmt); }

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

// A NULL column cannot become a text; reading one is an error of the row, not an empty value.
std::string columnText(sqlite3_stmt* stmt, int column) {
    const unsigned char* text = sqlite3_column_text(stmt, column);
    if (text == nullptr) {
        throw std::logic_error("column " + std::to_string(column) + " is NULL");
    }
    return std::string(reinterpret_cast<const char*>(text),
                       static_cast<size_t>(sqlite3_column_bytes(stmt, column)));
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
        if (access == ACCESS_UNREADABLE) {
            if (!_moveBrokenDbFile()) {
                return INIT_MOVE_ASIDE_FAILED;
            }
            exists = false;
        } else if (access < 0) {
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
        _exec("CREATE INDEX IF NOT EXISTS update_info_status ON update_info ( update_status );");
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
    sqlite3* raw = nullptr;
    int rc = sqlite3_open(dbFile.c_str(), &raw);
    // SQLite may hand back a handle even when the open failed; it is closed either way.
    std::unique_ptr<sqlite3, Closer> handle(raw);
    if (rc == SQLITE_OK) {
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
    log->info("[{}:{}] in close : remove lock file [RW] -> {}", VELK_AT, removed ? "success" : "failed!");
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
    return conn != nullptr && sqlite3_exec(conn, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
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
        if (attempt < tries) {
            std::this_thread::sleep_for(pause);
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
        std::remove(dbFile.c_str());
        log->info("[{}:{}] in createDbFile : remove database file", VELK_AT);
    }
    close();
    return result;
}

bool DbController::_moveBrokenDbFile() {
    const std::string aside = dbFile + ".broken";
    if (std::rename(dbFile.c_str(), aside.c_str()) != 0) {
        log->error("[{}:{}] in init : cannot move unreadable db file aside -> {} : {}", VELK_AT, aside,
                   std::strerror(errno));
        return false;
    }
    log->warning("[{}:{}] in init : unreadable db file moved aside -> {}", VELK_AT, aside);
    return true;
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

int32_t DbController::insertOrderInfo(const std::string& receiveJson) {
    const char* op = "insertOrderInfo";
    SQLiteStmtMaker maker(connection());
    log->info("[{}:{}] in insertOrderInfo : sql > ins_order_info_sql", VELK_AT);
    sqlite3_stmt* stmt = maker.make(ins_order_info_sql);
    _bindText(stmt, 1, receiveJson, op, "receive_json");
    _bindInt(stmt, 2, ORDER_KIND_SW_UPDATE, op, "order_kind");
    int32_t inserted = _stepChange(stmt, op, -2, false);
    if (inserted != 0) {
        return inserted;
    }

    // The highest id with this text is the row just written: the caller holds the lock.
    sqlite3_stmt* idStmt = maker.make(sel_order_info_max_id_sql);
    _bindText(idStmt, 1, receiveJson, op, "receive_json");
    try {
        int rc = stepStmt(idStmt);
        bool read = rc == SQLITE_ROW || rc == SQLITE_DONE;
        log->info("[{}:{}] in insertOrderInfo : execution result -> {} ({})", VELK_AT, successText(read), rc);
        if (read) {
            int32_t id = sqlite3_column_int(idStmt, 0);
            if (rc == SQLITE_ROW) {
                log->info("[{}:{}] in insertOrderInfo : execution : last insert id -> {} (SQLITE_ROW)",
                          VELK_AT, id);
            } else {
                log->info("[{}:{}] in insertOrderInfo : execution : last insert id -> {} (SQLITE_DONE)",
                          VELK_AT, id);
            }
            if (id > 0) {
                return id;
            }
        }
    } catch (const std::exception& e) {
        log->info("[{}:{}] in insertOrderInfo : exception : reason -> {}", VELK_AT, e.what());
    }
    // Negative, so that no caller can take it for a row id.
    log->error("[{}:{}] in insertOrderInfo : SQLITE_DONE", VELK_AT);
    return -3;
}

int32_t DbController::updateSwupdSendResult(int32_t orderId, int32_t orderStatus,
                                            const std::string& responseJson) {
    const char* op = "updateSwupdSendResult";
    SQLiteStmtMaker maker(connection());
    log->info("[{}:{}] in updateSwupdSendResult : sql > upd_order_info_swupd_send_result_sql", VELK_AT);
    sqlite3_stmt* stmt = maker.make(upd_order_info_swupd_send_result_sql);
    _bindInt(stmt, 1, orderStatus, op, "order_status");
    _bindText(stmt, 2, responseJson, op, "response_json");
    _bindInt(stmt, 3, orderId, op, "id");
    return _stepChange(stmt, op, -2, false, "failed to update");
}

int32_t DbController::selectUnsentInstructionResultData(std::vector<model::OrderInfo>& orders) {
    SQLiteStmtMaker maker(connection());
    log->info("[{}:{}] in selectUnsentInstructionResultData : sql > sel_unsent_instruction_result_sql",
              VELK_AT);
    sqlite3_stmt* stmt = maker.make(sel_unsent_instruction_result_sql);
    log->info("[{}:{}]   -> {}", VELK_AT, sel_unsent_instruction_result_sql);
    int32_t result = 0;
    int rc = -1;
    try {
        rc = stepStmt(stmt);
        while (rc == SQLITE_ROW) {
            model::OrderInfo order;
            order.id = sqlite3_column_int(stmt, 0);
            order.orderStatus = sqlite3_column_int(stmt, 1);
            order.responseJson = columnText(stmt, 2);
            log->verbose("[{}:{}] in selectUnsentInstructionResultData : id -> {} : order_status -> {}",
                         VELK_AT, order.id, order.orderStatus);
            orders.push_back(order);
            rc = stepStmt(stmt);
        }
    } catch (const std::exception& e) {
        log->info("[{}:{}] in selectUnsentInstructionResultData : exception : reason -> {}", VELK_AT,
                  e.what());
        result = -1;
    }
    if (rc == SQLITE_DONE) {
        log->info("[{}:{}] in selectUnsentInstructionResultData : exec step : rc -> {} ({}) : ", VELK_AT,
                  "success", rc);
    } else {
        log->error(
            "[{}:{}] in selectUnsentInstructionResultData failed ! : failed to select command_id from "
            "command_info : "
            "rc -> {}",
            VELK_AT, rc);
        result = -2;
    }
    return result;
}

int32_t DbController::updateUnsentOrderInfo(const std::vector<model::OrderInfo>& orders) {
    const char* op = "updateUnsentOrderInfo";
    SQLiteStmtMaker maker(connection());
    int32_t result = 0;
    for (const auto& order : orders) {
        log->info("[{}:{}] in updateUnsentOrderInfo : sql > upd_order_info_resend_sql", VELK_AT);
        sqlite3_stmt* stmt = maker.make(upd_order_info_resend_sql);
        _bindInt(stmt, 1, order.orderStatus, op, "order_status");
        _bindInt(stmt, 2, order.id, op, "id");
        // Delivered (2, 12) is always reached from its queued value (1, 11).
        _bindInt(stmt, 3, order.orderStatus - 1, op, "order_status");
        _bindText(stmt, 4, order.responseJson, op, "response_json");
        if (_stepChange(stmt, op, -1, true) != 0) {
            result = -1;
        } else if (sqlite3_changes(connection()) == 0) {
            log->info("[{}:{}] in updateUnsentOrderInfo : order_info id -> {} holds a newer report, kept",
                      VELK_AT, order.id);
        }
    }
    return result;
}

int32_t DbController::insertUpdateInfo(int32_t orderInfoId, int32_t swUpdNo,
                                       const std::string& downloadStartTime,
                                       const std::string& downloadEndTime, const std::string& updateStartTime,
                                       const std::string& updateEndTime) {
    const char* op = "insertUpdateInfo";
    SQLiteStmtMaker maker(connection());
    log->info("[{}:{}] in insertUpdateInfo : sql > ins_update_info_sql", VELK_AT);
    sqlite3_stmt* stmt = maker.make(ins_update_info_sql);
    _bindInt(stmt, 1, orderInfoId, op, "order_info_id");
    _bindInt(stmt, 2, swUpdNo, op, "sw_upd_no");
    _bindText(stmt, 3, downloadStartTime, op, "download_start_time");
    _bindText(stmt, 4, downloadEndTime, op, "download_end_time");
    _bindText(stmt, 5, updateStartTime, op, "update_start_time");
    _bindText(stmt, 6, updateEndTime, op, "update_end_time");
    return _stepChange(stmt, op, -2, false);
}

int32_t DbController::insertPakageInfo(int32_t swUpdNo, const std::string& packageName,
                                       const std::string& packageVersion, const std::string& packageUrl,
                                       int32_t targetFlag, const std::string& oldVersion) {
    const char* op = "insertPakageInfo";
    SQLiteStmtMaker maker(connection());
    log->info("[{}:{}] in insertPakageInfo : sql > ins_update_package_sql", VELK_AT);
    sqlite3_stmt* stmt = maker.make(ins_update_package_sql);
    _bindInt(stmt, 1, swUpdNo, op, "sw_upd_no");
    _bindText(stmt, 2, packageName, op, "package_name");
    _bindText(stmt, 3, packageVersion, op, "package_version");
    _bindText(stmt, 4, packageUrl, op, "package_url");
    _bindInt(stmt, 5, targetFlag, op, "target_flag");
    _bindText(stmt, 6, oldVersion, op, "old_version");
    return _stepChange(stmt, op, -2, false);
}

int32_t DbController::deleteUpdateInfoAtUpdNo(int32_t swUpdNo, int32_t status) {
    const char* op = "deleteUpdateInfoAtUpdNo";
    SQLiteStmtMaker maker(connection());
    log->info("[{}:{}] in deleteUpdateInfoAtUpdNo : sql > upd_update_info_delete_sql", VELK_AT);
    sqlite3_stmt* stmt = maker.make(upd_update_info_delete_sql);
    _bindInt(stmt, 1, status, op, "update_status");
    _bindInt(stmt, 2, swUpdNo, op, "sw_upd_no");
    return _stepChange(stmt, op, -1, true);
}

int32_t DbController::deleteUpdatePackageAtUpdNo(int32_t swUpdNo, int32_t flag) {
    const char* op = "deleteUpdatePackageAtUpdNo";
    SQLiteStmtMaker maker(connection());
    log->info("[{}:{}] in deleteUpdatePackageAtUpdNo : sql > upd_update_package_delete_sql", VELK_AT);
    sqlite3_stmt* stmt = maker.make(upd_update_package_delete_sql);
    _bindInt(stmt, 1, flag, op, "target_flag");
    _bindInt(stmt, 2, swUpdNo, op, "sw_upd_no");
    return _stepChange(stmt, op, -1, true);
}

int32_t DbController::updateResetInstruction() {
    const char* op = "updateResetInstruction";
    SQLiteStmtMaker maker(connection());
    log->info("[{}:{}] in updateResetInstruction : sql > upd_update_info_reset_sql", VELK_AT);
    sqlite3_stmt* download = maker.make(upd_update_info_reset_sql);
    _bindInt(download, 1, UPD_STATUS_WAIT, op, "update_status");
    _bindInt(download, 2, UPD_STATUS_DL_PROCESSING, op, "update_status");
    int32_t first = _stepChange(download, op, -2, false);

    // Run even when the first failed: an install cut off is reset on its own.
    log->info("[{}:{}] in updateResetInstruction : sql > upd_update_info_reset_sql", VELK_AT);
    sqlite3_stmt* install = maker.make(upd_update_info_reset_sql);
    _bindInt(install, 1, UPD_STATUS_DL_SUCCESS, op, "update_status");
    _bindInt(install, 2, UPD_STATUS_UPD_PROCESSING, op, "update_status");
    int32_t second = _stepChange(install, op, -2, false);
    return second * 10 + first;
}

int32_t DbController::selectProcessingInstructionData() {
    SQLiteStmtMaker maker(connection());
    log->info("[{}:{}] in selectProcessingInstructionData : sql > sel_update_info_processing_sql", VELK_AT);
    sqlite3_stmt* stmt = maker.make(sel_update_info_processing_sql);
    log->info("[{}:{}]   -> {}", VELK_AT, sel_update_info_processing_sql);
    int rc = -1;
    try {
        rc = stepStmt(stmt);
        if (rc == SQLITE_ROW || rc == SQLITE_DONE) {
            int32_t count = sqlite3_column_int(stmt, 0);
            log->info("[{}:{}] in selectProcessingInstructionData : exec step : rc -> {} ({}) : ", VELK_AT,
                      "success", rc);
            return count;
        }
    } catch (const std::exception& e) {
        log->info("[{}:{}] in selectProcessingInstructionData : exception : reason -> {}", VELK_AT, e.what());
    }
    log->error(
        "[{}:{}] in selectProcessingInstructionData failed ! : failed to select command_id from command_info "
        ": rc "
        "-> {}",
        VELK_AT, rc);
    // Negative, so that a failed count is not taken for "nothing running".
    return -1;
}

int32_t DbController::selectNextInstructionData(int32_t& id, int32_t& status, int64_t& startTime,
                                                const std::string& type,
                                                std::vector<UnreadableStage>* unreadable) {
    log->info(
        "[{}:{}] in selectNextInstructionData : next target : id -> {} : status -> {} : type -> {} : time -> "
        "{}",
        VELK_AT, id, status, type, formatLocalTime(startTime, "%Y/%m/%d %H:%M:%S"));
    SQLiteStmtMaker maker(connection());
    log->info("[{}:{}] in selectNextInstructionData : sql > sel_next_instruction_time_sql", VELK_AT);
    sqlite3_stmt* stmt = maker.make(sel_next_instruction_time_sql);
    log->info("[{}:{}]   -> {}", VELK_AT, sel_next_instruction_time_sql);
    int32_t result = 0;
    int rc = -1;
    // The texts mix "-" and "/" forms, so their order is not the order of their times.
    struct Candidate {
        int32_t id;
        int32_t status;
        int64_t time;
        int64_t swUpdNo;
    };
    std::vector<Candidate> candidates;
    std::vector<UnreadableStage> closing;
    try {
        rc = stepStmt(stmt);
        while (rc == SQLITE_ROW) {
            const int32_t rowId = sqlite3_column_int(stmt, 0);
            const int32_t rowStatus = sqlite3_column_int(stmt, 2);
            const int64_t swUpdNo = sqlite3_column_int64(stmt, 1);
            std::string kind = columnText(stmt, 4);
            std::string start = columnText(stmt, 3);
            log->verbose(
                "[{}:{}] in selectNextInstructionData : id -> {} : sw_upd_no -> {} : status -> {} : "
                "start_time -> "
                "{} : type -> {}",
                VELK_AT, rowId, swUpdNo, rowStatus, start, kind);
            int64_t seconds = 0;
            // 0 means "no target" to the executor's wait: such a stage would never come due.
            if (!readTime(start, seconds) || seconds <= 0) {
                // A waiting row's install time is judged once the row is downloaded.
                const bool nextStage = rowStatus == UPD_STATUS_DL_SUCCESS || sqlite3_column_int(stmt, 5) == 1;
                if (nextStage) {
                    closing.push_back({rowId, rowStatus, start});
                }
            } else {
                candidates.push_back({rowId, rowStatus, seconds, swUpdNo});
            }
            rc = stepStmt(stmt);
        }
    } catch (const std::exception& e) {
        log->info("[{}:{}] in selectNextInstructionData : exception : reason -> {}", VELK_AT, e.what());
        result = -1;
    }
    if (rc == SQLITE_DONE && result == 0) {
        log->info("[{}:{}] in selectNextInstructionData : exec step : rc -> {} ({}) : ", VELK_AT, "success",
                  rc);
        const Candidate* best = nullptr;
        for (const Candidate& c : candidates) {
            bool closed = false;
            for (const UnreadableStage& stage : closing) {
                closed = closed || stage.id == c.id;
            }
            if (!closed && (best == nullptr || c.time < best->time ||
                            (c.time == best->time && c.swUpdNo < best->swUpdNo))) {
                best = &c;
            }
        }
        if (best != nullptr) {
            id = best->id;
            status = best->status;
            startTime = best->time;
        }
        if (unreadable != nullptr) {
            *unreadable = closing;
        }
        return 0;
    }
    if (rc != SQLITE_DONE) {
        log->error(
            "[{}:{}] in selectNextInstructionData failed ! : failed to select command_id from command_info : "
            "rc -> "
            "{}",
            VELK_AT, rc);
        result = -2;
    }
    id = 0;
    status = 0;
    startTime = 0;
    return result;
}

int32_t DbController::updateProcessingInsruction(int32_t id, int32_t status) {
    int32_t running = 0;
    if (status == UPD_STATUS_WAIT) {
        running = UPD_STATUS_DL_PROCESSING;
    } else if (status == UPD_STATUS_DL_SUCCESS) {
        running = UPD_STATUS_UPD_PROCESSING;
    } else {
        return -3;
    }
    const char* op = "updateProcessingInsruction";
    SQLiteStmtMaker maker(connection());
    log->info("[{}:{}] in updateProcessingInsruction : sql > upd_update_info_processing_sql", VELK_AT);
    sqlite3_stmt* stmt = maker.make(upd_update_info_processing_sql);
    _bindInt(stmt, 1, running, op, "update_status");
    _bindInt(stmt, 2, id, op, "id");
    _bindInt(stmt, 3, status, op, "update_status");
    int32_t result = _stepChange(stmt, op, -2, false);
    if (result == 0 && sqlite3_changes(connection()) == 0) {
        log->warning("[{}:{}] in updateProcessingInsruction : no row with id -> {} : update_status -> {}",
                     VELK_AT, id, status);
        return -1;
    }
    return result;
}

int32_t DbController::selectTargetInstructionData(int32_t id, model::UpdateInfo& info) {
    const char* op = "selectTargetInstructionData";
    SQLiteStmtMaker maker(connection());
    log->info("[{}:{}] in selectTargetInstructionData : sql > sel_update_info_target_sql", VELK_AT);
    sqlite3_stmt* stmt = maker.make(sel_update_info_target_sql);
    log->debug("[{}:{}]   -> {}", VELK_AT, sel_update_info_target_sql);
    _bindInt(stmt, 1, id, op, "id");
    int32_t result = 0;
    int rc = -1;
    try {
        rc = stepStmt(stmt);
        while (rc == SQLITE_ROW) {
            info.id = sqlite3_column_int(stmt, 0);
            info.orderInfoId = sqlite3_column_int(stmt, 1);
            info.swUpdNo = sqlite3_column_int(stmt, 2);
            info.updateStatus = sqlite3_column_int(stmt, 3);
            std::string downloadStart = columnText(stmt, 4);
            std::string downloadEnd = columnText(stmt, 5);
            std::string updateStart = columnText(stmt, 6);
            std::string updateEnd = columnText(stmt, 7);
            info.downloadStartTime = textToTime(downloadStart);
            info.downloadEndTime = textToTime(downloadEnd);
            info.updateStartTime = textToTime(updateStart);
            info.updateEndTime = textToTime(updateEnd);
            log->info("[{}:{}]     : download_time -> {} - {} : update_time -> {} - {}", VELK_AT,
                      downloadStart, downloadEnd, updateStart, updateEnd);
            rc = stepStmt(stmt);
        }
    } catch (const std::exception& e) {
        log->info("[{}:{}] in selectTargetInstructionData : exception : reason -> {}", VELK_AT, e.what());
        result = -1;
        info.clear();
    }
    if (rc != SQLITE_DONE) {
        log->error(
            "[{}:{}] in selectTargetInstructionData failed ! : failed to select command_id from command_info "
            ": rc -> "
            "{}",
            VELK_AT, rc);
        result = -2;
        info.clear();
    } else {
        log->info("[{}:{}] in selectTargetInstructionData : exec step : rc -> {} ({}) : ", VELK_AT, "success",
                  rc);
    }
    return result;
}

int32_t DbController::selectTargetPackageData(int32_t swUpdNo, std::vector<model::UpdatePackage>& packages) {
    const char* op = "selectTargetPackageData";
    SQLiteStmtMaker maker(connection());
    log->info("[{}:{}] in selectTargetPackageData : sql > sel_update_package_target_sql", VELK_AT);
    sqlite3_stmt* stmt = maker.make(sel_update_package_target_sql);
    log->debug("[{}:{}]   -> {}", VELK_AT, sel_update_package_target_sql);
    _bindInt(stmt, 1, swUpdNo, op, "sw_upd_no");
    int32_t result = 0;
    int rc = -1;
    try {
        rc = stepStmt(stmt);
        while (rc == SQLITE_ROW) {
            model::UpdatePackage package;
            package.id = sqlite3_column_int(stmt, 0);
            package.swUpdNo = sqlite3_column_int(stmt, 1);
            package.packageName = columnText(stmt, 2);
            package.packageVersion = columnText(stmt, 3);
            package.packageUrl = columnText(stmt, 4);
            package.targetFlag = sqlite3_column_int(stmt, 5);
            if (sqlite3_column_type(stmt, 6) != SQLITE_NULL) {
                package.oldVersion = columnText(stmt, 6);
            }
            package.downloadFlag = sqlite3_column_int(stmt, 7);
            if (sqlite3_column_type(stmt, 8) != SQLITE_NULL) {
                package.downloadTime = textToTime(columnText(stmt, 8));
            }
            log->verbose(
                "[{}:{}] in selectTargetPackageData : id -> {} : package -> {} {} : target_flag -> {}",
                VELK_AT, package.id, package.packageName, package.packageVersion, package.targetFlag);
            packages.push_back(package);
            rc = stepStmt(stmt);
        }
    } catch (const std::exception& e) {
        log->info("[{}:{}] in selectTargetPackageData : exception : reason -> {}", VELK_AT, e.what());
        result = -1;
    }
    if (rc == SQLITE_DONE) {
        log->info("[{}:{}] in selectTargetPackageData : exec step : rc -> {} ({}) : package data num -> {}",
                  VELK_AT, "success", rc, packages.size());
    } else {
        log->error(
            "[{}:{}] in selectTargetPackageData failed ! : failed to select command_id from command_info : "
            "rc -> {}",
            VELK_AT, rc);
        result = -2;
    }
    return result;
}

int32_t DbController::updatePkgDownloadResult(bool withPackages, const std::string& timeText,
                                              const model::UpdateInfo& info,
                                              const std::vector<model::UpdatePackage>& packages,
                                              int32_t heldStatus) {
    const char* op = "updatePkgDownloadResult";
    SQLiteStmtMaker maker(connection());
    log->info("[{}:{}] in updatePkgDownloadResult : sql > upd_update_info_process_end_sql", VELK_AT);
    sqlite3_stmt* stmt = maker.make(upd_update_info_process_end_sql);
    _bindInt(stmt, 1, info.updateStatus, op, "update_status");
    _bindText(stmt, 2, timeText, op, "status_change_time");
    _bindInt(stmt, 3, info.id, op, "id");
    _bindInt(stmt, 4, heldStatus, op, "update_status");
    int32_t infoCode = _stepChange(stmt, op, -2, false);
    if (infoCode == 0 && sqlite3_changes(connection()) == 0) {
        log->warning("[{}:{}] in updatePkgDownloadResult : update_info id -> {} no longer at status {}, kept",
                     VELK_AT, info.id, heldStatus);
        return ROW_NOT_HELD;
    }
    if (infoCode != 0 || !withPackages) {
        return infoCode;
    }
    int32_t packageCodes = 0;
    for (const auto& package : packages) {
        log->info("[{}:{}] in updatePkgDownloadResult : sql > upd_update_package_process_end_sql", VELK_AT);
        sqlite3_stmt* packageStmt = maker.make(upd_update_package_process_end_sql);
        _bindInt(packageStmt, 1, package.downloadFlag, op, "download_flag");
        _bindText(packageStmt, 2, timeText, op, "download_time");
        _bindInt(packageStmt, 3, package.id, op, "id");
        packageCodes += _stepChange(packageStmt, op, -1, true);
    }
    return packageCodes * 10 + infoCode;
}

int32_t DbController::insertOsBootTime(std::string bootTime) {
    const char* op = "insertOsBootTime";
    for (char& c : bootTime) {
        if (c == '/') {
            c = '-';
        }
    }
    SQLiteStmtMaker maker(connection());
    log->info("[{}:{}] in insertOsBootTime : step 1 : sql > sel_os_boot_time_same_data", VELK_AT);
    sqlite3_stmt* lookup = maker.make(sel_os_boot_time_same_data);
    _bindText(lookup, 1, bootTime, op, "boot_time");
    int rc = -1;
    try {
        rc = stepStmt(lookup);
        if (rc == SQLITE_ROW || rc == SQLITE_DONE) {
            int32_t id = sqlite3_column_int(lookup, 0);
            if (rc == SQLITE_ROW) {
                log->debug("[{}:{}] in insertOsBootTime : step 1 : last insert id -> {} (SQLITE_ROW)",
                           VELK_AT, id);
            } else {
                log->debug("[{}:{}] in insertOsBootTime : step 1 : last insert id -> {} (SQLITE_DONE)",
                           VELK_AT, id);
            }
            if (id != 0) {
                log->info("[{}:{}] in insertOsBootTime : step 1 : os boot time is recorded)", VELK_AT);
                return id;
            }
        }
    } catch (const std::exception& e) {
        log->info("[{}:{}] in insertOsBootTime : step 1 : exception : reason -> {}", VELK_AT, e.what());
        rc = -1;
    }
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        log->error("[{}:{}] in insertOsBootTime : step 1 : execute failed", VELK_AT);
        return -1;
    }

    log->debug("[{}:{}] in insertOsBootTime : step 2 : sql > ins_os_boot_time_sql", VELK_AT);
    log->info("[{}:{}] in insertOsBootTime : step 2 : sql > ins_os_boot_time_sql -> {}", VELK_AT,
              ins_os_boot_time_sql);
    sqlite3_stmt* insert = maker.make(ins_os_boot_time_sql);
    _bindText(insert, 1, bootTime, op, "boot_time");
    _bindInt(insert, 2, 0, op, "is_send");
    try {
        rc = stepStmt(insert);
    } catch (const std::exception& e) {
        log->warning("[{}:{}] in insertOsBootTime : step 2 : exception : reason -> {}", VELK_AT, e.what());
        return -2;
    }
    log->info("[{}:{}] in insertOsBootTime : step 2 : execution result -> {} ({})", VELK_AT,
              successText(rc == SQLITE_DONE), rc);
    return rc == SQLITE_DONE ? 0 : -2;
}

int32_t DbController::selectUnsentOsBootData(std::vector<std::string>& bootTimes) {
    log->info("[{}:{}] in selectUnsentOsBootData", VELK_AT);
    SQLiteStmtMaker maker(connection());
    log->info("[{}:{}] in selectUnsentOsBootData : sql > sel_os_boot_time_unsemt_data", VELK_AT);
    sqlite3_stmt* stmt = maker.make(sel_os_boot_time_unsemt_data);
    log->info("[{}:{}]  sel_os_boot_time_unsemt_data -> {}", VELK_AT, sel_os_boot_time_unsemt_data);
    int32_t result = 0;
    int rc = -1;
    try {
        rc = stepStmt(stmt);
        while (rc == SQLITE_ROW) {
            bootTimes.push_back(columnText(stmt, 0));
            log->verbose("[{}:{}] in selectUnsentOsBootData : boot_time -> {}", VELK_AT, bootTimes.back());
            rc = stepStmt(stmt);
        }
    } catch (const std::exception& e) {
        log->info("[{}:{}] in selectUnsentOsBootData : exception : reason -> {}", VELK_AT, e.what());
        result = -1;
    }
    if (rc == SQLITE_DONE) {
        log->info("[{}:{}] in selectUnsentOsBootData : exec step : rc -> {} ({}) : ", VELK_AT, "success", rc);
    } else {
        log->error(
            "[{}:{}] in selectUnsentOsBootData failed ! : failed to select command_id from command_info : rc "
            "-> {}",
            VELK_AT, rc);
        result = -2;
    }
    return result;
}

int32_t DbController::updateOsBootTimeSendSuccess() {
    SQLiteStmtMaker maker(connection());
    log->info("[{}:{}] in updateOsBootTimeSendSuccess : sql > upd_os_boot_time_send_sql", VELK_AT);
    sqlite3_stmt* stmt = maker.make(upd_os_boot_time_send_sql);
    return _stepChange(stmt, "updateOsBootTimeSendSuccess", -2, false);
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

int32_t DbController::markSpoolItem(const std::string& spool, int32_t item) {
    // Created on first use: a database built before answers were kept works unchanged.
    if (!_exec("CREATE TABLE IF NOT EXISTS spool_mark ( spool TEXT NOT NULL, item INTEGER NOT NULL, "
               "PRIMARY KEY ( spool, item ) );")) {
        return -1;
    }
    SQLiteStmtMaker maker(connection());
    sqlite3_stmt* stmt = maker.make("INSERT OR IGNORE INTO spool_mark ( spool, item ) VALUES ( ?, ? );");
    if (stmt == nullptr || sqlite3_bind_text(stmt, 1, spool.c_str(), -1, SQLITE_TRANSIENT) != SQLITE_OK ||
        sqlite3_bind_int(stmt, 2, item) != SQLITE_OK || sqlite3_step(stmt) != SQLITE_DONE) {
        log->warning("[{}:{}] in markSpoolItem : failed : {}", VELK_AT, sqlite3_errmsg(connection()));
        return -1;
    }
    return sqlite3_changes(connection()) == 0 ? 1 : 0;
}

int32_t DbController::deleteSpoolMarks(const std::string& spool) {
    SQLiteStmtMaker maker(connection());
    sqlite3_stmt* stmt = maker.make("DELETE FROM spool_mark WHERE spool = ?;");
    if (stmt == nullptr) {
        // No table yet: nothing was ever marked.
        return 0;
    }
    bool done = sqlite3_bind_text(stmt, 1, spool.c_str(), -1, SQLITE_TRANSIENT) == SQLITE_OK &&
                sqlite3_step(stmt) == SQLITE_DONE;
    return done ? 0 : -1;
}

namespace {

// Closed: no undelivered report, and no update row still waiting, running or between stages.
const char* const kClosedOrderIds =
    "SELECT id FROM order_info WHERE order_status NOT IN ( 1, 11 ) AND id NOT IN ( SELECT order_info_id "
    "FROM update_info WHERE update_status NOT IN ( 19, 22, 29, 98, 99 ) ) ORDER BY id DESC LIMIT -1 OFFSET ?";

}  // namespace

int32_t DbController::pruneClosedOrders(int32_t keep) {
    if (keep < 0) {
        return 0;  // SQLite reads a negative offset as none: that would delete every closed order
    }
    const std::string ids = kClosedOrderIds;
    const std::string sqls[] = {
        "DELETE FROM update_info WHERE order_info_id IN ( " + ids + " );",
        "DELETE FROM order_info WHERE id IN ( " + ids + " );",
        "DELETE FROM update_package WHERE sw_upd_no NOT IN ( SELECT sw_upd_no FROM update_info );",
    };
    SQLiteStmtMaker maker(connection());
    int32_t orders = 0;
    for (const std::string& sql : sqls) {
        sqlite3_stmt* stmt = maker.make(sql);
        if (stmt != nullptr && sqlite3_bind_parameter_count(stmt) == 1) {
            sqlite3_bind_int(stmt, 1, keep);
        }
        const int rc = stepStmt(stmt);
        if (rc != SQLITE_DONE) {
            log->error("[{}:{}] in pruneClosedOrders failed ! : rc -> {} : sql -> {}", VELK_AT, rc, sql);
            return -1;
        }
        if (&sql == &sqls[1]) {
            orders = sqlite3_changes(connection());
        }
    }
    return orders;
}

int32_t DbController::selectUpdateNumbersToKeep(int32_t keepRuns, std::set<int32_t>& numbers) {
    SQLiteStmtMaker maker(connection());
    sqlite3_stmt* stmt = maker.make(
        "SELECT sw_upd_no, MAX(id), SUM(CASE WHEN update_status IN ( 19, 22, 29, 98, 99 ) AND order_info_id "
        "NOT IN ( SELECT id FROM order_info WHERE order_status IN ( 1, 11 ) ) THEN 0 ELSE 1 END) FROM "
        "update_info GROUP BY sw_upd_no ORDER BY 2 DESC;");
    int32_t closedKept = 0;
    int rc = stepStmt(stmt);
    for (; rc == SQLITE_ROW; rc = stepStmt(stmt)) {
        const bool open = sqlite3_column_int(stmt, 2) > 0;
        if (open || closedKept < keepRuns) {
            numbers.insert(sqlite3_column_int(stmt, 0));
            closedKept += open ? 0 : 1;
        }
    }
    if (rc != SQLITE_DONE) {
        log->error("[{}:{}] in selectUpdateNumbersToKeep failed ! : rc -> {}", VELK_AT, rc);
        return -1;
    }
    return 0;
}

}  // namespace velk::db
