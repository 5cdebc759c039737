#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "model/UpdateInfo.h"
#include "order/ProcResultNotification.h"
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
}
