#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "db/DbController.h"
#include "db/DbTestSupport.h"
#include "model/OrderInfo.h"

using velk::db::DbController;
using velk::model::OrderInfo;
using velk::test::DbFixture;
using velk::test::RawDb;

namespace {

using Rows = std::vector<std::vector<std::string>>;

class DbControllerOrder : public ::testing::Test, public DbFixture {
  protected:
    void SetUp() override {
        ASSERT_EQ(initDb(), 0);
        ASSERT_TRUE(ctl.open());
    }
    void TearDown() override { ctl.close(); }

    OrderInfo order(int32_t id, int32_t status, const std::string& report = "{}") {
        OrderInfo o;
        o.id = id;
        o.orderStatus = status;
        o.responseJson = report;
        return o;
    }
};

// Refuses any change of the row with the given id, as a failing write would.
void refuseUpdatesOf(RawDb& db, int id) {
    ASSERT_EQ(db.exec("CREATE TRIGGER refuse BEFORE UPDATE ON order_info WHEN OLD.id = " +
                      std::to_string(id) + " BEGIN SELECT RAISE(ABORT, 'refused'); END;"),
              SQLITE_OK);
}

// For SQLITE_FUNCTION the function's name is the second text argument.
int denyMax(void*, int action, const char*, const char* function, const char*, const char*) {
    return action == SQLITE_FUNCTION && function != nullptr && std::string(function) == "max" ? SQLITE_DENY
                                                                                              : SQLITE_OK;
}

}  // namespace

TEST_F(DbControllerOrder, IdenticalOrderTextsEachGetTheirOwnId) {
    const std::string json = R"({"kind":"sw_update","no":7})";
    int32_t first = ctl.insertOrderInfo(json);
    int32_t second = ctl.insertOrderInfo(json);
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 2);
    EXPECT_EQ(RawDb(dbFile()).rows(
                  "SELECT id, receive_json, order_kind, order_status, order_time IS NOT NULL, response_json "
                  "FROM order_info ORDER BY id;"),
              (Rows{{"1", json, "2", "-1", "1", "NULL"}, {"2", json, "2", "-1", "1", "NULL"}}));
}

TEST_F(DbControllerOrder, StoredButUnreadableIdIsNeverTakenForARowId) {
    // The id query is refused by the connection itself; the insert before it is not.
    sqlite3_set_authorizer(ctl.connection(), denyMax, nullptr);
    int32_t result = ctl.insertOrderInfo("{}");
    sqlite3_set_authorizer(ctl.connection(), nullptr, nullptr);
    EXPECT_LT(result, 0);
    EXPECT_EQ(RawDb(dbFile()).number("SELECT COUNT(*) FROM order_info;"), 1);
}

TEST_F(DbControllerOrder, SendResultIsStoredByteForByte) {
    int32_t id = ctl.insertOrderInfo("{}");
    std::string report = R"({"result":"ok","msg":"naïve 'quoted' \"text\"",)" + std::string(500, 'x') + "}";
    EXPECT_EQ(ctl.updateSwupdSendResult(id, DbController::ORDER_STATUS_DL_UNSENT, report), 0);
    EXPECT_EQ(
        RawDb(dbFile()).rows("SELECT order_status, response_json, update_time IS NOT NULL FROM order_info;"),
        (Rows{{"1", report, "1"}}));
    // No such row: nothing to change is not a failure.
    EXPECT_EQ(ctl.updateSwupdSendResult(999, DbController::ORDER_STATUS_DL_SENT, "{}"), 0);
}

TEST_F(DbControllerOrder, UnsentListHoldsOnlyReportsWaitingForDelivery) {
    RawDb db(dbFile());
    ASSERT_EQ(db.exec("INSERT INTO order_info ( id, order_status, response_json ) VALUES "
                      "( 1, 1, 'dl' ), ( 2, 11, 'upd' ), ( 3, 1, NULL ), ( 4, 11, NULL ), ( 5, -1, 'x' ), "
                      "( 6, 2, 'x' ), ( 7, 12, 'x' ), ( 8, 11, '' );"),
              SQLITE_OK);
    std::vector<OrderInfo> list{order(42, 0)};
    ASSERT_EQ(ctl.selectUnsentInstructionResultData(list), 0);
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[0].id, 42);  // the list is appended to, not replaced
    std::vector<std::string> seen;
    for (size_t i = 1; i < list.size(); ++i) {
        seen.push_back(std::to_string(list[i].id) + ":" + std::to_string(list[i].orderStatus) + ":" +
                       list[i].responseJson);
    }
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::string>{"1:1:dl", "2:11:upd", "8:11:"}));
}

// A re-send marks only rows still holding the very report it sent; a report stored meanwhile
// stays queued, and a failure of any record (not just the last) is the result.
TEST_F(DbControllerOrder, ResendMarksOnlyTheReportItSent) {
    RawDb db(dbFile());
    ASSERT_EQ(db.exec("INSERT INTO order_info ( id, order_status, response_json ) VALUES ( 1, 1, 'a' ), "
                      "( 2, 11, 'b' ), ( 3, 11, 'newer' ), ( 4, 1, 'd' );"),
              SQLITE_OK);
    refuseUpdatesOf(db, 1);
    EXPECT_EQ(ctl.updateUnsentOrderInfo(
                  {order(1, 2, "a"), order(2, 12, "b"), order(3, 12, "older"), order(4, 12, "d")}),
              -1);
    EXPECT_EQ(db.rows("SELECT id, order_status FROM order_info ORDER BY id;"),
              (Rows{{"1", "1"}, {"2", "12"}, {"3", "11"}, {"4", "1"}}));
    EXPECT_EQ(ctl.updateUnsentOrderInfo({order(4, 2, "d")}), 0);
    EXPECT_EQ(db.number("SELECT order_status FROM order_info WHERE id = 4;"), 2);
}

// Each operation fails with its own code when the table is gone, the connection is closed, or
// the connection may not write.
TEST_F(DbControllerOrder, FailuresAreReportedNotHidden) {
    RawDb db(dbFile());
    ASSERT_EQ(db.exec("INSERT INTO order_info ( id, order_status, response_json ) VALUES ( 1, 1, 'a' );"),
              SQLITE_OK);

    ASSERT_EQ(sqlite3_exec(ctl.connection(), "PRAGMA query_only = ON;", nullptr, nullptr, nullptr),
              SQLITE_OK);
    EXPECT_EQ(ctl.insertOrderInfo("{}"), -1);
    EXPECT_EQ(ctl.updateSwupdSendResult(1, 2, "{}"), -1);
    EXPECT_EQ(ctl.updateUnsentOrderInfo({order(1, 2)}), -1);
    std::vector<OrderInfo> list;
    EXPECT_EQ(ctl.selectUnsentInstructionResultData(list), 0);  // reading is still allowed
    EXPECT_EQ(list.size(), 1u);
    ASSERT_EQ(sqlite3_exec(ctl.connection(), "PRAGMA query_only = OFF;", nullptr, nullptr, nullptr),
              SQLITE_OK);

    ASSERT_EQ(db.exec("DROP TABLE order_info;"), SQLITE_OK);
    list.clear();
    EXPECT_EQ(ctl.insertOrderInfo("{}"), -1);
    EXPECT_EQ(ctl.updateSwupdSendResult(1, 2, "{}"), -1);
    EXPECT_EQ(ctl.updateUnsentOrderInfo({order(1, 2)}), -1);
    EXPECT_EQ(ctl.selectUnsentInstructionResultData(list), -2);
    EXPECT_TRUE(list.empty());

    ctl.close();
    EXPECT_EQ(ctl.insertOrderInfo("{}"), -1);
    EXPECT_EQ(ctl.selectUnsentInstructionResultData(list), -2);
    ASSERT_TRUE(ctl.open());
}
