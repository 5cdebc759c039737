#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "db/DbTestSupport.h"
#include "order/StoragePruner.h"

using velk::order::StoragePruner;
using velk::test::DbFixture;
using velk::test::RawDb;

namespace {

struct PruneCase {
    int32_t keepOrders;
    int32_t keepRuns;
    const char* orders;   // order ids left
    const char* numbers;  // update numbers whose rows, packages and files are left
};

class DbControllerPrune : public ::testing::TestWithParam<PruneCase>, public DbFixture {};
class DbControllerPruneReused : public ::testing::Test, public DbFixture {};

std::string joined(const RawDb& raw, const std::string& sql) {
    std::string all;
    for (const auto& row : raw.rows(sql)) {
        all += (all.empty() ? "" : " ") + row[0];
    }
    return all;
}

// Closed orders are 1, 5, 6, 7 and the cancel order 8 (no update row); 2 has an undelivered
// report, 3 waits for its download and 4 for its install. Files of number 99 have no row at all.
TEST_P(DbControllerPrune, RemovesOnlyOldClosedOrdersAndTheirFiles) {
    const PruneCase& c = GetParam();
    ASSERT_EQ(initDb(), 0);
    RawDb raw(dbFile());
    const int orders[][3] = {{12, 22, 1}, {11, 22, 2}, {-1, 0, 3}, {2, 12, 4},
                             {-1, 98, 5}, {2, 19, 6},  {12, 29, 7}};
    for (const auto& [orderStatus, updateStatus, number] : orders) {
        const std::string n = std::to_string(number);
        ASSERT_EQ(raw.exec("INSERT INTO order_info ( order_status ) VALUES ( " + std::to_string(orderStatus) +
                           " ); INSERT INTO update_info ( order_info_id, sw_upd_no, update_status ) VALUES "
                           "( last_insert_rowid(), " +
                           n + ", " + std::to_string(updateStatus) +
                           " ); INSERT INTO update_package ( sw_upd_no, package_name, package_version, "
                           "package_url ) VALUES ( " +
                           n + ", 'p', '1', 'u' );"),
                  SQLITE_OK);
    }
    ASSERT_EQ(raw.exec("INSERT INTO order_info ( order_status ) VALUES ( -1 );"), SQLITE_OK);
    for (const char* sub : {"pkgs", "logs", "lists"}) {
        ASSERT_EQ(mkdir(dir.file(sub).c_str(), 0755), 0);
    }
    for (int number : {1, 2, 3, 4, 5, 6, 7, 99}) {
        const std::string n = std::to_string(number);
        ASSERT_EQ(mkdir(dir.file("pkgs/" + n).c_str(), 0755), 0);
        dir.write("pkgs/" + n + "/a_1.deb", "x");
        dir.write("logs/update_20240102-030405_id-" + n + ".log", "x");
        dir.write("lists/package_info_download_20240102-030405_id-" + n + ".list", "x");
    }
    dir.write("logs/notes.txt", "not ours");

    StoragePruner pruner({c.keepOrders, c.keepRuns, dir.file("pkgs"), dir.file("logs"), dir.file("lists")},
                         &ctl);
    EXPECT_GE(pruner.prune(), 0);

    EXPECT_EQ(joined(raw, "SELECT id FROM order_info ORDER BY id;"), c.orders);
    const std::string rowNumbers = c.keepOrders < 0 ? "1 2 3 4 5 6 7" : c.numbers;
    EXPECT_EQ(joined(raw, "SELECT sw_upd_no FROM update_info ORDER BY id;"), rowNumbers);
    EXPECT_EQ(joined(raw, "SELECT sw_upd_no FROM update_package ORDER BY id;"), rowNumbers);
    std::string files;
    for (int number : {1, 2, 3, 4, 5, 6, 7, 99}) {
        const std::string n = std::to_string(number);
        const bool all =
            velk::test::exists(dir.file("pkgs/" + n + "/a_1.deb")) &&
            velk::test::exists(dir.file("logs/update_20240102-030405_id-" + n + ".log")) &&
            velk::test::exists(dir.file("lists/package_info_download_20240102-030405_id-" + n + ".list"));
        files += all ? (files.empty() ? "" : " ") + n : "";
    }
    EXPECT_EQ(files, c.numbers);
    EXPECT_TRUE(velk::test::exists(dir.file("logs/notes.txt")));
}

// The service reuses update number 5 for every order (one an hour): the packages of the removed
// orders go with them, those of the kept ones stay.
TEST_F(DbControllerPruneReused, PackagesGoWithTheirOrder) {
    ASSERT_EQ(initDb(), 0);
    RawDb raw(dbFile());
    for (int order = 0; order < 12; ++order) {
        const std::string at = "datetime('2026-01-01', '+" + std::to_string(order) + " hours')";
        std::string sql =
            "INSERT INTO order_info ( order_status ) VALUES ( 2 ); INSERT INTO update_info ( "
            "order_info_id, sw_upd_no, update_status, create_time ) VALUES ( last_insert_rowid(), "
            "5, 99, " +
            at + " );";
        for (int package = 0; package < 3; ++package) {
            sql +=
                "INSERT INTO update_package ( sw_upd_no, package_name, package_version, package_url, "
                "create_time ) VALUES ( 5, 'p', '1', 'u', " +
                at + " );";
        }
        ASSERT_EQ(raw.exec(sql), SQLITE_OK);
    }
    EXPECT_EQ(StoragePruner({2, -1, "", "", ""}, &ctl).prune(), 10);
    EXPECT_EQ(joined(raw, "SELECT id FROM update_package ORDER BY id;"), "31 32 33 34 35 36");
}

INSTANTIATE_TEST_SUITE_P(Limits, DbControllerPrune,
                         ::testing::Values(PruneCase{2, 1, "2 3 4 7 8", "2 3 4 7"},
                                           PruneCase{0, 0, "2 3 4", "2 3 4"},
                                           // keeping every row must not read as keeping none
                                           PruneCase{-1, 0, "1 2 3 4 5 6 7 8", "2 3 4"}));

}  // namespace
