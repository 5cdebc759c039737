#include "feature/SoftwareUpdateManager.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <exception>
#include <fstream>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <thread>
#include <utility>

#include "JsonMember.h"
#include "JsonParse.h"
#include "ShellCommand.h"
#include "TextUtil.h"
#include "TimeFormat.h"
#include "communication/NetworkAccessCheck.h"
#include "data/LogWrapper.h"
#include "data/SettingData.h"
#include "db/DbController.h"
#include "db/DbSession.h"
#include "feature/PackageDigest.h"
#include "model/OrderInfo.h"
#include "order/InstructionExecuter.h"
#include "order/ProcResultNotification.h"

namespace velk::feature {

namespace {

std::atomic<int> liveRuns{0};

// A pass that found its row closed before its script: nothing of it runs or is reported.
constexpr int kRowClosed = -10;
// A download ended by the agent's stop: the row stays as it is for the next start.
constexpr int kStoppedByAgent = -11;

// Download scripts' process groups, published while their child is not reaped, so that a stop
// never signals a group id that may have been reused.
std::mutex downloadsMutex;
std::set<pid_t> downloadGroups;
std::atomic<bool> agentStopping{false};

using db::DbController;
using db::DbSession;

constexpr const char* kFileTimePattern = "%Y%m%d-%H%M%S";

const char* okText(bool ok) { return ok ? "success" : "failed"; }

// Runs a command like ExecCmd; with a limit above 0, a command still running after that many
// seconds is killed with everything it started, and `timedOut` is set.
// A `stoppable` command ends with the agent's stop.
bool execWithin(const std::string& command, std::string& output, int& status, int32_t limit, bool& timedOut,
                bool stoppable) {
    ShellCommand shell;
    if (!shell.start(command, limit > 0 || stoppable)) {
        return false;
    }
    if (stoppable) {
        std::lock_guard<std::mutex> lock(downloadsMutex);
        if (agentStopping.load()) {
            shell.stopGroup();
        }
        downloadGroups.insert(shell.processId());
    }
    timedOut = !shell.readAll(output, limit);
    if (timedOut) {
        shell.stopGroup();
    }
    if (stoppable) {
        std::lock_guard<std::mutex> lock(downloadsMutex);
        downloadGroups.erase(shell.processId());
    }
    status = shell.close();
    return true;
}

// A downloaded file that is not what the order's digest says.
constexpr int kDigestMismatch = -12;

// The digests an order item gives, by package name and version.
std::map<std::pair<std::string, std::string>, std::string> orderDigests(const std::string& orderText) {
    std::map<std::pair<std::string, std::string>, std::string> digests;
    picojson::value root;
    if (orderText.empty() || !parseJson(root, orderText).empty() || !root.is<picojson::object>()) {
        return digests;
    }
    const auto& item = root.get<picojson::object>();
    auto list = item.find("pkg_update");
    if (list == item.end() || !list->second.is<picojson::array>()) {
        return digests;
    }
    for (const auto& package : list->second.get<picojson::array>()) {
        if (!package.is<picojson::object>()) {
            continue;
        }
        const auto& fields = package.get<picojson::object>();
        const std::string digest = textMember(fields, "pkg_sha256");
        if (PackageDigest::isDigestText(digest)) {
            digests[{textMember(fields, "pkg_name"), textMember(fields, "pkg_version")}] =
                PackageDigest::lowerCase(digest);
        }
    }
    return digests;
}

// Whole-second pause from a setting; nothing for zero or less.
void pauseSeconds(int32_t seconds) {
    if (seconds > 0) {
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
    }
}

// Records hold 32-bit seconds; a moment they cannot hold reads as "not set".
int32_t toRecordTime(int64_t seconds) {
    if (seconds < std::numeric_limits<int32_t>::min() || seconds > std::numeric_limits<int32_t>::max()) {
        return 0;
    }
    return static_cast<int32_t>(seconds);
}

bool hasLineBreak(const std::string& text) { return text.find_first_of("\r\n") != std::string::npos; }

// Orders whose report a run is delivering right now; the executor leaves those to the run.
std::mutex inFlightMutex;
std::set<int32_t>& inFlight() {
    static auto* orders = new std::set<int32_t>();  // process-wide, never destroyed
    return *orders;
}

// Marks one order's report as being delivered by this run for the guard's life.
class InFlightMark {
  public:
    explicit InFlightMark(int32_t orderId) : id(orderId) {
        std::lock_guard<std::mutex> lock(inFlightMutex);
        inFlight().insert(id);
    }
    ~InFlightMark() {
        std::lock_guard<std::mutex> lock(inFlightMutex);
        inFlight().erase(id);
    }
    InFlightMark(const InFlightMark&) = delete;
    InFlightMark& operator=(const InFlightMark&) = delete;

  private:
    int32_t id;
};

}  // namespace

SoftwareUpdateManager::SoftwareUpdateManager(std::string pingCommand)
    : settings(data::SettingData::getInstance()),
      log(data::LogWrapper::getInstance()),
      db(db::DbController::getInstance()),
      pingPath(std::move(pingCommand)) {
    log->setLogger("velk");
}

int SoftwareUpdateManager::StartThread(std::unique_ptr<SoftwareUpdateManager> manager, int32_t id) {
    if (!manager || manager->started) {
        return 1;
    }
    data::LogWrapper* out = manager->log;
    out->info("[{}:{}] <SW_UPD> in StartThread : ***** START software update thread *****", VELK_AT);
    manager->started = true;
    try {
        ++liveRuns;
        std::thread worker([owned = std::move(manager), id]() mutable {
            owned->UpdateThread(id);
            owned.reset();
            --liveRuns;
        });
        worker.detach();
    } catch (const std::exception& e) {
        --liveRuns;
        out->error("[{}:{}] <SW_UPD> in StartThread : failed to start thread : reason -> {}", VELK_AT,
                   e.what());
        out->flush();
        return -1;
    }
    return 0;
}

int SoftwareUpdateManager::runningThreads() { return liveRuns.load(); }

void SoftwareUpdateManager::stopDownloads() {
    std::lock_guard<std::mutex> lock(downloadsMutex);
    agentStopping.store(true);
    for (pid_t group : downloadGroups) {
        kill(-group, SIGTERM);
    }
}

bool SoftwareUpdateManager::reportInFlight(int32_t orderId) {
    std::lock_guard<std::mutex> lock(inFlightMutex);
    return inFlight().count(orderId) != 0;
}

void SoftwareUpdateManager::UpdateThread(int32_t id) noexcept {
    try {
        std::ostringstream text;
        text << std::this_thread::get_id();
        tid = text.str();
        log->info("[{}:{}] [tid:{}] <SW_UPD> in UpdateThread : start : thread id (tid) -> {}", VELK_AT, tid,
                  tid);
        targetId = id;
        int result = updateMain();
        log->info("[{}:{}] [tid:{}] <SW_UPD> in UpdateThread : end : end result -> {}", VELK_AT, tid, result);
    } catch (const std::exception& e) {
        log->error("[{}:{}] [tid:{}] <SW_UPD> in UpdateThread : exception : reason -> {}", VELK_AT, tid,
                   e.what());
    } catch (...) {
        log->error("[{}:{}] [tid:{}] <SW_UPD> in UpdateThread : exception : reason -> unknown", VELK_AT, tid);
    }
    try {
        _releaseRow();
    } catch (const std::exception& e) {
        log->error("[{}:{}] [tid:{}] <SW_UPD> in UpdateThread : exception : reason -> {}", VELK_AT, tid,
                   e.what());
    }
    log->flush();
    // The row is free again (or the next one may be due): the executor looks at once.
    order::InstructionExecuter::wake();
}

bool SoftwareUpdateManager::getUpdateTarget(int32_t id, model::UpdateInfo& info,
                                            std::vector<model::UpdatePackage>& packages) {
    log->info(
        "[{}:{}] [tid:{}] <SW_UPD> ===== start : get update target information (debian package info) ===== : "
        "update_info id -> {}",
        VELK_AT, tid, id);
    // The executor has marked the row processing: a run that gave up here would leave it so.
    std::optional<DbSession> session;
    _untilStored("database not opened", [&] {
        session.emplace(db);
        return session->isOpen() ? 0 : -1;
    });
    db->selectTargetInstructionData(id, info);
    int result = db->selectTargetPackageData(info.swUpdNo, packages);
    orderText.clear();
    db->selectReceiveJson(info.orderInfoId, orderText);
    session.reset();
    heldId = info.id;
    heldStatus = info.updateStatus == DbController::UPD_STATUS_DL_PROCESSING ||
                         info.updateStatus == DbController::UPD_STATUS_UPD_PROCESSING
                     ? info.updateStatus
                     : 0;
    log->info(
        "[{}:{}] [tid:{}] <SW_UPD> ===== end : get update target information (debian package info) ===== : "
        "ret -> "
        "{} ({})",
        VELK_AT, tid, result, result == 0 ? "find" : "not fined");
    return result == 0;
}

int SoftwareUpdateManager::updateMain() {
    int total = 0;
    int lastResult = 0;
    model::UpdateInfo info;
    std::vector<model::UpdatePackage> packages;
    if (!getUpdateTarget(targetId, info, packages)) {
        log->warning(
            "[{}:{}] [tid:{}] <SW_UPD> in UpdateThread : not fined : target data (updabe_info table)",
            VELK_AT, tid);
        return 0;
    }
    log->info("[{}:{}] [tid:{}] <SW_UPD> in UpdateThread : ===== start update process =====", VELK_AT, tid);
    log->info(
        "[{}:{}] [tid:{}] <SW_UPD> in UpdateThread : target update_info : id -> {} : sw_upd_no -> {} : "
        "status -> {}",
        VELK_AT, tid, info.id, info.swUpdNo, info.updateStatus);

    const int64_t now = nowSeconds();
    // 0 is an install time that was missing or unreadable (one past 2038 among them): never due.
    const bool installDue = info.updateStartTime != 0 && static_cast<int64_t>(info.updateStartTime) <= now;
    bool download = false;
    bool update = false;
    if (info.updateStatus == DbController::UPD_STATUS_DL_PROCESSING) {
        download = true;
        update = installDue;
    } else if (info.updateStatus == DbController::UPD_STATUS_UPD_PROCESSING) {
        update = installDue;
    }
    log->info("[{}:{}] [tid:{}] <SW_UPD> in UpdateThread : download -> {} : update -> {}", VELK_AT, tid,
              download ? "execute" : "none", update ? "execute" : "none");
    log->flush();

    if (download && _windowEnded(true, info.downloadEndTime, info, packages)) {
        return total;
    }
    if (download && !_networkReachable()) {
        // Unless its install runs now, the row goes back to wait when the run ends.
        download = false;
    }

    const int32_t configuredRetries = settings->getInt("proc_retry_num", 0);
    // At least one trial: a run that tried nothing would leave its row processing for good.
    const int32_t retryNum = configuredRetries < 0 ? 0 : configuredRetries;
    const int32_t retryWait = settings->getInt("proc_retry_wait_sec", 0);
    log->info("[{}:{}] [tid:{}] <SW_UPD>    --- processing retry info : num -> {} : wait interval -> {}",
              VELK_AT, tid, retryNum, retryWait);

    if (download) {
        holdForInstall = update;
        for (int32_t i = 0; i <= retryNum; ++i) {
            const bool last = i == retryNum;
            log->info(
                "[{}:{}] [tid:{}] <SW_UPD> ===== ----- ===== ----- ===== ----- ===== DOWNLOAD : number of "
                "trials -> "
                "{}/{}",
                VELK_AT, tid, i, retryNum);
            lastResult = downloadProcess(last, info, packages);
            if (lastResult == 0) {
                log->info(
                    "[{}:{}] [tid:{}] <SW_UPD> ===== ----- ===== ----- ===== ----- ===== DOWNLOAD : SUCCESS",
                    VELK_AT, tid);
                log->flush();
                break;
            }
            // A stored outcome is never run again; a closed row runs nothing more.
            if ((reportStored && !last) || lastResult == kRowClosed) {
                break;
            }
            if (last) {
                log->error(
                    "[{}:{}] [tid:{}] <SW_UPD> ===== ----- ===== ----- ===== ----- ===== DOWNLOAD : FAILED! "
                    "({}) : "
                    "number of trials -> {}/{}",
                    VELK_AT, tid, lastResult, i, retryNum);
                log->flush();
            } else {
                log->warning(
                    "[{}:{}] [tid:{}] <SW_UPD>   download processing failed :ret -> {} : retry after {} "
                    "seconds",
                    VELK_AT, tid, lastResult, retryWait);
                log->flush();
                pauseSeconds(retryWait);
            }
            log->flush();
        }
        holdForInstall = false;
        if (lastResult != 0 && lastResult != kRowClosed) {
            // A downloaded row held for this install is handed back to the executor at the end.
            update = false;
            log->warning("[{}:{}] [tid:{}] <SW_UPD> download failed : ret -> {}", VELK_AT, tid, lastResult);
            total += lastResult;
        }
        if (heldStatus != DbController::UPD_STATUS_UPD_PROCESSING) {
            // Closed meanwhile by a cancel or a newer order: its install is no longer ours to run.
            update = false;
        }
    }

    // A download ended by the stop leaves its install to the next start as well.
    if (update && !agentStopping.load() && _windowEnded(false, info.updateEndTime, info, packages)) {
        return total;
    }
    if (update && !agentStopping.load()) {
        for (int32_t i = 0; i <= retryNum; ++i) {
            const bool last = i == retryNum;
            log->info(
                "[{}:{}] [tid:{}] <SW_UPD> ===== ----- ===== ----- ===== ----- ===== UPDATE: number of "
                "trials -> "
                "{}/{}",
                VELK_AT, tid, i, retryNum);
            lastResult = updateProcess(last, info, packages);
            if (lastResult == 0 || (reportStored && !last) || lastResult == kRowClosed) {
                break;
            }
            if (last) {
                log->error(
                    "[{}:{}] [tid:{}] <SW_UPD> ===== ----- ===== ----- ===== ----- ===== UPDATE : FAILED! "
                    "({}) : "
                    "number of trials -> {}/{}",
                    VELK_AT, tid, lastResult, i, retryNum);
                log->flush();
            } else {
                log->warning(
                    "[{}:{}] [tid:{}] <SW_UPD>   update processing failed :ret -> {} : retry after {} "
                    "seconds",
                    VELK_AT, tid, lastResult, retryWait);
                log->flush();
                pauseSeconds(retryWait);
            }
            log->flush();
        }
        if (lastResult == 0) {
            log->info("[{}:{}] [tid:{}] <SW_UPD> ===== ----- ===== ----- ===== ----- ===== UPDATE : SUCCESS",
                      VELK_AT, tid);
        }
        total += lastResult == kRowClosed ? 0 : lastResult * 100;
    }

    log->info("[{}:{}] [tid:{}] <SW_UPD> in UpdateThread : ===== finish update process ===== : result -> {}",
              VELK_AT, tid, total);
    return total;
}

bool SoftwareUpdateManager::_networkReachable() {
    const int32_t retryNum = settings->getInt("pint_retry_num", 5);
    const int32_t interval = settings->getInt("ping_retry_interval", 30);
    comm::NetworkAccessCheck check(pingPath);
    for (int64_t i = 0; i <= retryNum; ++i) {
        int result = check.pingFqdn();
        if (result == 0) {
            log->info("[{}:{}] [tid:{}] <SW_UPD> network access OK!", VELK_AT, tid);
            return true;
        }
        log->warning(
            "[{}:{}] [tid:{}] <SW_UPD> network access NG! : ping filed --> ({}) >>> : retry -> {}/{}",
            VELK_AT, tid, result, i, retryNum);
        log->flush();
        if (i == retryNum) {
            return false;
        }
        pauseSeconds(interval);
    }
    return true;  // a negative count asks for no check at all
}

void SoftwareUpdateManager::_releaseRow() {
    if (heldStatus == 0) {
        return;
    }
    // No row stays processing once its run has ended: back to the stage it was waiting for.
    model::UpdateInfo changed;
    changed.id = heldId;
    changed.updateStatus = heldStatus == DbController::UPD_STATUS_DL_PROCESSING
                               ? DbController::UPD_STATUS_WAIT
                               : DbController::UPD_STATUS_DL_SUCCESS;
    int result = -1;
    _untilStored("status at run end not stored", [&] {
        DbSession session(db);
        result = session.isOpen()
                     ? db->updatePkgDownloadResult(false, formatLocalTime(nowSeconds(), kDbTimePattern),
                                                   changed, {}, heldStatus)
                     : -1;
        return result == DbController::ROW_NOT_HELD ? 0 : result;
    });
    log->info("[{}:{}] [tid:{}] <SW_UPD> run ended : update_info id -> {} : status {} -> {}", VELK_AT, tid,
              heldId, heldStatus, result == 0 ? changed.updateStatus : -1);
    heldStatus = 0;
}

void SoftwareUpdateManager::_untilStored(const char* what, const std::function<int()>& save) {
    // A full disk or a lock held too long passes; giving up would leave the row processing or
    // the outcome unknown, and a restart would run the stage again.
    const int32_t wait = std::max<int32_t>(1, settings->getInt("proc_retry_wait_sec", 0));
    for (int result = save(); result != 0; result = save()) {
        log->warning("[{}:{}] [tid:{}] <SW_UPD> {} : ret -> {} : tried again in {} seconds", VELK_AT, tid,
                     what, result, wait);
        log->flush();
        pauseSeconds(wait);
    }
}

bool SoftwareUpdateManager::_rowStillHeld() {
    model::UpdateInfo current;
    {
        DbSession session(db);
        if (!session.isOpen() || db->selectTargetInstructionData(heldId, current) != 0) {
            return true;  // unknown: the outcome's save still spares a closed row
        }
    }
    if (current.id == heldId && current.updateStatus == heldStatus) {
        return true;
    }
    log->warning(
        "[{}:{}] [tid:{}] <SW_UPD> update_info id -> {} was closed meanwhile (status {}) : nothing more runs",
        VELK_AT, tid, heldId, current.updateStatus);
    heldStatus = 0;
    return false;
}

int SoftwareUpdateManager::downloadProcess(bool lastTrial, model::UpdateInfo& info,
                                           std::vector<model::UpdatePackage>& packages) {
    return _process(true, lastTrial, info, packages);
}

int SoftwareUpdateManager::updateProcess(bool lastTrial, model::UpdateInfo& info,
                                         std::vector<model::UpdatePackage>& packages) {
    return _process(false, lastTrial, info, packages);
}

int SoftwareUpdateManager::_process(bool download, bool lastTrial, model::UpdateInfo& info,
                                    std::vector<model::UpdatePackage>& packages) {
    const std::string name = download ? "download" : "update";
    if (download) {
        log->info(
            "[{}:{}] [tid:{}] <SW_UPD> ===== start : debian package download process ===== : update_inf id "
            "-> {}",
            VELK_AT, tid, info.id);
    } else {
        log->info(
            "[{}:{}] [tid:{}] <SW_UPD> ===== start : debian package update process ===== : update_info id -> "
            "{}",
            VELK_AT, tid, info.id);
    }
    bool passOk = true;
    int errorStage = 0;
    int lastRun = 0;
    stageNo = 0;
    reportStored = false;
    failureNote.clear();

    ++stageNo;
    lastRun = setParameter(name, info);
    if (lastRun != 0) {
        passOk = false;
        errorStage = 1;
        log->info("[{}:{}] [tid:{}] <SW_UPD>  stage -> {} : failed : set parameter : ret -> {}", VELK_AT, tid,
                  stageNo, lastRun);
    }

    ++stageNo;
    if (passOk) {
        displayPackageInfo(packages);
    } else {
        log->info("[{}:{}] [tid:{}] <SW_UPD>  stage -> {} : skip processing", VELK_AT, tid, stageNo);
    }

    ++stageNo;
    if (passOk) {
        lastRun = createPackageList(packages);
        if (lastRun == 0) {
            lastRun = writeOrderFiles(packages);
        }
        if (lastRun != 0) {
            passOk = false;
            errorStage = errorStage == 0 ? 3 : errorStage;
            log->info(
                "[{}:{}] [tid:{}] <SW_UPD>  stage -> {} : failed : create package info list : ret -> {}",
                VELK_AT, tid, stageNo, lastRun);
        }
    } else {
        log->info("[{}:{}] [tid:{}] <SW_UPD>  stage -> {} : skip processing", VELK_AT, tid, stageNo);
    }

    // A cancel may have come during the ping, a retry pause or the other stage of this run.
    if (!_rowStillHeld()) {
        return kRowClosed;
    }
    ++stageNo;
    bool executed = false;
    if (passOk) {
        lastRun = executeDebianPackage();
        if (lastRun == kStoppedByAgent) {
            return kRowClosed;
        }
        if (lastRun == 0 && download) {
            lastRun = checkDigests(packages);
        }
        if (lastRun == 0) {
            executed = true;
        } else {
            if (download) {
                log->info(
                    "[{}:{}] [tid:{}] <SW_UPD>  stage -> {} : failed : execute debian package {} : ret -> {} "
                    ": log "
                    "file -> {}",
                    VELK_AT, tid, stageNo, name, lastRun, logFile);
            } else {
                log->info(
                    "[{}:{}] [tid:{}] <SW_UPD>  stage -> {} : failed : execute debian package update : ret "
                    "-> {} : "
                    "log file -> {}",
                    VELK_AT, tid, stageNo, lastRun, logFile);
            }
            passOk = false;
            errorStage = errorStage == 0 ? 4 : errorStage;
        }
    } else {
        log->info("[{}:{}] [tid:{}] <SW_UPD>  stage -> {} : skip processing", VELK_AT, tid, stageNo);
    }

    if (lastRun != 0) {
        if (!lastTrial) {
            if (!download) {
                log->warning("[{}:{}] [tid:{}] <SW_UPD>  {} processing failed : -> retry", VELK_AT, tid,
                             name);
            }
            return lastRun;
        }
        if (!download) {
            log->error("[{}:{}] [tid:{}] <SW_UPD>  {} processing error : -> retry end", VELK_AT, tid, name);
        }
    }

    if (!_storeAndReport(info, packages, executed)) {
        passOk = false;
        errorStage = download && errorStage != 0 ? errorStage : 6;
    }

    if (download) {
        log->info(
            "[{}:{}] [tid:{}] <SW_UPD> ===== end : debian package download process ===== : ret -> {} : last "
            "stage no "
            "-> {} : error stage no -> {}",
            VELK_AT, tid, okText(passOk), stageNo, errorStage);
    } else {
        log->info(
            "[{}:{}] [tid:{}] <SW_UPD> ===== end : debian package update process ===== : ret -> {} : last "
            "stage no -> "
            "{} : error stage no -> {}",
            VELK_AT, tid, okText(passOk), stageNo, errorStage);
    }
    return errorStage;
}

bool SoftwareUpdateManager::_storeAndReport(model::UpdateInfo& info,
                                            std::vector<model::UpdatePackage>& packages, bool executed) {
    // From here until its fate is stored, this run delivers the order's report itself.
    InFlightMark delivering(info.orderInfoId);
    ++stageNo;
    _untilStored("outcome not stored", [&] { return saveResult(info, packages, executed); });

    ++stageNo;
    std::string report;
    const int result = uploadResult(info, executed, report);
    const bool uploaded = result == 0;
    if (!uploaded) {
        log->info(
            "[{}:{}] [tid:{}] <SW_UPD>  stage -> {} : failed : upload result to Pelvane WEB : ret -> {}",
            VELK_AT, tid, stageNo, result);
    }

    ++stageNo;
    _untilStored("report state not stored",
                 [&] { return saveSendResult(info.orderInfoId, uploaded, report); });
    return uploaded;
}

bool SoftwareUpdateManager::_windowEnded(bool download, int32_t endTime, model::UpdateInfo& info,
                                         std::vector<model::UpdatePackage>& packages) {
    // 0 is an end date that was empty or unreadable: no end. Due exactly at the end still runs.
    if (settings->getInt("honour_end_dates", 0) != 1 || endTime == 0 || nowSeconds() <= endTime) {
        return false;
    }
    procName = download ? "download" : "update";
    isDownload = download;
    isUpdate = !download;
    procTag = download ? "DL" : "UPD";
    stageNo = 0;
    reportText = download ? "download window ended" : "install window ended";
    log->warning("[{}:{}] [tid:{}] <SW_UPD> {} : end date -> {} : update_info id -> {} : not started",
                 VELK_AT, tid, reportText, formatLocalTime(endTime, "%Y/%m/%d %H:%M:%S"), info.id);
    _storeAndReport(info, packages, false);
    return true;
}

int SoftwareUpdateManager::setParameter(const std::string& name, const model::UpdateInfo& info) {
    procName = name;
    isDownload = name == "download";
    isUpdate = !isDownload;
    procTag = isDownload ? "DL" : "UPD";
    // A failed stage 1 must not leave the file names of an earlier pass behind.
    packageDir.clear();
    logFile.clear();
    listFile.clear();
    log->info("[{}:{}] [tid:{}] <SW_UPD:{}:{}> ----- {} set parameter : start -----", VELK_AT, tid, procTag,
              stageNo, name);

    timeStamp = formatLocalTime(nowSeconds(), kFileTimePattern);
    const std::string number = std::to_string(info.swUpdNo);

    const std::string directory = settings->getString("package_dir") + "/" + number;
    if (!createDirectories(directory)) {
        log->error("[{}:{}] [tid:{}] <SW_UPD:{}:{}>   failed to create directory (package file) ({}) -> {}",
                   VELK_AT, tid, procTag, stageNo, directory, "failed");
        log->flush();
        return -1;
    }
    packageDir = directory;
    log->info("[{}:{}] [tid:{}] <SW_UPD:{}:{}>   debian package directory -> {}", VELK_AT, tid, procTag,
              stageNo, packageDir);

    const std::string logDir = settings->getString("upd_log_dir");
    if (!createDirectories(logDir)) {
        log->error("[{}:{}] [tid:{}] <SW_UPD:DL:{}>   failed to create directory (log file) ({}) -> {}",
                   VELK_AT, tid, stageNo, logDir, "failed");
        log->flush();
        return -2;
    }
    logFile = logDir + "/" + name + "_" + timeStamp + "_id-" + number + ".log";
    log->info("[{}:{}] [tid:{}] <SW_UPD:{}:{}>   {} log file -> {}", VELK_AT, tid, procTag, stageNo, name,
              logFile);

    const std::string listDir = settings->getString("target_pkg_list_dir");
    if (!createDirectories(listDir)) {
        log->error("[{}:{}] [tid:{}] <SW_UPD:{}:{}>   failed to create directory (list file) ({}) -> {}",
                   VELK_AT, tid, procTag, stageNo, listDir, "failed");
        log->flush();
        return -3;
    }
    listFile = listDir + "/package_info_" + name + "_" + timeStamp + "_id-" + number + ".list";
    log->info("[{}:{}] [tid:{}] <SW_UPD:{}:{}>   package info list file -> {}", VELK_AT, tid, procTag,
              stageNo, listFile);
    log->info("[{}:{}] [tid:{}] <SW_UPD:{}:{}> ----- {} set parameter : end -----", VELK_AT, tid, procTag,
              stageNo, name);
    return 0;
}

bool SoftwareUpdateManager::createDirectories(const std::string& path) {
    std::string prefix = !path.empty() && path.front() == '/' ? "/" : "";
    for (const std::string& piece : split(path, '/')) {
        prefix += piece;
        prefix += '/';
        struct stat st {};
        // Another run may create the same directory between the two calls.
        if (stat(prefix.c_str(), &st) != 0 && mkdir(prefix.c_str(), 0775) != 0 && errno != EEXIST) {
            return false;
        }
    }
    return true;
}

void SoftwareUpdateManager::displayPackageInfo(const std::vector<model::UpdatePackage>& packages) {
    log->info("[{}:{}] [tid:{}] <SW_UPD:{}:{}> ----- {} display package info : start -----", VELK_AT, tid,
              procTag, stageNo, procName);
    for (const auto& package : packages) {
        log->info("[{}:{}] [tid:{}] <SW_UPD:{}:{}>   {} : version {} --> {} : url -> {}", VELK_AT, tid,
                  procTag, stageNo, package.packageName, package.oldVersion, package.packageVersion,
                  package.packageUrl);
    }
    log->info("[{}:{}] [tid:{}] <SW_UPD:{}:{}> ----- {} display package info : end -----", VELK_AT, tid,
              procTag, stageNo, procName);
}

int SoftwareUpdateManager::createPackageList(const std::vector<model::UpdatePackage>& packages) {
    log->info(
        "[{}:{}] [tid:{}] <SW_UPD:{}:{}> ----- create {} debian package list : start ----- : list file -> {}",
        VELK_AT, tid, procTag, stageNo, procName, listFile);
    // One package per line: a line break inside a field would hand the script lines of its own.
    for (const auto& package : packages) {
        if (hasLineBreak(package.packageName) || hasLineBreak(package.packageVersion) ||
            hasLineBreak(package.packageUrl)) {
            log->error("[{}:{}] [tid:{}] <SW_UPD:{}:{}>   line break in package data : id -> {}", VELK_AT,
                       tid, procTag, stageNo, package.id);
            return -4;
        }
    }
    std::ofstream out(listFile, std::ios::out | std::ios::trunc | std::ios::binary);
    if (!out.is_open()) {
        log->error("[{}:{}] [tid:{}] <SW_UPD:{}:{}>   failed to open file ({})", VELK_AT, tid, procTag,
                   stageNo, listFile);
        return -3;
    }
    out << "###################\n";
    out << "# " << procName << " package list\n";
    out << "#   create date: " << timeStamp << "\n";
    out << "#\n";
    int count = 0;
    for (const auto& package : packages) {
        out << package.packageName << ' ' << package.packageVersion << ' ' << package.packageUrl << '\n';
        ++count;
    }
    out.flush();
    out.close();
    if (out.fail()) {
        // A short list would let the script act on part of the order.
        log->error("[{}:{}] [tid:{}] <SW_UPD:{}:{}>   failed to write file ({})", VELK_AT, tid, procTag,
                   stageNo, listFile);
        std::remove(listFile.c_str());
        return -3;
    }
    if (count == 0) {
        log->warning("[{}:{}] [tid:{}] <SW_UPD:{}:{}>   {} target not found", VELK_AT, tid, procTag, stageNo,
                     procName);
        std::remove(listFile.c_str());
        return -2;
    }
    log->info("[{}:{}] [tid:{}] <SW_UPD:{}:{}> ----- create {} debian package list : end -----", VELK_AT, tid,
              procTag, stageNo, procName);
    return 0;
}

int SoftwareUpdateManager::executeDebianPackage() {
    log->info(
        "[{}:{}] [tid:{}] <SW_UPD:{}:{}> ----- {} debian package : start ----- : directory -> {} : log file "
        "-> {}",
        VELK_AT, tid, procTag, stageNo, procName, packageDir, logFile);
    const std::string script = settings->getString(isDownload ? "script_download_pkg" : "script_install_pkg");
    const std::string command = shellQuote(script) + " " + shellQuote(packageDir) + " " +
                                shellQuote(listFile) + " > " + shellQuote(logFile) + " 2>&1";
    log->info("[{}:{}] [tid:{}] <SW_UPD:{}:{}>   {} command -> <<< {} >>>", VELK_AT, tid, procTag, stageNo,
              procName, command);
    std::string output;
    int status = -1;
    int result = 0;
    // A hung download would hold its row for good. An install is never stopped: dpkg cut off
    // halfway leaves the system broken.
    const int32_t limit = isDownload ? settings->getInt("download_timeout_sec", 3600) : 0;
    bool timedOut = false;
    if (!execWithin(command, output, status, limit, timedOut, isDownload)) {
        log->error("[{}:{}] [tid:{}] <SW_UPD:{}:{}>   {} failed", VELK_AT, tid, procTag, stageNo, procName);
        result = -1;
    } else if (isDownload && agentStopping.load()) {
        log->info(
            "[{}:{}] [tid:{}] <SW_UPD:{}:{}>   {} ended by the agent's stop : done again at the next start",
            VELK_AT, tid, procTag, stageNo, procName);
        return kStoppedByAgent;
    } else if (timedOut) {
        log->error("[{}:{}] [tid:{}] <SW_UPD:{}:{}>   {} stopped : still running after {} seconds", VELK_AT,
                   tid, procTag, stageNo, procName, limit);
        result = status == 0 ? -1 : status;
    } else if (status == 0) {
        log->info("[{}:{}] [tid:{}] <SW_UPD:{}:{}>   {} success : exit code -> {}", VELK_AT, tid, procTag,
                  stageNo, procName, status);
    } else {
        // Also -1, a status that could not be collected: the script's outcome is unknown.
        log->error("[{}:{}] [tid:{}] <SW_UPD:{}:{}>   {} failed : exit code -> {}", VELK_AT, tid, procTag,
                   stageNo, procName, status);
        result = status;
    }
    log->info("[{}:{}] [tid:{}] <SW_UPD:{}:{}> ----- {} debian package : start -----", VELK_AT, tid, procTag,
              stageNo, procName);
    return result;
}

std::string SoftwareUpdateManager::_reportMessage(bool executed) const {
    if (!reportText.empty()) {
        return reportText;
    }
    return procName + (executed ? " success" : " failed") + (failureNote.empty() ? "" : " : " + failureNote);
}

int SoftwareUpdateManager::writeOrderFiles(const std::vector<model::UpdatePackage>& packages) {
    const auto digests = orderDigests(orderText);
    std::string sums;
    for (const auto& package : packages) {
        auto found = digests.find({package.packageName, package.packageVersion});
        if (found != digests.end()) {
            sums += found->second + "  " +
                    PackageDigest::debFileName(package.packageName, package.packageVersion) + "\n";
        }
    }
    for (const auto& [suffix, text] :
         {std::make_pair(".sha256", sums), std::make_pair(".order", orderText)}) {
        const std::string path = listFile + suffix;
        std::ofstream out(path, std::ios::out | std::ios::trunc | std::ios::binary);
        out << text;
        out.close();
        if (out.fail()) {
            log->error("[{}:{}] [tid:{}] <SW_UPD:{}:{}>   failed to write file ({})", VELK_AT, tid, procTag,
                       stageNo, path);
            std::remove(path.c_str());
            return -3;
        }
    }
    return 0;
}

int SoftwareUpdateManager::checkDigests(const std::vector<model::UpdatePackage>& packages) {
    const auto digests = orderDigests(orderText);
    for (const auto& package : packages) {
        auto found = digests.find({package.packageName, package.packageVersion});
        if (found == digests.end()) {
            continue;
        }
        const std::string path =
            packageDir + "/" + PackageDigest::debFileName(package.packageName, package.packageVersion);
        const std::string actual = PackageDigest::ofFile(path);
        if (actual == found->second) {
            log->info("[{}:{}] [tid:{}] <SW_UPD:{}:{}>   digest ok : {} {}", VELK_AT, tid, procTag, stageNo,
                      package.packageName, package.packageVersion);
            continue;
        }
        // Nothing may install it, nor may the next download take it for done.
        std::remove(path.c_str());
        log->error(
            "[{}:{}] [tid:{}] <SW_UPD:{}:{}>   digest mismatch : {} {} : file -> {} : expected -> {} : got "
            "-> {}",
            VELK_AT, tid, procTag, stageNo, package.packageName, package.packageVersion, path, found->second,
            actual.empty() ? "unreadable" : actual);
        failureNote = "digest mismatch : " + package.packageName + " " + package.packageVersion;
        return kDigestMismatch;
    }
    return 0;
}

bool SoftwareUpdateManager::ExecCmd(const std::string& command, std::string& output, int& status) {
    return data::SettingData::ExecCmd(command, output, status);
}

int SoftwareUpdateManager::saveResult(model::UpdateInfo& info, std::vector<model::UpdatePackage>& packages,
                                      bool executed) {
    log->info(
        "[{}:{}] [tid:{}] <SW_UPD:{}:{}> ----- saving {} results : start ----- : previous {} result -> {}",
        VELK_AT, tid, procTag, stageNo, procName, procName, okText(executed));
    const int64_t now = nowSeconds();
    const std::string nowText = formatLocalTime(now, kDbTimePattern);
    const int32_t recordTime = toRecordTime(now);

    if (isDownload) {
        info.updateStatus =
            executed ? DbController::UPD_STATUS_DL_SUCCESS : DbController::UPD_STATUS_DL_FAILED;
    } else {
        info.updateStatus =
            executed ? DbController::UPD_STATUS_UPD_SUCCESS : DbController::UPD_STATUS_UPD_FAILED;
    }
    info.statusChangeTime = recordTime;
    if (executed) {
        for (auto& package : packages) {
            package.downloadFlag =
                isDownload ? DbController::PKG_FLAG_DL_SUCCESS : DbController::PKG_FLAG_UPD_SUCCESS;
            package.downloadTime = recordTime;
            log->verbose(
                "[{}:{}] [tid:{}] <SW_UPD:{}:{}>   set {} success flag : id -> {} : download_flag -> {}",
                VELK_AT, tid, procTag, stageNo, procName, package.id, package.downloadFlag);
        }
    }

    // The report is queued with the outcome, so that no kill between the two can lose it.
    reportStored = false;
    const std::string report = order::ProcResultNotification().createUpdateResult(
        info, _reportMessage(executed), settings->substrateCode);
    const int32_t queued =
        isDownload ? DbController::ORDER_STATUS_DL_UNSENT : DbController::ORDER_STATUS_UPD_UNSENT;

    int result = -1;
    bool closed = false;
    DbSession session(db);
    if (!session.isOpen() || !session.begin()) {
        log->warning(
            "[{}:{}] [tid:{}] <SW_UPD:{}:{}>   db update failed (db open) : failed to start transaction",
            VELK_AT, tid, procTag, stageNo);
    } else {
        result = db->updatePkgDownloadResult(executed, nowText, info, packages, heldStatus);
        if (result == DbController::ROW_NOT_HELD) {
            // Closed by a cancel or a newer order: it stays closed, the service still hears the outcome.
            log->warning("[{}:{}] [tid:{}] <SW_UPD:{}:{}>   update_info id -> {} was closed meanwhile : kept",
                         VELK_AT, tid, procTag, stageNo, info.id);
            closed = true;
            result = 0;
        }
        const bool hold = result == 0 && !closed && holdForInstall && isDownload && executed;
        if (hold) {
            // Straight on to 21 in the same transaction: the row never shows 12 to the executor.
            result = db->updateProcessingInsruction(info.id, DbController::UPD_STATUS_DL_SUCCESS);
        }
        if (result == 0) {
            result = db->updateSwupdSendResult(info.orderInfoId, queued, report);
        }
        if (result != 0) {
            log->warning("[{}:{}] [tid:{}] <SW_UPD:{}:{}>   db update failed : package {} result", VELK_AT,
                         tid, procTag, stageNo, procName);
            session.rollback();
        } else {
            log->info("[{}:{}] [tid:{}] <SW_UPD:{}:{}>   db update success : save result to package {}",
                      VELK_AT, tid, procTag, stageNo, procName);
            if (session.commit()) {
                log->info(
                    "[{}:{}] [tid:{}] <SW_UPD:{}:{}>   db update success : success to commit transaction",
                    VELK_AT, tid, procTag, stageNo);
                reportStored = true;
                heldStatus = hold ? DbController::UPD_STATUS_UPD_PROCESSING : 0;
                if (hold) {
                    log->info(
                        "[{}:{}] [tid:{}] <SW_UPD:{}:{}>   update_info id -> {} stays in processing for the "
                        "update of this run",
                        VELK_AT, tid, procTag, stageNo, info.id);
                }
            } else {
                log->warning(
                    "[{}:{}] [tid:{}] <SW_UPD:{}:{}>   db update failed : failed to commit transaction",
                    VELK_AT, tid, procTag, stageNo);
                result = -3;
            }
        }
    }
    session.close();
    log->info("[{}:{}] [tid:{}] <SW_UPD:{}:{}> ----- saving {} results : end : result -> {}", VELK_AT, tid,
              procTag, stageNo, procName, result);
    return result;
}

int SoftwareUpdateManager::uploadResult(const model::UpdateInfo& info, bool executed, std::string& report) {
    log->info(
        "[{}:{}] [tid:{}] <SW_UPD:{}:{}> ----- upload {} result to Pelvane WEB : start ----- : directory -> "
        "{} : log "
        "file -> {}",
        VELK_AT, tid, procTag, stageNo, procName, packageDir, logFile);
    order::ProcResultNotification notification;
    report = notification.createUpdateResult(info, _reportMessage(executed), settings->substrateCode);
    std::string answer;
    int result = notification.sendResult(settings->getString("report_result"), report, answer);
    if (result != 0) {
        log->error("[{}:{}] [tid:{}] <SW_UPD:{}:{}>   failed to upload {} result : result -> {}", VELK_AT,
                   tid, procTag, stageNo, procName, result);
    } else {
        log->info("[{}:{}] [tid:{}] <SW_UPD:{}:{}>   success to upload {} result", VELK_AT, tid, procTag,
                  stageNo, procName);
    }
    log->info("[{}:{}] [tid:{}] <SW_UPD:{}:{}> ----- upload {} result to Pelvane WEB : start -----", VELK_AT,
              tid, procTag, stageNo, procName);
    return result;
}

int SoftwareUpdateManager::saveSendResult(int32_t orderId, bool uploaded, const std::string& report) {
    log->info(
        "[{}:{}] [tid:{}] <SW_UPD:{}:{}>  ----- start : saving send result ({} processing): order_info id -> "
        "{} : "
        "send result -> {}",
        VELK_AT, tid, procTag, stageNo, procName, orderId, okText(uploaded));
    int32_t status = 0;
    if (isDownload) {
        status = uploaded ? DbController::ORDER_STATUS_DL_SENT : DbController::ORDER_STATUS_DL_UNSENT;
    } else {
        status = uploaded ? DbController::ORDER_STATUS_UPD_SENT : DbController::ORDER_STATUS_UPD_UNSENT;
    }
    int result = -1;
    if (reportStored && !uploaded) {
        log->info("[{}:{}] [tid:{}] <SW_UPD:{}:{}>  ----- end : saving send result ({} processing) : queued",
                  VELK_AT, tid, procTag, stageNo, procName);
        return 0;
    }
    DbSession session(db);
    if (!session.isOpen()) {
        log->warning(
            "[{}:{}] [tid:{}] <SW_UPD:{}:{}> db update failed (db open) : save software update processing "
            "result ({})",
            VELK_AT, tid, procTag, stageNo, procName);
    } else {
        if (reportStored) {
            // Delivered: only the queued copy of this very report becomes "sent".
            model::OrderInfo sent;
            sent.id = orderId;
            sent.orderStatus = status;
            sent.responseJson = report;
            result = db->updateUnsentOrderInfo({sent});
        } else {
            result = db->updateSwupdSendResult(orderId, status, report);
        }
        session.close();
        if (result != 0) {
            log->warning(
                "[{}:{}] [tid:{}] <SW_UPD:{}:{}> db update failed : save software update processing result "
                "({}) : {}",
                VELK_AT, tid, procTag, stageNo, procName, result);
        } else {
            log->info(
                "[{}:{}] [tid:{}] <SW_UPD:{}:{}> db update success : save software update processing result "
                "({})",
                VELK_AT, tid, procTag, stageNo, procName);
        }
    }
    log->info("[{}:{}] [tid:{}] <SW_UPD:{}:{}>  ----- end : saving send result ({} processing)", VELK_AT, tid,
              procTag, stageNo, procName);
    return result;
}

}  // namespace velk::feature
