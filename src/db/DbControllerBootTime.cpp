#include <exception>
#include <string>
#include <vector>

#include "data/LogWrapper.h"
#include "db/DbController.h"
#include "db/SQLiteStmtMaker.h"
#include "db/StatementSupport.h"

// Boot times and their acknowledgement by the service.
namespace velk::db {

namespace {

using detail::columnText;
using detail::stepStmt;
using detail::successText;

constexpr const char* sel_os_boot_time_same_data = "SELECT id FROM os_boot_time WHERE boot_time = ?;";
constexpr const char* ins_os_boot_time_sql =
    "INSERT INTO os_boot_time ( boot_time, is_send ) VALUES ( ?, ? );";
constexpr const char* sel_os_boot_time_unsemt_data = "SELECT boot_time FROM os_boot_time WHERE is_send = 0;";
constexpr const char* upd_os_boot_time_send_sql =
    "UPDATE os_boot_time SET is_send = 1, update_time = CURRENT_TIMESTAMP WHERE is_send = 0;";

}  // namespace

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

}  // namespace velk::db
