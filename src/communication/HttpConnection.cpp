#include "communication/HttpConnection.h"

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "communication/CurlShare.h"
#include "data/LogWrapper.h"

namespace velk::comm {

namespace {

struct CurlCleanup {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct SlistFree {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlHandle = std::unique_ptr<CURL, CurlCleanup>;
using HeaderList = std::unique_ptr<curl_slist, SlistFree>;

size_t writeCallback(char* ptr, size_t size, size_t nmemb, void* userdata) {
    const size_t count = size * nmemb;
    if (count == 0) {
        return 0;
    }
    static_cast<std::string*>(userdata)->append(ptr, count);
    return count;
}

}  // namespace

HttpConnection::HttpConnection()
    : log(data::LogWrapper::getInstance()),
      userAgent("sib/1.0"),
      retry_num(0),
      retry_interval_sec(10),
      http_timeout(60),
      http_connect_timeout(30) {
    log->setLogger("velk");
}

void HttpConnection::setRetry(int retryNum, int retryIntervalSec) {
    retry_num = retryNum;
    retry_interval_sec = retryIntervalSec;
}

void HttpConnection::setTimeout(long httpTimeout, long httpConnectTimeout) {
    http_timeout = httpTimeout;
    http_connect_timeout = httpConnectTimeout;
}

void HttpConnection::setCaCertFile(const std::string& path) { caCertFile = path; }

std::string HttpConnection::maskSecrets(const std::string& data) {
    static const std::string kName = "upw=";
    for (size_t pos = data.find(kName); pos != std::string::npos; pos = data.find(kName, pos + 1)) {
        if (pos == 0 || data[pos - 1] == '&' || data[pos - 1] == '?') {
            return data.substr(0, pos + kName.size()) + "****";
        }
    }
    return data;
}

int HttpConnection::httpSendGet(const std::string& url, const std::vector<std::string>& /*headers*/,
                                const std::string& data, std::string& response) {
    log->debug("[{}:{}] in httpSendGet : url -> {}, send data -> {}|", VELK_AT, url, maskSecrets(data));
    const int result = http_access(0, url, {}, data, response);
    log->debug("[{}:{}] in httpSendGet : result -> {}, receive data -> {}|", VELK_AT, result, response);
    return result;
}

int HttpConnection::httpSendGetParams(const std::string& url, const std::vector<std::string>& headers,
                                      const std::vector<std::string>& params, std::string& response) {
    std::string data;
    for (const auto& param : params) {
        if (!data.empty()) {
            data += '&';
        }
        data += param;
    }
    return httpSendGet(url, headers, data, response);
}

int HttpConnection::httpSendPost(const std::string& url, const std::vector<std::string>& headers,
                                 const std::string& data, std::string& response) {
    log->debug("[{}:{}] in httpSendPost : url -> {}, send data -> {}|", VELK_AT, url, data);
    const int result = http_access(1, url, headers, data, response);
    log->debug("[{}:{}] in httpSendPost : result -> {}, receive data -> {}|", VELK_AT, result, response);
    return result;
}

int HttpConnection::http_access(int method, const std::string& url, const std::vector<std::string>& headers,
                                const std::string& data, std::string& response) {
    int result = -1;
    int count = 0;
    do {
        if (count != 0 && retry_interval_sec > 0) {
            std::this_thread::sleep_for(std::chrono::seconds(retry_interval_sec));
        }
        response.clear();
        result =
            method == 0 ? httpGetPlane(url, data, response) : httpPostPlane(url, headers, data, response);
        if (result == 0) {
            return 0;
        }
        if (count != 0) {
            log->warning("[{}:{}] in http_access : failed to access url : Retry num -> {} / {}", VELK_AT,
                         count, retry_num);
        }
        ++count;
    } while (count <= retry_num);
    return result;
}

void HttpConnection::setCommonOptions(CURL* curl) const {
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 1L);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, userAgent.c_str());
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 50L);
    curl_easy_setopt(curl, CURLOPT_TCP_KEEPALIVE, 60L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, http_timeout);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, http_connect_timeout);
    // Time-outs must not be driven by SIGALRM: the agent is threaded.
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    // Set for every scheme spelling: libcurl matches "HTTPS" case-insensitively, and the
    // options are inert for plain HTTP. Update orders run as root, so the peer must be proven.
    curl_easy_setopt(curl, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!caCertFile.empty()) {
        curl_easy_setopt(curl, CURLOPT_CAINFO, caCertFile.c_str());
    }
    if (CURLSH* share = CurlShare::current()) {
        curl_easy_setopt(curl, CURLOPT_SHARE, share);
    }
}

int HttpConnection::httpGetPlane(const std::string& url, const std::string& data, std::string& response) {
    const auto turn = CurlShare::serializeTransfer();
    CurlHandle curl(curl_easy_init());
    if (!curl) {
        return -1;
    }
    std::string requestUrl = url;
    if (!data.empty()) {
        requestUrl += '?';
        requestUrl += data;
    }
    curl_easy_setopt(curl.get(), CURLOPT_URL, requestUrl.c_str());
    setCommonOptions(curl.get());
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, writeCallback);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &response);
    return static_cast<int>(curl_easy_perform(curl.get()));
}

int HttpConnection::httpPostPlane(const std::string& url, const std::vector<std::string>& headers,
                                  const std::string& data, std::string& response) {
    const auto turn = CurlShare::serializeTransfer();
    CurlHandle curl(curl_easy_init());
    if (!curl) {
        log->warning("[{}:{}] in httpPostPlane : curl object is null (failed : curl_easy_init())", VELK_AT);
        return -1;
    }
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_POST, 1L);
    setCommonOptions(curl.get());

    HeaderList headerList;
    const std::vector<std::string> plainHeader{"Content-Type: text/plane"};
    for (const auto& header : headers.empty() ? plainHeader : headers) {
        curl_slist* appended = curl_slist_append(headerList.get(), header.c_str());
        if (appended == nullptr) {
            log->warning("[{}:{}] in httpPostPlane : failed -> {}", VELK_AT,
                         curl_easy_strerror(CURLE_OUT_OF_MEMORY));
            return static_cast<int>(CURLE_OUT_OF_MEMORY);
        }
        if (!headerList) {
            headerList.reset(appended);  // later appends return this same head
        }
    }
    curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headerList.get());
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, writeCallback);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &response);
    if (!data.empty()) {
        log->verbose("[{}:{}]     data.length -> {}, data.c_str -> {}|", VELK_AT, data.length(), data);
        curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, data.c_str());
        curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE, static_cast<long>(std::strlen(data.c_str())));
    }
    const CURLcode code = curl_easy_perform(curl.get());
    if (code != CURLE_OK) {
        log->warning("[{}:{}] in httpPostPlane : failed -> {}", VELK_AT, curl_easy_strerror(code));
    }
    // The handle goes before the header list it still points at.
    curl.reset();
    return static_cast<int>(code);
}

}  // namespace velk::comm
