#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "model/UpdateInfo.h"
#include "order/ProcResultNotification.h"
#include "support/FakeService.h"
#include "support/TestLog.h"

using velk::order::ProcResultNotification;

namespace {

// Local time fixed without depending on installed zone data.
void useJapanTime() {
    setenv("TZ", "JST-9", 1);
    tzset();
}

}  // namespace

// The JSON writer escapes "/" as "\/"; the service reads both forms.
TEST(ProcResultNotification, ReportTextByteForByte) {
    velk::test::TestLog log;
    useJapanTime();
    velk::model::UpdateInfo info;
    info.id = 3;
    info.swUpdNo = 7;
    info.updateStatus = 12;
    info.statusChangeTime = 1772414430;  // 2026-03-02 10:20:30 in Japan
    ProcResultNotification notification;
    EXPECT_EQ(
        notification.createUpdateResult(info, "download success", "SUB-1"),
        R"({"request":[{"item":"sw_upd","message":"download success","report_datetime":"2026\/03\/02 10:20:30",)"
        R"("status":12,"sw_upd_no":7}],"substratecode":"SUB-1"})");
    EXPECT_TRUE(log.contains("in createUpdateResult : updinfo.id -> 3"));
}

TEST(ProcResultNotification, SendFailureIsReportedWithCode) {
    velk::test::initHttpOnce();
    int port = velk::test::unusedPort();
    velk::test::TestLog log(
        R"({"web_api": {"api_base_url": "https://127.0.0.1:)" + std::to_string(port) +
        R"(/monitoring/api/", "api_login_url": "https://127.0.0.1:)" + std::to_string(port) +
        R"(/monitoring/api_user/"}, "http_access": {"retry_num": 0, "http_connect_timeout": 1}})");
    std::string response;
    ProcResultNotification notification;
    EXPECT_EQ(notification.sendResult("report", "{}", response), 1);
    EXPECT_TRUE(log.contains("W : [ProcResultNotification.cpp:"));
    EXPECT_TRUE(log.contains("send request failed : result -> 1"));
}
