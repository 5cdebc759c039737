#include "support/FakeService.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "ShellCommand.h"
#include "support/TempDir.h"

namespace velk::test {

// The service process; it stops when the write end of its standard input closes.
class Child {
  public:
    ShellCommand command;
    int stdinFd = -1;
    ~Child() {
        if (stdinFd >= 0) {
            ::close(stdinFd);
        }
        command.close();
    }
};

namespace {

size_t appendBody(char* ptr, size_t size, size_t nmemb, void* userdata) {
    static_cast<std::string*>(userdata)->append(ptr, size * nmemb);
    return size * nmemb;
}

std::string fromHex(const std::string& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

std::string quoted(const std::string& word) { return "'" + word + "'"; }

}  // namespace

std::vector<std::string> RecordedRequest::headerValues(const std::string& name) const {
    std::vector<std::string> values;
    for (const auto& [key, value] : headers) {
        if (strcasecmp(key.c_str(), name.c_str()) == 0) {
            values.push_back(value);
        }
    }
    return values;
}

void initHttpOnce() {
    static const bool done = [] {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        signal(SIGPIPE, SIG_IGN);
        for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
            unsetenv(name);
        }
        return true;
    }();
    (void)done;
}

int unusedPort() {
    const int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    const bool bound = sock >= 0 && bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
                       getsockname(sock, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
    if (sock >= 0) {
        ::close(sock);
    }
    return bound ? ntohs(addr.sin_port) : 0;
}

std::string agentConfig(const std::string& base, const std::string& caFile, const picojson::object& extra) {
    picojson::value root;
    picojson::parse(root,
                    R"({"log": {"log_level": 0}, "web_api": {"api_base_url": ")" + base +
                        R"(/monitoring/api/", "api_login_url": ")" + base +
                        R"(/monitoring/api_user/"}, "http_access": {"retry_num": 0, "retry_interval_sec": 1,
                              "http_timeout": 2, "http_connect_timeout": 1}})");
    auto& sections = root.get<picojson::object>();
    sections["http_access"].get<picojson::object>()["ca_cert_file"] = picojson::value(caFile);
    for (const auto& [name, section] : extra) {
        if (!sections[name].is<picojson::object>()) {
            sections[name] = picojson::value(picojson::object{});
        }
        for (const auto& [key, value] : section.get<picojson::object>()) {
            sections[name].get<picojson::object>()[key] = value;
        }
    }
    return root.serialize();
}

FakeService::FakeService(const std::vector<std::string>& extraArgs)
    : tempDir(std::make_unique<TempDir>()), child(std::make_unique<Child>()) {
    initHttpOnce();
    // The service's standard input: a pipe the child's shell opens, and the service watches.
    const std::string input = tempDir->file("stdin");
    std::string command = "exec python3 " + quoted(VELK_SERVICE_SCRIPT) + " --dir " +
                          quoted(tempDir->path()) + " --quiet --info-json --stop-on-eof";
    for (const auto& arg : extraArgs) {
        command += " " + quoted(arg);
    }
    const bool started = mkfifo(input.c_str(), 0600) == 0 &&
                         child->command.start(command + " < " + quoted(input)) &&
                         (child->stdinFd = ::open(input.c_str(), O_WRONLY | O_CLOEXEC)) >= 0;
    char line[1024] = "";
    picojson::value info;
    if (!started || std::fgets(line, sizeof(line), child->command.output()) == nullptr ||
        !picojson::parse(info, line).empty() || !info.is<picojson::object>()) {
        std::fprintf(stderr, "monitoring service did not start: '%s'\n", line);
        return;
    }
    port_ = static_cast<int>(info.get("port").get<int64_t>());
    controlPort = static_cast<int>(info.get("control_port").get<int64_t>());
    caFile_ = info.get("ca_file").get<std::string>();
}

FakeService::~FakeService() = default;

std::string FakeService::baseUrl() const { return "https://127.0.0.1:" + std::to_string(port_); }

const std::string& FakeService::dir() const { return tempDir->path(); }

picojson::value FakeService::control(const std::string& path, const std::string* body) {
    std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
    if (controlPort <= 0 || !curl) {
        return {};
    }
    const std::string url = "http://127.0.0.1:" + std::to_string(controlPort) + path;
    std::string answer;
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, 10L);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, appendBody);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &answer);
    if (body != nullptr) {
        curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, body->c_str());
        curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE, static_cast<long>(body->size()));
    }
    long status = 0;
    picojson::value root;
    if (curl_easy_perform(curl.get()) != CURLE_OK ||
        curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status != 200 ||
        !picojson::parse(root, answer).empty()) {
        return {};
    }
    return root;
}

bool FakeService::configure(const std::string& json) {
    return !control("/config", &json).is<picojson::null>();
}

bool FakeService::script(const std::string& path, const std::string& responsesJson) {
    const std::string body =
        "{\"path\":" + picojson::value(path).serialize() + ",\"responses\":" + responsesJson + "}";
    return !control("/script", &body).is<picojson::null>();
}

std::vector<RecordedRequest> FakeService::requests() {
    std::vector<RecordedRequest> result;
    const picojson::value root = control("/requests");
    if (!root.get("requests").is<picojson::array>()) {
        return result;
    }
    for (const auto& item : root.get("requests").get<picojson::array>()) {
        RecordedRequest request{item.get("method").to_str(),
                                item.get("path").to_str(),
                                {},
                                fromHex(item.get("body_hex").to_str())};
        for (const auto& header : item.get("headers").get<picojson::array>()) {
            request.headers.emplace_back(header.get(0).to_str(), header.get(1).to_str());
        }
        result.push_back(std::move(request));
    }
    return result;
}

std::vector<std::string> FakeService::tokens() {
    std::vector<std::string> result;
    const picojson::value tokens = control("/state").get("tokens");
    if (tokens.is<picojson::array>()) {
        for (const auto& token : tokens.get<picojson::array>()) {
            result.push_back(token.to_str());
        }
    }
    return result;
}

}  // namespace velk::test
