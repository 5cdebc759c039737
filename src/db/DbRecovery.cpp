#include "db/DbRecovery.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "TimeFormat.h"
#include "data/LogWrapper.h"
#include "db/DbController.h"

namespace velk::db {

namespace {

std::atomic<bool> damaged{false};

// Ids probed one by one between the last row read from each end of a table.
constexpr int64_t kMaxProbes = 1000000;

struct ConnCloser {
    void operator()(sqlite3* conn) const { sqlite3_close_v2(conn); }
};
struct StmtFinalizer {
    void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using Conn = std::unique_ptr<sqlite3, ConnCloser>;
using Stmt = std::unique_ptr<sqlite3_stmt, StmtFinalizer>;

Conn openConn(const std::string& file, int flags) {
    sqlite3* raw = nullptr;
    int rc = sqlite3_open_v2(file.c_str(), &raw, flags, nullptr);
    Conn conn(raw);
    if (rc == SQLITE_OK && (flags & SQLITE_OPEN_READWRITE) != 0) {
        DbRecovery::makeDurable(raw);
    }
    return rc == SQLITE_OK ? std::move(conn) : Conn();
}

Stmt prepare(sqlite3* conn, const std::string& sql) {
    sqlite3_stmt* raw = nullptr;
    sqlite3_prepare_v2(conn, sql.c_str(), -1, &raw, nullptr);
    return Stmt(raw);
}

bool execAll(sqlite3* conn, const std::vector<std::string>& sqls) {
    for (const auto& sql : sqls) {
        if (sqlite3_exec(conn, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
            return false;
        }
    }
    return true;
}

bool syncPath(const std::string& path, int flags) {
    int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

std::string folderOf(const std::string& file) {
    size_t slash = file.rfind('/');
    return slash == std::string::npos ? "." : (slash == 0 ? "/" : file.substr(0, slash));
}

bool isClosedUpdate(int64_t status) {
    return status == DbController::UPD_STATUS_DL_FAILED || status == DbController::UPD_STATUS_UPD_SUCCESS ||
           status == DbController::UPD_STATUS_UPD_FAILED || status == DbController::UPD_STATUS_CANCELED ||
           status == DbController::UPD_STATUS_SUPERSEDED;
}

// New rows must never take an id the old file gave out: a carried row may still point to it.
bool keepSequence(sqlite3* from, sqlite3* to, const std::string& table, int64_t lastId) {
    Stmt old = prepare(from, "SELECT seq FROM sqlite_sequence WHERE name = ?;");
    sqlite3_bind_text(old.get(), 1, table.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(old.get()) == SQLITE_ROW) {
        lastId = std::max<int64_t>(lastId, sqlite3_column_int64(old.get(), 0));
    }
    Stmt update = prepare(to, "UPDATE sqlite_sequence SET seq = MAX(seq, ?2) WHERE name = ?1;");
    Stmt insert =
        prepare(to,
                "INSERT INTO sqlite_sequence ( name, seq ) SELECT ?1, ?2 WHERE NOT EXISTS ( SELECT 1 "
                "FROM sqlite_sequence WHERE name = ?1 );");
    for (sqlite3_stmt* stmt : {update.get(), insert.get()}) {
        sqlite3_bind_text(stmt, 1, table.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(stmt, 2, lastId);
        if (sqlite3_step(stmt) != SQLITE_DONE) {
            return false;
        }
    }
    return true;
}

}  // namespace

// One row of a table being carried, its columns found by name.
class DbRecovery::Row {
  public:
    Row(sqlite3_stmt* rowStmt, const std::map<std::string, int>& columnIndex)
        : stmt(rowStmt), columns(columnIndex) {}
    // A missing column reads as -1, which no kept status or flag takes.
    int64_t number(const char* name) const {
        auto it = columns.find(name);
        return it == columns.end() ? -1 : sqlite3_column_int64(stmt, it->second);
    }

  private:
    sqlite3_stmt* stmt;
    const std::map<std::string, int>& columns;
};

void DbRecovery::noteResult(int code) {
    if ((code & 0xff) == SQLITE_CORRUPT || (code & 0xff) == SQLITE_NOTADB) {
        damaged.store(true);
    }
}

bool DbRecovery::damageNoted() { return damaged.load(); }

void DbRecovery::forgetDamage() { damaged.store(false); }

int DbRecovery::checkFile(sqlite3* conn, const char* pragma, std::string& finding) {
    Stmt stmt = prepare(conn, std::string("PRAGMA ") + pragma + ";");
    if (!stmt) {
        finding = sqlite3_errmsg(conn);
        int code = sqlite3_extended_errcode(conn);
        return (code & 0xff) == SQLITE_NOTADB ? SQLITE_CORRUPT : code;
    }
    int rc = sqlite3_step(stmt.get());
    if (rc != SQLITE_ROW) {
        finding = sqlite3_errmsg(conn);
        return (rc & 0xff) == SQLITE_NOTADB || (rc & 0xff) == SQLITE_CORRUPT ? SQLITE_CORRUPT : rc;
    }
    // The first lines only: a badly damaged file yields one per bad page.
    finding.clear();
    for (int line = 0; rc == SQLITE_ROW && line < 3; ++line, rc = sqlite3_step(stmt.get())) {
        const unsigned char* text = sqlite3_column_text(stmt.get(), 0);
        finding += (line == 0 ? "" : " | ") +
                   std::string(text == nullptr ? "" : reinterpret_cast<const char*>(text));
    }
    std::replace(finding.begin(), finding.end(), '\n', ' ');
    return finding == "ok" ? SQLITE_OK : SQLITE_CORRUPT;
}

bool DbRecovery::makeDurable(sqlite3* conn) {
    return sqlite3_exec(conn, "PRAGMA synchronous = EXTRA;", nullptr, nullptr, nullptr) == SQLITE_OK;
}

DbRecovery::DbRecovery(data::LogWrapper* logger, std::string file) : log(logger), dbFile(std::move(file)) {}

bool DbRecovery::recoverNoted() {
    std::string finding;
    int rc = SQLITE_CANTOPEN;
    if (Conn conn = openConn(dbFile, SQLITE_OPEN_READWRITE)) {
        rc = checkFile(conn.get(), "integrity_check", finding);
    }
    if (rc == SQLITE_OK) {
        log->info("[{}:{}] in recover : damage was reported, yet the db file checks sound", VELK_AT);
        forgetDamage();
        return true;
    }
    if (rc != SQLITE_CORRUPT) {
        log->warning("[{}:{}] in recover : db file not checked now ({}), tried again later", VELK_AT, rc);
        return false;
    }
    log->error("[{}:{}] in recover : db file damaged -> {}", VELK_AT, finding);
    return rebuild();
}

bool DbRecovery::rebuild() {
    std::string temp = dbFile + ".rebuild-XXXXXX";
    int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        log->error("[{}:{}] in recover : cannot make a new db file beside {} : {}", VELK_AT, dbFile,
                   std::strerror(errno));
        return false;
    }
    ::close(fd);
    bool built = false;
    {
        Conn fresh = openConn(temp, SQLITE_OPEN_READWRITE);
        // Writable schema lets a file cut short be read up to its end instead of refused whole.
        Conn old = openConn(dbFile, SQLITE_OPEN_READWRITE);
        std::vector<std::string> schema = DbController::create_table_sqls;
        schema.insert(schema.begin(), "BEGIN;");
        schema.push_back(DbController::spool_mark_sql);
        schema.push_back(DbController::status_index_sql);
        if (fresh && execAll(fresh.get(), schema)) {
            if (old) {
                sqlite3_exec(old.get(), "PRAGMA writable_schema = ON;", nullptr, nullptr, nullptr);
            }
            built = _carryAll(old.get(), fresh.get()) && execAll(fresh.get(), {"COMMIT;"});
        }
    }
    if (!built || !syncPath(temp, O_RDONLY) || !_moveAside()) {
        log->error("[{}:{}] in recover : new db file not built, the damaged one stays in use -> {}", VELK_AT,
                   dbFile);
        // Only the partial copy this call made goes; the damaged file itself stays untouched.
        ::unlink(temp.c_str());
        return false;
    }
    if (std::rename(temp.c_str(), dbFile.c_str()) != 0) {
        log->error("[{}:{}] in recover : cannot put the new db file in place : {}", VELK_AT,
                   std::strerror(errno));
        return false;
    }
    syncPath(folderOf(dbFile), O_RDONLY | O_DIRECTORY);
    log->warning("[{}:{}] in recover : damaged db file moved aside -> {}", VELK_AT, aside);
    for (const auto& [table, counts] : carried) {
        log->warning(
            "[{}:{}] in recover : carried into the new db file : {} -> {} rows, {} unreadable skipped",
            VELK_AT, table, counts.rows, counts.skipped);
    }
    forgetDamage();
    return true;
}

bool DbRecovery::_carryAll(sqlite3* from, sqlite3* to) {
    carried.clear();
    if (from == nullptr) {
        return true;  // nothing readable: the new file starts empty
    }
    std::set<int64_t> orderIds;
    std::set<int64_t> updateNumbers;
    carried["update_info"] = _carry(from, to, "update_info", [&](const Row& row) {
        if (isClosedUpdate(row.number("update_status"))) {
            return false;
        }
        orderIds.insert(row.number("order_info_id"));
        updateNumbers.insert(row.number("sw_upd_no"));
        return true;
    });
    carried["order_info"] = _carry(from, to, "order_info", [&](const Row& row) {
        int64_t status = row.number("order_status");
        return orderIds.count(row.number("id")) > 0 || status == DbController::ORDER_STATUS_DL_UNSENT ||
               status == DbController::ORDER_STATUS_UPD_UNSENT;
    });
    carried["update_package"] = _carry(from, to, "update_package", [&](const Row& row) {
        return updateNumbers.count(row.number("sw_upd_no")) > 0;
    });
    carried["os_boot_time"] =
        _carry(from, to, "os_boot_time", [](const Row& row) { return row.number("is_send") == 0; });
    carried["spool_mark"] = _carry(from, to, "spool_mark", [](const Row&) { return true; });
    for (const auto& [table, counts] : carried) {
        if (counts.rows < 0 || (table != "spool_mark" && !keepSequence(from, to, table, counts.lastId))) {
            return false;
        }
    }
    return true;
}

// Reads the table by rowid from both ends, then probes each id between where the two reads
// stopped, so that a damaged page loses only the rows on it.
DbRecovery::Counts DbRecovery::_carry(sqlite3* from, sqlite3* to, const std::string& table,
                                      const Keep& keep) {
    Counts counts;
    const std::string select = "SELECT rowid, * FROM " + table + " WHERE rowid ";
    Stmt up = prepare(from, select + "> ? ORDER BY rowid;");
    Stmt down = prepare(from, select + "< ? ORDER BY rowid DESC;");
    Stmt at = prepare(from, select + "= ?;");
    if (!up || !down || !at) {
        log->warning("[{}:{}] in recover : {} not readable ({}), nothing carried from it", VELK_AT, table,
                     sqlite3_errmsg(from));
        return counts;
    }
    std::map<std::string, int> columns;
    std::string names;
    std::string marks;
    for (int i = 1; i < sqlite3_column_count(up.get()); ++i) {
        columns[sqlite3_column_name(up.get(), i)] = i;
        names += std::string(names.empty() ? "" : ", ") + "[" + sqlite3_column_name(up.get(), i) + "]";
        marks += marks.empty() ? "?" : ", ?";
    }
    Stmt insert =
        prepare(to, "INSERT OR IGNORE INTO " + table + " ( " + names + " ) VALUES ( " + marks + " );");
    if (!insert) {
        log->warning("[{}:{}] in recover : {} cannot take the old rows ({})", VELK_AT, table,
                     sqlite3_errmsg(to));
        return counts;
    }
    bool failed = false;
    auto take = [&](sqlite3_stmt* row) {
        counts.lastId = std::max<int64_t>(counts.lastId, sqlite3_column_int64(row, 0));
        if (failed || !keep(Row(row, columns))) {
            return;
        }
        for (int i = 1; i < sqlite3_column_count(row); ++i) {
            sqlite3_bind_value(insert.get(), i, sqlite3_column_value(row, i));
        }
        int rc = sqlite3_step(insert.get());
        failed = rc != SQLITE_DONE;
        counts.rows += sqlite3_changes(to);
        sqlite3_reset(insert.get());
    };
    int64_t low = 0;
    sqlite3_bind_int64(up.get(), 1, low);
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(up.get())) == SQLITE_ROW) {
        low = sqlite3_column_int64(up.get(), 0);
        take(up.get());
    }
    if (rc != SQLITE_DONE) {
        int64_t high = INT64_MAX;
        sqlite3_bind_int64(down.get(), 1, high);
        while (sqlite3_step(down.get()) == SQLITE_ROW && sqlite3_column_int64(down.get(), 0) > low) {
            high = sqlite3_column_int64(down.get(), 0);
            take(down.get());
        }
        // With nothing read from the top, no id lies above the table's sequence, if that is readable.
        Stmt sequence = prepare(from, "SELECT seq FROM sqlite_sequence WHERE name = ?;");
        sqlite3_bind_text(sequence.get(), 1, table.c_str(), -1, SQLITE_TRANSIENT);
        if (high == INT64_MAX && sqlite3_step(sequence.get()) == SQLITE_ROW) {
            high = sqlite3_column_int64(sequence.get(), 0) + 1;
        }
        for (int64_t id = low + 1; id < high && id - low <= kMaxProbes; ++id) {
            sqlite3_bind_int64(at.get(), 1, id);
            rc = sqlite3_step(at.get());
            if (rc == SQLITE_ROW) {
                take(at.get());
            } else if (rc != SQLITE_DONE) {
                ++counts.skipped;
            }
            sqlite3_reset(at.get());
        }
    }
    if (failed) {
        log->error("[{}:{}] in recover : {} rows not written to the new db file ({})", VELK_AT, table,
                   sqlite3_errmsg(to));
        counts.rows = -1;
    }
    return counts;
}

bool DbRecovery::_moveAside() {
    char stamp[32] = "";
    std::time_t now = std::time(nullptr);
    struct tm parts {};
    if (localtime_r(&now, &parts) != nullptr) {
        std::strftime(stamp, sizeof(stamp), "%Y%m%d-%H%M%S", &parts);
    }
    // A hard link never replaces an existing name, and the damaged file keeps its own name until
    // the new one takes it over in one rename.
    for (int n = 1; n <= 1000; ++n) {
        aside = dbFile + ".broken-" + stamp + (n == 1 ? "" : "-" + std::to_string(n));
        if (::link(dbFile.c_str(), aside.c_str()) == 0) {
            break;
        }
        if (errno != EEXIST || n == 1000) {
            log->error("[{}:{}] in recover : cannot keep the damaged db file as {} : {}", VELK_AT, aside,
                       std::strerror(errno));
            return false;
        }
    }
    // A journal left beside it belongs to the old content and must never be played into the new.
    const std::string journal = dbFile + "-journal";
    struct stat st {};
    if (::stat(journal.c_str(), &st) == 0 &&
        std::rename(journal.c_str(), (aside + "-journal").c_str()) != 0) {
        log->error("[{}:{}] in recover : cannot move the old journal aside : {}", VELK_AT,
                   std::strerror(errno));
        return false;
    }
    return true;
}

}  // namespace velk::db
