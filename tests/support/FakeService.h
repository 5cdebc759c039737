#pragma once

#include <picojson.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace velk::test {

class TempDir;
class Child;

// One request as the fake monitoring service recorded it.
struct RecordedRequest {
    std::string method;
    std::string path;  // raw, query included
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;  // byte for byte

    // Values of every header of that name (case-insensitive), in arrival order.
    std::vector<std::string> headerValues(const std::string& name) const;
};

// Once per process: libcurl's global initialisation, SIGPIPE ignored and proxy variables
// dropped, as the agent's main does before any thread exists.
void initHttpOnce();

// A port on 127.0.0.1 that nothing listens on (bound once, then released).
int unusedPort();

// Agent settings aimed at base ("https://127.0.0.1:<port>"), logging everything, without HTTP
// retries; each section of `extra` replaces single keys of that section.
std::string agentConfig(const std::string& base, const std::string& caFile,
                        const picojson::object& extra = {});

// The local monitoring service (tools/monitoring_service.py) in a child process with
// its own certificate directory. Stopped and reaped on destruction; it also stops by itself
// if this process dies, because it watches its standard input.
class FakeService {
  public:
    // extraArgs go to the service, e.g. {"--san", "DNS:other.invalid"}.
    explicit FakeService(const std::vector<std::string>& extraArgs = {});
    ~FakeService();
    FakeService(const FakeService&) = delete;
    FakeService& operator=(const FakeService&) = delete;

    bool running() const { return port_ > 0; }
    int port() const { return port_; }
    std::string baseUrl() const;  // "https://127.0.0.1:<port>"
    const std::string& caFile() const { return caFile_; }
    const std::string& dir() const;

    // Control requests; false when the service did not accept them.
    bool configure(const std::string& json);
    bool script(const std::string& path, const std::string& responsesJson);
    std::vector<RecordedRequest> requests();
    std::vector<std::string> tokens();

  private:
    // The answer of a control request; null when it failed.
    picojson::value control(const std::string& path, const std::string* body = nullptr);

    std::unique_ptr<TempDir> tempDir;
    std::unique_ptr<Child> child;
    int port_ = 0;
    int controlPort = 0;
    std::string caFile_;
};

}  // namespace velk::test
