#include "communication/CommunicationManager.h"

#include <fmt/format.h>

#include <algorithm>
#include <limits>
#include <mutex>
#include <vector>

#include "LogExcerpt.h"
#include "TextUtil.h"
#include "TimeFormat.h"
#include "communication/RetryAfter.h"
#include "data/LogWrapper.h"
#include "data/SettingData.h"
#include "feature/SimpleCipher.h"

namespace velk::comm {

namespace {

const char* const kTokenPlaceholder = "$api_token$";
const char* const kUnauthenticated = "Unauthenticated.";
const size_t kTokenLength = 60;
const long kHttpUnauthorized = 401;
const long kHttpTooManyRequests = 429;
const long kHttpServiceUnavailable = 503;

// The token cache outlives every thread: update threads may still send a report while the
// process exits, so it lives on the heap and is never destroyed.
struct TokenCache {
    std::mutex mutex;
    std::string token;
    int32_t expiry = 0;
};
TokenCache& cache() {
    static TokenCache* shared = new TokenCache();
    return *shared;
}

// RFC 3986: everything but the unreserved characters goes out as %XX, so a reserved character of
// a user name or password cannot split, cut or change the query.
std::string percentEncode(const std::string& text) {
    static const char* const kHex = "0123456789ABCDEF";
    std::string encoded;
    for (const char c : text) {
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                                c == '-' || c == '.' || c == '_' || c == '~';
        if (unreserved) {
            encoded += c;
        } else {
            const auto byte = static_cast<unsigned char>(c);
            encoded += '%';
            encoded += kHex[byte >> 4];
            encoded += kHex[byte & 0x0F];
        }
    }
    return encoded;
}

// A token goes into a header line: a line break would add headers of the service's choosing, a
// NUL would cut it short, and either would forge log lines.
bool isVisibleAscii(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c > ' ' && c < 0x7F; });
}

// An answer as it may be logged: bytes outside visible ASCII and blank as \xNN.
std::string escapedExcerpt(const std::string& text) {
    std::string escaped;
    for (const char c : logExcerpt(text)) {
        if (c >= ' ' && c < 0x7F) {
            escaped += c;
        } else {
            escaped += fmt::format("\\x{:02x}", static_cast<unsigned char>(c));
        }
    }
    return escaped;
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
    transport->setProxy(settings->getString("proxy"));
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
                  VELK_AT, result, HttpConnection::maskToken(getToken()));
    }
    const std::string url = settings->getString("api_base_url") + apiSuffix;
    const int result = _accessApi(url, body, response);
    if (result != 0) {
        log->warning("[{}:{}] in dataSend : _accessApi failed result -> {}", VELK_AT, result);
        if (result > 0) {
            log->warning("[{}:{}] in dataSend : curl error -> {}", VELK_AT, transport->lastError());
        }
        return 1;
    }
    log->info("[{}:{}] in dataSend : _accessApi result -> {} : receive data -> {}", VELK_AT, result,
              logExcerpt(response));
    return 0;
}

long CommunicationManager::httpStatus() const { return transport ? transport->lastHttpStatus() : 0; }

bool CommunicationManager::serviceUnavailable() const {
    const long status = httpStatus();
    return status == 0 || status == kHttpTooManyRequests || (status >= 500 && status <= 599);
}

void CommunicationManager::_noteRetryAfter() {
    const long status = transport->lastHttpStatus();
    const int64_t cap = settings->getInt("max_backoff_sec", 0);
    const std::string& value = transport->lastRetryAfter();
    if ((status != kHttpTooManyRequests && status != kHttpServiceUnavailable) || cap <= 0 || value.empty()) {
        return;
    }
    int64_t seconds = 0;
    if (!RetryAfter::parse(value, nowSeconds(), seconds)) {
        log->warning("[{}:{}] HTTP {} : Retry-After \"{}\" unreadable : ignored", VELK_AT, status,
                     logExcerpt(value));
        return;
    }
    seconds = std::min(seconds, cap);
    if (seconds > 0) {
        HttpConnection::holdCalls(seconds);
        log->warning("[{}:{}] HTTP {} : Retry-After \"{}\" : no call to the service for {} sec", VELK_AT,
                     status, logExcerpt(value), seconds);
    }
}

int CommunicationManager::_accessAuthApi() {
    log->debug("[{}:{}] in _accessAuthApi", VELK_AT);
    const feature::SimpleCipher cipher;
    const std::string user = cipher.decode(settings->getString("api_u1"));
    const std::string password = cipher.decode(settings->getString("api_u2"));
    const std::vector<std::string> params{"unm=" + percentEncode(user), "upw=" + percentEncode(password)};

    const std::string loginUrl = settings->getString("api_login_url");
    log->debug("[{}:{}] in _accessAuthApi : access url -> {}", VELK_AT, loginUrl);
    for (const auto& param : params) {
        log->debug("[{}:{}] in _accessAuthApi : send data -> {}", VELK_AT,
                   HttpConnection::maskSecrets(param));
    }

    std::string answer;
    const int sent = transport->httpSendGetParams(loginUrl, {}, params, answer);
    _noteRetryAfter();
    int result = 0;
    if (sent != 0) {
        log->error("[{}:{}] in _accessAuthApi : receive failed: receive result -> {}", VELK_AT, sent);
        if (sent > 0) {
            log->error("[{}:{}] in _accessAuthApi : curl error -> {}", VELK_AT, transport->lastError());
        }
        result = sent;
    } else if (answer.find(kUnauthenticated) != std::string::npos) {
        log->warning(
            "[{}:{}] in _accessAuthApi : authentication failure: receive result -> {} : receive data -> {}",
            VELK_AT, sent, logExcerpt(answer));
        result = -2;
    } else if (answer.size() != kTokenLength) {
        log->warning("[{}:{}] in _accessAuthApi : receive failed: receive result -> {} : receive data -> {}",
                     VELK_AT, sent, logExcerpt(answer));
        result = -1;
    } else if (!isVisibleAscii(answer)) {
        log->warning(
            "[{}:{}] in _accessAuthApi : receive failed: token holds a character outside visible ASCII : "
            "receive data -> {}",
            VELK_AT, escapedExcerpt(answer));
        result = -1;
    } else {
        setToken(answer);
        std::lock_guard<std::mutex> lock(cache().mutex);
        log->info("[{}:{}] in _accessAuthApi : API Token -> {} : expiration -> {}", VELK_AT,
                  HttpConnection::maskToken(cache().token),
                  formatLocalTime(cache().expiry, "%Y/%m/%d %H:%M:%S"));
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
    log->debug("[{}:{}] in _accessApi : access url -> {} : send data -> {}", VELK_AT, url, logExcerpt(body));
    const int result = transport->httpSendPost(url, headers, body, response);
    log->debug("[{}:{}] in _accessApi : result -> {} : receive data -> {}", VELK_AT, result,
               logExcerpt(response));
    _noteRetryAfter();
    if (result == HttpConnection::kHeldBack) {
        // Nothing was sent: the token is as good as before.
    } else if (result != 0) {
        clearToken();
    } else if (transport->lastHttpStatus() == kHttpUnauthorized) {
        // The service no longer takes the token: keeping it would fail every call until it expires.
        log->warning("[{}:{}] in _accessApi : HTTP 401 : cached API token dropped, next call logs in",
                     VELK_AT);
        clearToken();
    }
    return result;
}

bool CommunicationManager::isTokenValid() {
    std::lock_guard<std::mutex> lock(cache().mutex);
    if (cache().token.empty()) {
        return false;
    }
    if (cache().expiry > 0 && nowSeconds() < cache().expiry) {
        return true;
    }
    cache().token.clear();
    cache().expiry = 0;
    return false;
}

void CommunicationManager::setToken(const std::string& token) {
    const data::SettingData* source = settings != nullptr ? settings : data::SettingData::getInstance();
    const int64_t lifetime = source != nullptr ? source->getInt("api_token_expiration", 7200) : 7200;
    std::lock_guard<std::mutex> lock(cache().mutex);
    cache().token = token;
    cache().expiry = saturate(nowSeconds() + lifetime);
}

std::string CommunicationManager::getToken() {
    std::lock_guard<std::mutex> lock(cache().mutex);
    return cache().token;
}

void CommunicationManager::clearToken() {
    std::lock_guard<std::mutex> lock(cache().mutex);
    cache().token.clear();
    cache().expiry = 0;
}

}  // namespace velk::comm
