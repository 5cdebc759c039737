#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "communication/HttpConnection.h"

namespace velk::data {
class SettingData;
class LogWrapper;
}  // namespace velk::data

namespace velk::comm {

// The agent's client of the monitoring web API: logs in when no valid token is cached, then
// POSTs a request body to an API address with the token in the headers. Objects are short-lived,
// one per exchange and thread; the token and its expiry are shared by the whole process under one
// mutex that is never held across a transfer. The password never reaches the log.
class CommunicationManager {
  public:
    CommunicationManager() = default;
    virtual ~CommunicationManager() = default;

    CommunicationManager(const CommunicationManager&) = delete;
    CommunicationManager& operator=(const CommunicationManager&) = delete;

    void init();
    // 0 when the answer body is in response, 1 on failure.
    int dataSend(const std::string& apiSuffix, const std::string& body, std::string& response);
    // HTTP status of the last API call's answer; 0 when none came. A 401 has already dropped the token.
    long httpStatus() const;
    // The last exchange got no answer, or 5xx or 429: such an answer carries nothing to act on.
    bool serviceUnavailable() const;

    bool isTokenValid();
    void setToken(const std::string& token);
    std::string getToken();
    void clearToken();

  private:
    // A 429 or 503 with Retry-After holds every call of the process back, up to "max_backoff_sec".
    void _noteRetryAfter();
    // 0 on success, -2 rejected credentials, -1 malformed answer, else the transport's result.
    int _accessAuthApi();
    int _accessApi(const std::string& url, const std::string& body, std::string& response);

    data::SettingData* settings = nullptr;
    data::LogWrapper* log = nullptr;
    std::unique_ptr<HttpConnection> transport;
};

}  // namespace velk::comm
