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
    EXPECT_EQ(ctl.insertOsBootTime("2024/01/02 03:04:05"), 0);
    EXPECT_EQ(ctl.insertOsBootTime("2024-01-02 03:04:05"), 1);
    EXPECT_EQ(ctl.insertOsBootTime("2024-03-04 05:06:07"), 0);
    std::vector<std::string> unsent;
    EXPECT_EQ(ctl.selectUnsentOsBootData(unsent), 0);
    std::sort(unsent.begin(), unsent.end());
    EXPECT_EQ(unsent, (std::vector<std::string>{"2024-01-02 03:04:05", "2024-03-04 05:06:07"}));

    EXPECT_EQ(ctl.updateOsBootTimeSendSuccess(), 0);
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

    ASSERT_EQ(RawDb(dbFile()).exec("DROP TABLE os_boot_time;"), SQLITE_OK);
    EXPECT_EQ(ctl.insertOsBootTime("2024-01-02 03:04:05"), -1);
    std::vector<std::string> unsent;
    EXPECT_EQ(ctl.selectUnsentOsBootData(unsent), -2);
}

// A NULL boot time (written by something else) stops the reading; what was read stays.
TEST_F(DbControllerBootTime, UnreadableRowStopsTheList) {
    ASSERT_EQ(
        RawDb(dbFile()).exec("DROP TABLE os_boot_time; CREATE TABLE os_boot_time ( id INTEGER PRIMARY KEY, "
                             "boot_time DATETIME, is_send INTEGER, update_time DATETIME ); INSERT INTO "
                             "os_boot_time VALUES ( 1, 'first', 0, NULL ), ( 2, NULL, 0, NULL );"),
        SQLITE_OK);
    std::vector<std::string> unsent;
    EXPECT_EQ(ctl.selectUnsentOsBootData(unsent), -2);
    EXPECT_EQ(unsent, (std::vector<std::string>{"first"}));
}
