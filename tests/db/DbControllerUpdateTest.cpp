#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "db/DbController.h"
#include "db/DbTestSupport.h"
#include "model/UpdateInfo.h"
#include "model/UpdatePackage.h"

using velk::db::DbController;
using velk::model::UpdateInfo;
using velk::model::UpdatePackage;
using velk::test::RawDb;

namespace {

using Rows = std::vector<std::vector<std::string>>;

class DbControllerUpdate : public velk::test::OpenDbTest {
  protected:
    void SetUp() override {
        OpenDbTest::SetUp();
        raw = std::make_unique<RawDb>(dbFile());
    }

    // Stores an update and puts it at the given status; returns its id.
    int32_t addUpdate(int32_t swUpdNo, const std::string& downloadStart, const std::string& updateStart,
                      int32_t status = 0) {
        EXPECT_EQ(ctl.insertUpdateInfo(1, swUpdNo, downloadStart, "2030-01-01 00:00:00", updateStart,
                                       "2030-01-02 00:00:00"),
                  0);
        auto id = static_cast<int32_t>(raw->number("SELECT MAX(id) FROM update_info;"));
        raw->exec("UPDATE update_info SET update_status = " + std::to_string(status) +
                  " WHERE id = " + std::to_string(id) + ";");
        return id;
    }
    std::string statuses() {
        std::string all;
        for (const auto& row : raw->rows("SELECT update_status FROM update_info ORDER BY id;")) {
            all += row[0] + " ";
        }
        return all;
    }

    struct Next {
        int32_t result;
        int32_t id;
        int32_t status;
        int64_t time;
        std::vector<int32_t> unreadable;
    };
    Next next(int32_t id = 0, int32_t status = 0, int64_t time = 0) {
        std::vector<DbController::UnreadableStage> stages;
        int32_t result = ctl.selectNextInstructionData(id, status, time, "sw_upd", &stages);
        std::vector<int32_t> ids;
        for (const auto& stage : stages) {
            ids.push_back(stage.id);
        }
        return {result, id, status, time, ids};
    }

    std::unique_ptr<RawDb> raw;
};

}  // namespace

// Which stage comes next and when: the earlier of the two times while a row waits, the install
// time once downloaded, compared as times whatever their form; empty and NULL times do not count;
// equal times go by update number. A next stage whose time does not read (or reads as the epoch,
// or is empty) is listed apart instead of being chosen, and so is a waiting row with no time at all.
TEST_F(DbControllerUpdate, NextStageIsTheEarliestDueTime) {
    struct Row {
        int32_t swUpdNo;
        const char* downloadStart;  // nullptr: NULL
        const char* updateStart;    // nullptr: NULL
        int32_t status;
    };
    struct Case {
        std::vector<Row> rows;
        int found;  // index of the row chosen; -1: none, the caller's values stay
        const char* time;
        std::vector<int> unreadable = {};  // indexes
    };
    const char* may1 = "2024-05-01 10:00:00";
    const char* may2 = "2024-05-02 10:00:00";
    const std::vector<Case> cases{
        {{{1, may1, may2, 0}}, 0, may1},
        {{{1, may1, may2, 12}}, 0, may2},
        {{{1, "", "2024-05-03 10:00:00", 0}, {2, nullptr, may2, 0}}, 1, may2},
        {{{9, may1, "2024-06-01 10:00:00", 0}, {4, "", may1, 0}, {7, "2024-04-01 10:00:00", may1, 12}},
         1,
         may1},
        {{{11, may1, may2, 11},
          {19, may1, may2, 19},
          {21, may1, may2, 21},
          {22, may1, may2, 22},
          {29, may1, may2, 29},
          {98, may1, may2, 98},
          {99, may1, may2, 99}},
         -1,
         ""},
        {{{1, "2024-05-02 10:00:00", may2, 0}, {2, "2024/05/01 10:00:00", may2, 0}},
         1,
         "2024/05/01 10:00:00"},
        {{{1, "", "2024-06-02 10:00:00", 12}, {2, "", "2024-6-1 10:00:00", 12}}, 1, "2024-6-1 10:00:00"},
        {{{1, "0", may2, 0}, {2, may2, may2, 0}, {3, "", "1970-01-01 00:00:00", 12}}, 1, may2, {0, 2}},
        {{{1, may2, "soon", 0}}, 0, may2},
        {{{1, nullptr, nullptr, 0}, {2, "", "soon", 0}, {3, may1, "", 12}, {4, may1, "", 0}},
         3,
         may1,
         {0, 2, 1}},
    };
    setenv("TZ", "UTC0", 1);  // the epoch text reads as 0 only here
    tzset();
    for (size_t i = 0; i < cases.size(); ++i) {
        ASSERT_EQ(raw->exec("DELETE FROM update_info;"), SQLITE_OK);
        std::vector<int32_t> ids;
        for (const Row& r : cases[i].rows) {
            ASSERT_EQ(raw->exec("INSERT INTO update_info ( order_info_id, sw_upd_no, update_status, "
                                "download_start_time, update_start_time ) VALUES ( 1, " +
                                std::to_string(r.swUpdNo) + ", " + std::to_string(r.status) + ", " +
                                (r.downloadStart ? "'" + std::string(r.downloadStart) + "'" : "NULL") + ", " +
                                (r.updateStart ? "'" + std::string(r.updateStart) + "'" : "NULL") + " );"),
                      SQLITE_OK);
            ids.push_back(static_cast<int32_t>(raw->number("SELECT MAX(id) FROM update_info;")));
        }
        const Case& c = cases[i];
        Next found = next(7, 8, 9);
        EXPECT_EQ(found.result, 0) << i;
        EXPECT_EQ(found.id, c.found < 0 ? 7 : ids[c.found]) << i;
        EXPECT_EQ(found.status, c.found < 0 ? 8 : c.rows[c.found].status) << i;
        EXPECT_EQ(found.time, c.found < 0 ? 9 : DbController::textToTime(c.time)) << i;
        std::vector<int32_t> unreadable;
        for (int index : c.unreadable) {
            unreadable.push_back(ids[index]);
        }
        EXPECT_EQ(found.unreadable, unreadable) << i;
    }
    unsetenv("TZ");
    tzset();
}

TEST_F(DbControllerUpdate, OnlyWaitingOrDownloadedRowsAreMarkedRunning) {
    int32_t waiting = addUpdate(1, "2024-05-01 10:00:00", "2024-05-02 10:00:00");
    int32_t downloaded = addUpdate(2, "", "2024-05-02 10:00:00", DbController::UPD_STATUS_DL_SUCCESS);
    EXPECT_EQ(ctl.updateProcessingInsruction(waiting, DbController::UPD_STATUS_WAIT), 0);
    EXPECT_EQ(ctl.updateProcessingInsruction(downloaded, DbController::UPD_STATUS_DL_SUCCESS), 0);
    EXPECT_EQ(statuses(), "11 21 ");
    for (int32_t status : {-1, 11, 19, 21, 22, 29, 98}) {
        EXPECT_EQ(ctl.updateProcessingInsruction(waiting, status), -3) << status;
    }
    EXPECT_EQ(statuses(), "11 21 ");
    EXPECT_EQ(raw->number("SELECT COUNT(*) FROM update_info WHERE status_change_time IS NULL;"), 0);
}

TEST_F(DbControllerUpdate, ClosingAnUpdateNumberSparesClosedRowsAndSameVersionPackages) {
    for (int32_t status : {0, 12, 19, 98, 89}) {
        addUpdate(5, "", "2024-05-02 10:00:00", status);
    }
    addUpdate(6, "", "2024-05-02 10:00:00");
    for (int32_t flag : {1, 0, 81, 98, 79}) {
        ASSERT_EQ(ctl.insertPakageInfo(5, "p" + std::to_string(flag), "1", "u", flag, "0"), 0);
    }
    ASSERT_EQ(ctl.insertPakageInfo(6, "other", "1", "u", 1, "0"), 0);

    EXPECT_EQ(ctl.deleteUpdateInfoAtUpdNo(5, DbController::UPD_STATUS_SUPERSEDED), 0);
    EXPECT_EQ(ctl.deleteUpdatePackageAtUpdNo(5, DbController::PKG_FLAG_SUPERSEDED), 0);
    EXPECT_EQ(statuses(), "99 99 99 98 99 0 ");
    EXPECT_EQ(raw->rows("SELECT target_flag FROM update_package ORDER BY id;"),
              (Rows{{"99"}, {"99"}, {"81"}, {"98"}, {"99"}, {"1"}}));
    EXPECT_EQ(ctl.deleteUpdateInfoAtUpdNo(404, DbController::UPD_STATUS_CANCELED), 0);
}

TEST_F(DbControllerUpdate, NullTimeColumnFailsTheReadAndClearsTheRecord) {
    ASSERT_EQ(raw->exec("INSERT INTO update_info ( id, order_info_id, sw_upd_no, update_status, "
                        "download_start_time ) VALUES ( 50, 1, 2, 0, '2024-05-01 10:00:00' );"),
              SQLITE_OK);
    UpdateInfo info;
    info.swUpdNo = 3;
    EXPECT_LT(ctl.selectTargetInstructionData(50, info), 0);
    EXPECT_EQ(info.id, 0);
    EXPECT_EQ(info.swUpdNo, 0);
}

TEST_F(DbControllerUpdate, TargetPackagesSkipSameVersionAndClosedOnesAndReadNullsAsUnset) {
    for (int32_t flag : {0, 1, 81, 98, 99}) {
        ASSERT_EQ(ctl.insertPakageInfo(5, "p" + std::to_string(flag), "2.0", "u", flag, "1.0"), 0);
    }
    ASSERT_EQ(ctl.insertPakageInfo(6, "other", "1", "u", 1, "0"), 0);
    ASSERT_EQ(raw->exec("INSERT INTO update_package ( sw_upd_no, package_name, package_version, package_url, "
                        "target_flag, download_flag, download_time ) VALUES ( 5, 'bare', '3', 'v', 1, 11, "
                        "'2024/05/01 10:00:00' );"),
              SQLITE_OK);
    std::vector<UpdatePackage> packages;
    ASSERT_EQ(ctl.selectTargetPackageData(5, packages), 0);
    std::vector<std::string> seen;
    for (const auto& p : packages) {
        seen.push_back(p.packageName + " " + std::to_string(p.swUpdNo) + " " + p.packageVersion + " " +
                       p.oldVersion + " " + std::to_string(p.downloadFlag) + " " +
                       std::to_string(p.downloadTime));
    }
    std::sort(seen.begin(), seen.end());
    const std::string may1 = std::to_string(DbController::textToTime("2024-05-01 10:00:00"));
    EXPECT_EQ(seen,
              (std::vector<std::string>{"bare 5 3  11 " + may1, "p0 5 2.0 1.0 0 0", "p1 5 2.0 1.0 0 0"}));
}

TEST_F(DbControllerUpdate, StageOutcomeSparesUnheldRowsAndCountsEachFailedPackage) {
    int32_t id = addUpdate(5, "", "2024-05-02 10:00:00");
    for (const char* name : {"a", "b", "c"}) {
        ASSERT_EQ(ctl.insertPakageInfo(5, name, "1", "u", 1, "0"), 0);
    }
    UpdateInfo info;
    ASSERT_EQ(ctl.selectTargetInstructionData(id, info), 0);
    std::vector<UpdatePackage> packages;
    ASSERT_EQ(ctl.selectTargetPackageData(5, packages), 0);
    info.updateStatus = DbController::UPD_STATUS_UPD_SUCCESS;
    // A row that left the status its run holds (a cancel came) is not touched, packages included.
    EXPECT_EQ(ctl.updatePkgDownloadResult(true, "2024-05-01 10:00:00", info, packages, 21),
              DbController::ROW_NOT_HELD);
    EXPECT_EQ(statuses(), "0 ");
    EXPECT_EQ(raw->number("SELECT COUNT(*) FROM update_package WHERE download_time IS NOT NULL;"), 0);

    ASSERT_EQ(raw->exec("CREATE TRIGGER refuse BEFORE UPDATE ON update_package WHEN OLD.package_name != 'b' "
                        "BEGIN SELECT RAISE(ABORT, 'refused'); END;"),
              SQLITE_OK);
    EXPECT_EQ(ctl.updatePkgDownloadResult(true, "2024-05-01 11:00:00", info, packages, 0), -20);
    EXPECT_EQ(raw->number("SELECT COUNT(*) FROM update_package WHERE download_time IS NOT NULL;"), 1);

    // When update_info itself fails, no package is touched.
    ASSERT_EQ(raw->exec("DROP TRIGGER refuse;"), SQLITE_OK);
    ASSERT_EQ(
        raw->exec("CREATE TRIGGER refuse_info BEFORE UPDATE ON update_info BEGIN SELECT RAISE(ABORT, 'no'); "
                  "END;"),
        SQLITE_OK);
    EXPECT_EQ(ctl.updatePkgDownloadResult(true, "2024-05-01 12:00:00", info, packages, 22), -1);
    EXPECT_EQ(raw->number("SELECT COUNT(*) FROM update_package WHERE download_time = '2024-05-01 12:00:00';"),
              0);
}

// Writes refused by a read-only connection and reads of a dropped table all fail.
TEST_F(DbControllerUpdate, FailuresAreReportedNotHidden) {
    int32_t id =
        addUpdate(5, "2024-05-01 10:00:00", "2024-05-02 10:00:00", DbController::UPD_STATUS_DL_PROCESSING);
    ASSERT_TRUE(readOnly(true));
    EXPECT_EQ(ctl.insertUpdateInfo(1, 2, "", "", "", ""), -1);
    EXPECT_EQ(ctl.insertPakageInfo(5, "n", "v", "u", 1, "o"), -1);
    EXPECT_EQ(ctl.deleteUpdateInfoAtUpdNo(5, 98), -1);
    EXPECT_EQ(ctl.deleteUpdatePackageAtUpdNo(5, 98), -1);
    EXPECT_EQ(ctl.updateResetInstruction(), -11);
    EXPECT_EQ(ctl.updateProcessingInsruction(id, 0), -1);
    ASSERT_TRUE(readOnly(false));

    ASSERT_EQ(raw->exec("DROP TABLE update_info; DROP TABLE update_package;"), SQLITE_OK);
    EXPECT_EQ(ctl.selectProcessingInstructionData(), -1);
    Next found = next(3, 4, 5);
    EXPECT_EQ(found.result, -2);
    EXPECT_EQ(found.id, 0);
    EXPECT_EQ(found.time, 0);
    UpdateInfo info;
    info.id = 9;
    EXPECT_EQ(ctl.selectTargetInstructionData(id, info), -2);
    EXPECT_EQ(info.id, 0);
    std::vector<UpdatePackage> packages;
    EXPECT_EQ(ctl.selectTargetPackageData(5, packages), -2);
}
