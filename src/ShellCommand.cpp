#include "ShellCommand.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace velk {

namespace {

// Owns the spawn attributes and file actions for one start.
struct SpawnSetup {
    posix_spawnattr_t attr{};
    posix_spawn_file_actions_t actions{};
    bool ok = false;

    SpawnSetup(int readFd, int writeFd) {
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
        ok = posix_spawnattr_setsigmask(&attr, &none) == 0 &&
             posix_spawnattr_setsigdefault(&attr, &all) == 0 &&
             posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0 &&
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

bool ShellCommand::start(const std::string& command) {
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
        SpawnSetup setup(fds[0], fds[1]);
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
    return true;
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
