#include <exception>
#include <string>
#include <vector>

#include "TimeFormat.h"
#include "data/LogWrapper.h"
#include "db/DbController.h"
#include "db/SQLiteStmtMaker.h"
#include "db/StatementSupport.h"

// Update records: the update rows of each order, their packages and the choice of the next stage.
namespace velk::db {

namespace {

using detail::columnText;
using detail::stepStmt;

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
// Empty and NULL times are read too: a stage that has no time must be closed, not left waiting.
constexpr const char* sel_next_instruction_time_sql =
    "SELECT * FROM ( SELECT id, sw_upd_no, update_status, update_start_time AS start_time, 'sw_upd' AS type, "
    "0 AS download, IFNULL(download_start_time, '') = '' AS no_download FROM update_info WHERE update_status "
    "in ( 0, 12 ) UNION ALL SELECT id, sw_upd_no, update_status, download_start_time AS start_time, 'sw_upd' "
    "AS type, 1 AS download, 0 AS no_download FROM update_info WHERE update_status = 0 AND "
    "IFNULL(download_start_time, '') != '' ) AS upd_info ORDER BY start_time ASC, sw_upd_no ASC;";
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

}  // namespace

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

int32_t DbController::holdsOrder(int32_t swUpdNo, const std::string& receiveJson) {
    SQLiteStmtMaker maker(connection());
    sqlite3_stmt* stmt = maker.make(
        "SELECT COUNT(*) FROM update_info AS u JOIN order_info AS o ON o.id = u.order_info_id WHERE "
        "u.sw_upd_no = ? AND u.update_status < 90 AND o.receive_json = ?;");
    if (stmt == nullptr || sqlite3_bind_int(stmt, 1, swUpdNo) != SQLITE_OK ||
        sqlite3_bind_text(stmt, 2, receiveJson.c_str(), -1, SQLITE_TRANSIENT) != SQLITE_OK ||
        stepStmt(stmt) != SQLITE_ROW) {
        log->warning("[{}:{}] in holdsOrder : failed : {}", VELK_AT, sqlite3_errmsg(connection()));
        return -1;
    }
    return sqlite3_column_int(stmt, 0) > 0 ? 1 : 0;
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
            std::string start = sqlite3_column_type(stmt, 3) == SQLITE_NULL ? "" : columnText(stmt, 3);
            log->verbose(
                "[{}:{}] in selectNextInstructionData : id -> {} : sw_upd_no -> {} : status -> {} : "
                "start_time -> "
                "{} : type -> {}",
                VELK_AT, rowId, swUpdNo, rowStatus, start, kind);
            int64_t seconds = 0;
            // 0 means "no target" to the executor's wait: such a stage would never come due.
            if (!readTime(start, seconds) || seconds <= 0) {
                // A waiting row's install time is judged once the row is downloaded, unless the row
                // has no download time either: then neither stage can ever come due.
                const bool nextStage = rowStatus == UPD_STATUS_DL_SUCCESS ||
                                       sqlite3_column_int(stmt, 5) == 1 || sqlite3_column_int(stmt, 6) == 1;
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

}  // namespace velk::db
