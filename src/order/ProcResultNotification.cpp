#include "order/ProcResultNotification.h"

#include <picojson.h>

#include "TimeFormat.h"
#include "communication/CommunicationManager.h"
#include "data/LogWrapper.h"
#include "model/UpdateInfo.h"

namespace velk::order {

ProcResultNotification::ProcResultNotification() : log(data::LogWrapper::getInstance()) {
    log->setLogger("velk");
}

std::string ProcResultNotification::createUpdateResult(const model::UpdateInfo& updateInfo,
                                                       const std::string& message,
                                                       const std::string& substrateCode) {
    log->info("[{}:{}] in createUpdateResult : updinfo.id -> {}", VELK_AT, updateInfo.id);
    picojson::object item;
    item[kItem] = picojson::value(kSwUpd);
    item[kSwUpdNo] = picojson::value(static_cast<int64_t>(updateInfo.swUpdNo));
    item[kReportDatetime] =
        picojson::value(formatLocalTime(updateInfo.statusChangeTime, "%Y/%m/%d %H:%M:%S"));
    item[kStatus] = picojson::value(static_cast<int64_t>(updateInfo.updateStatus));
    item[kMessage] = picojson::value(message);
    picojson::array request;
    request.emplace_back(item);
    log->debug("[{}:{}] in createUpdateResult : order -> {}", VELK_AT, kSwUpd);
    picojson::object root;
    root[kRequest] = picojson::value(request);
    root[kSubstrateCode] = picojson::value(substrateCode);
    return picojson::value(root).serialize();
}

int ProcResultNotification::sendResult(const std::string& address, const std::string& body,
                                       std::string& response) {
    int result;
    {
        comm::CommunicationManager client;
        client.init();
        result = client.dataSend(address, body, response);
        const long status = client.httpStatus();
        // Any completed transfer comes back from the client; only a 2xx answer means the report was taken.
        if (result == 0 && (status < 200 || status > 299)) {
            log->warning("[{}:{}] report not accepted : HTTP status -> {}", VELK_AT, status);
            result = 2;
        }
    }
    if (result != 0) {
        log->warning("[{}:{}] send request failed : result -> {}", VELK_AT, result);
    } else {
        log->verbose("[{}:{}] send request success", VELK_AT);
    }
    log->flush();
    return result;
}

}  // namespace velk::order
