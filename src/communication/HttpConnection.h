#pragma once

#include <curl/curl.h>

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

namespace velk::data {
class LogWrapper;
}

namespace velk::comm {

// The agent's only HTTP client: GET and POST over libcurl's easy interface, each inside one
// retry loop. Attempts run on their thread's one long-lived handle, which keeps that thread's
// idle connections; TLS sessions and resolved names live in the process's CurlShare, when main
// made one, so any thread can resume them. Transfers of different threads never wait for each
// other. HTTPS peers are always verified (TLS 1.2 or later, certificate and host name) against
// the system's CA store or the configured CA file; there is no way to switch that off. Used by
// one thread at a time; libcurl's global initialisation is the process's job, done before any
// thread starts. Answer bodies are capped at kMaxBodyBytes, and a stop request ends transfers
// and pauses early.
class HttpConnection {
  public:
    // Largest answer body read; a longer one fails the transfer (CURLE_WRITE_ERROR).
    static constexpr size_t kMaxBodyBytes = 1024 * 1024;
    static constexpr int kHeldBack = -2;

    HttpConnection();
    virtual ~HttpConnection() = default;

    HttpConnection(const HttpConnection&) = delete;
    HttpConnection& operator=(const HttpConnection&) = delete;

    void setRetry(int retryNum, int retryIntervalSec);
    void setTimeout(long httpTimeout, long httpConnectTimeout);
    // PEM file of the CA certificates to trust; empty means the system's store.
    void setCaCertFile(const std::string& path);
    // Proxy URL for every transfer; empty means direct. Proxy variables of the environment are
    // never used either way.
    void setProxy(const std::string& url);

    // Results: 0 when the transfer completed (whatever the HTTP status), a positive CURLcode
    // when it failed, -1 when no libcurl handle could be created, kHeldBack when no call was made
    // because the service asked for a pause (holdCalls).
    int httpSendGet(const std::string& url, const std::vector<std::string>& headers, const std::string& data,
                    std::string& response);
    int httpSendGetParams(const std::string& url, const std::vector<std::string>& headers,
                          const std::vector<std::string>& params, std::string& response);
    int httpSendPost(const std::string& url, const std::vector<std::string>& headers, const std::string& data,
                     std::string& response);
    // method 0 is GET, 1 is POST.
    int http_access(int method, const std::string& url, const std::vector<std::string>& headers,
                    const std::string& data, std::string& response);
    int httpGetPlane(const std::string& url, const std::string& data, std::string& response);
    int httpPostPlane(const std::string& url, const std::vector<std::string>& headers,
                      const std::string& data, std::string& response);

    // Query or form data as it may be logged: the value of a "upw" parameter, and everything
    // after it, becomes "****".
    static std::string maskSecrets(const std::string& data);
    // An API token as it may be logged: its first 8 characters and its length.
    static std::string maskToken(const std::string& token);
    // A proxy URL as it may be logged: the password of its user part becomes "****".
    static std::string maskProxy(const std::string& url);

    // Process-wide and async-signal-safe: once set, every transfer in progress ends within about
    // a second (CURLE_ABORTED_BY_CALLBACK) and no further attempt or retry pause is made.
    static void stopTransfers(bool stop);
    static bool transfersStopped();

    // Process-wide: no call to the service is made for `seconds` from now (a later hold already
    // set stays). For a service that answered Retry-After; releaseCalls lifts it.
    static void holdCalls(int64_t seconds);
    static void releaseCalls();
    // Whole seconds of the hold still to come, 0 when calls may go out.
    static int64_t callsHeldFor();

    // HTTP status of the last completed attempt (0 when none completed).
    long lastHttpStatus() const { return lastStatus; }
    // libcurl's text for the last failed attempt, empty after a success.
    const std::string& lastError() const { return lastErrorText; }
    // The Retry-After header of the last completed attempt, empty when it had none.
    const std::string& lastRetryAfter() const { return retryAfterText; }

  private:
    void setCommonOptions(CURL* curl) const;
    int perform(CURL* curl, std::string& response);
    void pauseBeforeRetry() const;

    data::LogWrapper* log;
    std::string userAgent;
    int retry_num;
    int retry_interval_sec;
    long http_timeout;
    long http_connect_timeout;
    std::string caCertFile;
    long lastStatus = 0;
    std::string lastErrorText;
    std::string retryAfterText;
    std::string proxy;

    static std::atomic<bool> stopRequested;
    static std::atomic<int64_t> heldUntilMs;
};

}  // namespace velk::comm
