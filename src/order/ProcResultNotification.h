#pragma once

#include <string>

namespace velk::data {
class LogWrapper;
}
namespace velk::model {
class UpdateInfo;
}

namespace velk::order {

// Builds the result report of one update stage and sends a report text to the service.
// Stateless: callers (the update threads and the executor) make one on the stack per use.
class ProcResultNotification {
  public:
    ProcResultNotification();
    virtual ~ProcResultNotification() = default;

    std::string createUpdateResult(const model::UpdateInfo& updateInfo, const std::string& message,
                                   const std::string& substrateCode);
    // 0 when the service took the report (a 2xx answer); the response then holds its reply.
    // 1 when the exchange failed, 2 when the service answered with another status.
    int sendResult(const std::string& address, const std::string& body, std::string& response);

  private:
    const std::string kRequest = "request";
    const std::string kItem = "item";
    const std::string kSwUpd = "sw_upd";
    const std::string kSwUpdNo = "sw_upd_no";
    const std::string kReportDatetime = "report_datetime";
    const std::string kStatus = "status";
    const std::string kMessage = "message";
    const std::string kSubstrateCode = "substratecode";

    data::LogWrapper* log = nullptr;
};

}  // namespace velk::order
