#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>

#include "db/DbController.h"
#include "db/DbTestSupport.h"
#include "order/InstructionController.h"
#include "order/OrderIntake.h"
#include "support/TempDir.h"
#include "support/TestLog.h"

using velk::db::DbController;
using velk::order::OrderIntake;
using Rows = std::vector<std::vector<std::string>>;

namespace {
std::string answer(const std::string& fields) {
    return R"({"response":[{"item":"sw_update","sw_upd_no":7,)" + fields + "}]}";
}
}  // namespace

// Neither the disk nor the database takes the answers: they wait in memory in arrival order, also
// once the disk has room again, and are stored when the database takes them.
TEST(OrderIntake, AnswersTheDiskCannotKeepWaitInMemoryInOrder) {
    velk::test::TestLog log;
    velk::test::TempDir dir;
    DbController* db = DbController::createInstance();
    db->setLockWait(1, 1);
    ASSERT_EQ(db->init(dir.path() + "/db", "velk.db", "db_rw.lock", "db_ro.lock"), 0);
    velk::order::InstructionController controller("/bin/false");
    controller.init("S");
    OrderIntake intake(controller, dir.file("spool"));  // a folder that is not there yet
    dir.write("db/db_rw.lock", "");

    std::string first = intake.keep(
        answer(R"("mode":"new","pkg_update":[{"pkg_name":"vim","pkg_version":"9","pkg_url":"http://s/v"}])"));
    EXPECT_EQ(intake.storeWaiting(), 1u);
    EXPECT_FALSE(intake.stored(first));
    ASSERT_EQ(mkdir(dir.file("spool").c_str(), 0700), 0);
    std::string second = intake.keep(answer(R"("mode":"cancel")"));
    EXPECT_EQ(intake.storeWaiting(), 2u);
    EXPECT_EQ(intake.heldInMemory(), 2u);
    EXPECT_TRUE(log.contains("answer could not be kept on disk, held in memory"));

    ASSERT_EQ(std::remove(dir.file("db/db_rw.lock").c_str()), 0);
    EXPECT_EQ(intake.storeWaiting(), 0u);
    EXPECT_TRUE(intake.stored(second));
    velk::test::RawDb raw(dir.path() + "/db/velk.db");
    EXPECT_EQ(raw.rows("SELECT update_status FROM update_info"), (Rows{{"98"}}));
    EXPECT_EQ(raw.text("SELECT COUNT(*) FROM order_info"), "2");
    // With nothing held, the next answer is kept on disk again.
    EXPECT_EQ(intake.keep(answer(R"("mode":"cancel")")).rfind("order-spool-", 0), 0u);
}
