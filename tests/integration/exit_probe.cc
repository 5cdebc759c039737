// Preloaded into the agent by an integration test: leaves a mark when the process runs its exit
// handlers, which it must not do while update threads may still be inside a transfer.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

char markPath[4096];

void leaveMark() {
    int fd = ::open(markPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        ::close(fd);
    }
}

__attribute__((constructor)) void armProbe() {
    const char* path = std::getenv("VELK_EXIT_MARK");
    if (path != nullptr && std::strlen(path) < sizeof(markPath)) {
        std::strcpy(markPath, path);
        std::atexit(leaveMark);
    }
    // The agent's scripts and stand-in commands run without the probe.
    unsetenv("LD_PRELOAD");
    unsetenv("VELK_EXIT_MARK");
}

}  // namespace
