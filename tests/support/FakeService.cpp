#include "support/FakeService.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <picojson.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "ShellCommand.h"
#include "support/TempDir.h"

extern char** environ;

namespace velk::test {

namespace {

struct Fd {
    int fd = -1;
    explicit Fd(int f = -1) : fd(f) {}
    ~Fd() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int release() {
        int f = fd;
        fd = -1;
        return f;
    }
};

struct CurlCleanup {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};

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

// Reads one line from fd within the deadline; empty when none came.
std::string readLine(int fd, std::chrono::steady_clock::time_point deadline) {
    std::string line;
    while (std::chrono::steady_clock::now() < deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count()) + 1) <= 0) {
            continue;
        }
        char c = 0;
        const ssize_t n = ::read(fd, &c, 1);
        if (n <= 0) {
            return "";
        }
        if (c == '\n') {
            return line;
        }
        line.push_back(c);
    }
    return "";
}

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
    Fd sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof(addr);
    if (sock.fd < 0 || bind(sock.fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        getsockname(sock.fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        return 0;
    }
    return ntohs(addr.sin_port);
}

std::string FakeService::scriptPath() { return VELK_SERVICE_SCRIPT; }

FakeService::FakeService(const std::vector<std::string>& extraArgs) : tempDir(std::make_unique<TempDir>()) {
    initHttpOnce();
    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0) {
        return;
    }
    Fd inRead(in[0]);
    Fd inWrite(in[1]);
    if (pipe2(out, O_CLOEXEC) != 0) {
        return;
    }
    Fd outRead(out[0]);
    Fd outWrite(out[1]);

    std::vector<std::string> args{"python3", scriptPath(),  "--dir",        tempDir->path(),
                                  "--quiet", "--info-json", "--stop-on-eof"};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_adddup2(&actions, inRead.fd, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, outWrite.fd, STDOUT_FILENO);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    const int spawned = posix_spawnp(&pid, "python3", &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (spawned != 0) {
        pid = -1;
        return;
    }
    stdinFd = inWrite.release();
    ::close(outWrite.release());

    const std::string line =
        readLine(outRead.fd, std::chrono::steady_clock::now() + std::chrono::seconds(20));
    picojson::value info;
    if (line.empty() || !picojson::parse(info, line).empty() || !info.is<picojson::object>()) {
        std::fprintf(stderr, "monitoring service did not start: '%s'\n", line.c_str());
        return;
    }
    port_ = static_cast<int>(info.get("port").get<int64_t>());
    controlPort = static_cast<int>(info.get("control_port").get<int64_t>());
    caFile_ = info.get("ca_file").get<std::string>();
}

FakeService::~FakeService() {
    if (stdinFd >= 0) {
        ::close(stdinFd);  // the service stops when its input closes
    }
    if (pid <= 0) {
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

std::string FakeService::baseUrl() const { return "https://127.0.0.1:" + std::to_string(port_); }

const std::string& FakeService::dir() const { return tempDir->path(); }

bool FakeService::control(const std::string& method, const std::string& path, const std::string& body,
                          std::string& answer) {
    if (controlPort <= 0) {
        return false;
    }
    std::unique_ptr<CURL, CurlCleanup> curl(curl_easy_init());
    if (!curl) {
        return false;
    }
    const std::string url = "http://127.0.0.1:" + std::to_string(controlPort) + path;
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, 10L);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, appendBody);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &answer);
    if (method == "POST") {
        curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, body.c_str());
        curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    }
    if (curl_easy_perform(curl.get()) != CURLE_OK) {
        return false;
    }
    long status = 0;
    curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
    return status == 200;
}

bool FakeService::configure(const std::string& json) {
    std::string answer;
    return control("POST", "/config", json, answer);
}

bool FakeService::script(const std::string& path, const std::string& responsesJson) {
    std::string answer;
    return control("POST", "/script",
                   "{\"path\":" + picojson::value(path).serialize() + ",\"responses\":" + responsesJson + "}",
                   answer);
}

std::vector<RecordedRequest> FakeService::requests() {
    std::vector<RecordedRequest> result;
    std::string answer;
    picojson::value root;
    if (!control("GET", "/requests", "", answer) || !picojson::parse(root, answer).empty()) {
        return result;
    }
    for (const auto& item : root.get("requests").get<picojson::array>()) {
        RecordedRequest request;
        request.method = item.get("method").get<std::string>();
        request.path = item.get("path").get<std::string>();
        request.body = fromHex(item.get("body_hex").get<std::string>());
        for (const auto& header : item.get("headers").get<picojson::array>()) {
            const auto& pair = header.get<picojson::array>();
            request.headers.emplace_back(pair.at(0).get<std::string>(), pair.at(1).get<std::string>());
        }
        result.push_back(std::move(request));
    }
    return result;
}

picojson::value FakeService::state() {
    std::string answer;
    picojson::value root;
    if (!control("GET", "/state", "", answer) || !picojson::parse(root, answer).empty() ||
        !root.is<picojson::object>()) {
        return picojson::value(picojson::object{{"tokens", picojson::value(picojson::array{})},
                                                {"tls_errors", picojson::value(int64_t{-1})}});
    }
    return root;
}

std::vector<std::string> FakeService::tokens() {
    std::vector<std::string> result;
    const picojson::value root = state();
    for (const auto& token : root.get("tokens").get<picojson::array>()) {
        result.push_back(token.get<std::string>());
    }
    return result;
}

int FakeService::tlsErrors() { return static_cast<int>(state().get("tls_errors").get<int64_t>()); }

std::string FakeService::makeCa(const std::string& dir, const std::string& name) {
    ShellCommand command;
    if (!command.start("python3 '" + scriptPath() + "' --dir '" + dir + "' --make-ca '" + name + "'")) {
        return "";
    }
    std::string output;
    char buffer[512];
    while (std::fgets(buffer, sizeof(buffer), command.output()) != nullptr) {
        output += buffer;
    }
    if (!ShellCommand::exitedWith(command.close(), 0)) {
        return "";
    }
    while (!output.empty() && (output.back() == '\n' || output.back() == '\r')) {
        output.pop_back();
    }
    return output;
}

}  // namespace velk::test
