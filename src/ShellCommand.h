#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace velk {

// A shell command whose standard output is read through a pipe, like popen in read mode.
// The child starts with default signal dispositions and an empty signal mask, whatever the
// agent ignores or blocks. Owns the pipe and the child: the destructor closes and reaps.
// Used by one thread at a time.
class ShellCommand {
  public:
    ShellCommand() = default;
    virtual ~ShellCommand();

    ShellCommand(const ShellCommand&) = delete;
    ShellCommand& operator=(const ShellCommand&) = delete;

    // false when the command cannot be started. With `ownGroup` the command leads a process
    // group of its own, which stopGroup() ends with everything it started.
    bool start(const std::string& command, bool ownGroup = false);
    // The output stream while the command runs; null before start and after close.
    FILE* output() const { return stream; }
    // Closes the pipe and waits for the command: the raw wait status, or -1 when the
    // command was not running or cannot be waited for.
    int close();
    // Appends the whole output until end of file; with a limit above 0, false once that many
    // seconds have passed first. A read error ends the read like end of file.
    bool readAll(std::string& output, int32_t limitSeconds = 0);
    // Kills the command's process group (started with `ownGroup`); close() then reaps it.
    void stopGroup();
    // The child's process id (its group's id with `ownGroup`) while it has not been reaped; -1 otherwise.
    pid_t processId() const { return pid; }

    // Wait-status decoding shared by the callers that look at exit codes.
    static bool exitedWith(int status, int code);

  private:
    FILE* stream = nullptr;
    pid_t pid = -1;
    bool grouped = false;
};

// Runs a command and keeps the last line it printed (at most 255 characters, line feed
// included). 0 on success; -1 not started, -4 non-zero exit, -2 killed by a signal,
// -3 the close failed. `output` changes only on success.
int runCommandLastLine(const std::string& command, std::string& output);

}  // namespace velk
