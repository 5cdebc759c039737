#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "db/DbController.h"
#include "db/DbTestSupport.h"

using velk::test::RawDb;

namespace {

using Rows = std::vector<std::vector<std::string>>;

using DbControllerBootTime = velk::test::OpenDbTest;

}  // namespace

// A boot time is stored once, in the dash form, and listed until it is marked sent.
TEST_F(DbControllerBootTime, EachBootIsStoredOnceAndListedUntilSent) {
    std::vector<std::string> unsent{"kept"};
    EXPECT_EQ(ctl.selectUnsentOsBootData(unsent), 0);
    EXPECT_EQ(unsent, (std::vector<std::string>{"kept"}));
    EXPECT_EQ(ctl.updateOsBootTimeSendSuccess(), 0);  // nothing to mark is not a failure

    EXPECT_EQ(ctl.insertOsBootTime("2024/01/02 03:04:05"), 0);
    EXPECT_EQ(ctl.insertOsBootTime("2024-01-02 03:04:05"), 1);
    EXPECT_EQ(ctl.insertOsBootTime("2024-03-04 05:06:07"), 0);
    unsent.clear();
    EXPECT_EQ(ctl.selectUnsentOsBootData(unsent), 0);
    std::sort(unsent.begin(), unsent.end());
    EXPECT_EQ(unsent, (std::vector<std::string>{"2024-01-02 03:04:05", "2024-03-04 05:06:07"}));

    EXPECT_EQ(ctl.updateOsBootTimeSendSuccess(), 0);
    unsent.clear();
    EXPECT_EQ(ctl.selectUnsentOsBootData(unsent), 0);
    EXPECT_TRUE(unsent.empty());
    EXPECT_GT(ctl.insertOsBootTime("2024/03/04 05:06:07"), 0);
    EXPECT_EQ(RawDb(dbFile()).rows("SELECT boot_time, is_send, update_time IS NOT NULL FROM os_boot_time;"),
              (Rows{{"2024-01-02 03:04:05", "1", "1"}, {"2024-03-04 05:06:07", "1", "1"}}));
}

// The look-up, the insert and the marking each fail with their own code.
TEST_F(DbControllerBootTime, FailuresAreReportedNotHidden) {
    ASSERT_TRUE(readOnly(true));
    EXPECT_EQ(ctl.insertOsBootTime("2024-01-02 03:04:05"), -2);
    ASSERT_TRUE(readOnly(false));
    ASSERT_EQ(ctl.insertOsBootTime("2024-01-02 03:04:05"), 0);
    ASSERT_TRUE(readOnly(true));
    EXPECT_EQ(ctl.updateOsBootTimeSendSuccess(), -1);
    ASSERT_TRUE(readOnly(false));

    RawDb db(dbFile());
    ASSERT_EQ(db.exec("DROP TABLE os_boot_time;"), SQLITE_OK);
    EXPECT_EQ(ctl.insertOsBootTime("2024-01-02 03:04:05"), -1);
    std::vector<std::string> unsent;
    EXPECT_EQ(ctl.selectUnsentOsBootData(unsent), -2);
    EXPECT_EQ(ctl.updateOsBootTimeSendSuccess(), -1);

    ctl.close();
    EXPECT_EQ(ctl.insertOsBootTime("2024-01-02 03:04:05"), -1);
    ASSERT_TRUE(ctl.open());
}

// A NULL boot time (written by something else) stops the reading; what was read stays.
TEST_F(DbControllerBootTime, UnreadableRowStopsTheList) {
    RawDb db(dbFile());
    ASSERT_EQ(
        db.exec("CREATE TABLE os_boot_time_loose AS SELECT * FROM os_boot_time; DROP TABLE os_boot_time; "
                "CREATE TABLE os_boot_time ( id INTEGER PRIMARY KEY, boot_time DATETIME, is_send INTEGER, "
                "update_time DATETIME ); INSERT INTO os_boot_time VALUES ( 1, 'first', 0, NULL ), "
                "( 2, NULL, 0, NULL );"),
        SQLITE_OK);
    std::vector<std::string> unsent;
    EXPECT_EQ(ctl.selectUnsentOsBootData(unsent), -2);
    EXPECT_EQ(unsent, (std::vector<std::string>{"first"}));
}
