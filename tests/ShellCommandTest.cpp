#include <gtest/gtest.h>
#include <unistd.h>

#include "ShellCommand.h"

using velk::runCommandLastLine;

TEST(RunCommandLastLine, KeepsLastLineOnlyOnCleanExit) {
    struct Case {
        const char* command;
        int result;
        const char* output;
    };
    const Case cases[] = {
        {"printf 'one\\ntwo\\n'", 0, "two\n"},
        {"printf 'no newline'", 0, "no newline"},
        {"true", 0, ""},
        {"echo printed; exit 1", -4, "unchanged"},
        {"echo printed; kill -9 $$", -2, "unchanged"},
    };
    for (const auto& c : cases) {
        std::string output = c.result == 0 ? "" : "unchanged";
        EXPECT_EQ(runCommandLastLine(c.command, output), c.result) << c.command;
        EXPECT_EQ(output, c.output) << c.command;
    }
}

TEST(RunCommandLastLine, LongLineKeepsItsLastPiece) {
    std::string output;
    ASSERT_EQ(runCommandLastLine("head -c 300 /dev/zero | tr '\\0' a", output), 0);
    EXPECT_EQ(output, std::string(300 - 255, 'a'));
}

TEST(ShellCommand, CloseWithoutStartAndDoubleStart) {
    velk::ShellCommand shell;
    EXPECT_EQ(shell.close(), -1);
    ASSERT_TRUE(shell.start("exit 7"));
    EXPECT_FALSE(shell.start("true"));
    int status = shell.close();
    EXPECT_TRUE(velk::ShellCommand::exitedWith(status, 7));
}

TEST(ShellCommand, ChildInheritsNoDescriptorBeyondStandardStreams) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);  // deliberately without close-on-exec
    std::string output;
    ASSERT_EQ(runCommandLastLine("ls /proc/self/fd | wc -l", output), 0);
    close(fds[0]);
    close(fds[1]);
    // stdin, stdout, stderr and the directory ls reads.
    EXPECT_EQ(output, "4\n");
}
