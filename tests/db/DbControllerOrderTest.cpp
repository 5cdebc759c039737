#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "db/DbController.h"
#include "db/DbTestSupport.h"
#include "model/OrderInfo.h"

using velk::db::DbController;
using velk::model::OrderInfo;
using velk::test::RawDb;

namespace {

using Rows = std::vector<std::vector<std::string>>;

class DbControllerOrder : public velk::test::OpenDbTest {
  protected:
    OrderInfo order(int32_t id, int32_t status, const std::string& report = "{}") {
        OrderInfo o;
        o.id = id;
        o.orderStatus = status;
        o.responseJson = report;
        return o;
    }
};

// For SQLITE_FUNCTION the function's name is the second text argument.
int denyMax(void*, int action, const char*, const char* function, const char*, const char*) {
    return action == SQLITE_FUNCTION && function != nullptr && std::string(function) == "max" ? SQLITE_DENY
                                                                                              : SQLITE_OK;
}

}  // namespace

// The new row's id is read back, never looked up by its text.
TEST_F(DbControllerOrder, EachOrderGetsItsOwnIdAndAnUnreadableIdIsNoRowId) {
    EXPECT_EQ(ctl.insertOrderInfo("{}"), 1);
    EXPECT_EQ(ctl.insertOrderInfo("{}"), 2);
    // The id query is refused by the connection itself; the insert before it is not.
    sqlite3_set_authorizer(ctl.connection(), denyMax, nullptr);
    int32_t result = ctl.insertOrderInfo("{}");
    sqlite3_set_authorizer(ctl.connection(), nullptr, nullptr);
    EXPECT_LT(result, 0);
    EXPECT_EQ(RawDb(dbFile()).number("SELECT COUNT(*) FROM order_info;"), 3);
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

// A re-send marks only rows still holding the very report it sent; a report stored meanwhile
// stays queued, and a failure of any record (not just the last) is the result.
TEST_F(DbControllerOrder, ResendMarksOnlyTheReportItSent) {
    RawDb db(dbFile());
    ASSERT_EQ(db.exec("INSERT INTO order_info ( id, order_status, response_json ) VALUES ( 1, 1, 'a' ), "
                      "( 2, 11, 'b' ), ( 3, 11, 'newer' ), ( 4, 1, 'd' );"),
              SQLITE_OK);
    ASSERT_EQ(db.exec("CREATE TRIGGER refuse BEFORE UPDATE ON order_info WHEN OLD.id = 1 BEGIN SELECT "
                      "RAISE(ABORT, 'refused'); END;"),
              SQLITE_OK);
    EXPECT_EQ(ctl.updateUnsentOrderInfo(
                  {order(1, 2, "a"), order(2, 12, "b"), order(3, 12, "older"), order(4, 12, "d")}),
              -1);
    EXPECT_EQ(db.rows("SELECT id, order_status FROM order_info ORDER BY id;"),
              (Rows{{"1", "1"}, {"2", "12"}, {"3", "11"}, {"4", "1"}}));
    EXPECT_EQ(ctl.updateUnsentOrderInfo({order(4, 2, "d")}), 0);
    EXPECT_EQ(db.number("SELECT order_status FROM order_info WHERE id = 4;"), 2);
}

// Writes refused by the connection and reads of a dropped table fail with their own codes.
TEST_F(DbControllerOrder, FailuresAreReportedNotHidden) {
    ASSERT_TRUE(readOnly(true));
    EXPECT_EQ(ctl.insertOrderInfo("{}"), -1);
    EXPECT_EQ(ctl.updateSwupdSendResult(1, 2, "{}"), -1);
    EXPECT_EQ(ctl.updateUnsentOrderInfo({order(1, 2)}), -1);
    ASSERT_TRUE(readOnly(false));

    ASSERT_EQ(RawDb(dbFile()).exec("DROP TABLE order_info;"), SQLITE_OK);
    std::vector<OrderInfo> list;
    EXPECT_EQ(ctl.selectUnsentInstructionResultData(list), -2);
    EXPECT_TRUE(list.empty());
}
