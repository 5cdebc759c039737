#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "db/DbController.h"
#include "db/DbTestSupport.h"
#include "order/InstructionExecuter.h"
#include "support/FakeService.h"
#include "support/TempDir.h"
#include "support/TestLog.h"

using velk::db::DbController;
using velk::order::InstructionExecuter;
using velk::test::RawDb;
using velk::test::TempDir;

namespace {

using Rows = std::vector<std::vector<std::string>>;

// Settings pointing at the fake service (or at a port where nothing listens), the
// process-wide database on a fresh file, and a raw connection to look at it.
struct World {
    TempDir dir;
    std::unique_ptr<velk::test::FakeService> service;
    std::unique_ptr<velk::test::TestLog> log;
    std::unique_ptr<RawDb> raw;

    explicit World(bool withService) {
        velk::test::initHttpOnce();
        std::string base = "https://127.0.0.1:" + std::to_string(velk::test::unusedPort());
        std::string ca;
        if (withService) {
            service = std::make_unique<velk::test::FakeService>();
            base = service->baseUrl();
            ca = service->caFile();
        }
        picojson::value sections;
        picojson::parse(sections, R"({"web_api": {"api_uri": {"report_result": "report"}},
            "http_access": {"http_timeout": 5, "http_connect_timeout": 2},
            "instruction_thread": {"loop_interval_sec": 60, "loop_slice_interval_sec": 1,
                                   "delay_start_thread_time": 30}})");
        log = std::make_unique<velk::test::TestLog>(
            velk::test::agentConfig(base, ca, sections.get<picojson::object>()));
        DbController* db = DbController::createInstance();
        db->setLockWait(5, 10);
        if (db->init(dir.path() + "/db", "velk.db", "db_rw.lock", "db_ro.lock") != 0) {
            throw std::runtime_error("database init failed");
        }
        raw = std::make_unique<RawDb>(dir.path() + "/db/velk.db");
    }
};

}  // namespace

// The very same text goes out again; only the delivered report changes state, and one mark that
// cannot be written does not undo the others.
TEST(InstructionExecuter, ResendDeliversStoredTextAndMarksOnlyDelivered) {
    World world(true);
    ASSERT_TRUE(world.service->running());
    auto executor = std::make_shared<InstructionExecuter>();
    EXPECT_EQ(executor->sendUnsentInstructionData(), 1);  // nothing unsent
    world.raw->exec(
        "INSERT INTO order_info (order_status, response_json) VALUES (1, '{\"request\":[1]}'), "
        "(11, '{\"request\":[2]}'), (11, NULL), (2, '{\"request\":[3]}'), (1, '{\"request\":[4]}');"
        "CREATE TRIGGER refuse BEFORE UPDATE ON order_info WHEN OLD.id = 5 BEGIN SELECT RAISE(ABORT, 'x'); "
        "END;");
    ASSERT_TRUE(world.service->script("/monitoring/api/report", R"([{"status": 200, "body": "taken"},
        {"drop": true}, {"status": 200, "body": "taken"}])"));
    EXPECT_EQ(executor->sendUnsentInstructionData(), -5);
    EXPECT_EQ(world.raw->rows("SELECT order_status FROM order_info ORDER BY id"),
              (Rows{{"2"}, {"11"}, {"11"}, {"2"}, {"1"}}));
    std::vector<std::string> bodies;
    for (const auto& request : world.service->requests()) {
        if (request.path == "/monitoring/api/report") {
            bodies.push_back(request.body);
        }
    }
    EXPECT_EQ(bodies,
              (std::vector<std::string>{R"({"request":[1]})", R"({"request":[2]})", R"({"request":[4]})"}));
    EXPECT_TRUE(
        world.log->contains("success to send unsent result : order_info id -> 1 : response data -> taken"));
}

// A stage whose time does not read neither blocks the others nor runs: it is closed as failed and
// its report queued, then delivered by the next re-send.
TEST(InstructionExecuter, UnreadableStageIsClosedAsFailedAndReported) {
    World world(true);
    ASSERT_TRUE(world.service->running());
    world.raw->exec(
        "INSERT INTO order_info (id) VALUES (1), (2), (3);"
        "INSERT INTO update_info (order_info_id, sw_upd_no, update_status, download_start_time, "
        "download_end_time, update_start_time, update_end_time) VALUES (1, 3, 0, '0', '', '', ''), "
        "(2, 4, 12, '', '', '2024-13-45 10:00:00', ''), (3, 5, 0, '2020-01-03 00:00:00', '', '', '');");
    auto executor = std::make_shared<InstructionExecuter>();
    int32_t id = 0;
    int32_t status = 0;
    int64_t time = 0;
    std::string type;
    EXPECT_TRUE(executor->checkLastInstruction(id, status, time, type));
    EXPECT_EQ(id, 3);
    EXPECT_EQ(time, DbController::textToTime("2020/01/03 00:00:00"));
    EXPECT_EQ(world.raw->rows("SELECT u.update_status, o.order_status, o.response_json LIKE '%failed%' FROM "
                              "update_info u JOIN order_info o ON o.id = u.order_info_id ORDER BY u.id"),
              (Rows{{"19", "1", "1"}, {"29", "11", "1"}, {"0", "-1", "NULL"}}));
    EXPECT_EQ(executor->sendUnsentInstructionData(), 0);
    EXPECT_EQ(world.raw->rows("SELECT order_status FROM order_info ORDER BY id"),
              (Rows{{"2"}, {"12"}, {"-1"}}));
}

// A stop during the start delay ends the thread without a pass; the object outlives the
// thread even when its owner lets go first.
TEST(InstructionExecuter, StopDuringStartDelayEndsThreadWithoutPass) {
    World world(false);
    world.raw->exec(
        "INSERT INTO update_info (order_info_id, sw_upd_no, update_status) VALUES (1, 1, 11), (1, 2, 21), "
        "(1, 3, 19), (1, 4, 22), (1, 5, 12);");
    auto executor = std::make_shared<InstructionExecuter>();
    ASSERT_EQ(executor->StartThread(), 0);
    EXPECT_EQ(executor->StartThread(), 1);
    for (int i = 0; i < 100 && !world.log->contains("reset progress status : success"); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(executor->StopThread(), 0);
    std::weak_ptr<InstructionExecuter> watch = executor;
    executor.reset();
    for (int i = 0; i < 200 && !watch.expired(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(watch.expired());
    EXPECT_FALSE(world.log->contains("start : send unsent instruction result data"));
    // Interrupted stages were reset at the thread's start; closed and waiting ones were not.
    EXPECT_EQ(world.raw->rows("SELECT update_status FROM update_info ORDER BY id"),
              (Rows{{"0"}, {"12"}, {"19"}, {"22"}, {"12"}}));
}
