#include "communication/CommunicationManager.h"

#include <sys/time.h>

#include <ctime>
#include <limits>
#include <mutex>
#include <vector>

#include "data/LogWrapper.h"
#include "data/SettingData.h"
#include "feature/SimpleCipher.h"

namespace velk::comm {

namespace {

const char* const kTokenPlaceholder = "$api_token$";
const char* const kUnauthenticated = "Unauthenticated.";
const size_t kTokenLength = 60;

std::mutex tokenMutex;
std::string apiToken;
int32_t tokenExpiry = 0;

int64_t nowSeconds() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return static_cast<int64_t>(tv.tv_sec);
}

// Expiries are 32-bit; a huge configured lifetime must not wrap into the past.
int32_t saturate(int64_t value) {
    if (value > std::numeric_limits<int32_t>::max()) {
        return std::numeric_limits<int32_t>::max();
    }
    if (value < std::numeric_limits<int32_t>::min()) {
        return std::numeric_limits<int32_t>::min();
    }
    return static_cast<int32_t>(value);
}

std::string localTimeText(int32_t seconds) {
    const time_t t = static_cast<time_t>(seconds);
    tm local{};
    if (localtime_r(&t, &local) == nullptr) {
        return "";
    }
    char buffer[32];
    const size_t n = std::strftime(buffer, sizeof(buffer), "%Y/%m/%d %H:%M:%S", &local);
    return std::string(buffer, n);
}

// Continues after each inserted token, so a token holding the placeholder is not expanded again.
std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
    for (size_t pos = text.find(from); pos != std::string::npos; pos = text.find(from, pos + to.size())) {
        text.replace(pos, from.size(), to);
    }
    return text;
}

}  // namespace

void CommunicationManager::init() {
    settings = data::SettingData::getInstance();
    log = data::LogWrapper::getInstance();
    log->setLogger("velk");
    transport = std::make_unique<HttpConnection>();
    transport->setRetry(settings->getInt("retry_num", 3), settings->getInt("retry_interval_sec", 5));
    transport->setTimeout(settings->getLong("http_timeout", 60),
                          settings->getLong("http_connect_timeout", 30));
    transport->setCaCertFile(settings->getString("ca_cert_file"));
}

int CommunicationManager::dataSend(const std::string& apiSuffix, const std::string& body,
                                   std::string& response) {
    if (!isTokenValid()) {
        const int result = _accessAuthApi();
        if (result != 0) {
            log->warning("[{}:{}] in dataSend : _accessAuthApi failed result -> {}", VELK_AT, result);
            return 1;
        }
        log->info("[{}:{}] in dataSend : _accessAuthApi result -> {} : receive data (API Token) -> {}",
                  VELK_AT, result, getToken());
    }
    const std::string url = settings->getString("api_base_url") + apiSuffix;
    const int result = _accessApi(url, body, response);
    if (result != 0) {
        log->warning("[{}:{}] in dataSend : _accessApi failed result -> {}", VELK_AT, result);
        return 1;
    }
    log->info("[{}:{}] in dataSend : _accessApi result -> {} : receive data -> {}", VELK_AT, result,
              response);
    return 0;
}

int CommunicationManager::_accessAuthApi() {
    log->debug("[{}:{}] in _accessAuthApi", VELK_AT);
    const feature::SimpleCipher cipher;
    const std::string user = cipher.decode(settings->getString("api_u1"));
    const std::string password = cipher.decode(settings->getString("api_u2"));
    const std::vector<std::string> params{"unm=" + user, "upw=" + password};

    const std::string loginUrl = settings->getString("api_login_url");
    log->debug("[{}:{}] in _accessAuthApi : access url -> {}", VELK_AT, loginUrl);
    for (const auto& param : params) {
        log->debug("[{}:{}] in _accessAuthApi : send data -> {}", VELK_AT,
                   HttpConnection::maskSecrets(param));
    }

    std::string answer;
    const int sent = transport->httpSendGetParams(loginUrl, {}, params, answer);
    int result = 0;
    if (sent != 0) {
        log->error("[{}:{}] in _accessAuthApi : receive failed: receive result -> {}", VELK_AT, sent);
        result = sent;
    } else if (answer.find(kUnauthenticated) != std::string::npos) {
        log->warning(
            "[{}:{}] in _accessAuthApi : authentication failure: receive result -> {} : receive data -> {}",
            VELK_AT, sent, answer);
        result = -2;
    } else if (answer.size() != kTokenLength) {
        log->warning("[{}:{}] in _accessAuthApi : receive failed: receive result -> {} : receive data -> {}",
                     VELK_AT, sent, answer);
        result = -1;
    } else {
        setToken(answer);
        std::lock_guard<std::mutex> lock(tokenMutex);
        log->info("[{}:{}] in _accessAuthApi : API Token -> {} : expiration -> {}", VELK_AT, apiToken,
                  localTimeText(tokenExpiry));
    }
    log->debug("[{}:{}] in _accessAuthApi : result -> {}", VELK_AT, result);
    return result;
}

int CommunicationManager::_accessApi(const std::string& url, const std::string& body, std::string& response) {
    const std::string token = getToken();
    std::vector<std::string> headers;
    for (const auto& templ : settings->getList("header")) {
        headers.push_back(replaceAll(templ, kTokenPlaceholder, token));
    }
    log->debug("[{}:{}] in _accessApi : access url -> {} : send data -> {}", VELK_AT, url, body);
    const int result = transport->httpSendPost(url, headers, body, response);
    log->debug("[{}:{}] in _accessApi : result -> {} : receive data -> {}", VELK_AT, result, response);
    if (result != 0) {
        clearToken();
    }
    return result;
}

bool CommunicationManager::isTokenValid() {
    std::lock_guard<std::mutex> lock(tokenMutex);
    if (apiToken.empty()) {
        return false;
    }
    if (tokenExpiry > 0 && nowSeconds() < tokenExpiry) {
        return true;
    }
    apiToken.clear();
    tokenExpiry = 0;
    return false;
}

void CommunicationManager::setToken(const std::string& token) {
    const data::SettingData* source = settings != nullptr ? settings : data::SettingData::getInstance();
    const int64_t lifetime = source != nullptr ? source->getInt("api_token_expiration", 7200) : 7200;
    std::lock_guard<std::mutex> lock(tokenMutex);
    apiToken = token;
    tokenExpiry = saturate(nowSeconds() + lifetime);
}

std::string CommunicationManager::getToken() {
    std::lock_guard<std::mutex> lock(tokenMutex);
    return apiToken;
}

void CommunicationManager::clearToken() {
    std::lock_guard<std::mutex> lock(tokenMutex);
    apiToken.clear();
    tokenExpiry = 0;
}

}  // namespace velk::comm
