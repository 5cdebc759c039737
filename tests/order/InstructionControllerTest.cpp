#include <gtest/gtest.h>
#include <picojson.h>
#include <sys/stat.h>

#include <filesystem>

#include "db/DbController.h"
#include "db/DbTestSupport.h"
#include "order/InstructionController.h"
#include "order/OrderIntake.h"
#include "order/OrderSignature.h"
#include "support/SigningKey.h"
#include "support/TempDir.h"
#include "support/TestLog.h"

using velk::db::DbController;
using velk::order::InstructionController;
using velk::test::RawDb;
using velk::test::TempDir;

namespace {

std::string respond(const std::string& items) { return R"({"response":[)" + items + "]}"; }
using Rows = std::vector<std::vector<std::string>>;

// The process-wide database on a fresh file, a fake dpkg-query (answering for exact names
// only, as the real one does, and counting its runs), and a controller on both.
class ControllerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        db = DbController::createInstance();
        db->setLockWait(5, 10);
        ASSERT_EQ(db->init(dir.path() + "/db", "velk.db", "db_rw.lock", "db_ro.lock"), 0);
        dpkg = dir.write("dpkg-query",
                         "#!/bin/sh\necho run >> " + dir.file("runs") +
                             "\nst=0\nfor n in \"$@\"; do case \"$n\" in\n"
                             "-*) ;;\n"
                             "curl) printf 'curl\\tinstall ok installed\\t7.88.1-10\\n' ;;\n"
                             "vim) printf 'vim\\thold ok installed\\t9.0\\n' ;;\n"
                             "nano) printf 'nano\\tdeinstall ok config-files\\t6.0\\n' ;;\n"
                             "gone) printf 'gone\\tunknown ok not-installed\\t\\n' ;;\n"
                             "libssl3) printf 'libssl3\\tinstall ok triggers-pending\\t3.0.11-1\\r\\n"
                             "libssl3\\tinstall ok installed\\t3.0.9\\n' ;;\n"
                             // Take the database lock (once) and give it back, as another process would.
                             "lockme) [ -e " +
                             dir.file("locked") + " ] || touch " + dir.file("db/db_rw.lock") + " " +
                             dir.file("locked") + " ;;\n" + "unlock) rm -f " + dir.file("db/db_rw.lock") +
                             " ;;\n"
                             "*) echo \"no packages found matching $n\" >&2; st=1 ;;\n"
                             "esac; done; exit $st\n",
                         0755);
        controller = std::make_unique<InstructionController>(dpkg);
        controller->init("SUB-9");
        raw = std::make_unique<RawDb>(dir.path() + "/db/velk.db");
    }

    bool store(const std::string& items) { return controller->hasCheckOrderFromReceiveData(respond(items)); }
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

const std::string kTwoPackages =
    R"("pkg_update":[{"pkg_name":"curl","pkg_version":"7.88.1-10","pkg_url":"http://s/curl.deb"},)"
    R"({"pkg_name":"nano","pkg_version":"7.2","pkg_url":"http://s/nano.deb"}])";

}  // namespace

TEST_F(ControllerTest, BootTimeAcknowledgementMarksAllSentAndClearsPending) {
    raw->exec(
        "INSERT INTO os_boot_time (boot_time) VALUES ('2026-11-01 07:00:00'), ('2026-12-01 08:00:00');");
    controller->addPendingRequest(1);
    controller->addPendingRequest(2);

    // Answers without an acknowledgement change nothing.
    EXPECT_FALSE(controller->hasOsBootTimeResultFromReceiveData("not json"));
    EXPECT_FALSE(controller->hasOsBootTimeResultFromReceiveData(R"({"response":[{"item":"sw_update"}]})"));
    EXPECT_FALSE(controller->hasOsBootTimeResultFromReceiveData("[1]"));
    EXPECT_EQ(raw->text("SELECT SUM(is_send) FROM os_boot_time"), "0");
    EXPECT_EQ(controller->pendingRequestCount(), 2u);

    EXPECT_TRUE(controller->hasOsBootTimeResultFromReceiveData(R"({"response":[{"item":"boot_time"}]})"));
    EXPECT_EQ(raw->text("SELECT SUM(is_send) FROM os_boot_time"), "2");
    EXPECT_EQ(controller->pendingRequestCount(), 0u);
    EXPECT_FALSE(velk::test::exists(dir.path() + "/db/db_rw.lock"));
}

TEST_F(ControllerTest, NewOrderIsStoredCompactAfterOnePackageManagerRun) {
    std::string text = order(R"("mode":"new","sw_upd_no":7,)" + kTwoPackages);
    ASSERT_TRUE(store(text));
    EXPECT_EQ(raw->rows("SELECT order_kind, order_status FROM order_info"), (Rows{{"2", "-1"}}));
    // The stored order is the order item alone, compact, keys in byte order.
    std::string stored = raw->text("SELECT receive_json FROM order_info");
    EXPECT_EQ(stored.find(R"({"download_end_date":"2030\/01\/01 01:00:00","download_start_date")"), 0u)
        << stored;
    // One package manager run for the whole order.
    EXPECT_EQ(velk::test::readFile(dir.file("runs")), "run\n");
}

// A replacing order closes rows below 90 (update) or 80 (package) and adds its own.
TEST_F(ControllerTest, ReplacingOrderClosesOnlyOpenRows) {
    raw->exec(
        "INSERT INTO update_info (order_info_id, sw_upd_no, update_status) VALUES (1, 7, 0), (1, 7, 22), (1, "
        "8, 0);"
        "INSERT INTO update_package (sw_upd_no, package_name, package_version, package_url, target_flag) "
        "VALUES "
        "(7, 'a', '1', 'u', 1), (7, 'b', '1', 'u', 81), (8, 'c', '1', 'u', 1);");
    ASSERT_TRUE(store(order(R"("mode":"update","sw_upd_no":7,)" + kTwoPackages)));
    EXPECT_EQ(raw->rows("SELECT sw_upd_no, update_status FROM update_info ORDER BY id"),
              (Rows{{"7", "99"}, {"7", "99"}, {"8", "0"}, {"7", "0"}}));
    EXPECT_EQ(raw->rows("SELECT package_name, target_flag FROM update_package ORDER BY id"),
              (Rows{{"a", "99"}, {"b", "81"}, {"c", "1"}, {"curl", "81"}, {"nano", "1"}}));

    // A replacing order without packages withdraws the update.
    ASSERT_TRUE(store(order(R"("mode":"new","sw_upd_no":8,"pkg_update":[])")));
    EXPECT_EQ(raw->text("SELECT update_status FROM update_info WHERE id = 3"), "99");
    EXPECT_EQ(count("update_info"), "4");
    EXPECT_EQ(count("order_info"), "2");
}

// Packages that cannot be written safely to the scripts' list file are skipped; the rest commits.
TEST_F(ControllerTest, MissingOrUnsafePackageFieldsAreSkipped) {
    const std::string big(4097, '1');
    const std::vector<std::string> refused = {
        R"({"pkg_name":"curl","pkg_version":"1"})",
        R"({"pkg_name":null,"pkg_version":"1","pkg_url":"http://x/a"})",
        R"("not an object")",
        "42",
        R"({"pkg_name":"x;rm","pkg_version":"1","pkg_url":"http://x/a"})",
        R"({"pkg_name":"n)" + std::string(4096, 'a') + R"(","pkg_version":"1","pkg_url":"http://x/a"})",
        R"({"pkg_name":"nano","pkg_version":"","pkg_url":"http://x/a"})",
        R"({"pkg_name":"nano","pkg_version":"1\nextra line","pkg_url":"http://x/a"})",
        R"({"pkg_name":"nano","pkg_version":"v1.0","pkg_url":"http://x/a"})",
        R"({"pkg_name":"nano","pkg_version":"1.0;id","pkg_url":"http://x/a"})",
        R"({"pkg_name":"nano","pkg_version":")" + big + R"(","pkg_url":"http://x/a"})",
        R"({"pkg_name":"nano","pkg_version":"1","pkg_url":"u"})",
        R"({"pkg_name":"nano","pkg_version":"1","pkg_url":"ftp://x/a.deb"})",
        R"({"pkg_name":"nano","pkg_version":"1","pkg_url":"http://"})",
        R"({"pkg_name":"nano","pkg_version":"1","pkg_url":"http://x/a b.deb"})",
        R"({"pkg_name":"nano","pkg_version":"1","pkg_url":"http://x/x[1-40].deb"})",
        R"({"pkg_name":"nano","pkg_version":"1","pkg_url":"http://x/x]"})",
        R"({"pkg_name":"nano","pkg_version":"1","pkg_url":"https://x/\u00e9"})",
        R"({"pkg_name":"nano","pkg_version":"1","pkg_url":"http://x/)" + big + R"("})",
    };
    std::string packages = R"("pkg_update":[)";
    for (const auto& p : refused) {
        packages += p + ",";
    }
    packages +=
        R"({"pkg_name":"vim","pkg_version":"1:9.0~rc+2-1","pkg_url":"https://x/vim_9.0.deb?a=1&b=%7E"}])";
    ASSERT_TRUE(store(order(R"("mode":"new","sw_upd_no":3,)" + packages)));
    EXPECT_EQ(raw->rows("SELECT package_name FROM update_package"), (Rows{{"vim"}}));
    EXPECT_EQ(log.count("DB insert failed : no have package data - update package info"), refused.size());
    EXPECT_EQ(count("update_info"), "1");
}

// Each order has its own transaction: one whose package or order row is refused is rolled back
// alone, and the others stay stored.
TEST_F(ControllerTest, FailingOrderIsRolledBackAlone) {
    raw->exec(
        "CREATE TRIGGER refuse BEFORE INSERT ON update_package WHEN NEW.package_name = 'nano' "
        "BEGIN SELECT RAISE(ABORT, 'refused'); END;"
        "CREATE TRIGGER refuse_order BEFORE INSERT ON order_info WHEN NEW.receive_json LIKE "
        "'%sw_upd_no\":4%' BEGIN SELECT RAISE(ABORT, 'refused'); END;");
    const std::string vim = R"("pkg_update":[{"pkg_name":"vim","pkg_version":"9","pkg_url":"http://s/v"}])";
    ASSERT_TRUE(store(order(R"("sw_upd_no":1,)" + vim) + "," + order(R"("sw_upd_no":2,)" + kTwoPackages) +
                      "," + order(R"("sw_upd_no":4,)" + vim)));
    EXPECT_EQ(count("order_info"), "1");
    EXPECT_EQ(raw->rows("SELECT sw_upd_no FROM update_info"), (Rows{{"1"}}));
    EXPECT_EQ(raw->rows("SELECT package_name FROM update_package"), (Rows{{"vim"}}));
    EXPECT_EQ(log.count("update failed : insert order info"), 2u);
    EXPECT_FALSE(velk::test::exists(dir.path() + "/db/db_rw.lock"));
}

// Odd values: a fractional update number is cut and a text one counts as missing. A response that
// is not a list stores nothing; orders before a malformed item are still stored.
TEST_F(ControllerTest, OddAnswersStoreWhatTheyCan) {
    EXPECT_TRUE(controller->hasCheckOrderFromReceiveData(R"({"response":{"item":"sw_update"}})"));
    EXPECT_EQ(count("order_info"), "0");
    ASSERT_TRUE(store(order(R"("sw_upd_no":7.9,)" + kTwoPackages) + "," +
                      order(R"("sw_upd_no":"7",)" + kTwoPackages) + ",7"));
    EXPECT_EQ(raw->rows("SELECT sw_upd_no, update_status FROM update_info ORDER BY id"),
              (Rows{{"7", "0"}, {"0", "0"}}));
}

// A kept answer stored again (after a crash, or a lock held too long) adds no order twice, and an
// order that cannot get at the database is left for a later try, not dropped.
TEST_F(ControllerTest, KeptAnswerWaitsOutALockAndIsStoredOnce) {
    std::string answer =
        respond(order(R"("sw_upd_no":1,)" + kTwoPackages) + "," + order(R"("mode":"cancel","sw_upd_no":2)"));
    db->setLockWait(1, 1);
    dir.write("db/db_rw.lock", "");
    EXPECT_EQ(controller->storeOrders(answer, "kept-1"), 2);
    EXPECT_EQ(count("order_info"), "0");
    ASSERT_EQ(std::remove(dir.file("db/db_rw.lock").c_str()), 0);
    EXPECT_EQ(controller->storeOrders(answer, "kept-1"), 0);
    EXPECT_EQ(controller->storeOrders(answer, "kept-1"), 0);
    EXPECT_EQ(count("order_info"), "2");
    EXPECT_EQ(count("update_package"), "2");
    // The same orders in another answer are new orders.
    EXPECT_EQ(controller->storeOrders(answer, "kept-2"), 0);
    EXPECT_EQ(count("order_info"), "4");
    EXPECT_EQ(controller->storeOrders("{oops", "kept-3"), -1);

    // A write the database cannot take for now (here a broken schema) keeps the order for a later try.
    raw->exec("ALTER TABLE update_package RENAME TO moved;");
    EXPECT_EQ(controller->storeOrders(answer, "kept-4"), 2);
    raw->exec("ALTER TABLE moved RENAME TO update_package;");
    EXPECT_EQ(controller->storeOrders(answer, "kept-4"), 0);
    EXPECT_EQ(count("order_info"), "6");
}

// "new 7" has to wait for the lock, which is free again for the orders after it: they wait too,
// so the cancel still lands after it.
TEST_F(ControllerTest, LaterOrderNeverCommitsBeforeOneThatWaits) {
    db->setLockWait(1, 1);
    auto package = [](const std::string& name) {
        return R"("pkg_update":[{"pkg_name":")" + name + R"(","pkg_version":"1","pkg_url":"http://s/p"}])";
    };
    std::string answer = respond(order(R"("mode":"new","sw_upd_no":7,)" + package("lockme")) + "," +
                                 order(R"("mode":"new","sw_upd_no":8,)" + package("unlock")) + "," +
                                 order(R"("mode":"cancel","sw_upd_no":7)"));
    EXPECT_EQ(controller->storeOrders(answer, "kept-1"), 3);
    EXPECT_EQ(count("order_info"), "0");
    std::remove(dir.file("db/db_rw.lock").c_str());
    EXPECT_EQ(controller->storeOrders(answer, "kept-1"), 0);
    EXPECT_EQ(raw->rows("SELECT sw_upd_no, update_status FROM update_info ORDER BY sw_upd_no"),
              (Rows{{"7", "98"}, {"8", "0"}}));
}

// Neither the disk nor the database takes the answers: they wait in memory in arrival order, also
// once the disk has room again, and are stored when the database takes them.
TEST_F(ControllerTest, IntakeHoldsWhatTheDiskCannotKeepInMemoryInOrder) {
    db->setLockWait(1, 1);
    velk::order::OrderIntake intake(*controller, dir.file("spool"));  // a folder not there yet
    dir.write("db/db_rw.lock", "");
    std::string first = intake.keep(respond(order(R"("sw_upd_no":7,)" + kTwoPackages)));
    EXPECT_EQ(intake.storeWaiting(), 1u);
    EXPECT_FALSE(intake.stored(first));
    ASSERT_EQ(mkdir(dir.file("spool").c_str(), 0700), 0);
    std::string second = intake.keep(respond(order(R"("mode":"cancel","sw_upd_no":7)")));
    EXPECT_EQ(intake.storeWaiting(), 2u);
    EXPECT_EQ(intake.heldInMemory(), 2u);

    ASSERT_EQ(std::remove(dir.file("db/db_rw.lock").c_str()), 0);
    EXPECT_EQ(intake.storeWaiting(), 0u);
    EXPECT_TRUE(intake.stored(second));
    EXPECT_EQ(raw->rows("SELECT update_status FROM update_info"), (Rows{{"98"}}));
    // With nothing held, the next answer is kept on disk again.
    EXPECT_EQ(intake.keep(respond(order(R"("mode":"cancel")"))).rfind("order-spool-", 0), 0u);
}

// Any installed state counts, whatever is wanted of the package; the first line of a name wins.
TEST_F(ControllerTest, InstalledVersionsComeFromOneRun) {
    // Names outside the package syntax never reach the shell.
    EXPECT_TRUE(controller->getInstalledVersions({"cu'rl", "cu rl", "curl;reboot", "$(id)", "C", "-curl", ""})
                    .empty());
    EXPECT_FALSE(velk::test::exists(dir.file("runs")));
    EXPECT_EQ(
        controller->getInstalledVersions({"curl", "vim", "nano", "gone", "libssl3", "absent", "x'y"}),
        (std::map<std::string, std::string>{{"curl", "7.88.1-10"}, {"vim", "9.0"}, {"libssl3", "3.0.11-1"}}));
    EXPECT_EQ(velk::test::readFile(dir.file("runs")), "run\n");
    EXPECT_EQ(log.count("====***** split size -> 6"), 1u);
}

// The format handed to the real package manager must give name, state and version.
TEST_F(ControllerTest, RealPackageManagerReportsItsOwnLibrary) {
    InstructionController real("/usr/bin/dpkg-query");
    real.init("");
    EXPECT_TRUE(InstructionController::isDebianVersion(real.getNowPackageVersion("dpkg")));
}

// Under "required", an item refused stores only its report to the service, so that a forged
// cancel or order changes nothing; a malformed digest skips its package like any bad field.
TEST_F(ControllerTest, RefusedItemsStoreOnlyTheirReport) {
    const velk::test::SigningKey key;
    std::filesystem::create_directories(dir.file("keys"));
    dir.write("keys/k.pem", key.publicPem());
    controller->setOrderSignature(
        velk::order::OrderSignature(velk::order::SignaturePolicy::Required, dir.file("keys"), "SUB-9"));
    picojson::value item;
    picojson::parse(
        item, order(R"("mode":"new","sw_upd_no":7,"pkg_update":[{"pkg_name":"curl","pkg_version":"8.0",)"
                    R"("pkg_url":"http://s/c.deb","pkg_sha256":")" +
                    std::string(64, 'e') +
                    R"("},{"pkg_name":"nano","pkg_version":"7.2","pkg_url":"http://s/n.deb",)"
                    R"("pkg_sha256":"e0e0"}])"));
    auto& fields = item.get<picojson::object>();
    fields["signature"] = picojson::value(key.sign(velk::order::OrderSignature::signedText(fields, "*")));
    ASSERT_TRUE(store(item.serialize()));
    EXPECT_EQ(log.count("DB insert failed : no have package data - update package info"), 1u);
    EXPECT_EQ(log.count("order 7 : signature verified : key k.pem"), 1u);

    ASSERT_TRUE(store(R"({"item":"sw_update","mode":"cancel","sw_upd_no":7},)" +
                      order(R"("mode":"new","sw_upd_no":8,)" + kTwoPackages)));
    EXPECT_EQ(raw->rows("SELECT sw_upd_no, update_status FROM update_info;"), (Rows{{"7", "0"}}));
    EXPECT_EQ(raw->rows("SELECT package_name, target_flag FROM update_package;"), (Rows{{"curl", "1"}}));
    EXPECT_EQ(raw->rows("SELECT order_status, json_extract(response_json, '$.request[0].sw_upd_no'), "
                        "json_extract(response_json, '$.request[0].status'), "
                        "json_extract(response_json, '$.request[0].message') FROM order_info WHERE id > 1;"),
              (Rows{{"1", "7", "19", "refused : unsigned"}, {"1", "8", "19", "refused : unsigned"}}));
    EXPECT_EQ(log.count("order 8 refused : unsigned"), 1u);
}
