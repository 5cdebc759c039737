#include <gtest/gtest.h>
#include <sys/stat.h>

#include "TimeFormat.h"
#include "feature/BootTime.h"
#include "support/TempDir.h"

using velk::feature::BootTime;
using velk::test::TempDir;

TEST(BootTime, LastLineWithoutLineBreaksOnlyFromACleanExit) {
    TempDir dir;
    const struct {
        const char* script;  // empty: no such command
        const char* expected;
    } cases[] = {{"printf '2026-12-01 08:00:00\\r\\n'", "2026-12-01 08:00:00"},
                 {"echo '2026-12-01 08:00:00'; exit 1", ""},
                 {"exit 0", ""},
                 {"", ""}};
    for (const auto& c : cases) {
        const std::string command =
            *c.script ? dir.write("uptime", std::string("#!/bin/sh\n") + c.script + "\n", 0755)
                      : dir.file("none");
        EXPECT_EQ(BootTime(command + " -s").getBootTime(), c.expected) << c.script;
    }
}

// A clock that is not past the threshold runs no command at all.
TEST(BootTime, UnsetClockRunsNothing) {
    TempDir dir;
    std::string marker = dir.file("ran");
    std::string uptime = dir.write("uptime", "#!/bin/sh\ntouch " + marker + "\necho 2026-12-01\n", 0755);
    BootTime bootTime(uptime);
    bootTime.validAfter = velk::nowSeconds() + 3600;
    EXPECT_EQ(bootTime.getBootTime(), "");
    struct stat st {};
    EXPECT_NE(stat(marker.c_str(), &st), 0);
}
