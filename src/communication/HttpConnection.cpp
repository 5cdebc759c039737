#include "communication/HttpConnection.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "LogExcerpt.h"
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

// Where the write callback puts an answer; past the cap it refuses the rest.
struct BodySink {
    std::string* body;
    bool overflowed;
};

size_t writeCallback(char* ptr, size_t size, size_t nmemb, void* userdata) {
    const size_t count = size * nmemb;
    if (count == 0) {
        return 0;
    }
    auto* sink = static_cast<BodySink*>(userdata);
    if (count > HttpConnection::kMaxBodyBytes - sink->body->size()) {
        sink->overflowed = true;
        return 0;
    }
    sink->body->append(ptr, count);
    return count;
}

// One easy handle per thread, kept for the thread's life: its connection cache lets the next
// transfer of the same thread reuse an open connection, and no other thread ever waits for it.
// Each attempt leases it reset to defaults and hands it back holding nothing of the attempt (no
// pointers into its buffers, no share, so the share may be destroyed before the thread ends).
class HandleLease {
  public:
    HandleLease() : curl(threadHandle()) {
        if (curl != nullptr) {
            curl_easy_reset(curl);
        }
    }
    ~HandleLease() {
        if (curl != nullptr) {
            curl_easy_setopt(curl, CURLOPT_SHARE, nullptr);
            curl_easy_reset(curl);
        }
    }
    HandleLease(const HandleLease&) = delete;
    HandleLease& operator=(const HandleLease&) = delete;

    CURL* get() const { return curl; }

  private:
    static CURL* threadHandle() {
        thread_local CurlHandle handle;
        if (!handle) {
            handle.reset(curl_easy_init());
        }
        return handle.get();
    }

    CURL* curl;
};

// Keeps the value of a Retry-After header; a new status line (a redirect's next answer) starts over.
size_t headerCallback(char* buffer, size_t size, size_t nitems, void* userdata) {
    const size_t count = size * nitems;
    auto* value = static_cast<std::string*>(userdata);
    const std::string line(buffer, count);
    static const std::string kName = "retry-after:";
    if (line.compare(0, 5, "HTTP/") == 0) {
        value->clear();
    } else if (line.size() >= kName.size() &&
               std::equal(kName.begin(), kName.end(), line.begin(),
                          [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); })) {
        const size_t start = std::min(line.find_first_not_of(" \t", kName.size()), line.size());
        const size_t end = line.find_last_not_of(" \t\r\n") + 1;
        *value = end > start ? line.substr(start, end - start) : std::string();
    }
    return count;
}

int64_t steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// libcurl calls this about once a second even when nothing arrives.
int progressCallback(void* /*clientp*/, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return HttpConnection::transfersStopped() ? 1 : 0;
}

}  // namespace

static_assert(std::atomic<bool>::is_always_lock_free, "stopTransfers is called from signal handlers");
std::atomic<bool> HttpConnection::stopRequested{false};
std::atomic<int64_t> HttpConnection::heldUntilMs{0};

void HttpConnection::holdCalls(int64_t seconds) {
    const int64_t until = steadyMs() + seconds * 1000;
    int64_t current = heldUntilMs.load();
    while (current < until && !heldUntilMs.compare_exchange_weak(current, until)) {
    }
}

void HttpConnection::releaseCalls() { heldUntilMs.store(0); }

int64_t HttpConnection::callsHeldFor() {
    const int64_t left = heldUntilMs.load() - steadyMs();
    return left > 0 ? (left + 999) / 1000 : 0;
}

void HttpConnection::stopTransfers(bool stop) { stopRequested.store(stop); }

bool HttpConnection::transfersStopped() { return stopRequested.load(); }

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

void HttpConnection::setProxy(const std::string& url) { proxy = url; }

std::string HttpConnection::maskProxy(const std::string& url) {
    const size_t scheme = url.find("://");
    const size_t start = scheme == std::string::npos ? 0 : scheme + 3;
    const size_t at = url.rfind('@', url.find('/', start));
    if (at == std::string::npos || at < start) {
        return url;
    }
    const size_t colon = url.find(':', start);
    if (colon == std::string::npos || colon > at) {
        return url;
    }
    return url.substr(0, colon + 1) + "****" + url.substr(at);
}

std::string HttpConnection::maskSecrets(const std::string& data) {
    static const std::string kName = "upw=";
    for (size_t pos = data.find(kName); pos != std::string::npos; pos = data.find(kName, pos + 1)) {
        if (pos == 0 || data[pos - 1] == '&' || data[pos - 1] == '?') {
            return data.substr(0, pos + kName.size()) + "****";
        }
    }
    return data;
}

std::string HttpConnection::maskToken(const std::string& token) {
    return token.substr(0, 8) + "... (" + std::to_string(token.size()) + " characters)";
}

int HttpConnection::httpSendGet(const std::string& url, const std::vector<std::string>& /*headers*/,
                                const std::string& data, std::string& response) {
    const std::string shown = maskSecrets(data);
    log->debug("[{}:{}] in httpSendGet : url -> {}, send data -> {}|", VELK_AT, url, shown);
    const int result = http_access(0, url, {}, data, response);
    // The answer to a request carrying a password is a token.
    log->debug("[{}:{}] in httpSendGet : result -> {}, receive data -> {}|", VELK_AT, result,
               shown != data ? maskToken(response) : logExcerpt(response));
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
    log->debug("[{}:{}] in httpSendPost : url -> {}, send data -> {}|", VELK_AT, url, logExcerpt(data));
    const int result = http_access(1, url, headers, data, response);
    log->debug("[{}:{}] in httpSendPost : result -> {}, receive data -> {}|", VELK_AT, result,
               logExcerpt(response));
    return result;
}

int HttpConnection::http_access(int method, const std::string& url, const std::vector<std::string>& headers,
                                const std::string& data, std::string& response) {
    int result = -1;
    int count = 0;
    lastStatus = 0;
    lastErrorText.clear();
    retryAfterText.clear();
    if (const int64_t held = callsHeldFor(); held > 0) {
        log->warning("[{}:{}] in http_access : not sent : the service asked for a pause, {} sec left",
                     VELK_AT, held);
        return kHeldBack;
    }
    do {
        if (count != 0 && retry_interval_sec > 0) {
            pauseBeforeRetry();
        }
        if (transfersStopped()) {
            log->warning("[{}:{}] in http_access : stopped before attempt {}", VELK_AT, count + 1);
            return count == 0 ? static_cast<int>(CURLE_ABORTED_BY_CALLBACK) : result;
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

void HttpConnection::pauseBeforeRetry() const {
    // Sliced so that a stop request is seen within one slice.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(retry_interval_sec);
    while (!transfersStopped() && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            std::chrono::milliseconds(200), end - std::chrono::steady_clock::now()));
    }
}

int HttpConnection::perform(CURL* curl, std::string& response) {
    BodySink sink{&response, false};
    char errorBuffer[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, writeCallback);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
    retryAfterText.clear();
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, headerCallback);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &retryAfterText);
    const CURLcode code = curl_easy_perform(curl);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
    lastStatus = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &lastStatus);
    lastErrorText.clear();
    if (code == CURLE_OK) {
        return 0;
    }
    lastErrorText = errorBuffer[0] != '\0' ? errorBuffer : curl_easy_strerror(code);
    if (sink.overflowed) {
        log->error("[{}:{}] answer body longer than {} bytes : transfer aborted", VELK_AT, kMaxBodyBytes);
        lastErrorText = "answer body longer than " + std::to_string(kMaxBodyBytes) + " bytes";
        response.clear();
    }
    return static_cast<int>(code);
}

void HttpConnection::setCommonOptions(CURL* curl) const {
    // The progress callback is what lets a stop request end a transfer that sees no data.
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, progressCallback);
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
    // Set even when empty: an empty proxy keeps libcurl from reading the environment's.
    curl_easy_setopt(curl, CURLOPT_PROXY, proxy.c_str());
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "");
    if (CURLSH* share = CurlShare::current()) {
        curl_easy_setopt(curl, CURLOPT_SHARE, share);
    }
}

int HttpConnection::httpGetPlane(const std::string& url, const std::string& data, std::string& response) {
    const HandleLease curl;
    if (curl.get() == nullptr) {
        return -1;
    }
    std::string requestUrl = url;
    if (!data.empty()) {
        requestUrl += '?';
        requestUrl += data;
    }
    curl_easy_setopt(curl.get(), CURLOPT_URL, requestUrl.c_str());
    setCommonOptions(curl.get());
    return perform(curl.get(), response);
}

int HttpConnection::httpPostPlane(const std::string& url, const std::vector<std::string>& headers,
                                  const std::string& data, std::string& response) {
    const HandleLease curl;
    if (curl.get() == nullptr) {
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
    if (!data.empty()) {
        log->verbose("[{}:{}]     data.length -> {}, data.c_str -> {}|", VELK_AT, data.length(),
                     logExcerpt(data));
        curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, data.c_str());
        curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE, static_cast<long>(std::strlen(data.c_str())));
    }
    const auto code = static_cast<CURLcode>(perform(curl.get(), response));
    if (code != CURLE_OK) {
        log->warning("[{}:{}] in httpPostPlane : failed -> {}", VELK_AT, curl_easy_strerror(code));
    }
    return static_cast<int>(code);
}

}  // namespace velk::comm
