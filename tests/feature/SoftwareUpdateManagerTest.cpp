#include <fcntl.h>
#include <gtest/gtest.h>
#include <picojson.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <ostream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "TextUtil.h"
#include "TimeFormat.h"
#include "db/DbController.h"
#include "db/DbTestSupport.h"
#include "feature/SoftwareUpdateManager.h"
#include "support/FakeService.h"
#include "support/TempDir.h"
#include "support/TestLog.h"

using velk::db::DbController;
using velk::feature::SoftwareUpdateManager;
using velk::model::UpdateInfo;
using velk::model::UpdatePackage;
using velk::test::RawDb;
using velk::test::TempDir;
using velk::test::TestLog;

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    int pingRetries = 0;
    int pingInterval = 0;
    int procRetries = 0;
    int procWait = 0;
    // Empty: a directory of the test's own.
    std::string packageDir;
    std::string logDir;
    std::string listDir;
    // Empty: an address where nothing listens, so every report fails at once.
    std::string serviceUrl;
    std::string caFile;
    // Extra shell lines each fake script runs before it exits.
    std::string downloadExtra;
    std::string installExtra;
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

std::string quoteSql(const std::string& text) { return "'" + velk::replaceAll(text, "'", "''") + "'"; }

std::string dbTime(int64_t seconds) { return velk::formatLocalTime(seconds, "%Y-%m-%d %H:%M:%S"); }

std::vector<std::string> linesOf(const std::string& text) { return velk::split(text, '\n'); }

// A fake download or install script: records "argc|arg1|arg2" per call and exits with the
// code on the line of its codes file that matches the call's number (0 when there is none).
std::string fakeScript(const std::string& calls, const std::string& codes, const std::string& extra) {
    return "#!/bin/sh\n"
           "echo \"$#|$1|$2\" >> '" +
           calls +
           "'\n"
           "n=$(($(wc -l < '" +
           calls +
           "')))\n"
           "code=$(sed -n \"${n}p\" '" +
           codes + "' 2>/dev/null)\n" + extra +
           "\necho \"script output for $1\"\n"
           "echo \"script complaint\" >&2\n"
           "exit ${code:-0}\n";
}

// The agent's process-wide settings, log and database over one temporary directory, with
// fake scripts and a fake ping command.
class UpdateEnv {
  public:
    explicit UpdateEnv(const Options& options = {}) {
        velk::test::initHttpOnce();
        dir.write("download.sh",
                  fakeScript(dir.file("download.calls"), dir.file("download.codes"), options.downloadExtra),
                  0755);
        dir.write("install.sh",
                  fakeScript(dir.file("install.calls"), dir.file("install.codes"), options.installExtra),
                  0755);
        pingCommand = dir.write("ping",
                                "#!/bin/sh\necho \"$*\" >> '" + dir.file("ping.calls") +
                                    "'\n"
                                    "exit $(cat '" +
                                    dir.file("ping.code") + "' 2>/dev/null || echo 0)\n",
                                0755);
        logs = std::make_unique<TestLog>(config(options));
        db = DbController::createInstance();
        db->setLockWait(5, 10);
        initResult = db->init(dir.file("db"), "velk.db", "db_rw.lock", "db_ro.lock");
        raw = std::make_unique<RawDb>(db->getDbFile());
    }

    std::string config(const Options& o) const {
        const std::string base = o.serviceUrl.empty()
                                     ? "https://127.0.0.1:" + std::to_string(velk::test::unusedPort())
                                     : o.serviceUrl;
        picojson::object update{
            {"package_dir", text(o.packageDir.empty() ? dir.file("pkgs") : o.packageDir)},
            {"upd_log_dir", text(o.logDir.empty() ? dir.file("logs") : o.logDir)},
            {"target_pkg_list_dir", text(o.listDir.empty() ? dir.file("lists") : o.listDir)},
            {"script_download_pkg", text(dir.file("download.sh"))},
            {"script_install_pkg", text(dir.file("install.sh"))},
            {"proc_retry_num", num(o.procRetries)},
            {"proc_retry_wait_sec", num(o.procWait)},
        };
        picojson::object root{
            {"log", value(picojson::object{{"log_level", num(0)}})},
            {"server_alive", value(picojson::object{{"ping_server_fqdn", text("monitor.test")},
                                                    {"pint_retry_num", num(o.pingRetries)},
                                                    {"ping_retry_interval", num(o.pingInterval)}})},
            {"web_api", value(picojson::object{
                            {"api_base_url", text(base + "/monitoring/api/")},
                            {"api_login_url", text(base + "/monitoring/api_user/")},
                            {"api_uri", value(picojson::object{{"report_result", text("swupd/result")}})}})},
            {"http_access", value(picojson::object{{"retry_num", num(0)},
                                                   {"retry_interval_sec", num(0)},
                                                   {"http_timeout", num(5)},
                                                   {"http_connect_timeout", num(2)},
                                                   {"ca_cert_file", text(o.caFile)}})},
            {"software_update", value(update)},
        };
        return value(root).serialize();
    }

    // An order with one update row (download due a minute ago) and the given packages.
    int32_t addUpdate(int32_t status, int64_t installAt, int32_t swUpdNo = 12,
                      const std::vector<Package>& packages = kPackages) {
        raw->exec("INSERT INTO order_info ( receive_json, order_kind, order_time ) VALUES ( '{\"order\":" +
                  std::to_string(swUpdNo) + "}', 2, CURRENT_TIMESTAMP );");
        const int64_t orderId = raw->number("SELECT MAX(id) FROM order_info;");
        raw->exec(
            "INSERT INTO update_info ( order_info_id, sw_upd_no, receive_time, update_status, "
            "download_start_time, download_end_time, update_start_time, update_end_time ) VALUES ( " +
            std::to_string(orderId) + ", " + std::to_string(swUpdNo) + ", CURRENT_TIMESTAMP, " +
            std::to_string(status) + ", " + quoteSql(dbTime(velk::nowSeconds() - 60)) + ", '', " +
            quoteSql(dbTime(installAt)) + ", '' );");
        const int64_t updateId = raw->number("SELECT MAX(id) FROM update_info;");
        for (const auto& p : packages) {
            raw->exec(
                "INSERT INTO update_package ( sw_upd_no, package_name, package_version, package_url, "
                "target_flag, old_version ) VALUES ( " +
                std::to_string(swUpdNo) + ", " + quoteSql(p.name) + ", " + quoteSql(p.version) + ", " +
                quoteSql(p.url) + ", " + std::to_string(p.targetFlag) + ", " +
                (p.oldVersion.empty() ? std::string("NULL") : quoteSql(p.oldVersion)) + " );");
        }
        return static_cast<int32_t>(updateId);
    }

    int64_t updateStatus(int32_t id) const {
        return raw->number("SELECT update_status FROM update_info WHERE id = " + std::to_string(id) + ";");
    }
    int64_t orderStatus(int32_t updateId) const {
        return raw->number(
            "SELECT o.order_status FROM order_info o JOIN update_info u ON u.order_info_id = o.id "
            "WHERE u.id = " +
            std::to_string(updateId) + ";");
    }
    std::string report(int32_t updateId) const {
        return raw->text(
            "SELECT o.response_json FROM order_info o JOIN update_info u ON u.order_info_id = o.id "
            "WHERE u.id = " +
            std::to_string(updateId) + ";");
    }

    std::vector<std::string> calls(const std::string& script) const {
        return callsOf(dir.file(script + ".calls"));
    }
    static std::vector<std::string> callsOf(const std::string& file) {
        return velk::test::exists(file) ? linesOf(velk::test::readFile(file)) : std::vector<std::string>{};
    }
    void setCodes(const std::string& script, const std::string& codes) const {
        dir.write(script + ".codes", codes);
    }
    void setPing(int code) const { dir.write("ping.code", std::to_string(code) + "\n"); }

    // A line at the given level ("I", "W", "E", "V") that holds the fragment.
    bool logged(const std::string& level, const std::string& fragment) const {
        for (const auto& line : logs->lines()) {
            if (line.find(" " + level + " : [SoftwareUpdateManager.cpp:") != std::string::npos &&
                line.find(fragment) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    static picojson::value num(int64_t n) { return picojson::value(n); }
    static picojson::value text(const std::string& s) { return picojson::value(s); }
    static picojson::value value(const picojson::object& o) { return picojson::value(o); }

    TempDir dir;
    std::string pingCommand;
    std::unique_ptr<TestLog> logs;
    DbController* db = nullptr;
    int32_t initResult = -1;
    std::unique_ptr<RawDb> raw;
};

// The single report item of a stored or sent report.
picojson::object reportItem(const std::string& report, std::string* substrate = nullptr) {
    picojson::value root;
    EXPECT_EQ(picojson::parse(root, report), "") << report;
    if (!root.is<picojson::object>() || !root.get("request").is<picojson::array>() ||
        root.get("request").get<picojson::array>().size() != 1) {
        ADD_FAILURE() << "unexpected report " << report;
        return {};
    }
    if (substrate != nullptr) {
        *substrate = root.get("substratecode").to_str();
    }
    return root.get("request").get<picojson::array>().front().get<picojson::object>();
}

UpdateInfo loadInfo(UpdateEnv& env, int32_t id, std::vector<UpdatePackage>& packages) {
    UpdateInfo info;
    SoftwareUpdateManager probe(env.pingCommand);
    EXPECT_TRUE(probe.getUpdateTarget(id, info, packages));
    return info;
}

}  // namespace

// One download pass end to end while the service cannot be reached.
TEST(SoftwareUpdateManager, DownloadPassStoresOutcomeAndKeepsReportForResend) {
    UpdateEnv env;
    ASSERT_EQ(env.initResult, 0);
    const int32_t id = env.addUpdate(DbController::UPD_STATUS_DL_PROCESSING, velk::nowSeconds() + 3600);

    SoftwareUpdateManager manager(env.pingCommand);
    manager.UpdateThread(id);

    EXPECT_TRUE(env.logged("I", "<SW_UPD> in UpdateThread : download -> execute : update -> none"));
    EXPECT_TRUE(env.logged("I", "<SW_UPD> network access OK!"));
    // The script ran, but the report could not be delivered: stage 6 is the pass's result.
    EXPECT_TRUE(env.logged("I", "<SW_UPD> in UpdateThread : end : end result -> 6"));
    EXPECT_TRUE(env.calls("install").empty());

    const auto calls = env.calls("download");
    ASSERT_EQ(calls.size(), 1u);
    const std::string packageDir = env.dir.file("pkgs") + "/12";
    const std::regex listName(env.dir.file("lists") + "/package_info_download_(\\d{8}-\\d{6})_id-12\\.list");
    std::smatch match;
    const std::string listArg = calls[0].substr(calls[0].rfind('|') + 1);
    ASSERT_TRUE(std::regex_match(listArg, match, listName)) << calls[0];
    EXPECT_EQ(calls[0], "2|" + packageDir + "|" + listArg);
    const std::string stamp = match[1];
    EXPECT_EQ(velk::test::readFile(listArg),
              "###################\n"
              "# download package list\n"
              "#   create date: " +
                  stamp +
                  "\n"
                  "#\n"
                  "velk-agent 1.2.0 https://repo.example/pool/velk-agent_1.2.0_armhf.deb\n"
                  "libvelk1 0.9.4-2 https://repo.example/pool/libvelk1_0.9.4-2_armhf.deb\n");
    // Everything the script says goes to the pass's log file, and only there.
    const std::string logFile = env.dir.file("logs") + "/download_" + stamp + "_id-12.log";
    EXPECT_EQ(velk::test::readFile(logFile), "script output for " + packageDir + "\nscript complaint\n");
    EXPECT_FALSE(env.logs->contains("script complaint"));

    EXPECT_EQ(env.updateStatus(id), DbController::UPD_STATUS_DL_SUCCESS);
    const std::string changed =
        env.raw->text("SELECT status_change_time FROM update_info WHERE id = " + std::to_string(id) + ";");
    EXPECT_NE(DbController::textToTime(changed), 0) << changed;
    EXPECT_EQ(
        env.raw->rows("SELECT package_name, download_flag, download_time FROM update_package ORDER BY id;"),
        (std::vector<std::vector<std::string>>{
            {"velk-agent", "11", changed}, {"libvelk1", "11", changed}, {"velk-tools", "0", "NULL"}}));

    EXPECT_EQ(env.orderStatus(id), DbController::ORDER_STATUS_DL_UNSENT);
    std::string substrate;
    const auto item = reportItem(env.report(id), &substrate);
    EXPECT_EQ(substrate, "TESTCODE");
    EXPECT_EQ(item.at("item").to_str(), "sw_upd");
    EXPECT_EQ(item.at("message").to_str(), "download success");
    EXPECT_EQ(item.at("status").get<int64_t>(), 12);
    EXPECT_EQ(item.at("sw_upd_no").get<int64_t>(), 12);
    EXPECT_EQ(item.at("report_datetime").to_str(), velk::replaceAll(changed, "-", "/"));
}

TEST(SoftwareUpdateManager, DownloadFailingEveryTrialIsStoredAsFailedAndDropsTheInstall) {
    Options options;
    options.procRetries = 2;
    options.procWait = 1;
    UpdateEnv env(options);
    ASSERT_EQ(env.initResult, 0);
    env.setCodes("download", "3\n3\n3\n");
    // Install time already past: the run would install right after a good download.
    const int32_t id = env.addUpdate(DbController::UPD_STATUS_DL_PROCESSING, velk::nowSeconds() - 10);

    const auto begin = Clock::now();
    SoftwareUpdateManager manager(env.pingCommand);
    manager.UpdateThread(id);
    const auto elapsed = Clock::now() - begin;

    EXPECT_TRUE(env.logged("I", "in UpdateThread : download -> execute : update -> execute"));
    EXPECT_EQ(env.calls("download").size(), 3u);
    EXPECT_TRUE(env.calls("install").empty());
    // Two pauses of the configured second between the three trials, and no more.
    EXPECT_GE(elapsed, std::chrono::seconds(2));
    EXPECT_LT(elapsed, std::chrono::seconds(10));
    EXPECT_EQ(env.logs->count("download processing failed :ret -> 768 : retry after 1 seconds"), 2u);
    EXPECT_TRUE(env.logged("W", "<SW_UPD>   download processing failed :ret -> 768 : retry after 1 seconds"));
    EXPECT_TRUE(env.logged("E", "===== DOWNLOAD : FAILED! (4) : number of trials -> 2/2"));
    EXPECT_FALSE(env.logs->contains("DOWNLOAD : FAILED! (4) : number of trials -> 1/2"));
    EXPECT_TRUE(env.logged("W", "<SW_UPD> download failed : ret -> 4"));
    EXPECT_TRUE(env.logged("I", "in UpdateThread : end : end result -> 4"));
    EXPECT_FALSE(env.logs->contains("UPDATE: number of trials"));

    EXPECT_EQ(env.updateStatus(id), DbController::UPD_STATUS_DL_FAILED);
    EXPECT_EQ(
        env.raw->text(
            "SELECT COUNT(*) FROM update_package WHERE download_flag != 0 OR download_time IS NOT NULL;"),
        "0");
    EXPECT_EQ(env.orderStatus(id), DbController::ORDER_STATUS_DL_UNSENT);
    const auto item = reportItem(env.report(id));
    EXPECT_EQ(item.at("message").to_str(), "download failed");
    EXPECT_EQ(item.at("status").get<int64_t>(), 19);
}

// The run the executor starts once a downloaded row's install time has come.
TEST(SoftwareUpdateManager, InstallPassAfterDownloadStoresInstalledState) {
    UpdateEnv env;
    ASSERT_EQ(env.initResult, 0);
    const int32_t id = env.addUpdate(DbController::UPD_STATUS_UPD_PROCESSING, velk::nowSeconds() - 5);
    env.raw->exec("UPDATE update_package SET download_flag = 11, download_time = '2024-01-02 03:04:05';");
    env.setPing(1);  // an install needs no network check

    SoftwareUpdateManager manager(env.pingCommand);
    manager.UpdateThread(id);

    EXPECT_TRUE(env.logged("I", "in UpdateThread : download -> none : update -> execute"));
    EXPECT_TRUE(env.calls("ping").empty());
    EXPECT_TRUE(env.calls("download").empty());
    const auto calls = env.calls("install");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_NE(calls[0].find("|" + env.dir.file("lists") + "/package_info_update_"), std::string::npos)
        << calls[0];
    const std::string list = velk::test::readFile(calls[0].substr(calls[0].rfind('|') + 1));
    EXPECT_EQ(linesOf(list).at(1), "# update package list");

    // Installed, but the report is still to be delivered: stage 6 times 100.
    EXPECT_TRUE(env.logged("I", "in UpdateThread : end : end result -> 600"));
    EXPECT_EQ(env.updateStatus(id), DbController::UPD_STATUS_UPD_SUCCESS);
    const std::string changed =
        env.raw->text("SELECT status_change_time FROM update_info WHERE id = " + std::to_string(id) + ";");
    EXPECT_EQ(
        env.raw->rows("SELECT download_flag, download_time FROM update_package WHERE target_flag < 80;"),
        (std::vector<std::vector<std::string>>{{"21", changed}, {"21", changed}}));
    EXPECT_EQ(env.orderStatus(id), DbController::ORDER_STATUS_UPD_UNSENT);
    const auto item = reportItem(env.report(id));
    EXPECT_EQ(item.at("message").to_str(), "update success");
    EXPECT_EQ(item.at("status").get<int64_t>(), 22);
}

// Download and install in one run against a service that takes the reports.
TEST(SoftwareUpdateManager, DownloadThenInstallInOneRunDeliversBothReports) {
    velk::test::FakeService fake;
    ASSERT_TRUE(fake.running());
    Options options;
    options.serviceUrl = fake.baseUrl();
    options.caFile = fake.caFile();
    // The install script keeps a copy of the database as it is while the install runs.
    TempDir snapshot;
    options.installExtra = "cp \"$(dirname \"$1\")/../db/velk.db\" '" + snapshot.file("during.db") + "'";
    UpdateEnv env(options);
    ASSERT_EQ(env.initResult, 0);
    const int32_t id = env.addUpdate(DbController::UPD_STATUS_DL_PROCESSING, velk::nowSeconds() - 1);

    SoftwareUpdateManager manager(env.pingCommand);
    manager.UpdateThread(id);

    EXPECT_TRUE(env.logged("I", "in UpdateThread : end : end result -> 0"));
    EXPECT_EQ(env.calls("download").size(), 1u);
    EXPECT_EQ(env.calls("install").size(), 1u);
    EXPECT_EQ(env.updateStatus(id), DbController::UPD_STATUS_UPD_SUCCESS);
    EXPECT_EQ(env.orderStatus(id), DbController::ORDER_STATUS_UPD_SENT);
    EXPECT_EQ(env.raw->text("SELECT COUNT(*) FROM update_package WHERE download_flag = 21;"), "2");

    // Between its download and its install the row never looked idle to the executor.
    ASSERT_TRUE(velk::test::exists(snapshot.file("during.db")));
    RawDb during(snapshot.file("during.db"));
    EXPECT_EQ(during.text("SELECT update_status FROM update_info WHERE id = " + std::to_string(id) + ";"),
              "21");
    EXPECT_EQ(during.text("SELECT order_status FROM order_info;"), "2");

    std::vector<std::string> sent;
    for (const auto& request : fake.requests()) {
        if (request.method == "POST" && request.path == "/monitoring/api/swupd/result") {
            sent.push_back(request.body);
        }
    }
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(reportItem(sent[0]).at("message").to_str(), "download success");
    EXPECT_EQ(reportItem(sent[0]).at("status").get<int64_t>(), 12);
    EXPECT_EQ(reportItem(sent[1]).at("message").to_str(), "update success");
    EXPECT_EQ(sent[1], env.report(id));
}

// An undelivered download report fails the download pass, so the run drops its install; the
// downloaded row goes back to the executor, which installs it on a later run.
TEST(SoftwareUpdateManager, DroppedInstallLeavesTheDownloadedRowToTheExecutor) {
    UpdateEnv env;
    ASSERT_EQ(env.initResult, 0);
    const int32_t id = env.addUpdate(DbController::UPD_STATUS_DL_PROCESSING, velk::nowSeconds() - 1);

    SoftwareUpdateManager manager(env.pingCommand);
    manager.UpdateThread(id);

    EXPECT_EQ(env.calls("download").size(), 1u);
    EXPECT_TRUE(env.calls("install").empty());
    EXPECT_TRUE(env.logged("W", "<SW_UPD> download failed : ret -> 6"));
    EXPECT_EQ(env.updateStatus(id), DbController::UPD_STATUS_DL_SUCCESS);
    EXPECT_EQ(env.orderStatus(id), DbController::ORDER_STATUS_DL_UNSENT);
    EXPECT_EQ(reportItem(env.report(id)).at("status").get<int64_t>(), 12);
}

// An undelivered report is queued for re-sending; the script is not run again for it.
TEST(SoftwareUpdateManager, UndeliveredReportDoesNotRepeatThePass) {
    Options options;
    options.procRetries = 2;
    UpdateEnv env(options);
    ASSERT_EQ(env.initResult, 0);
    const int32_t id = env.addUpdate(DbController::UPD_STATUS_DL_PROCESSING, velk::nowSeconds() + 3600);

    SoftwareUpdateManager manager(env.pingCommand);
    manager.UpdateThread(id);

    EXPECT_EQ(env.calls("download").size(), 1u);
    EXPECT_FALSE(env.logged("W", "download processing failed"));
    EXPECT_EQ(env.updateStatus(id), DbController::UPD_STATUS_DL_SUCCESS);
    EXPECT_EQ(env.orderStatus(id), DbController::ORDER_STATUS_DL_UNSENT);
}

TEST(SoftwareUpdateManager, UnreachableServerSkipsDownloadAndPutsRowBackToWait) {
    Options options;
    options.pingRetries = 2;
    options.pingInterval = 1;
    UpdateEnv env(options);
    ASSERT_EQ(env.initResult, 0);
    env.setPing(1);
    const int32_t id = env.addUpdate(DbController::UPD_STATUS_DL_PROCESSING, velk::nowSeconds() + 3600);

    const auto begin = Clock::now();
    SoftwareUpdateManager manager(env.pingCommand);
    manager.UpdateThread(id);
    const auto elapsed = Clock::now() - begin;

    const auto pings = env.calls("ping");
    ASSERT_EQ(pings.size(), 3u);
    EXPECT_EQ(pings[0], "-c 1 monitor.test");
    EXPECT_GE(elapsed, std::chrono::seconds(2));
    EXPECT_LT(elapsed, std::chrono::seconds(6));
    for (const char* attempt : {"0/2", "1/2", "2/2"}) {
        EXPECT_TRUE(env.logged(
            "W", std::string("<SW_UPD> network access NG! : ping filed --> (-4) >>> : retry -> ") + attempt));
    }
    EXPECT_TRUE(env.calls("download").empty());
    EXPECT_TRUE(env.logged("I", "in UpdateThread : end : end result -> 0"));
    // Waiting again, so the executor can run it later instead of seeing it busy for good.
    EXPECT_EQ(env.updateStatus(id), DbController::UPD_STATUS_WAIT);
    EXPECT_EQ(env.orderStatus(id), -1);
}

TEST(SoftwareUpdateManager, UnreachableServerStillLetsTheDueInstallRun) {
    UpdateEnv env;
    ASSERT_EQ(env.initResult, 0);
    env.setPing(2);
    const int32_t id = env.addUpdate(DbController::UPD_STATUS_DL_PROCESSING, velk::nowSeconds() - 1);

    SoftwareUpdateManager manager(env.pingCommand);
    manager.UpdateThread(id);

    EXPECT_EQ(env.calls("ping").size(), 1u);
    EXPECT_TRUE(env.calls("download").empty());
    EXPECT_EQ(env.calls("install").size(), 1u);
    EXPECT_EQ(env.updateStatus(id), DbController::UPD_STATUS_UPD_SUCCESS);
}

TEST(SoftwareUpdateManager, StatusDecidesWhatRuns) {
    UpdateEnv env;
    ASSERT_EQ(env.initResult, 0);
    struct Case {
        int32_t status;
        int64_t installOffset;
        const char* choice;
    };
    for (const Case& c :
         {Case{DbController::UPD_STATUS_UPD_PROCESSING, 3600, "download -> none : update -> none"},
          Case{DbController::UPD_STATUS_DL_SUCCESS, -60, "download -> none : update -> none"},
          Case{DbController::UPD_STATUS_WAIT, -60, "download -> none : update -> none"}}) {
        env.logs->clear();
        const int32_t id = env.addUpdate(c.status, velk::nowSeconds() + c.installOffset, 30 + c.status);
        SoftwareUpdateManager manager(env.pingCommand);
        manager.UpdateThread(id);
        EXPECT_TRUE(env.logged("I", std::string("in UpdateThread : ") + c.choice)) << c.status;
        EXPECT_TRUE(env.logged("I", "in UpdateThread : end : end result -> 0")) << c.status;
        EXPECT_EQ(env.updateStatus(id), c.status);
    }
    EXPECT_TRUE(env.calls("ping").empty());
    EXPECT_TRUE(env.calls("download").empty());
    EXPECT_TRUE(env.calls("install").empty());

    // An id without a row: nothing runs.
    env.logs->clear();
    SoftwareUpdateManager manager(env.pingCommand);
    manager.UpdateThread(999);
    EXPECT_TRUE(env.logged("I", "in UpdateThread : end : end result -> 0"));
}

// A negative trial count still gives the run one trial, so its row leaves the processing state.
TEST(SoftwareUpdateManager, NegativeRetryCountStillRunsOneTrial) {
    Options options;
    options.procRetries = -1;
    UpdateEnv env(options);
    ASSERT_EQ(env.initResult, 0);
    const int32_t id = env.addUpdate(DbController::UPD_STATUS_DL_PROCESSING, velk::nowSeconds() + 3600);
    SoftwareUpdateManager manager(env.pingCommand);
    manager.UpdateThread(id);
    EXPECT_EQ(env.calls("download").size(), 1u);
    EXPECT_EQ(env.updateStatus(id), DbController::UPD_STATUS_DL_SUCCESS);
}

// How one pass ends when stage 1, 3 or 4 fails, before and on the last trial.
struct PassCase {
    const char* name;
    bool download;
    bool lastTrial;
    const char* setup;  // "exit2", "killed", "nopackages", "pkgdir", "logdir", "linebreak"
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
    if (setup == "pkgdir") {
        options.packageDir = file + "/pkgs";
    }
    if (setup == "logdir") {
        options.logDir = file + "/logs";
    }
    if (setup == "killed") {
        options.downloadExtra = "kill -KILL $$";
        options.installExtra = "kill -KILL $$";
    }
    UpdateEnv env(options);
    ASSERT_EQ(env.initResult, 0);
    const int32_t initial =
        c.download ? DbController::UPD_STATUS_DL_PROCESSING : DbController::UPD_STATUS_UPD_PROCESSING;
    std::vector<Package> packages = kPackages;
    if (setup == "nopackages") {
        packages.clear();
    }
    if (setup == "linebreak") {
        packages[1].url = "https://repo.example/a.deb\nevil 6.6 https://elsewhere.example/x.deb";
    }
    const int32_t id = env.addUpdate(initial, velk::nowSeconds() - 1, 12, packages);
    const std::string script = c.download ? "download" : "install";
    if (setup == "exit2") {
        env.setCodes(script, "2\n");
    }
    std::vector<UpdatePackage> list;
    UpdateInfo info = loadInfo(env, id, list);
    env.logs->clear();

    SoftwareUpdateManager manager(env.pingCommand);
    const int result = c.download ? manager.downloadProcess(c.lastTrial, info, list)
                                  : manager.updateProcess(c.lastTrial, info, list);
    const std::string name = c.download ? "download" : "update";
    if (setup == "killed") {
        EXPECT_GT(result, 0);  // the status word of a killed script, never success
        EXPECT_TRUE(env.logged("E", name + " failed : exit code -> " + std::to_string(result)));
    } else {
        EXPECT_EQ(result, c.expected);
    }
    EXPECT_EQ(env.updateStatus(id), c.status);
    EXPECT_EQ(env.orderStatus(id), c.order);
    EXPECT_EQ(manager.stageNumber(), c.lastTrial ? 7 : 4);
    EXPECT_EQ(env.raw->text("SELECT COUNT(*) FROM update_package WHERE download_flag != 0;"), "0");

    const bool scriptRuns = setup == "exit2" || setup == "killed";
    EXPECT_EQ(env.calls(script).size(), scriptRuns ? 1u : 0u);
    if (setup == "pkgdir" || setup == "logdir") {
        EXPECT_TRUE(env.logged("I", "<SW_UPD>  stage -> 2 : skip processing"));
        EXPECT_TRUE(env.logged("I", "<SW_UPD>  stage -> 3 : skip processing"));
        EXPECT_TRUE(env.logged("I", "<SW_UPD>  stage -> 4 : skip processing"));
    }
    if (setup == "logdir") {
        // The message names the download tag whatever the pass.
        EXPECT_TRUE(env.logged(
            "E", "<SW_UPD:DL:1>   failed to create directory (log file) (" + file + "/logs) -> failed"));
    }
    if (setup == "nopackages") {
        EXPECT_TRUE(env.logged("W", name + " target not found"));
        EXPECT_FALSE(velk::test::exists(manager.listFileName()));
    }
    if (setup == "linebreak") {
        EXPECT_TRUE(env.logged("E", "line break in package data : id -> 2"));
        EXPECT_FALSE(velk::test::exists(manager.listFileName()));
    }
    if (setup == "exit2") {
        EXPECT_TRUE(env.logged("E", name + " failed : exit code -> 512"));
        EXPECT_TRUE(env.logged(
            "I", c.download ? "<SW_UPD>  stage -> 4 : failed : execute debian package download : ret -> 512"
                            : "<SW_UPD>  stage -> 4 : failed : execute debian package update : ret -> 512"));
    }
    if (!c.download && !c.lastTrial) {
        EXPECT_TRUE(env.logged("W", "<SW_UPD>  update processing failed : -> retry"));
    }
    if (!c.download && c.lastTrial) {
        EXPECT_TRUE(env.logged("E", "<SW_UPD>  update processing error : -> retry end"));
    }
    if (c.lastTrial) {
        const auto item = reportItem(env.report(id));
        EXPECT_EQ(item.at("message").to_str(), name + " failed");
    }
}

constexpr int32_t kDl = DbController::UPD_STATUS_DL_PROCESSING;
constexpr int32_t kUpd = DbController::UPD_STATUS_UPD_PROCESSING;

// Before the last trial a pass returns the failing stage's code and stores nothing. On the last
// trial it stores and reports the failure; the download returns its first failed stage, the
// install the last (6, since no report can be delivered here).
INSTANTIATE_TEST_SUITE_P(
    Stages, SoftwareUpdatePass,
    ::testing::Values(PassCase{"DownloadScriptExit2Retry", true, false, "exit2", 512, kDl, -1},
                      PassCase{"DownloadScriptExit2Last", true, true, "exit2", 4, 19, 1},
                      PassCase{"InstallScriptExit2Retry", false, false, "exit2", 512, kUpd, -1},
                      PassCase{"InstallScriptExit2Last", false, true, "exit2", 6, 29, 11},
                      PassCase{"DownloadScriptKilledRetry", true, false, "killed", 0, kDl, -1},
                      PassCase{"DownloadNoPackagesRetry", true, false, "nopackages", -2, kDl, -1},
                      PassCase{"DownloadNoPackagesLast", true, true, "nopackages", 3, 19, 1},
                      PassCase{"DownloadPackageDirBlockedRetry", true, false, "pkgdir", -1, kDl, -1},
                      PassCase{"DownloadPackageDirBlockedLast", true, true, "pkgdir", 1, 19, 1},
                      PassCase{"InstallLogDirBlockedRetry", false, false, "logdir", -2, kUpd, -1},
                      PassCase{"DownloadLineBreakInPackageRetry", true, false, "linebreak", -4, kDl, -1}),
    [](const ::testing::TestParamInfo<PassCase>& param) { return std::string(param.param.name); });

// Paths with blanks, quotes and shell syntax reach the script as exactly two arguments.
TEST(SoftwareUpdateManager, PathsAreSingleShellWords) {
    TempDir outside;
    const std::string marker = outside.file("owned");
    TempDir base;
    Options options;
    options.packageDir = base.file("it's $(touch " + marker + ") pkgs");
    options.listDir = base.file("list `touch " + marker + "`; dir");
    UpdateEnv env(options);
    ASSERT_EQ(env.initResult, 0);
    const int32_t id = env.addUpdate(DbController::UPD_STATUS_DL_PROCESSING, velk::nowSeconds() + 3600);

    SoftwareUpdateManager manager(env.pingCommand);
    manager.UpdateThread(id);

    EXPECT_FALSE(velk::test::exists(marker));
    const auto calls = env.calls("download");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], "2|" + options.packageDir + "/12|" + manager.listFileName());
    EXPECT_EQ(env.updateStatus(id), DbController::UPD_STATUS_DL_SUCCESS);
    EXPECT_EQ(SoftwareUpdateManager::shellQuote("a'b"), "'a'\\''b'");
}

namespace {
std::atomic<bool> probeDestroyed{false};

class DestroyProbe : public SoftwareUpdateManager {
  public:
    using SoftwareUpdateManager::SoftwareUpdateManager;
    ~DestroyProbe() override { probeDestroyed = true; }
};
}  // namespace

// The detached thread runs the order and destroys its manager when done.
TEST(SoftwareUpdateManager, StartThreadHandsTheManagerToItsThread) {
    UpdateEnv env;
    ASSERT_EQ(env.initResult, 0);
    const int32_t id = env.addUpdate(DbController::UPD_STATUS_DL_PROCESSING, velk::nowSeconds() + 3600);

    EXPECT_EQ(SoftwareUpdateManager::StartThread(nullptr, id), 1);
    EXPECT_EQ(SoftwareUpdateManager::StartThread(std::make_unique<DestroyProbe>(env.pingCommand), id), 0);
    EXPECT_TRUE(env.logged("I", "<SW_UPD> in StartThread : ***** START software update thread *****"));

    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (!probeDestroyed && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(probeDestroyed);
    EXPECT_EQ(env.updateStatus(id), DbController::UPD_STATUS_DL_SUCCESS);
    EXPECT_TRUE(env.logged("I", "in UpdateThread : end : end result -> 6"));
    // The thread's own id tags its lines.
    std::smatch match;
    const std::string text = env.logs->text();
    ASSERT_TRUE(std::regex_search(text, match,
                                  std::regex("\\[tid:(\\S+)\\] <SW_UPD> in UpdateThread : start : "
                                             "thread id \\(tid\\) -> (\\S+)")));
    EXPECT_EQ(match[1], match[2]);
}

namespace {
// The orphaned script outlives the test's child process; it must not hold the pipes through
// which the death test learns that the child has ended.
void keepHarnessFromScripts() {
    for (int fd = 3; fd < 1024; ++fd) {
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(devNull, STDERR_FILENO);
}
}  // namespace

// The agent may end while a run's script still goes on: the process exits normally, and the run,
// blocked in its script, holds nothing that the exit tears down.
TEST(SoftwareUpdateManagerDeathTest, ProcessExitsNormallyWhileAScriptRuns) {
    TempDir shared;
    const std::string stop = shared.file("stop");
    const std::string done = shared.file("done");
    EXPECT_EXIT(
        {
            Options options;
            options.downloadExtra = "i=0; while [ ! -e '" + stop +
                                    "' ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i+1)); done; touch '" + done +
                                    "'";
            keepHarnessFromScripts();
            UpdateEnv env(options);
            shared.write("envdir", env.dir.path());
            const int32_t id =
                env.addUpdate(DbController::UPD_STATUS_DL_PROCESSING, velk::nowSeconds() + 3600);
            SoftwareUpdateManager::StartThread(std::make_unique<SoftwareUpdateManager>(env.pingCommand), id);
            const auto deadline = Clock::now() + std::chrono::seconds(10);
            while (env.calls("download").empty() && Clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            std::exit(env.calls("download").empty() ? 3 : 0);
        },
        ::testing::ExitedWithCode(0), "");
    // Let the orphaned script end, then remove what the exited process left behind.
    shared.write("stop", "");
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!velk::test::exists(done) && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(velk::test::exists(done));
    if (velk::test::exists(shared.file("envdir"))) {
        std::filesystem::remove_all(velk::test::readFile(shared.file("envdir")));
    }
}

TEST(SoftwareUpdateManager, CreateDirectoriesBuildsEveryMissingLevel) {
    TempDir dir;
    const std::string deep = dir.file("a//b/c/");
    EXPECT_TRUE(SoftwareUpdateManager::createDirectories(deep));
    EXPECT_TRUE(velk::test::exists(dir.file("a/b/c")));
    EXPECT_TRUE(SoftwareUpdateManager::createDirectories(deep));  // all there already
    const std::string file = dir.write("a/plain", "x");
    EXPECT_FALSE(SoftwareUpdateManager::createDirectories(file + "/sub"));
}
