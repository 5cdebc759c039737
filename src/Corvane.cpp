#include "Corvane.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "PollSchedule.h"
#include "SignalRelay.h"
#include "WaitTimeAdjustment.h"
#include "communication/CommunicationManager.h"
#include "communication/HttpConnection.h"
#include "data/LogWrapper.h"
#include "data/SettingData.h"
#include "db/DbController.h"
#include "db/DbSession.h"
#include "feature/BootTime.h"
#include "feature/SoftwareUpdateManager.h"
#include "order/InstructionController.h"
#include "order/InstructionExecuter.h"
#include "order/OrderIntake.h"

namespace velk {

std::atomic<Corvane*> agentInstance{nullptr};

namespace {
constexpr int32_t kRetrySlices = 12;
}  // namespace

int Corvane::init() {
    _initSetting();
    _initLog();
    log->info("=========================================== >>>");
    log->info("  Corvane execution.");
    log->flush();
    _displaySettingData();
    int result = _initDb();
    if (result != 0) {
        log->error("[{}:{}] Failed to initialize Database", VELK_AT);
        log->flush();
    }
    return result;
}

int Corvane::_initSetting() {
    data::SettingData::createInstance();
    settings = data::SettingData::getInstance();
    return 0;
}

void Corvane::_initLog() {
    std::string path = settings->getString("log_dir") + "/" + settings->getString("log_file");
    data::LogWrapper::createRotatingLogger(path, settings->getInt("log_max_bytes", 100000),
                                           settings->getInt("log_counts", 10));
    data::LogWrapper::createInstance();
    log = data::LogWrapper::getInstance();
    log->setLogger("velk");
    SignalRelay::start(log);
}

void Corvane::_displaySettingData() {
    const data::SettingData& s = *settings;
    log->info("Display Setting Data >>>");
    log->info("  log");
    log->info("    log_dir                  = {}", s.getString("log_dir"));
    log->info("    log_file                 = {}", s.getString("log_file"));
    log->info("    log_max_bytes            = {}", s.getInt("log_max_bytes", 0));
    log->info("    log_counts               = {}", s.getInt("log_counts", 0));
    log->info("    log_level                = {} ({})", s.getLogLevel(), log->getLevelName(s.getLogLevel()));
    log->info("  database");
    log->info("    db_dir/db_file           = {}/{}", s.getString("db_path"), s.getString("db_file"));
    log->info("    lock_order               = {}", s.getString("lock_rw"));
    log->info("    lock_upd                 = {}", s.getString("lock_ro"));
    log->info("  check order param");
    log->info("    check_interval           = {}", s.getInt("check_interval_sec", 0));
    log->info("    check_slice_interval     = {}", s.getInt("check_slice_interval_sec", 0));
    log->info("    delay_start_time         = {}", s.getInt("delay_start_time", 0));
    log->info("    order_ack                = {}", s.getInt("order_ack", 0));
    log->info("    start_jitter_sec         = {}", s.getInt("start_jitter_sec", 0));
    log->info("    check_jitter_sec         = {}", s.getInt("check_jitter_sec", 0));
    log->info("    max_backoff_sec          = {}", s.getInt("max_backoff_sec", 0));
    log->info("  instruction thread");
    log->info("    loop_interval            = {}", s.getInt("loop_interval_sec", 0));
    log->info("    loop_slice_interval      = {}", s.getInt("loop_slice_interval_sec", 0));
    log->info("    delay_start_thread_time  = {}", s.getInt("delay_start_thread_time", 0));
    log->info("  thread alive param");
    log->info("    alive_check_interval     = {}", s.getInt("alive_check_interval_sec", 0));
    log->info("    alive_differ             = {}", s.getInt("alive_differ_sec", 0));
    log->info("  server alive param");
    log->info("    ping_server_fqdn         = {}", s.getString("ping_server_fqdn"));
    log->info("    ping_server_ipaddr       = {}", s.getString("ping_server_ipaddr"));
    log->info("    pint_retry_num           = {}", s.getInt("pint_retry_num", 0));
    log->info("    ping_retry_interval      = {}", s.getInt("ping_retry_interval", 0));
    log->info("  web api");
    log->info("    api_base_url             = {}", s.getString("api_base_url"));
    log->info("    api_login_url            = {}", s.getString("api_login_url"));
    log->info("    api_u1                   = {}", s.getString("api_u1"));
    log->info("    api_u2                   = ****");  // the fixed cipher would give the password away
    log->info("    api_token_expiration     = {}", s.getInt("api_token_expiration", 0));
    log->info("    header");
    for (const auto& line : s.getList("header")) {
        log->info("                             = {}", line);
    }
    log->info("    api_uri");
    log->info("      order_check            = {}", s.getString("order_check"));
    log->info("      report_result          = {}", s.getString("report_result"));
    log->info("  http access");
    log->info("    retry_num                = {}", s.getInt("retry_num", 0));
    log->info("    retry_interval_sec       = {}", s.getInt("retry_interval_sec", 0));
    log->info("    http_timeout             = {}", s.getLong("http_timeout", 0));
    log->info("    http_connect_timeout     = {}", s.getLong("http_connect_timeout", 0));
    log->info("    ca_cert_file             = {}", s.getString("ca_cert_file"));
    log->info("    proxy                    = {}", comm::HttpConnection::maskProxy(s.getString("proxy")));
    log->info("  software update");
    log->info("    package_dir              = {}", s.getString("package_dir"));
    log->info("    upd_log_dir              = {}", s.getString("upd_log_dir"));
    log->info("    script_download_pkg      = {}", s.getString("script_download_pkg"));
    log->info("    script_install_pkg       = {}", s.getString("script_install_pkg"));
    log->info("    target_pkg_list_dir      = {}", s.getString("target_pkg_list_dir"));
    log->info("    proc_retry_num           = {}", s.getInt("proc_retry_num", 0));
    log->info("    proc_retry_wait_sec      = {}", s.getInt("proc_retry_wait_sec", 0));
    log->info("    download_allow_http      = {}", s.getInt("download_allow_http", 0));
    log->info("    keep_closed_orders       = {}", s.getInt("keep_closed_orders", 0));
    log->info("    keep_run_files           = {}", s.getInt("keep_run_files", 0));
    log->info("    download_timeout_sec     = {}", s.getInt("download_timeout_sec", 0));
    log->info("    honour_end_dates         = {}", s.getInt("honour_end_dates", 0));
    log->info("    download_rate_limit      = {}", s.getInt("download_rate_limit", 0));
    log->info("    order_signature          = {}", s.getString("order_signature"));
    log->info("    trusted_keys_dir         = {}", s.getString("trusted_keys_dir"));
    log->info("Display Setting Data <<<");
}

int Corvane::_initDb() {
    db::DbController::createInstance();
    db = db::DbController::getInstance();
    int result = db->init(settings->getString("db_path"), settings->getString("db_file"),
                          settings->getString("lock_rw"), settings->getString("lock_ro"));
    log->info("[{}:{}] in _initDb : DB init -> {} ({})", VELK_AT, result == 0 ? "success" : "failed", result);
    if (result == db::DbController::INIT_AGENT_RUNNING) {
        // Started by hand beside the service, say: whoever started it must see why it ended.
        std::fprintf(stderr, "velk: another agent runs on the database folder %s\n",
                     settings->getString("db_path").c_str());
    }
    if (result != 0) {
        log->info("[{}:{}] in _initDb : DB init failed !!!!!", VELK_AT);
        log->flush();
        return 1;
    }
    return 0;
}

void Corvane::finish() {
    log->info("=========================================== <<<");
    log->flush();
}

Corvane::~Corvane() { SignalRelay::stop(); }

void Corvane::receiveExitSignal(int signalNumber) {
    exitState.store(2);
    signalNo.store(signalNumber);
    // A transfer to a service that never answers must not hold the shutdown for minutes.
    comm::HttpConnection::stopTransfers(true);
    SignalRelay::notify(SignalRelay::kExit, signalNumber);
}

void Corvane::receiveOrderSignal(int signalNumber) {
    signalNo.store(signalNumber);
    if (signalNumber == 10 || signalNumber == 12) {
        orderState.store(2);
    }
    if (orderState.load() != 0) {
        SignalRelay::notify(SignalRelay::kOrder, signalNumber);
    }
}

bool Corvane::_registerOsBootTime(feature::BootTime& bootTime) {
    if (bootTime.done) {
        log->info("[{}:{}] OS Boot Time : not execute", VELK_AT);
        return false;
    }
    std::string text = bootTime.getBootTime();
    if (text.empty()) {
        log->info("[{}:{}] OS Boot Time : get failed", VELK_AT);
        return false;
    }
    log->info("[{}:{}] >--    OS Boot Time -> {}    --<", VELK_AT, text);
    db::DbSession session(db);
    if (!session.isOpen()) {
        log->warning("[{}:{}] Database open failed", VELK_AT);
        return false;
    }
    log->info("[{}:{}] Add OS Boot Time to Database : boot time -> {}", VELK_AT, text);
    bool stored = false;
    int result = db->insertOsBootTime(text);
    if (result == 0) {
        log->info("[{}:{}] Add OS Boot Time : DB save success", VELK_AT);
        bootTime.done = true;
        stored = true;
    } else if (result < 0) {
        log->warning("[{}:{}] Add OS Boot Time : DB save failed ({})", VELK_AT, result);
    } else {
        log->info("[{}:{}] Add OS Boot Time : already added to DB (row_id={})", VELK_AT, result);
    }
    return stored;
}

bool Corvane::_poll(order::InstructionController& controller, order::OrderIntake& intake) {
    comm::CommunicationManager client;
    client.init();
    std::string body = controller.getAllInstructionJson();
    std::string response;
    std::string address = settings->getString("order_check");
    int result = client.dataSend(address, body, response);
    const bool unavailable = client.serviceUnavailable();
    std::string kept;
    if (result != 0) {
        log->warning("[{}:{}] send request failed : result -> {}", VELK_AT, result);
    } else if (unavailable) {
        // An error page answers nothing: what this request acknowledged goes out again with the next.
        log->warning("[{}:{}] send request failed : HTTP {}", VELK_AT, client.httpStatus());
    } else {
        log->verbose("[{}:{}] send request success", VELK_AT);
        // Before this answer's orders are noted: a number it hands out again is acknowledged again.
        controller.requestAnswered();
        // Kept before anything reads it: from here on a crash or a busy database delays the
        // answer's orders but never loses them, and a full disk delays them while the agent runs.
        kept = intake.keep(response);
        bool bootTimeStored = controller.hasOsBootTimeResultFromReceiveData(response);
        log->debug("[{}:{}] receive json : has OS Boot time and DB insert -> {}", VELK_AT, bootTimeStored);
        if (kept.empty()) {
            bool ordersStored = controller.hasCheckOrderFromReceiveData(response);
            log->debug("[{}:{}] receive json : has order info  DB insert-> {}", VELK_AT, ordersStored);
        }
    }
    intake.storeWaiting();
    if (!kept.empty()) {
        log->debug("[{}:{}] receive json : has order info  DB insert-> {}", VELK_AT, intake.stored(kept));
    }
    order::InstructionExecuter::wake();  // a stored order may be due now
    log->flush();
    return unavailable;
}

bool Corvane::_hasUnsentBootTime(order::InstructionController& controller) {
    std::vector<std::string> bootTimes;
    return controller.getUnsentOsBootTimes(bootTimes) == 0 && !bootTimes.empty();
}

int Corvane::mainLoop() {
    log->info("--------------------------------------");
    log->info("[{}:{}]  called main method", VELK_AT);
    log->flush();
    int32_t notStarted = 0;
    if (exitState.load() != 0 || !exitState.compare_exchange_strong(notStarted, 1)) {
        log->info("[{}:{}]  end before loop", VELK_AT);
        return 1;
    }
    signalNo.store(0);

    auto executor = std::make_shared<order::InstructionExecuter>();
    log->info("[{}:{}]  start Instruction Thread : result -> {}", VELK_AT, executor->StartThread());
    auto controller = std::make_unique<order::InstructionController>();
    controller->init(settings->substrateCode, settings->getInt("order_ack", 0) == 1);
    // A policy that cannot be read must not open the door wider than the strictest one.
    order::SignaturePolicy policy = order::SignaturePolicy::Required;
    if (!order::OrderSignature::parsePolicy(settings->getString("order_signature"), policy)) {
        log->error("[{}:{}] order_signature \"{}\" is none of off, verify, required : taken as required",
                   VELK_AT, settings->getString("order_signature"));
    }
    controller->setOrderSignature(
        order::OrderSignature(policy, settings->getString("trusted_keys_dir"), settings->substrateCode));
    order::OrderIntake intake(*controller, settings->getString("db_path"));
    // Answers kept when the agent last stopped, or while the database was busy.
    intake.storeWaiting();
    feature::BootTime bootTime;
    // A boot time stored by an earlier start of this boot may not have reached the service yet.
    if (_registerOsBootTime(bootTime) || _hasUnsentBootTime(*controller)) {
        controller->addPendingRequest(order::InstructionController::REQUEST_BOOT_TIME);
    }

    int32_t slice = settings->getInt("check_slice_interval_sec", 5);
    int32_t interval = settings->getInt("check_interval_sec", 3600);
    PollSchedule::Settings pacing;
    pacing.interval = interval;
    pacing.startJitter = settings->getInt("start_jitter_sec", 0);
    pacing.checkJitter = settings->getInt("check_jitter_sec", 0);
    pacing.maxBackoff = settings->getInt("max_backoff_sec", 0);
    PollSchedule schedule(pacing, PollSchedule::deviceSeed(settings->substrateCode, bootTime.getBootTime()));
    int32_t delay = schedule.startDelay(settings->getInt("delay_start_time", 180));

    WaitTimeAdjustment waiter(delay, slice);
    waiter.start();
    log->info("[{}:{}]   -----  >>> wait before main processing > start : wait {} sec", VELK_AT, delay);
    log->flush();
    waiter.wait(&exitState, &orderState);
    log->info("[{}:{}]   -----  >>> wait before main processing > end", VELK_AT);

    waiter.setWaitTime(interval, slice);
    waiter.start();
    log->info("[{}:{}] Main Thread Loop Start", VELK_AT);
    log->flush();
    int waitResult = 0;

    while (exitState.load() == 1) {
        bool scheduled = false;
        if (exitState.load() != 1) {
            log->info("[{}:{}]  end main loop:1 ({}:{})", VELK_AT, waitResult, exitState.load());
            break;
        }
        if (waitResult == 2) {
            log->info("execute remote order ({})", orderState.load());
            if (orderState.load() == 2) {
                controller->addPendingRequest(order::InstructionController::REQUEST_CHECK_ORDER);
                orderState.store(0);
                // An operator's poll goes out now, whatever pause the service asked for.
                comm::HttpConnection::releaseCalls();
            }
        } else if (waitResult == 0) {
            scheduled = true;
            controller->addPendingRequest(order::InstructionController::REQUEST_CHECK_ORDER);
        }
        if (exitState.load() != 1) {
            log->info("[{}:{}]  end main loop:2 ({}:{})", VELK_AT, waitResult, exitState.load());
            break;
        }
        bool failed = false;
        if (controller->pendingRequestCount() > 0) {
            failed = _poll(*controller, intake);
        }
        if (scheduled) {
            // The wait counts from the end of the poll, as it always has.
            const int32_t next = schedule.nextWait(failed, comm::HttpConnection::callsHeldFor());
            waiter.setWaitTime(next, slice);
            waiter.start();
            if (schedule.failuresInRow() > 0) {
                log->warning("[{}:{}] poll failed {} times in a row : next poll in {} sec", VELK_AT,
                             schedule.failuresInRow(), next);
            }
        }
        if (exitState.load() != 1) {
            log->info("[{}:{}]  end main loop:3 ({}:{})", VELK_AT, waitResult, exitState.load());
            break;
        }
        // Answers that wait for the disk are tried again every few slices, not only at the next poll.
        auto waitSlices = [&intake] { return intake.waiting() > 0 ? kRetrySlices : 0; };
        while ((waitResult = waiter.wait(&exitState, &orderState, waitSlices())) == 3) {
            intake.storeWaiting();
            order::InstructionExecuter::wake();
        }
        if (waitResult == 1 || exitState.load() != 1) {
            log->info("[{}:{}]  end main loop:4 ({}:{})", VELK_AT, waitResult, exitState.load());
            break;
        }
    }

    log->info("[{}:{}] Main Thread Loop Finished", VELK_AT);
    log->flush();
    controller.reset();
    log->info("[{}:{}]  stop Instruction Thread : result -> {}", VELK_AT, executor->StopThread());
    // A download left running would race the next start's download of the same file.
    feature::SoftwareUpdateManager::stopDownloads();
    // Up to five seconds for the executor to see the request; it owns a share of itself, so
    // a thread still busy after that cannot outlive the object it uses.
    executor->waitThreadEnd(std::chrono::seconds(5));
    if (exitState.load() == 2) {
        log->info("[{}:{}] main end (Receive Signal : signal num={})", VELK_AT, signalNo.load());
    } else {
        log->info("[{}:{}] main end", VELK_AT);
    }
    log->info("--------------------------------------");
    log->flush();
    return 0;
}

}  // namespace velk
