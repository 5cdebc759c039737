#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "communication/CommunicationManager.h"
#include "communication/HttpConnection.h"
#include "db/DbController.h"
#include "db/DbTestSupport.h"
#include "order/InstructionController.h"
#include "support/FakeService.h"
#include "support/TempDir.h"
#include "support/TestLog.h"

using velk::comm::HttpConnection;

// Poll answers a hostile service may send, through the transport and both answer handlers: none
// may end the process, grow it without bound, flood the log or store anything.
TEST(HostileAnswer, RefusedAsParseErrorOrFailedTransfer) {
    velk::test::initHttpOnce();
    velk::test::FakeService fake;
    ASSERT_TRUE(fake.running());
    velk::test::TempDir dir;
    const std::string base = fake.baseUrl() + "/monitoring/api";
    velk::test::TestLog log(R"({"web_api":{"api_base_url":")" + base + R"(/","api_login_url":")" + base +
                            R"(_user/"},"http_access":{"retry_num":0,"ca_cert_file":")" + fake.caFile() +
                            R"("}})");
    auto* db = velk::db::DbController::createInstance();
    ASSERT_EQ(db->init(dir.path() + "/db", "velk.db", "db_rw.lock", "db_ro.lock"), 0);
    velk::order::InstructionController controller(dir.write("dpkg", "#!/bin/sh\n", 0755));
    controller.init("SUB-1");

    const size_t cap = HttpConnection::kMaxBodyBytes;
    const std::string fullSize = R"({"response":[]})" + std::string(cap - 15, ' ');
    struct Case {
        const char* name;
        std::string body;
        int sent;
        const char* logged;
    };
    const std::vector<Case> cases{
        {"1e400", R"({"response":[{"item":"sw_update","sw_upd_no":1e400}]})", 0,
         "json parse error : unreadable value"},
        {"nested arrays", std::string(50000, '[') + std::string(50000, ']'), 0,
         "json parse error : nested deeper than 200 levels"},
        {"brackets in strings",
         R"({"response":[{"item":"boot_time","x":")" + std::string(50000, '{') + R"("}]})", 0,
         "find boot_time in receive data"},  // not nesting
        {"exactly the cap", fullSize, 0, "bytes in all)"},
        {"one byte over", fullSize + " ", 1, "answer body longer than 1048576 bytes : transfer aborted"},
    };
    for (const auto& c : cases) {
        log.clear();
        velk::comm::CommunicationManager().clearToken();
        ASSERT_TRUE(fake.script("/monitoring/api/poll",
                                picojson::value(picojson::array{picojson::value(
                                                    picojson::object{{"body", picojson::value(c.body)}})})
                                    .serialize()));
        std::string response;
        velk::comm::CommunicationManager client;
        client.init();
        ASSERT_EQ(client.dataSend("poll", "{}", response), c.sent) << c.name;
        EXPECT_LE(response.size(), cap) << c.name;
        if (c.sent == 0) {
            controller.hasOsBootTimeResultFromReceiveData(response);
            controller.hasCheckOrderFromReceiveData(response);
        }
        EXPECT_TRUE(log.contains(c.logged)) << c.name;
        for (const auto& line : log.lines()) {
            EXPECT_LT(line.size(), 4096u + 512u) << c.name;
        }
    }
    EXPECT_EQ(velk::test::RawDb(dir.path() + "/db/velk.db").text("SELECT COUNT(*) FROM order_info"), "0");
}
