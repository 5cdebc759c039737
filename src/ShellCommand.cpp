#include "ShellCommand.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

extern char** environ;

namespace velk {

namespace {

// Owns the spawn attributes and file actions for one start.
struct SpawnSetup {
    posix_spawnattr_t attr{};
    posix_spawn_file_actions_t actions{};
    bool ok = false;

    SpawnSetup(int readFd, int writeFd, bool ownGroup) {
        if (posix_spawnattr_init(&attr) != 0) {
            return;
        }
        if (posix_spawn_file_actions_init(&actions) != 0) {
            posix_spawnattr_destroy(&attr);
            return;
        }
        sigset_t none;
        sigset_t all;
        sigemptyset(&none);
        sigfillset(&all);
        short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
        if (ownGroup) {
            flags = static_cast<short>(flags | POSIX_SPAWN_SETPGROUP);
        }
        ok = posix_spawnattr_setsigmask(&attr, &none) == 0 &&
             posix_spawnattr_setsigdefault(&attr, &all) == 0 && posix_spawnattr_setpgroup(&attr, 0) == 0 &&
             posix_spawnattr_setflags(&attr, flags) == 0 &&
             // Out of the terminal's foreground group, a read of the terminal would stop it.
             (!ownGroup ||
              posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0) == 0) &&
             posix_spawn_file_actions_adddup2(&actions, writeFd, STDOUT_FILENO) == 0 &&
             posix_spawn_file_actions_addclose(&actions, readFd) == 0 &&
             // The log file, database and sockets are the agent's, not the command's.
             posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1) == 0;
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

}  // namespace

ShellCommand::~ShellCommand() { close(); }

bool ShellCommand::start(const std::string& command, bool ownGroup) {
    if (stream != nullptr) {
        return false;
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return false;
    }
    pid_t child = -1;
    int rc = -1;
    {
        SpawnSetup setup(fds[0], fds[1], ownGroup);
        if (setup.ok) {
            std::string shellCommand = command;
            char shell[] = "sh";
            char dashC[] = "-c";
            char* argv[] = {shell, dashC, shellCommand.data(), nullptr};
            rc = posix_spawn(&child, "/bin/sh", &setup.actions, &setup.attr, argv, environ);
        }
    }
    ::close(fds[1]);
    if (rc != 0) {
        ::close(fds[0]);
        return false;
    }
    stream = fdopen(fds[0], "r");
    if (stream == nullptr) {
        ::close(fds[0]);
        int status = 0;
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        return false;
    }
    pid = child;
    grouped = ownGroup;
    return true;
}

bool ShellCommand::readAll(std::string& output, int32_t limitSeconds) {
    if (stream == nullptr) {
        return true;
    }
    const int fd = fileno(stream);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limitSeconds);
    char buffer[256];
    while (true) {
        if (limitSeconds > 0) {
            const int64_t left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                     deadline - std::chrono::steady_clock::now())
                                     .count();
            if (left <= 0) {
                return false;
            }
            pollfd watch{fd, POLLIN, 0};
            const int ready = poll(&watch, 1, static_cast<int>(std::min<int64_t>(left, 1000)));
            if (ready == 0 || (ready < 0 && errno == EINTR)) {
                continue;
            }
            if (ready < 0) {
                break;
            }
        }
        const ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        output.append(buffer, static_cast<size_t>(n));
    }
    return true;
}

void ShellCommand::stopGroup() {
    // Before the reap the group id cannot belong to anyone else.
    if (stream != nullptr && grouped && pid > 0) {
        kill(-pid, SIGKILL);
    }
}

int ShellCommand::close() {
    if (stream == nullptr) {
        return -1;
    }
    fclose(stream);
    stream = nullptr;
    int status = 0;
    pid_t waited;
    do {
        waited = waitpid(pid, &status, 0);
    } while (waited < 0 && errno == EINTR);
    pid = -1;
    grouped = false;
    return waited < 0 ? -1 : status;
}

int runCommandLastLine(const std::string& command, std::string& output) {
    ShellCommand shell;
    if (!shell.start(command)) {
        return -1;
    }
    std::string last;
    char line[256];
    // A read error ends the loop like end of file.
    while (fgets(line, sizeof(line), shell.output()) != nullptr) {
        last = line;
    }
    int status = shell.close();
    if (status == -1) {
        return -3;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
        return -4;
    }
    if (WIFSIGNALED(status)) {
        return -2;
    }
    if (!WIFEXITED(status)) {
        return -3;
    }
    output = last;
    return 0;
}

bool ShellCommand::exitedWith(int status, int code) {
    return WIFEXITED(status) && WEXITSTATUS(status) == code;
}

}  // namespace velk
