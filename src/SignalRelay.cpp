#include "SignalRelay.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "data/LogWrapper.h"

namespace velk {

namespace {

std::atomic<int> writeFd{-1};
int readFd = -1;
std::atomic<bool> running{false};
std::thread relayThread;

// A notice is one byte: the kind in the top bit, the signal number below it; 0 ends the relay.
constexpr unsigned char kExitBit = 0x80;

void relayLoop(data::LogWrapper* log) {
    for (;;) {
        unsigned char notice = 0;
        ssize_t n = read(readFd, &notice, 1);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0 || notice == 0) {
            return;
        }
        int signalNumber = notice & 0x7f;
        if ((notice & kExitBit) != 0) {
            log->warning("[{}:{}] !!! Receive Exit Signal !!! ({})", VELK_AT, signalNumber);
        } else {
            log->warning("[{}:{}] !!! Receive Order Signal !!! ({})", VELK_AT, signalNumber);
        }
        log->flush();
    }
}

void writeByte(unsigned char byte) {
    int fd = writeFd.load();
    if (fd < 0) {
        return;
    }
    int savedErrno = errno;
    ssize_t ignored = write(fd, &byte, 1);  // a full pipe drops the notice rather than block
    (void)ignored;
    errno = savedErrno;
}

}  // namespace

bool SignalRelay::start(data::LogWrapper* log) {
    if (running.load() || log == nullptr) {
        return false;
    }
    if (writeFd.load() < 0) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            return false;
        }
        fcntl(fds[1], F_SETFL, O_NONBLOCK);
        readFd = fds[0];
        writeFd.store(fds[1]);
    }
    relayThread = std::thread(relayLoop, log);
    running.store(true);
    return true;
}

void SignalRelay::stop() {
    if (!running.exchange(false)) {
        return;
    }
    // A blocking write, so the end marker cannot be lost to a full pipe.
    int fd = writeFd.load();
    int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    unsigned char end = 0;
    while (write(fd, &end, 1) < 0 && errno == EINTR) {
    }
    fcntl(fd, F_SETFL, flags);
    relayThread.join();
}

void SignalRelay::notify(Kind kind, int signalNumber) {
    if (!running.load()) {
        return;
    }
    unsigned char notice = static_cast<unsigned char>(signalNumber & 0x7f);
    if (kind == kExit) {
        notice = static_cast<unsigned char>(notice | kExitBit);
    }
    writeByte(notice);
}

}  // namespace velk
