#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "db/DbController.h"
#include "db/DbRecovery.h"
#include "db/DbTestSupport.h"

using velk::db::DbController;
using velk::db::DbRecovery;
using velk::test::DbFixture;
using velk::test::RawDb;
using velk::test::readFile;

namespace {

using Rows = std::vector<std::vector<std::string>>;

constexpr int kFiller = 40;
constexpr int64_t kPage = 4096;

// Damage done to the file while no connection is open; the number of filler reports it destroys.
struct Damage {
    const char* name;
    int64_t (*apply)(const std::string& file);
    bool lateOrderSurvives;  // on a page of its own that the damage spares
};

void PrintTo(const Damage& d, std::ostream* os) { *os << d.name; }

void zeroPage(const std::string& file, int64_t page) {
    std::fstream out(file, std::ios::in | std::ios::out | std::ios::binary);
    out.seekp((page - 1) * kPage);
    out.write(std::string(kPage, '\0').data(), kPage);
}

int64_t pages(const std::string& file) {
    return static_cast<int64_t>(std::filesystem::file_size(file)) / kPage;
}

int64_t zeroLastPage(const std::string& file) {
    zeroPage(file, pages(file));
    return -1;
}

// Two leaves of order_info with a readable one between them: the rows between are reached only
// by looking them up one by one.
int64_t zeroTwoMiddleLeaves(const std::string& file) {
    Rows leaves = RawDb(file).rows(
        "SELECT pageno, ncell FROM dbstat WHERE name = 'order_info' AND pagetype = 'leaf' ORDER BY path;");
    const size_t middle = leaves.size() / 2;
    zeroPage(file, std::stoll(leaves.at(middle - 1)[0]));
    zeroPage(file, std::stoll(leaves.at(middle + 1)[0]));
    return std::stoll(leaves[middle - 1][1]) + std::stoll(leaves[middle + 1][1]);
}

int64_t cutShort(const std::string& file) {
    EXPECT_EQ(truncate(file.c_str(), pages(file) * 3 / 4 * kPage), 0);
    return -1;
}

class DbRecoveryDamage : public ::testing::TestWithParam<Damage>, public DbFixture {
  protected:
    void SetUp() override {
        DbRecovery::forgetDamage();
        ASSERT_EQ(initDb(), 0);
        ASSERT_TRUE(ctl.open());
        ASSERT_TRUE(ctl.beginTransaction());
        // Work in hand first: a waiting update with two packages, one cut off while installing, a
        // boot time not yet acknowledged (after one that was) and the mark of a kept answer.
        ASSERT_EQ(ctl.insertOrderInfo("{\"n\":1}"), 1);
        ASSERT_EQ(ctl.insertUpdateInfo(1, 1, "2099/01/01 00:00:00", "", "2099/01/01 01:00:00", ""), 0);
        ASSERT_EQ(ctl.insertPakageInfo(1, "curl", "9.9", "https://x/curl.deb", 1, "7.74.0"), 0);
        ASSERT_EQ(ctl.insertPakageInfo(1, "zlib", "1.3", "https://x/zlib.deb", 1, ""), 0);
        ASSERT_EQ(ctl.insertOrderInfo("{\"n\":2}"), 2);
        ASSERT_EQ(ctl.insertUpdateInfo(2, 2, "2020/01/01 00:00:00", "", "2020/01/01 01:00:00", ""), 0);
        ASSERT_EQ(ctl.insertPakageInfo(2, "vim", "9.0", "https://x/vim.deb", 1, "8.2"), 0);
        ASSERT_EQ(ctl.insertOsBootTime("2026-11-29 07:00:00"), 0);
        ASSERT_EQ(ctl.updateOsBootTimeSendSuccess(), 0);
        ASSERT_EQ(ctl.insertOsBootTime("2026-11-30 07:00:00"), 0);
        ASSERT_EQ(ctl.markSpoolItem("order-spool-1.json", 0), 0);
        // Then finished updates whose reports still wait, and one more waiting update at the end.
        for (int32_t n = 3; n < 3 + kFiller; ++n) {
            ASSERT_EQ(ctl.insertOrderInfo(std::string(1000, 'f') + std::to_string(n)), n);
            ASSERT_EQ(ctl.insertUpdateInfo(n, n, "2020/01/01 00:00:00", "", "", ""), 0);
            ASSERT_EQ(ctl.insertPakageInfo(n, "pkg", "1.0", "https://x/pkg.deb", 1, ""), 0);
            ASSERT_EQ(ctl.updateSwupdSendResult(n, DbController::ORDER_STATUS_UPD_UNSENT, "{\"r\":1}"), 0);
        }
        late = ctl.insertOrderInfo("{\"n\":\"late\"}");
        ASSERT_EQ(ctl.insertUpdateInfo(late, 500, "2099/01/01 00:00:00", "", "2099/01/01 01:00:00", ""), 0);
        ASSERT_EQ(ctl.insertPakageInfo(500, "late", "1.0", "https://x/late.deb", 1, ""), 0);
        ASSERT_TRUE(ctl.commitTransaction());
        ctl.close();
        ASSERT_EQ(
            RawDb(dbFile()).exec("UPDATE update_info SET update_status = 21 WHERE id = 2; UPDATE "
                                 "update_info SET update_status = 22 WHERE id > 2 AND sw_upd_no < 500;"),
            SQLITE_OK);
    }

    std::vector<std::string> asideFiles() const {
        std::vector<std::string> found;
        for (const auto& entry : std::filesystem::directory_iterator(dbPath())) {
            if (entry.path().filename().string().rfind("velk.db.broken-", 0) == 0) {
                found.push_back(entry.path());
            }
        }
        return found;
    }

    int32_t late = 0;
};

}  // namespace

TEST_P(DbRecoveryDamage, WorkInHandIsCarriedIntoANewFileAndTheOldLiesAside) {
    const Damage& d = GetParam();
    const int64_t lostReports = d.apply(dbFile());
    const std::string damaged = readFile(dbFile());
    DbController again;
    again.setLockWait(5, 10);
    ASSERT_EQ(again.init(dbPath(), "velk.db", "db_rw.lock", "db_ro.lock"), 0);
    ASSERT_EQ(asideFiles().size(), 1u);
    EXPECT_EQ(readFile(asideFiles()[0]), damaged);
    EXPECT_TRUE(logs.contains("damaged db file moved aside -> " + asideFiles()[0]));

    RawDb db(dbFile());
    EXPECT_EQ(db.text("PRAGMA quick_check;"), "ok");
    EXPECT_EQ(db.rows("SELECT id, order_info_id, sw_upd_no, update_status FROM update_info WHERE id < 3;"),
              (Rows{{"1", "1", "1", "0"}, {"2", "2", "2", "21"}}));
    if (d.lateOrderSurvives) {
        const std::string id = std::to_string(late);
        EXPECT_EQ(
            db.rows("SELECT u.id, o.id, p.package_name FROM update_info u, order_info o, update_package p "
                    "WHERE u.sw_upd_no = 500 AND o.id = u.order_info_id AND p.sw_upd_no = 500;"),
            (Rows{{id, id, "late"}}));
    }
    EXPECT_EQ(db.rows("SELECT id, package_name FROM update_package WHERE sw_upd_no IN ( 1, 2 ) ORDER BY id;"),
              (Rows{{"1", "curl"}, {"2", "zlib"}, {"3", "vim"}}));
    EXPECT_EQ(db.rows("SELECT id, receive_json FROM order_info WHERE id < 3;"),
              (Rows{{"1", "{\"n\":1}"}, {"2", "{\"n\":2}"}}));
    EXPECT_EQ(db.rows("SELECT boot_time, is_send FROM os_boot_time;"), (Rows{{"2026-11-30 07:00:00", "0"}}));
    EXPECT_EQ(db.rows("SELECT spool, item FROM spool_mark;"), (Rows{{"order-spool-1.json", "0"}}));
    const int64_t reports = db.number("SELECT COUNT(*) FROM order_info WHERE order_status = 11;");
    if (lostReports >= 0) {
        EXPECT_EQ(reports, kFiller - lostReports);
    }

    // A new order goes in after every id carried.
    ASSERT_TRUE(again.open());
    EXPECT_GT(again.insertOrderInfo("{\"n\":\"new\"}"), late);
    again.close();
}

INSTANTIATE_TEST_SUITE_P(Stopped, DbRecoveryDamage,
                         ::testing::Values(Damage{"LastPage", zeroLastPage, false},
                                           Damage{"TwoMiddleLeaves", zeroTwoMiddleLeaves, true},
                                           Damage{"CutShort", cutShort, false}),
                         [](const auto& p) { return std::string(p.param.name); });

class DbRecoveryRunTime : public DbRecoveryDamage {};

// Met by a statement of a running agent, the damage is mended at the next open, and only then.
TEST_F(DbRecoveryRunTime, DamageMetByAStatementIsMendedAtTheNextOpen) {
    const int64_t lost = zeroTwoMiddleLeaves(dbFile());
    ASSERT_TRUE(ctl.open());
    std::vector<velk::model::OrderInfo> reports;
    EXPECT_NE(ctl.selectUnsentInstructionResultData(reports), 0);
    EXPECT_TRUE(DbRecovery::damageNoted());
    EXPECT_TRUE(asideFiles().empty());
    ctl.close();
    ASSERT_TRUE(ctl.open());
    reports.clear();
    EXPECT_EQ(ctl.selectUnsentInstructionResultData(reports), 0);
    EXPECT_EQ(static_cast<int64_t>(reports.size()), kFiller - lost);
    ctl.close();
    EXPECT_EQ(asideFiles().size(), 1u);
    EXPECT_FALSE(DbRecovery::damageNoted());
}

// A note that a full check does not confirm leaves the file and its history as they are.
TEST_F(DbRecoveryRunTime, UnconfirmedDamageKeepsTheFile) {
    DbRecovery::noteResult(SQLITE_CORRUPT);
    ASSERT_TRUE(ctl.open());
    ctl.close();
    EXPECT_TRUE(asideFiles().empty());
    EXPECT_FALSE(DbRecovery::damageNoted());
    EXPECT_EQ(RawDb(dbFile()).number("SELECT COUNT(*) FROM update_info;"), kFiller + 3);
}
