#include <gtest/gtest.h>

#include "db/DbController.h"
#include "db/DbTestSupport.h"
#include "order/InstructionController.h"
#include "support/TempDir.h"
#include "support/TestLog.h"

using velk::db::DbController;
using velk::order::InstructionController;
using velk::test::RawDb;
using velk::test::TempDir;

namespace {

// The process-wide database on a fresh file, a fake dpkg, and a controller on both.
class ControllerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        db = DbController::createInstance();
        db->setLockWait(5, 10);
        ASSERT_EQ(db->init(dir.path() + "/db", "velk.db", "db_rw.lock", "db_ro.lock"), 0);
        dpkg = dir.write("dpkg",
                         "#!/bin/sh\n"
                         "printf 'ii  curl           7.88.1-10  amd64  command line tool\\n'\n"
                         "printf 'ii  libcurl4:amd64 7.88.1-10  amd64  curl library\\n'\n"
                         "printf 'rc  nano           6.0        amd64  removed, config kept\\n'\n"
                         "printf 'ii  nano-tiny      7.2-1      amd64  small nano\\n'\n"
                         "printf 'ii  libssl3:amd64  3.0.11-1   amd64  ssl library\\r\\n'\n",
                         0755);
        controller = std::make_unique<InstructionController>(dpkg);
        controller->init("SUB-9");
        raw = std::make_unique<RawDb>(dir.path() + "/db/velk.db");
    }

    std::string count(const std::string& table) { return raw->text("SELECT COUNT(*) FROM " + table); }

    velk::test::TestLog log;
    TempDir dir;
    DbController* db = nullptr;
    std::string dpkg;
    std::unique_ptr<InstructionController> controller;
    std::unique_ptr<RawDb> raw;
};

std::string order(const std::string& fields) {
    return R"({"item":"sw_update","download_start_date":"2030/01/01 00:00:00",)"
           R"("download_end_date":"2030/01/01 01:00:00","install_start_date":"2030-01-02 00:00:00",)"
           R"("install_end_date":"2030-01-02 01:00:00",)" +
           fields + "}";
}

const char* const kTwoPackages =
    R"("pkg_update":[{"pkg_name":"curl","pkg_version":"7.88.1-10","pkg_url":"http://s/curl.deb"},)"
    R"({"pkg_name":"nano","pkg_version":"7.2","pkg_url":"http://s/nano.deb"}])";

}  // namespace

TEST_F(ControllerTest, RequestCarriesPendingKindsInByteOrder) {
    EXPECT_EQ(controller->getAllInstructionJson(), "{}");

    controller->addPendingRequest(InstructionController::REQUEST_BOOT_TIME);
    controller->addPendingRequest(InstructionController::REQUEST_CHECK_ORDER);
    EXPECT_EQ(controller->addPendingRequest(InstructionController::REQUEST_CHECK_ORDER), 2u);
    // No unsent boot time: only the order check goes out.
    EXPECT_EQ(controller->getAllInstructionJson(),
              R"({"request":[{"item":"chk_sw_upd"}],"substratecode":"SUB-9"})");
    EXPECT_TRUE(log.contains("in getAllInstructionJson : no data order -> boot_time"));

    raw->exec(
        "INSERT INTO os_boot_time (boot_time) VALUES ('2026-11-01 07:00:00'), ('2026-12-01 08:00:00');"
        "INSERT INTO os_boot_time (boot_time, is_send) VALUES ('2026-10-01 06:00:00', 1);");
    EXPECT_EQ(
        controller->getAllInstructionJson(),
        R"({"request":[{"boot_datetime":["2026-11-01 07:00:00","2026-12-01 08:00:00"],"item":"boot_time"},)"
        R"({"item":"chk_sw_upd"}],"substratecode":"SUB-9"})");
    EXPECT_EQ(controller->pendingRequestCount(), 2u);
}

TEST_F(ControllerTest, BootTimeAcknowledgementMarksAllSentAndClearsPending) {
    raw->exec(
        "INSERT INTO os_boot_time (boot_time) VALUES ('2026-11-01 07:00:00'), ('2026-12-01 08:00:00');");
    controller->addPendingRequest(1);
    controller->addPendingRequest(2);

    // Answers without an acknowledgement change nothing.
    EXPECT_TRUE(controller->hasOsBootTimeResultFromReceiveData(""));
    EXPECT_FALSE(controller->hasOsBootTimeResultFromReceiveData("not json"));
    EXPECT_TRUE(log.contains("in hasOsBootTimeResultFromReceiveData : json parse error : "));
    EXPECT_FALSE(controller->hasOsBootTimeResultFromReceiveData(R"({"response":[{"item":"sw_update"}]})"));
    EXPECT_FALSE(controller->hasOsBootTimeResultFromReceiveData("[1]"));
    EXPECT_TRUE(log.contains("E : [InstructionController.cpp:"));
    EXPECT_TRUE(log.contains("E :     -----------"));
    EXPECT_EQ(raw->text("SELECT SUM(is_send) FROM os_boot_time"), "0");
    EXPECT_EQ(controller->pendingRequestCount(), 2u);

    EXPECT_TRUE(controller->hasOsBootTimeResultFromReceiveData(R"({"response":[{"item":"boot_time"}]})"));
    EXPECT_EQ(raw->text("SELECT SUM(is_send) FROM os_boot_time"), "2");
    EXPECT_EQ(controller->pendingRequestCount(), 0u);
    EXPECT_FALSE(velk::test::exists(dir.path() + "/db/db_rw.lock"));
}

TEST_F(ControllerTest, NewOrderStoresRowsWithInstalledVersions) {
    std::string text = order(R"("mode":"new","sw_upd_no":7,)" + std::string(kTwoPackages));
    ASSERT_TRUE(controller->hasCheckOrderFromReceiveData(R"({"response":[)" + text + "]}"));
    EXPECT_EQ(raw->rows("SELECT order_kind, order_status FROM order_info"),
              (std::vector<std::vector<std::string>>{{"2", "-1"}}));
    // The stored order is the order item alone, compact, keys in byte order.
    std::string stored = raw->text("SELECT receive_json FROM order_info");
    EXPECT_EQ(stored.find(R"({"download_end_date":"2030\/01\/01 01:00:00","download_start_date")"), 0u)
        << stored;
    EXPECT_EQ(
        raw->rows("SELECT order_info_id, sw_upd_no, update_status, download_start_time, update_end_time "
                  "FROM update_info"),
        (std::vector<std::vector<std::string>>{
            {"1", "7", "0", "2030/01/01 00:00:00", "2030-01-02 01:00:00"}}));
    EXPECT_EQ(
        raw->rows("SELECT package_name, package_version, package_url, target_flag, old_version "
                  "FROM update_package ORDER BY id"),
        (std::vector<std::vector<std::string>>{{"curl", "7.88.1-10", "http://s/curl.deb", "81", "7.88.1-10"},
                                               {"nano", "7.2", "http://s/nano.deb", "1", ""}}));
    EXPECT_TRUE(log.contains("update success : insert order info"));
}

// Rows below 90 (update) or 80 (package) are closed; closed rows keep their first closing.
TEST_F(ControllerTest, ReplacingAndCancellingCloseOnlyOpenRows) {
    raw->exec(
        "INSERT INTO update_info (order_info_id, sw_upd_no, update_status) VALUES (1, 7, 0), (1, 7, 22), (1, "
        "8, 0);"
        "INSERT INTO update_package (sw_upd_no, package_name, package_version, package_url, target_flag) "
        "VALUES "
        "(7, 'a', '1', 'u', 1), (7, 'b', '1', 'u', 81), (8, 'c', '1', 'u', 1);");
    ASSERT_TRUE(controller->hasCheckOrderFromReceiveData(
        R"({"response":[)" + order(R"("mode":"update","sw_upd_no":7,)" + std::string(kTwoPackages)) + "]}"));
    EXPECT_EQ(raw->rows("SELECT sw_upd_no, update_status FROM update_info ORDER BY id"),
              (std::vector<std::vector<std::string>>{{"7", "99"}, {"7", "99"}, {"8", "0"}, {"7", "0"}}));
    EXPECT_EQ(raw->rows("SELECT package_name, target_flag FROM update_package ORDER BY id"),
              (std::vector<std::vector<std::string>>{
                  {"a", "99"}, {"b", "81"}, {"c", "1"}, {"curl", "81"}, {"nano", "1"}}));

    // A cancel stores its order and closes the open rows, adding none.
    ASSERT_TRUE(controller->hasCheckOrderFromReceiveData(
        R"({"response":[)" + order(R"("mode":"cancel","sw_upd_no":7,)" + std::string(kTwoPackages)) + "]}"));
    EXPECT_EQ(raw->rows("SELECT update_status FROM update_info ORDER BY id"),
              (std::vector<std::vector<std::string>>{{"99"}, {"99"}, {"0"}, {"98"}}));
    EXPECT_EQ(raw->rows("SELECT target_flag FROM update_package ORDER BY id"),
              (std::vector<std::vector<std::string>>{{"99"}, {"81"}, {"1"}, {"81"}, {"98"}}));
    EXPECT_EQ(count("order_info"), "2");

    // A replacing order without packages withdraws the update.
    ASSERT_TRUE(controller->hasCheckOrderFromReceiveData(
        R"({"response":[)" + order(R"("mode":"new","sw_upd_no":8,"pkg_update":[])") + "]}"));
    EXPECT_EQ(raw->text("SELECT update_status FROM update_info WHERE id = 3"), "99");
    EXPECT_EQ(count("update_info"), "4");
    EXPECT_EQ(count("order_info"), "3");
}

// Packages that cannot be written safely to the scripts' list file are skipped; the rest commits.
TEST_F(ControllerTest, MissingOrUnsafePackageFieldsAreSkipped) {
    std::string packages = R"("pkg_update":[{"pkg_name":"curl","pkg_version":"1"},)"
                           R"({"pkg_name":"Curl","pkg_version":"1","pkg_url":"u"},)"
                           R"({"pkg_name":"nano","pkg_version":"1\nextra line","pkg_url":"u"},)"
                           R"({"pkg_name":"nano","pkg_version":"1","pkg_url":"http://x/a b.deb"},)"
                           R"({"pkg_name":"nano","pkg_version":"","pkg_url":"u"},)"
                           R"({"pkg_name":"x;rm","pkg_version":"1","pkg_url":"u"},)"
                           R"({"pkg_name":null,"pkg_version":"1","pkg_url":"u"},)"
                           R"("not an object",42,)"
                           R"({"pkg_name":"vim","pkg_version":"9.0","pkg_url":"http://x/vim.deb"}])";
    ASSERT_TRUE(controller->hasCheckOrderFromReceiveData(
        R"({"response":[)" + order(R"("mode":"new","sw_upd_no":3,)" + packages) + "]}"));
    EXPECT_EQ(raw->rows("SELECT package_name FROM update_package"),
              (std::vector<std::vector<std::string>>{{"vim"}}));
    EXPECT_EQ(log.count("DB insert failed : no have package data - update package info"), 9u);
    EXPECT_EQ(count("update_info"), "1");
}

TEST_F(ControllerTest, UpdateNumberIsTruncatedAndTextCountsAsMissing) {
    ASSERT_TRUE(controller->hasCheckOrderFromReceiveData(
        R"({"response":[)" + order(R"("sw_upd_no":7.9,)" + std::string(kTwoPackages)) + "," +
        order(R"("sw_upd_no":"7",)" + std::string(kTwoPackages)) + "]}"));
    EXPECT_EQ(raw->rows("SELECT sw_upd_no, update_status FROM update_info ORDER BY id"),
              (std::vector<std::vector<std::string>>{{"7", "0"}, {"0", "0"}}));
}

// Each order has its own transaction: a failing second order leaves the first stored.
TEST_F(ControllerTest, SecondOrderFailingIsRolledBackAlone) {
    raw->exec(
        "CREATE TRIGGER refuse BEFORE INSERT ON update_package WHEN NEW.package_name = 'nano' "
        "BEGIN SELECT RAISE(ABORT, 'refused'); END;");
    std::string first =
        order(R"("sw_upd_no":1,"pkg_update":[{"pkg_name":"vim","pkg_version":"9","pkg_url":"u"}])");
    std::string second = order(R"("sw_upd_no":2,)" + std::string(kTwoPackages));
    ASSERT_TRUE(controller->hasCheckOrderFromReceiveData(R"({"response":[)" + first + "," + second + "]}"));
    EXPECT_EQ(count("order_info"), "1");
    EXPECT_EQ(raw->rows("SELECT sw_upd_no FROM update_info"), (std::vector<std::vector<std::string>>{{"1"}}));
    EXPECT_EQ(raw->rows("SELECT package_name FROM update_package"),
              (std::vector<std::vector<std::string>>{{"vim"}}));
    EXPECT_TRUE(log.contains("update failed : insert order info"));
    EXPECT_FALSE(velk::test::exists(dir.path() + "/db/db_rw.lock"));
}

TEST_F(ControllerTest, OrderWithoutOrderRowIsRolledBack) {
    raw->exec("CREATE TRIGGER refuse BEFORE INSERT ON order_info BEGIN SELECT RAISE(ABORT, 'refused'); END;");
    ASSERT_TRUE(controller->hasCheckOrderFromReceiveData(
        R"({"response":[)" + order(R"("sw_upd_no":4,)" + std::string(kTwoPackages)) + "]}"));
    EXPECT_EQ(count("update_info"), "0");
    EXPECT_EQ(count("update_package"), "0");
    EXPECT_TRUE(log.contains("W : [InstructionController.cpp:"));
    EXPECT_TRUE(log.contains("update failed : insert order info"));
}

TEST_F(ControllerTest, UnusableAnswersStoreNothing) {
    EXPECT_TRUE(controller->hasCheckOrderFromReceiveData(""));
    EXPECT_FALSE(controller->hasCheckOrderFromReceiveData("{oops"));
    EXPECT_TRUE(controller->hasCheckOrderFromReceiveData("[1]"));
    EXPECT_TRUE(controller->hasCheckOrderFromReceiveData(R"({"other":[]})"));
    EXPECT_TRUE(controller->hasCheckOrderFromReceiveData(R"({"response":{"item":"sw_update"}})"));
    // Orders before a malformed item are still stored.
    EXPECT_TRUE(controller->hasCheckOrderFromReceiveData(
        R"({"response":[)" + order(R"("sw_upd_no":5,)" + std::string(kTwoPackages)) + ",7]}"));
    EXPECT_TRUE(log.contains("in hasCheckOrderFromReceiveData : json parse error (exception) -> "));
    EXPECT_EQ(count("order_info"), "1");
}

TEST_F(ControllerTest, InstalledVersionMatchesOnlyTheExactInstalledName) {
    EXPECT_EQ(controller->getNowPackageVersion("curl"), "7.88.1-10");
    EXPECT_EQ(controller->getNowPackageVersion("libcurl4"), "7.88.1-10");  // ":arch" suffix ignored
    EXPECT_EQ(controller->getNowPackageVersion("libssl3"), "3.0.11-1");    // carriage return removed
    EXPECT_EQ(controller->getNowPackageVersion("nano"), "");               // removed, only config kept
    EXPECT_EQ(controller->getNowPackageVersion("ssl"), "");                // substring only
    EXPECT_TRUE(log.contains("failed to get version of installed Debian package : output message size -> 0"));
}

TEST_F(ControllerTest, NameOutsidePackageSyntaxRunsNothing) {
    std::string marker = dir.file("ran");
    std::string spy = dir.write("spy-dpkg", "#!/bin/sh\ntouch " + marker + "\n", 0755);
    InstructionController spied(spy);
    spied.init("");
    for (const char* name : {"cu'rl", "cu rl", "curl;reboot", "$(id)", "C", "-curl", "Curl", ""}) {
        EXPECT_EQ(spied.getNowPackageVersion(name), "") << name;
        EXPECT_FALSE(velk::test::exists(marker)) << name;
    }
    EXPECT_TRUE(log.contains("W : [InstructionController.cpp:"));
    EXPECT_EQ(spied.getNowPackageVersion("curl"), "");
    EXPECT_TRUE(velk::test::exists(marker));
}

TEST(InstructionControllerExec, RawStatusAndAppendedOutput) {
    std::string output = "x";
    int status = 0;
    ASSERT_TRUE(InstructionController::ExecCmd("printf ab; exit 3", output, status));
    EXPECT_EQ(output, "xab");
    EXPECT_EQ(status, 768);
}
