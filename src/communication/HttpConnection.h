#pragma once

#include <curl/curl.h>

#include <string>
#include <vector>

namespace velk::data {
class LogWrapper;
}

namespace velk::comm {

// The agent's only HTTP client: GET and POST over libcurl's easy interface, each inside one
// retry loop. Every attempt uses its own handle; TLS sessions and idle connections live in the
// process's CurlShare, when main made one, so a later call can resume them. HTTPS peers
// are always verified (TLS 1.2 or later, certificate and host name) against the system's CA
// store or the configured CA file; there is no way to switch that off. Used by one thread at
// a time; libcurl's global initialisation is the process's job, done before any thread starts.
class HttpConnection {
  public:
    HttpConnection();
    virtual ~HttpConnection() = default;

    HttpConnection(const HttpConnection&) = delete;
    HttpConnection& operator=(const HttpConnection&) = delete;

    void setRetry(int retryNum, int retryIntervalSec);
    void setTimeout(long httpTimeout, long httpConnectTimeout);
    // PEM file of the CA certificates to trust; empty means the system's store.
    void setCaCertFile(const std::string& path);

    // Results: 0 when the transfer completed (whatever the HTTP status), a positive CURLcode
    // when it failed, -1 when no libcurl handle could be created.
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
    // after it, since an unencoded password may itself hold '&', becomes "****".
    static std::string maskSecrets(const std::string& data);

  private:
    void setCommonOptions(CURL* curl) const;

    data::LogWrapper* log;
    std::string userAgent;
    int retry_num;
    int retry_interval_sec;
    long http_timeout;
    long http_connect_timeout;
    std::string caCertFile;
};

}  // namespace velk::comm
