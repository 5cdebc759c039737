#include "order/InstructionExecuter.h"

#include <algorithm>
#include <climits>
#include <exception>
#include <thread>
#include <vector>

#include "LogExcerpt.h"
#include "TimeFormat.h"
#include "WaitTimeAdjustment.h"
#include "data/LogWrapper.h"
#include "data/SettingData.h"
#include "db/DbController.h"
#include "db/DbSession.h"
#include "feature/SoftwareUpdateManager.h"
#include "model/OrderInfo.h"
#include "order/ProcResultNotification.h"
#include "order/StoragePruner.h"

namespace velk::order {

using Db = db::DbController;

namespace {
WakeSignal& wakeSignal() {
    static auto* signal = new WakeSignal();  // process-wide, never destroyed
    return *signal;
}
}  // namespace

void InstructionExecuter::wake() { wakeSignal().notify(); }

InstructionExecuter::InstructionExecuter()
    : settings(data::SettingData::getInstance()),
      log(data::LogWrapper::getInstance()),
      db(Db::getInstance()) {
    log->setLogger("velk");
}

void InstructionExecuter::_setRunState(int32_t state) {
    std::lock_guard<std::mutex> lock(mutex);
    runState.store(state);
}

void InstructionExecuter::_setThreadState(int32_t state) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        threadState.store(state);
    }
    threadEnded.notify_all();
}

int InstructionExecuter::StartThread() {
    if (started.load()) {
        return 1;
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        runState.store(0);
        reserved = 0;
    }
    std::shared_ptr<InstructionExecuter> self = shared_from_this();
    std::thread([self] { self->LoopThread(); }).detach();
    std::lock_guard<std::mutex> lock(mutex);
    started.store(true);
    return 0;
}

int InstructionExecuter::StopThread() {
    std::lock_guard<std::mutex> lock(mutex);
    runState.store(2);
    started.store(false);
    return 0;
}

bool InstructionExecuter::waitThreadEnd(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex);
    return threadEnded.wait_for(lock, limit, [this] {
        int32_t state = threadState.load();
        return state == THREAD_NOT_STARTED || state == THREAD_FINISHED;
    });
}

void InstructionExecuter::LoopThread() {
    log->info("[{}:{}] <ORDER> in LoopThread : start", VELK_AT);
    _setThreadState(THREAD_RUNNING);
    int result = -1;
    try {
        result = instructionCheckLoop();
    } catch (const std::exception& e) {
        log->error("[{}:{}] <ORDER> in LoopThread : exception : reason -> {}", VELK_AT, e.what());
    }
    log->info("[{}:{}] <ORDER> in LoopThread : end : end result -> {}", VELK_AT, result);
    log->flush();
    _setThreadState(THREAD_FINISHED);
}

int InstructionExecuter::instructionCheckLoop() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (runState.load() != 2) {
            runState.store(1);
        }
    }
    int32_t slice = settings->getInt("loop_slice_interval_sec", 5);
    WaitTimeAdjustment waiter(settings->getInt("delay_start_thread_time", 5), slice);
    waiter.start();
    if (resetProgressStatus()) {
        log->info("[{}:{}] <ORDER> in instructionCheckLoop : reset progress status : {}", VELK_AT, "success");
    } else {
        log->warning("[{}:{}] <ORDER> in instructionCheckLoop : reset progress status : {}", VELK_AT,
                     "failed");
    }
    const std::atomic<int64_t> noTarget{0};
    if (waiter.waitUntil(&runState, &noTarget) != 0) {
        _setRunState(3);
    }
    log->info("[{}:{}] <ORDER> Instruction Executor thread : -----------: loop start", VELK_AT);

    waiter.setWaitTime(settings->getInt("loop_interval_sec", 3600), slice);
    // From here a stored order or an ended run cuts the wait short; the interval stays the bound.
    waiter.setWakeSignal(&wakeSignal());
    int32_t nextId = 0;
    int32_t nextStatus = 0;
    std::atomic<int64_t> nextTime{0};
    int waitResult = 0;
    auto endLoop = [&] {
        log->info("[{}:{}] <ORDER> end instruction executor loop ({}:{})", VELK_AT, waitResult,
                  runState.load());
    };

    while (runState.load() == 1) {
        int sent = sendUnsentInstructionData();
        if (sent == 1) {
            log->info("[{}:{}] <ORDER> send unsent instruction result : send success", VELK_AT);
        } else if (sent < 0) {
            log->warning("[{}:{}] <ORDER> send unsent instruction result : send failed -> {}", VELK_AT, sent);
        }
        if (runState.load() == 0) {
            endLoop();
            break;
        }
        StoragePruner(StoragePruner::fromSettings(settings)).prune();
        std::string type;
        int64_t time = 0;
        if (checkLastInstruction(nextId, nextStatus, time, type)) {
            if (nextId != 0) {
                log->info(
                    "[{}:{}] <ORDER> find next order info  : type -> {} : id(DB) -> {} : now status -> {} : "
                    "next "
                    "time -> {}",
                    VELK_AT, type, nextId, nextStatus, time);
            } else {
                log->info(
                    "[{}:{}] <ORDER> not find next order info  : type -> {} : id(DB) -> {} : now status -> "
                    "{} : "
                    "next time -> {}",
                    VELK_AT, type, nextId, nextStatus, time);
            }
            log->flush();
        }
        nextTime.store(time);
        if (runState.load() == 0) {
            endLoop();
            break;
        }
        waiter.start();
        waitResult = waiter.waitUntil(&runState, &nextTime);
        if (waitResult == 1 || runState.load() == 0) {
            endLoop();
            break;
        }
        if (waitResult == 2) {
            log->info("[{}:{}] <ORDER> =================- execute order ({}:{})", VELK_AT, waitResult,
                      runState.load());
            if (setProcessingStatus(nextId, nextStatus)) {
                log->info("[{}:{}] <ORDER> in instructionCheckLoop : set processing status : success",
                          VELK_AT);
                if (feature::SoftwareUpdateManager::StartThread(
                        std::make_unique<feature::SoftwareUpdateManager>(), nextId) != 0) {
                    // No run will end it: the row goes straight back to the stage it waits for.
                    db::DbSession session(db);
                    model::UpdateInfo back;
                    back.id = nextId;
                    back.updateStatus = nextStatus;
                    if (session.isOpen()) {
                        db->updatePkgDownloadResult(
                            false, formatLocalTime(nowSeconds(), kDbTimePattern), back, {},
                            nextStatus == Db::UPD_STATUS_WAIT ? Db::UPD_STATUS_DL_PROCESSING
                                                              : Db::UPD_STATUS_UPD_PROCESSING);
                    }
                }
            } else {
                // Closed or changed since it was chosen: nothing of it is ours to run.
                log->warning("[{}:{}] <ORDER> in instructionCheckLoop : set processing status : failed",
                             VELK_AT);
            }
        }
        log->verbose("[{}:{}]  <ORDER> --- THREAD --- sleep end ({}:{})", VELK_AT, waitResult,
                     runState.load());
    }

    log->info("[{}:{}] <ORDER> Instruction Executor thread : -----------: loop finish", VELK_AT);
    _setThreadState(THREAD_LOOP_FINISHED);
    return 0;
}

bool InstructionExecuter::resetProgressStatus() {
    log->info("[{}:{}] <ORDER> ===== start : reset running state of the process =====", VELK_AT);
    int result = 0;
    if (db::DbSession session(db); session.isOpen()) {
        result = db->updateResetInstruction();
    }
    log->info("[{}:{}] <ORDER> ===== end : reset running state of the process ===== : ret -> {} ({})",
              VELK_AT, result, result != 0 ? "failed" : "success");
    return result == 0;
}

bool InstructionExecuter::checkLastInstruction(int32_t& id, int32_t& status, int64_t& time,
                                               std::string& type) {
    log->info("[{}:{}] <ORDER> ===== start : check time for next action =====", VELK_AT);
    int32_t localId = 0;
    int32_t localStatus = 0;
    int64_t localTime = 0;
    int result = 0;
    std::vector<Db::UnreadableStage> unreadable;
    if (db::DbSession session(db); session.isOpen()) {
        if (db->selectProcessingInstructionData() < 1) {
            log->info("[{}:{}] <ORDER> in checkLastInstruction : no process in progress", VELK_AT);
            result = db->selectNextInstructionData(localId, localStatus, localTime, type, &unreadable);
        } else {
            log->info("[{}:{}] <ORDER> in checkLastInstruction : now processing", VELK_AT);
            result = 1;
        }
    }
    if (result == 0 && !unreadable.empty()) {
        closeUnreadableStages(unreadable);
    }
    if (result != 0) {
        id = 0;
        status = 0;
        time = 0;
    } else {
        id = localId;
        status = localStatus;
        time = localTime;
    }
    log->info(
        "[{}:{}] <ORDER> ===== end : check time for next action ===== : ret -> {} ({}) : next update_info id "
        "-> {} "
        ": time -> {}",
        VELK_AT, result, result != 0 ? "failed" : "success", id, time);
    return result == 0;
}

void InstructionExecuter::closeUnreadableStages(const std::vector<Db::UnreadableStage>& stages) {
    for (const auto& stage : stages) {
        const bool download = stage.status == Db::UPD_STATUS_WAIT;
        log->warning(
            "[{}:{}] <ORDER> unreadable start time -> \"{}\" : update_info id -> {} : closed as failed",
            VELK_AT, stage.time, stage.id);
        db::DbSession session(db);
        if (!session.isOpen()) {
            return;
        }
        model::UpdateInfo info;
        bool done =
            session.begin() && db->selectTargetInstructionData(stage.id, info) == 0 && info.id == stage.id;
        if (done) {
            const int64_t now = nowSeconds();
            info.updateStatus = download ? Db::UPD_STATUS_DL_FAILED : Db::UPD_STATUS_UPD_FAILED;
            // Records hold 32-bit seconds.
            info.statusChangeTime = static_cast<int32_t>(std::min<int64_t>(now, INT32_MAX));
            const std::string report = ProcResultNotification().createUpdateResult(
                info, download ? "download failed" : "update failed", settings->substrateCode);
            // The row and its queued report change together; the next re-send delivers it.
            done = db->updatePkgDownloadResult(false, formatLocalTime(now, kDbTimePattern), info, {},
                                               stage.status) == 0 &&
                   db->updateSwupdSendResult(
                       info.orderInfoId, download ? Db::ORDER_STATUS_DL_UNSENT : Db::ORDER_STATUS_UPD_UNSENT,
                       report) == 0 &&
                   session.commit();
        }
        if (!done) {
            session.rollback();
            log->warning("[{}:{}] <ORDER>   db update failed : update_info id -> {} left as it is", VELK_AT,
                         stage.id);
        }
        session.close();
        if (done) {
            wake();  // its report goes out with the next look, not after a whole interval
        }
    }
}

bool InstructionExecuter::setProcessingStatus(int32_t id, int32_t status) {
    log->info(
        "[{}:{}] <ORDER> ===== start : start update processing mark ===== : update_info > id -> {} : "
        "update_status "
        "-> {}",
        VELK_AT, id, status);
    int result = 0;
    if (db::DbSession session(db); session.isOpen()) {
        result = db->updateProcessingInsruction(id, status);
    }
    log->info("[{}:{}] <ORDER> ===== end : start update to processing ===== : ret -> {} ({})", VELK_AT,
              result, result != 0 ? "failed" : "success");
    return result == 0;
}

int InstructionExecuter::sendUnsentInstructionData() {
    log->info("[{}:{}] <ORDER> ===== start : send unsent instruction result data ===== ", VELK_AT);
    int result = -1;
    std::vector<model::OrderInfo> unsent;
    if (db::DbSession session(db); session.isOpen()) {
        result = db->selectUnsentInstructionResultData(unsent);
        session.close();
        if (result != 0) {
            log->error("[{}:{}] <ORDER> in sendUnsentInstructionData : db access failed", VELK_AT);
        } else if (unsent.empty()) {
            log->info("[{}:{}] <ORDER> in sendUnsentInstructionData : not find unsent data", VELK_AT);
        } else {
            log->info("[{}:{}] <ORDER> in sendUnsentInstructionData : find unsent data : data num -> {}",
                      VELK_AT, unsent.size());
        }
    }
    if (result != 0 || unsent.empty()) {
        log->info("[{}:{}] <ORDER> ===== end : send unsent instruction result data ===== : no unsent data",
                  VELK_AT);
        return 1;
    }

    std::string address = settings->getString("report_result");
    std::vector<model::OrderInfo> delivered;
    for (auto& record : unsent) {
        if (feature::SoftwareUpdateManager::reportInFlight(record.id)) {
            log->info("[{}:{}] <ORDER>   order_info id -> {} : its run delivers the report", VELK_AT,
                      record.id);
            continue;
        }
        std::string response;
        ProcResultNotification notification;
        int sent = notification.sendResult(address, record.responseJson, response);
        if (sent != 0) {
            log->error("[{}:{}] <ORDER>   failed to send unsent result : result -> {}", VELK_AT, sent);
        } else {
            log->info(
                "[{}:{}] <ORDER>   success to send unsent result : order_info id -> {} : response data -> {}",
                VELK_AT, record.id, logExcerpt(response));
            record.orderStatus = record.orderStatus == Db::ORDER_STATUS_DL_UNSENT ? Db::ORDER_STATUS_DL_SENT
                                                                                  : Db::ORDER_STATUS_UPD_SENT;
            delivered.push_back(record);
        }
    }
    if (delivered.empty()) {
        return -2;
    }

    db::DbSession session(db);
    if (!session.begin()) {
        log->warning("[{}:{}] <ORDER>   db update failed : failed to start transaction", VELK_AT);
        return -6;
    }
    // The marks that were written are kept: undoing them for another record's failure would only
    // send those reports once more.
    bool allSaved = db->updateUnsentOrderInfo(delivered) == 0;
    if (allSaved) {
        log->info("[{}:{}] <ORDER>   db update success : save send to unsent data", VELK_AT);
    } else {
        log->warning("[{}:{}] <ORDER>   db update failed : save send to unsent data : the others are kept",
                     VELK_AT);
    }
    if (session.commit()) {
        log->info("[{}:{}] <ORDER>   db update success : success to commit transaction", VELK_AT);
        result = allSaved ? 0 : -5;
    } else {
        log->warning("[{}:{}] <ORDER>   db update failed : failed to commit transaction", VELK_AT);
        session.rollback();
        result = -4;
    }
    session.close();
    log->info("[{}:{}] <ORDER> ===== end : send unsent instruction result data ===== : ret -> {} ({})",
              VELK_AT, result, result != 0 ? "failed" : "success");
    return result;
}

}  // namespace velk::order
