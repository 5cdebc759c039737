#include <curl/curl.h>
#include <signal.h>
#include <unistd.h>

#include <memory>

#include "Corvane.h"
#include "SignalRelay.h"
#include "communication/CurlShare.h"
#include "data/LogWrapper.h"

namespace {

// Writes "<prefix><number>)\n" to stderr without allocating.
void writeSignalLine(const char* prefix, int signalNumber) {
    char line[96];
    size_t n = 0;
    for (const char* p = prefix; *p != '\0' && n < sizeof(line) - 8; ++p) {
        line[n++] = *p;
    }
    char digits[8];
    size_t d = 0;
    unsigned value = signalNumber < 0 ? 0U : static_cast<unsigned>(signalNumber);
    do {
        digits[d++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0 && d < sizeof(digits));
    while (d > 0) {
        line[n++] = digits[--d];
    }
    line[n++] = ')';
    line[n++] = '\n';
    ssize_t ignored = write(STDERR_FILENO, line, n);
    (void)ignored;
}

void exitSignalHandler(int signalNumber) {
    velk::Corvane* agent = velk::agentInstance.load();
    if (agent == nullptr) {
        writeSignalLine("exit application. receive signal(", signalNumber);
        _exit(2);
    }
    agent->receiveExitSignal(signalNumber);
}

void orderSignalHandler(int signalNumber) {
    velk::Corvane* agent = velk::agentInstance.load();
    if (agent == nullptr) {
        writeSignalLine("receive signal : but not ready (order) (", signalNumber);
        return;
    }
    agent->receiveOrderSignal(signalNumber);
}

void failSignalInit(const char* message) {
    ssize_t ignored = write(STDERR_FILENO, message, __builtin_strlen(message));
    (void)ignored;
    _exit(1);
}

void signalInit() {
    if (signal(SIGINT, exitSignalHandler) == SIG_ERR) {
        failSignalInit("failed to signal init : SIGINT(2)\n");
    }
    if (signal(SIGTERM, exitSignalHandler) == SIG_ERR) {
        failSignalInit("failed to signal init ; SIGTERM(15)\n");
    }
    if (signal(SIGUSR1, orderSignalHandler) == SIG_ERR) {
        failSignalInit("failed to signal init ; SIGUSR1(10)\n");
    }
    if (signal(SIGUSR2, orderSignalHandler) == SIG_ERR) {
        failSignalInit("failed to signal init ; SIGUSR2(12)\n");
    }
}

}  // namespace

int main() {
    signalInit();
    // A peer closing a connection mid-transfer must not end the agent.
    signal(SIGPIPE, SIG_IGN);
    // Not thread-safe: done once here, before any other thread exists.
    curl_global_init(CURL_GLOBAL_DEFAULT);
#ifndef VELK_WITHOUT_CURL_SHARE  // only the traffic bench's second sandbox binary goes without
    velk::comm::CurlShare curlShare;
#endif

    auto agent = std::make_unique<velk::Corvane>();
    velk::agentInstance.store(agent.get());
    const int initResult = agent->init();
    if (initResult == 0) {
        agent->mainLoop();
        agent->finish();
    }
    // An update thread may still be inside a transfer: the exit handlers (the TLS library's
    // among them) must not run under it. The relay writes its last lines, the log is flushed,
    // and the process ends without them; the agent stays published for a late signal.
    velk::SignalRelay::stop();
    if (velk::data::LogWrapper* log = velk::data::LogWrapper::getInstance()) {
        log->flush();
    }
    // An agent that could not start (another one holds its database, say) must not look like one
    // that ended in order.
    _exit(initResult == 0 ? 0 : 1);
}
