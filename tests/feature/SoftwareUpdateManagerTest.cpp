#include <gtest/gtest.h>
#include <picojson.h>
#include <sys/mount.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <ostream>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "TextUtil.h"
#include "TimeFormat.h"
#include "db/DbController.h"
#include "db/DbTestSupport.h"
#include "feature/PackageDigest.h"
#include "feature/SoftwareUpdateManager.h"
#include "support/FakeService.h"
#include "support/TempDir.h"
#include "support/TestLog.h"

using velk::db::DbController;
using velk::feature::SoftwareUpdateManager;
using velk::model::UpdateInfo;
using velk::model::UpdatePackage;
using velk::test::FakeService;
using velk::test::RawDb;
using velk::test::TempDir;
using velk::test::TestLog;

namespace {

using Clock = std::chrono::steady_clock;
using Rows = std::vector<std::vector<std::string>>;

struct Options {
    int pingRetries = 0;
    int pingInterval = 0;
    int procRetries = 0;
    // Empty: a directory of the test's own.
    std::string packageDir;
    std::string listDir;
    // Extra shell lines each fake script runs before it exits.
    std::string downloadExtra;
    std::string installExtra;
    int downloadTimeout = 3600;
    int honourEndDates = 0;
    std::string dbDir;               // empty: a directory of the test's own
    FakeService* service = nullptr;  // none: every report fails at once
};

// A 2 MB tmpfs for the test's life, to fill up as a device's disk fills.
struct SmallDisk {
    SmallDisk() : ok(geteuid() == 0 && mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=2m") == 0) {}
    ~SmallDisk() {
        if (ok) {
            umount2(dir.path().c_str(), MNT_DETACH);
        }
    }
    std::string fill() const {
        return "dd if=/dev/zero of='" + dir.file("filler") + "' bs=64k 2>/dev/null; true";
    }

    TempDir dir;
    const bool ok;
};

struct Package {
    std::string name;
    std::string version;
    std::string url;
    int targetFlag;
    std::string oldVersion;  // empty: NULL
};

const std::vector<Package> kPackages{
    {"velk-agent", "1.2.0", "https://repo.example/pool/velk-agent_1.2.0_armhf.deb", 1, "1.1.0"},
    {"libvelk1", "0.9.4-2", "https://repo.example/pool/libvelk1_0.9.4-2_armhf.deb", 0, ""},
    {"velk-tools", "3.0", "https://repo.example/pool/velk-tools_3.0_armhf.deb", 81, "3.0"},
};

constexpr int32_t kDl = DbController::UPD_STATUS_DL_PROCESSING;
constexpr int32_t kUpd = DbController::UPD_STATUS_UPD_PROCESSING;

std::string quoteSql(const std::string& text) { return "'" + velk::replaceAll(text, "'", "''") + "'"; }

std::string dbTime(int64_t seconds) { return velk::formatLocalTime(seconds, "%Y-%m-%d %H:%M:%S"); }

// A fake download or install script: records "argc|arg1|arg2" per call and exits with the
// code on the line of its codes file that matches the call's number (0 when there is none).
std::string fakeScript(const std::string& calls, const std::string& codes, const std::string& extra) {
    return "#!/bin/sh\necho \"$#|$1|$2\" >> '" + calls + "'\nn=$(($(wc -l < '" + calls +
           "')))\ncode=$(sed -n \"${n}p\" '" + codes + "' 2>/dev/null)\n" + extra +
           "\necho \"script output for $1\"\necho \"script complaint\" >&2\nexit ${code:-0}\n";
}

picojson::value num(int64_t n) { return picojson::value(n); }
picojson::value text(const std::string& s) { return picojson::value(s); }
picojson::value object(const picojson::object& o) { return picojson::value(o); }

// The agent's process-wide settings, log and database over one temporary directory, with
// fake scripts and a fake ping command.
class UpdateEnv {
  public:
    explicit UpdateEnv(const Options& options = {}) {
        velk::test::initHttpOnce();
        for (const auto& [script, extra] :
             {std::pair<std::string, std::string>{"download", options.downloadExtra},
              {"install", options.installExtra}}) {
            dir.write(script + ".sh",
                      fakeScript(dir.file(script + ".calls"), dir.file(script + ".codes"), extra), 0755);
        }
        pingCommand = dir.write("ping",
                                "#!/bin/sh\necho \"$*\" >> '" + dir.file("ping.calls") + "'\nexit $(cat '" +
                                    dir.file("ping.code") + "' 2>/dev/null || echo 0)\n",
                                0755);
        logs = std::make_unique<TestLog>(config(options));
        TestLog::useSettings(config(options));
        db = DbController::createInstance();
        db->setLockWait(5, 10);
        if (db->init(options.dbDir.empty() ? dir.file("db") : options.dbDir, "velk.db", "db_rw.lock",
                     "db_ro.lock") != 0) {
            throw std::runtime_error("database init failed");
        }
        raw = std::make_unique<RawDb>(db->getDbFile());
    }

    std::string config(const Options& o) const {
        const auto orOwn = [this](const std::string& path, const char* own) {
            return text(path.empty() ? dir.file(own) : path);
        };
        picojson::object update{
            {"package_dir", orOwn(o.packageDir, "pkgs")},
            {"upd_log_dir", text(dir.file("logs"))},
            {"target_pkg_list_dir", orOwn(o.listDir, "lists")},
            {"script_download_pkg", text(dir.file("download.sh"))},
            {"script_install_pkg", text(dir.file("install.sh"))},
            {"proc_retry_num", num(o.procRetries)},
            {"proc_retry_wait_sec", num(0)},
            {"download_timeout_sec", num(o.downloadTimeout)},
            {"honour_end_dates", num(o.honourEndDates)},
        };
        return velk::test::agentConfig(
            o.service ? o.service->baseUrl()
                      : "https://127.0.0.1:" + std::to_string(velk::test::unusedPort()),
            o.service ? o.service->caFile() : "",
            {{"server_alive", object({{"ping_server_fqdn", text("monitor.test")},
                                      {"pint_retry_num", num(o.pingRetries)},
                                      {"ping_retry_interval", num(o.pingInterval)}})},
             {"web_api", object({{"api_uri", object({{"report_result", text("swupd/result")}})}})},
             {"http_access", object({{"retry_interval_sec", num(0)},
                                     {"http_timeout", num(5)},
                                     {"http_connect_timeout", num(2)}})},
             {"software_update", object(update)}});
    }

    // An order with one update row (download due a minute ago) and the given packages.
    int32_t addUpdate(int32_t status, int64_t installAt, int32_t swUpdNo = 12,
                      const std::vector<Package>& packages = kPackages) {
        const std::string no = std::to_string(swUpdNo);
        raw->exec("INSERT INTO order_info ( receive_json, order_kind, order_time ) VALUES ( '{\"order\":" +
                  no + "}', 2, CURRENT_TIMESTAMP );");
        raw->exec(
            "INSERT INTO update_info ( order_info_id, sw_upd_no, receive_time, update_status, "
            "download_start_time, download_end_time, update_start_time, update_end_time ) VALUES ( "
            "(SELECT MAX(id) FROM order_info), " +
            no + ", CURRENT_TIMESTAMP, " + std::to_string(status) + ", " +
            quoteSql(dbTime(velk::nowSeconds() - 60)) + ", '', " + quoteSql(dbTime(installAt)) + ", '' );");
        for (const auto& p : packages) {
            raw->exec(
                "INSERT INTO update_package ( sw_upd_no, package_name, package_version, package_url, "
                "target_flag, old_version ) VALUES ( " +
                no + ", " + quoteSql(p.name) + ", " + quoteSql(p.version) + ", " + quoteSql(p.url) + ", " +
                std::to_string(p.targetFlag) + ", " +
                (p.oldVersion.empty() ? std::string("NULL") : quoteSql(p.oldVersion)) + " );");
        }
        return static_cast<int32_t>(raw->number("SELECT MAX(id) FROM update_info;"));
    }

    // One whole run on this thread; its end result as logged.
    int run(int32_t id) {
        logs->clear();
        SoftwareUpdateManager(pingCommand).UpdateThread(id);
        std::smatch match;
        const std::string all = logs->text();
        static const std::regex result("end : end result -> (-?\\d+)");
        return std::regex_search(all, match, result) ? std::stoi(match[1]) : -9999;
    }

    int64_t updateStatus(int32_t id) const {
        return raw->number("SELECT update_status FROM update_info WHERE id = " + std::to_string(id) + ";");
    }
    std::string ofOrder(const char* column, int32_t updateId) const {
        return raw->text(std::string("SELECT o.") + column +
                         " FROM order_info o JOIN update_info u ON u.order_info_id = o.id WHERE u.id = " +
                         std::to_string(updateId) + ";");
    }
    int64_t orderStatus(int32_t updateId) const { return std::stoll(ofOrder("order_status", updateId)); }
    std::string report(int32_t updateId) const { return ofOrder("response_json", updateId); }

    std::vector<std::string> calls(const std::string& script) const {
        const std::string file = dir.file(script + ".calls");
        return velk::test::exists(file) ? velk::split(velk::test::readFile(file), '\n')
                                        : std::vector<std::string>{};
    }
    void setCodes(const std::string& script, const std::string& codes) const {
        dir.write(script + ".codes", codes);
    }
    void setPing(int code) const { dir.write("ping.code", std::to_string(code) + "\n"); }

    TempDir dir;
    std::string pingCommand;
    std::unique_ptr<TestLog> logs;
    DbController* db = nullptr;
    std::unique_ptr<RawDb> raw;
};

// One field of the stored report's item; a report of another shape throws.
std::string reported(const std::string& report, const char* key) {
    picojson::value root;
    EXPECT_EQ(picojson::parse(root, report), "") << report;
    return root.get("request").get(0).get(key).to_str();
}

bool waitFor(const std::function<bool()>& done, int seconds) {
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (!done() && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return done();
}

}  // namespace

// A download pass while the service cannot be reached: the outcome is stored and the report kept
// for the executor to re-send. The script does not run again for the lost report, the run drops
// its due install, and the downloaded row goes back to wait for a later install.
TEST(SoftwareUpdateManager, DownloadPassWithUndeliveredReport) {
    Options options;
    options.procRetries = 2;
    UpdateEnv env(options);
    const int32_t id = env.addUpdate(kDl, velk::nowSeconds() - 1);

    EXPECT_EQ(env.run(id), 6);  // stage 6: the report could not be delivered
    EXPECT_TRUE(env.calls("install").empty());
    const auto calls = env.calls("download");
    ASSERT_EQ(calls.size(), 1u);
    // What the script says on either stream goes to the pass's log file only.
    const auto logFile = std::filesystem::directory_iterator(env.dir.file("logs"))->path().string();
    EXPECT_EQ(velk::test::readFile(logFile),
              "script output for " + env.dir.file("pkgs") + "/12\nscript complaint\n");
    EXPECT_FALSE(env.logs->contains("script complaint"));

    EXPECT_EQ(env.updateStatus(id), DbController::UPD_STATUS_DL_SUCCESS);
    EXPECT_EQ(env.orderStatus(id), DbController::ORDER_STATUS_DL_UNSENT);
    EXPECT_EQ(reported(env.report(id), "message"), "download success");
    const std::string stored = velk::replaceAll(reported(env.report(id), "report_datetime"), "/", "-");
    EXPECT_NE(DbController::textToTime(stored), 0) << stored;
    EXPECT_EQ(env.raw->rows("SELECT download_flag, download_time FROM update_package ORDER BY id;"),
              (Rows{{"11", stored}, {"11", stored}, {"0", "NULL"}}));
}

// An install needs no network check; a failed check before a download still lets the due
// install run. Installed, the report still to be delivered: stage 6 times 100.
class SoftwareUpdateDueInstall : public ::testing::TestWithParam<int32_t> {};

TEST_P(SoftwareUpdateDueInstall, RunsWhateverThePing) {
    const int32_t status = GetParam();
    UpdateEnv env;
    const int32_t id = env.addUpdate(status, velk::nowSeconds() - 5);
    if (status == kUpd) {
        env.raw->exec("UPDATE update_package SET download_flag = 11;");
    }
    env.setPing(1);
    EXPECT_EQ(env.run(id), 600);
    EXPECT_EQ(env.calls("ping").size(), status == kDl ? 1u : 0u);
    EXPECT_TRUE(env.calls("download").empty());
    EXPECT_EQ(env.calls("install").size(), 1u);
    EXPECT_EQ(env.updateStatus(id), DbController::UPD_STATUS_UPD_SUCCESS);
    EXPECT_EQ(env.orderStatus(id), DbController::ORDER_STATUS_UPD_UNSENT);
    EXPECT_EQ(reported(env.report(id), "message"), "update success");
}

INSTANTIATE_TEST_SUITE_P(FromStatus, SoftwareUpdateDueInstall, ::testing::Values(kUpd, kDl));

TEST(SoftwareUpdateManager, UnreachableServerSkipsDownloadAndPutsRowBackToWait) {
    Options options;
    options.pingRetries = 2;
    options.pingInterval = 1;
    UpdateEnv env(options);
    env.setPing(1);
    const int32_t id = env.addUpdate(kDl, velk::nowSeconds() + 3600);

    EXPECT_EQ(env.run(id), 0);
    EXPECT_EQ(env.calls("ping"), (std::vector<std::string>(3, "-c 1 monitor.test")));
    EXPECT_TRUE(env.calls("download").empty());
    // Waiting again, so the executor can run it later instead of seeing it busy for good.
    EXPECT_EQ(env.updateStatus(id), DbController::UPD_STATUS_WAIT);
    EXPECT_EQ(env.orderStatus(id), -1);
}

// Rows in any other state and installs not yet due run nothing; a row left processing goes back
// to waiting for its install.
TEST(SoftwareUpdateManager, StatusDecidesWhatRuns) {
    UpdateEnv env;
    for (const auto& [status, installOffset] :
         std::vector<std::pair<int32_t, int64_t>>{{kUpd, 3600},
                                                  {DbController::UPD_STATUS_DL_SUCCESS, -60},
                                                  {DbController::UPD_STATUS_WAIT, -60}}) {
        const int32_t id = env.addUpdate(status, velk::nowSeconds() + installOffset, 30 + status);
        EXPECT_EQ(env.run(id), 0) << status;
        EXPECT_EQ(env.updateStatus(id), status == kUpd ? DbController::UPD_STATUS_DL_SUCCESS : status);
    }
    EXPECT_TRUE(env.calls("ping").empty());
    EXPECT_TRUE(env.calls("download").empty());
    EXPECT_TRUE(env.calls("install").empty());
}

// How one pass ends when stage 1, 3 or 4 fails, before and on the last trial.
struct PassCase {
    const char* name;
    bool download;
    bool lastTrial;
    const char* setup;  // "exit2", "killed", "nopackages", "pkgdir", "linebreak"
    int expected;       // the pass's result; on the last trial the failed stage
    int32_t status;     // update_info afterwards
    int64_t order;      // order_status afterwards
};

void PrintTo(const PassCase& c, std::ostream* os) { *os << c.name; }

class SoftwareUpdatePass : public ::testing::TestWithParam<PassCase> {};

TEST_P(SoftwareUpdatePass, EndsAsTheStageRulesSay) {
    const PassCase& c = GetParam();
    const std::string setup = c.setup;
    TempDir blocker;
    const std::string file = blocker.write("plain-file", "x");
    Options options;
    options.packageDir = setup == "pkgdir" ? file + "/pkgs" : "";
    if (setup == "killed") {
        options.downloadExtra = options.installExtra = "kill -KILL $$";
    }
    UpdateEnv env(options);
    std::vector<Package> packages = setup == "nopackages" ? std::vector<Package>{} : kPackages;
    if (setup == "linebreak") {
        packages[1].url = "https://repo.example/a.deb\nevil 6.6 https://elsewhere.example/x.deb";
    }
    const int32_t id = env.addUpdate(c.download ? kDl : kUpd, velk::nowSeconds() - 1, 12, packages);
    const std::string script = c.download ? "download" : "install";
    if (setup == "exit2") {
        env.setCodes(script, "2\n");
    }
    UpdateInfo info;
    std::vector<UpdatePackage> list;
    SoftwareUpdateManager manager(env.pingCommand);
    ASSERT_TRUE(manager.getUpdateTarget(id, info, list));

    const int result = c.download ? manager.downloadProcess(c.lastTrial, info, list)
                                  : manager.updateProcess(c.lastTrial, info, list);
    if (setup == "killed") {
        EXPECT_GT(result, 0);  // the status word of a killed script, never success
    } else {
        EXPECT_EQ(result, c.expected);
    }
    EXPECT_EQ(env.updateStatus(id), c.status);
    EXPECT_EQ(env.orderStatus(id), c.order);
    EXPECT_EQ(manager.stageNumber(), c.lastTrial ? 7 : 4);
    EXPECT_EQ(env.raw->number("SELECT COUNT(*) FROM update_package WHERE download_flag != 0;"), 0);
    EXPECT_EQ(env.calls(script).size(), setup == "exit2" || setup == "killed" ? 1u : 0u);
    if (setup == "nopackages" || setup == "linebreak") {
        EXPECT_FALSE(velk::test::exists(manager.listFileName()));
    }
    if (c.lastTrial) {
        EXPECT_EQ(reported(env.report(id), "message"),
                  std::string(c.download ? "download" : "update") + " failed");
    }
}

// Before the last trial a pass returns the failing stage's code and stores nothing. On the last
// trial it stores and reports the failure; the download returns its first failed stage, the
// install the last (6, since no report can be delivered here). A download script failing every
// trial is run through the agent itself in the update-cycle integration test.
INSTANTIATE_TEST_SUITE_P(
    Stages, SoftwareUpdatePass,
    ::testing::Values(PassCase{"InstallScriptExit2Retry", false, false, "exit2", 512, kUpd, -1},
                      PassCase{"InstallScriptExit2Last", false, true, "exit2", 6, 29, 11},
                      PassCase{"DownloadScriptKilledRetry", true, false, "killed", 0, kDl, -1},
                      PassCase{"DownloadNoPackagesLast", true, true, "nopackages", 3, 19, 1},
                      PassCase{"DownloadPackageDirBlockedLast", true, true, "pkgdir", 1, 19, 1},
                      PassCase{"DownloadLineBreakInPackageRetry", true, false, "linebreak", -4, kDl, -1}),
    [](const ::testing::TestParamInfo<PassCase>& param) { return std::string(param.param.name); });

// At each point of a run a cancel (98) or a newer order (99) closes the row, or the disk fills
// and frees later. A closed row stays closed and starts no further script; the outcome of a script
// that ran meanwhile is still queued. What a full disk refused is stored once it frees, no script
// runs twice and the row does not stay processing.
struct RaceCase {
    const char* name;
    int32_t status;  // the row's status when the run starts
    bool installDue;
    const char* where;  // "ping" (failing), "ping-ok", "download", "download-fails", "install": that
                        // command closes the row; "hold": a trigger closes it as the download's
                        // outcome is stored; "full-download", "full-ping": that command fills the
                        // disk; "full-report": the test does, while the install's report is on its way;
                        // "locked": a lock file nobody removes holds the database as the run starts
    int closeAs;        // 98 cancel, 99 a newer order of the same update number
    int64_t after;      // the row's status after the run
    int64_t order;      // order_status after the run (-1: no report)
    const char* message;
    size_t scripts;  // download and install runs
};

void PrintTo(const RaceCase& c, std::ostream* os) { *os << c.name; }

class SoftwareUpdateRace : public ::testing::TestWithParam<RaceCase> {};

TEST_P(SoftwareUpdateRace, RowEndsRightAndNothingRunsTwice) {
    const RaceCase& c = GetParam();
    const std::string where = c.where;
    const bool full = where.rfind("full-", 0) == 0;
    SmallDisk disk;
    if (full && !disk.ok) {
        GTEST_SKIP() << "needs root to mount a tmpfs";
    }
    std::string close = "UPDATE update_info SET update_status = " + std::to_string(c.closeAs) +
                        " WHERE sw_upd_no = 12 AND update_status < 90;";
    if (c.closeAs == 99) {
        close +=
            " UPDATE update_package SET target_flag = 99 WHERE sw_upd_no = 12 AND target_flag < 80;"
            " INSERT INTO order_info ( receive_json, order_kind ) VALUES ( 'newer', 2 );"
            " INSERT INTO update_info ( order_info_id, sw_upd_no, update_status, download_start_time,"
            " update_start_time ) VALUES ( (SELECT MAX(id) FROM order_info), 12, 0, '', '' );"
            " INSERT INTO update_package ( sw_upd_no, package_name, package_version, package_url,"
            " target_flag ) VALUES ( 12, 'velk-agent', '9.0', 'https://repo.example/new.deb', 1 );";
    }
    const std::string act =
        full ? disk.fill() : "sqlite3 \"$(dirname \"$1\")/../db/velk.db\" \"" + close + "\"";
    std::unique_ptr<FakeService> service(where == "full-report" ? new FakeService() : nullptr);
    Options options;
    options.procRetries = 1;
    options.dbDir = full ? disk.dir.path() : "";
    options.service = service.get();
    options.downloadExtra = where.find("download") != std::string::npos ? act : "";
    options.installExtra = where == "install" ? act : "";
    UpdateEnv env(options);
    const int32_t id = env.addUpdate(c.status, velk::nowSeconds() + (c.installDue ? -5 : 3600));
    env.setCodes("download", where == "download-fails" ? "1\n1\n" : "");
    if (where.find("ping") != std::string::npos) {
        env.dir.write("ping",
                      "#!/bin/sh\n" + velk::replaceAll(act, "$(dirname \"$1\")/../db", env.dir.file("db")) +
                          "\nexit " + (where == "ping-ok" ? "0" : "1") + "\n",
                      0755);
    } else if (where == "hold") {
        ASSERT_EQ(
            env.raw->exec("CREATE TRIGGER closing AFTER UPDATE ON update_info WHEN NEW.update_status = 21 "
                          "BEGIN " +
                          close + " END;"),
            SQLITE_OK);
    } else if (service) {
        ASSERT_TRUE(service->script("/monitoring/api/swupd/result", R"([{"status": 200, "delay": 1}])"));
    }

    if (where == "locked") {
        env.dir.write("db/db_rw.lock", "");
    }
    std::thread run([&] { env.run(id); });
    if (service) {
        waitFor([&] { return env.logs->contains("upload update result to Pelvane WEB : start ----- :"); },
                20);
        EXPECT_EQ(std::system(disk.fill().c_str()), 0);
    }
    if (full || where == "locked") {
        waitFor([&] { return env.logs->contains("tried again in"); }, 10);
        std::remove(disk.dir.file("filler").c_str());
        std::remove(env.dir.file("db/db_rw.lock").c_str());
    }
    run.join();
    EXPECT_EQ(env.updateStatus(id), c.after);
    EXPECT_EQ(env.orderStatus(id), c.order);
    if (c.order != -1) {
        EXPECT_EQ(reported(env.report(id), "message"), c.message);
    }
    EXPECT_EQ(env.calls("download").size() + env.calls("install").size(), c.scripts);
    EXPECT_EQ(env.logs->contains("db update success : save software update processing result (update)"),
              service != nullptr);
    // The newer order's row and packages are left to their own run.
    EXPECT_EQ(env.raw->number(
                  "SELECT COUNT(*) FROM update_info WHERE update_status NOT IN ( 0, 98, 99 ) AND id != " +
                  std::to_string(id) + ";"),
              0);
    EXPECT_EQ(env.raw->number("SELECT COUNT(*) FROM update_package WHERE package_version = '9.0' AND "
                              "download_flag != 0;"),
              0);
}

INSTANTIATE_TEST_SUITE_P(
    Points, SoftwareUpdateRace,
    ::testing::Values(
        RaceCase{"PingsFailOverCancel", kDl, false, "ping", 98, 98, -1, "", 0},
        RaceCase{"SlowPingSucceedsOverCancel", kDl, true, "ping-ok", 98, 98, -1, "", 0},
        RaceCase{"DownloadEndsOverCancel", kDl, true, "download", 98, 98, 1, "download success", 1},
        RaceCase{"FailedDownloadNotRetriedOverCancel", kDl, true, "download-fails", 98, 98, -1, "", 1},
        RaceCase{"DueDownloadEndsOverNewerOrder", kDl, true, "download", 99, 99, 1, "download success", 1},
        RaceCase{"HeldDownloadThenCancel", kDl, true, "hold", 98, 98, 1, "download success", 1},
        RaceCase{"HeldDownloadThenNewerOrder", kDl, true, "hold", 99, 99, 1, "download success", 1},
        RaceCase{"InstallEndsOverCancel", kUpd, true, "install", 98, 98, 11, "update success", 1},
        RaceCase{"DiskFullAtDownloadOutcome", kDl, false, "full-download", 0, 12, 1, "download success", 1},
        RaceCase{"DiskFullAtRunEnd", kDl, false, "full-ping", 0, 0, -1, "", 0},
        RaceCase{"LockedAtRunStart", kDl, false, "locked", 0, 12, 1, "download success", 1},
        RaceCase{"DiskFullAtInstallReportState", kUpd, true, "full-report", 0, 22, 12, "update success", 1}),
    [](const ::testing::TestParamInfo<RaceCase>& param) { return std::string(param.param.name); });

// A download still running at its time limit is stopped with all it started and fails; an install
// is never stopped.
// With "honour_end_dates", a stage that would start after its end date is closed unrun with its own
// message; one due up to the end runs, and so does one whose end cannot be read, or any with the
// setting off. A download running across its end is not cut off.
TEST(SoftwareUpdateManager, StagesPastTheirEndDateAreClosedUnrun) {
    struct Case {
        const char* name;
        int honour;
        int32_t status;
        int64_t end;  // seconds from now; 0: the text "soon"
        const char* downloadExtra;
        size_t runs;
        int32_t after;
        const char* message;
    };
    const int32_t dlOk = DbController::UPD_STATUS_DL_SUCCESS;
    const int32_t updOk = DbController::UPD_STATUS_UPD_SUCCESS;
    for (const Case& c : {
             Case{"download, setting off", 0, kDl, -30, "", 1, dlOk, "download success"},
             Case{"download ended", 1, kDl, -30, "", 0, DbController::UPD_STATUS_DL_FAILED,
                  "download window ended"},
             Case{"download due up to the end", 1, kDl, 2, "", 1, dlOk, "download success"},
             Case{"download, unreadable end", 1, kDl, 0, "", 1, dlOk, "download success"},
             Case{"download across the end", 1, kDl, 1, "sleep 3", 1, dlOk, "download success"},
             Case{"install, setting off", 0, kUpd, -30, "", 1, updOk, "update success"},
             Case{"install ended", 1, kUpd, -30, "", 0, DbController::UPD_STATUS_UPD_FAILED,
                  "install window ended"},
             Case{"install due up to the end", 1, kUpd, 2, "", 1, updOk, "update success"},
         }) {
        Options options;
        options.honourEndDates = c.honour;
        options.downloadExtra = c.downloadExtra;
        UpdateEnv env(options);
        const int64_t now = velk::nowSeconds();
        const bool download = c.status == kDl;
        const int32_t id = env.addUpdate(c.status, download ? now + 3600 : now - 5);
        const std::string end = c.end == 0 ? std::string("'soon'") : quoteSql(dbTime(now + c.end));
        env.raw->exec(std::string("UPDATE update_info SET ") + (download ? "download" : "update") +
                      "_end_time = " + end + ";");
        env.raw->exec("UPDATE update_package SET download_flag = 11;");
        env.run(id);
        EXPECT_EQ(env.calls(download ? "download" : "install").size(), c.runs) << c.name;
        EXPECT_EQ(env.updateStatus(id), c.after) << c.name;
        EXPECT_EQ(reported(env.report(id), "message"), c.message) << c.name;
    }
}

// A package the order gives a digest for must be that very file: one that is not is deleted, and
// the download fails naming it. The digests go beside the list for the scripts, with the order.
TEST(SoftwareUpdateManager, DownloadedFileMustMatchTheOrdersDigest) {
    Options options;
    options.downloadExtra = "printf 'deb bytes' > \"$1/velk-agent_1.2.0.deb\"";
    UpdateEnv env(options);
    for (const int32_t number : {12, 13}) {
        const bool good = number == 12;
        const int32_t id = env.addUpdate(kDl, velk::nowSeconds() + 3600, number);
        const std::string digest =
            good ? velk::feature::PackageDigest::ofFile(env.dir.write("same", "deb bytes"))
                 : std::string(64, '0');
        const std::string order =
            R"({"pkg_update":[{"pkg_name":"velk-agent","pkg_version":"1.2.0","pkg_sha256":")" + digest +
            R"("}]})";
        env.raw->exec("UPDATE order_info SET receive_json = " + quoteSql(order) +
                      " WHERE id = (SELECT MAX(id) FROM order_info);");
        env.run(id);
        EXPECT_EQ(reported(env.report(id), "message"),
                  good ? "download success" : "download failed : digest mismatch : velk-agent 1.2.0");
        EXPECT_EQ(env.updateStatus(id),
                  good ? DbController::UPD_STATUS_DL_SUCCESS : DbController::UPD_STATUS_DL_FAILED);
        const std::string no = std::to_string(number);
        EXPECT_EQ(velk::test::exists(env.dir.file("pkgs/" + no + "/velk-agent_1.2.0.deb")), good);
        std::smatch list;
        const std::string all = env.logs->text();
        ASSERT_TRUE(std::regex_search(all, list, std::regex("package info list file -> (\\S+\\.list)")));
        EXPECT_EQ(velk::test::readFile(list[1].str() + ".sha256"), digest + "  velk-agent_1.2.0.deb\n");
        EXPECT_EQ(velk::test::readFile(list[1].str() + ".order"), order);
    }
}

TEST(SoftwareUpdateManager, HungDownloadIsStoppedButInstallsAreNot) {
    Options options;
    options.downloadTimeout = 1;
    options.downloadExtra = "sleep 30 & echo $! > \"$(dirname \"$0\")/pid\"; wait";
    options.installExtra = "sleep 2";
    UpdateEnv env(options);
    const int32_t download = env.addUpdate(kDl, velk::nowSeconds() + 3600, 40);
    const int32_t install = env.addUpdate(kUpd, velk::nowSeconds() - 5, 41);

    const auto begin = Clock::now();
    env.run(download);
    EXPECT_LT(Clock::now() - begin, std::chrono::seconds(10));
    EXPECT_EQ(env.updateStatus(download), DbController::UPD_STATUS_DL_FAILED);
    EXPECT_EQ(reported(env.report(download), "message"), "download failed");
    // Killed: gone, or a zombie until something reaps it.
    const std::string stat = "/proc/" + std::to_string(std::stoi(velk::test::readFile(env.dir.file("pid"))));
    std::string state = velk::test::exists(stat) ? velk::test::readFile(stat + "/stat") : ") Z";
    EXPECT_EQ(state.substr(state.rfind(')') + 2, 1), "Z") << state;
    env.run(install);
    EXPECT_EQ(env.updateStatus(install), DbController::UPD_STATUS_UPD_SUCCESS);
}

// The agent's stop ends a running download with all it started, long before its time limit. The
// row waits for the next start with nothing stored or reported, and its due install is not begun.
TEST(SoftwareUpdateManager, StopEndsADownloadAndLeavesTheRowToTheNextStart) {
    Options options;
    options.downloadExtra = "sleep 30 & echo $! > \"$(dirname \"$0\")/pid\"; wait";
    UpdateEnv env(options);
    const int32_t id = env.addUpdate(kDl, velk::nowSeconds() - 5, 42);
    const std::string pidFile = env.dir.file("pid");
    std::thread agentStop([&pidFile] {
        const auto limit = Clock::now() + std::chrono::seconds(20);
        while (!velk::test::exists(pidFile) && Clock::now() < limit) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        SoftwareUpdateManager::stopDownloads();
    });
    const auto begin = Clock::now();
    env.run(id);
    agentStop.join();
    EXPECT_LT(Clock::now() - begin, std::chrono::seconds(10));
    EXPECT_EQ(env.updateStatus(id), DbController::UPD_STATUS_WAIT);
    EXPECT_EQ(env.orderStatus(id), -1);
    EXPECT_TRUE(env.calls("install").empty());
    // The signal is sent, not yet handled: the script's child ends (a zombie, or gone) soon after.
    const std::string stat = "/proc/" + std::to_string(std::stoi(velk::test::readFile(pidFile))) + "/stat";
    const auto ended = [&stat] {
        return !velk::test::exists(stat) || velk::test::readFile(stat).find(") Z ") != std::string::npos;
    };
    EXPECT_TRUE(waitFor(ended, 5)) << stat;
}

// Paths with blanks, quotes and shell syntax reach the script as exactly two arguments. A negative
// trial count still gives the run one trial, so its row leaves the processing state.
TEST(SoftwareUpdateManager, PathsAreSingleShellWordsAndNegativeRetriesStillRunOnce) {
    TempDir outside;
    const std::string marker = outside.file("owned");
    TempDir base;
    Options options;
    options.procRetries = -1;
    options.packageDir = base.file("it's $(touch " + marker + ") pkgs");
    options.listDir = base.file("list `touch " + marker + "`; dir");
    UpdateEnv env(options);
    const int32_t id = env.addUpdate(kDl, velk::nowSeconds() + 3600);

    env.run(id);
    EXPECT_FALSE(velk::test::exists(marker));
    const auto calls = env.calls("download");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].substr(0, calls[0].rfind('|')), "2|" + options.packageDir + "/12");
    EXPECT_EQ(calls[0].find(options.listDir + "/package_info_download_"), calls[0].rfind('|') + 1);
    EXPECT_EQ(env.updateStatus(id), DbController::UPD_STATUS_DL_SUCCESS);
}

namespace {
std::atomic<bool> probeDestroyed{false};

class DestroyProbe : public SoftwareUpdateManager {
  public:
    using SoftwareUpdateManager::SoftwareUpdateManager;
    ~DestroyProbe() override { probeDestroyed = true; }
};
}  // namespace

TEST(SoftwareUpdateManager, StartThreadHandsTheManagerToItsThread) {
    UpdateEnv env;
    const int32_t id = env.addUpdate(kDl, velk::nowSeconds() + 3600);

    EXPECT_EQ(SoftwareUpdateManager::StartThread(nullptr, id), 1);
    EXPECT_EQ(SoftwareUpdateManager::StartThread(std::make_unique<DestroyProbe>(env.pingCommand), id), 0);
    ASSERT_TRUE(waitFor([] { return probeDestroyed.load(); }, 20));
    EXPECT_EQ(env.updateStatus(id), DbController::UPD_STATUS_DL_SUCCESS);
}
