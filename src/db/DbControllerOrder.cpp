#include <exception>
#include <set>
#include <string>
#include <vector>

#include "data/LogWrapper.h"
#include "db/DbController.h"
#include "db/SQLiteStmtMaker.h"
#include "db/StatementSupport.h"

// Order records: the orders received, their reports, the answer spool and the pruning of closed orders.
namespace velk::db {

namespace {

using detail::columnText;
using detail::stepStmt;
using detail::successText;

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

// Closed: no undelivered report, and no update row still waiting, running or between stages.
const char* const kClosedOrderIds =
    "SELECT id FROM order_info WHERE order_status NOT IN ( 1, 11 ) AND id NOT IN ( SELECT order_info_id "
    "FROM update_info WHERE update_status NOT IN ( 19, 22, 29, 98, 99 ) ) ORDER BY id DESC LIMIT -1 OFFSET ?";

}  // namespace

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

int32_t DbController::selectReceiveJson(int32_t orderId, std::string& receiveJson) {
    SQLiteStmtMaker maker(connection());
    sqlite3_stmt* stmt = maker.make("SELECT receive_json FROM order_info WHERE id = ?;");
    if (stmt == nullptr || sqlite3_bind_int(stmt, 1, orderId) != SQLITE_OK) {
        return -1;
    }
    const int rc = stepStmt(stmt);
    if (rc == SQLITE_ROW) {
        receiveJson = columnText(stmt, 0);
        return 0;
    }
    return rc == SQLITE_DONE ? 1 : -1;
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

int32_t DbController::markSpoolItem(const std::string& spool, int32_t item) {
    // Created on first use: a database built before answers were kept works unchanged.
    if (!_exec(spool_mark_sql)) {
        return -1;
    }
    SQLiteStmtMaker maker(connection());
    sqlite3_stmt* stmt = maker.make("INSERT OR IGNORE INTO spool_mark ( spool, item ) VALUES ( ?, ? );");
    if (stmt == nullptr || sqlite3_bind_text(stmt, 1, spool.c_str(), -1, SQLITE_TRANSIENT) != SQLITE_OK ||
        sqlite3_bind_int(stmt, 2, item) != SQLITE_OK || stepStmt(stmt) != SQLITE_DONE) {
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
                stepStmt(stmt) == SQLITE_DONE;
    return done ? 0 : -1;
}

int32_t DbController::pruneClosedOrders(int32_t keep) {
    if (keep < 0) {
        return 0;  // SQLite reads a negative offset as none: that would delete every closed order
    }
    const std::string ids = kClosedOrderIds;
    const std::string sqls[] = {
        "DELETE FROM update_info WHERE order_info_id IN ( " + ids + " );",
        "DELETE FROM order_info WHERE id IN ( " + ids + " );",
        // Packages are stored by update number, which the service may reuse, with no link to their
        // row; they go in the row's transaction, so none is older than its row, and those older
        // than every row left of their number belonged to removed rows.
        "DELETE FROM update_package WHERE id IN ( SELECT p.id FROM update_package p LEFT JOIN ( SELECT "
        "sw_upd_no, MIN(create_time) AS since FROM update_info GROUP BY sw_upd_no ) u ON u.sw_upd_no = "
        "p.sw_upd_no WHERE u.since IS NULL OR p.create_time < u.since );",
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
