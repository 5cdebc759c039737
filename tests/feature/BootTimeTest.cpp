#include <gtest/gtest.h>
#include <sys/stat.h>

#include "TimeFormat.h"
#include "feature/BootTime.h"
#include "support/TempDir.h"

using velk::feature::BootTime;
using velk::test::TempDir;

TEST(BootTime, LineFeedRemovedFromCommandOutput) {
    TempDir dir;
    std::string uptime = dir.write("uptime", "#!/bin/sh\nprintf '2026-12-01 08:00:00\\r\\n'\n", 0755);
    EXPECT_EQ(BootTime(uptime + " -s").getBootTime(), "2026-12-01 08:00:00");
}

TEST(BootTime, FailingOrSilentCommandGivesEmptyText) {
    TempDir dir;
    std::string failing = dir.write("failing", "#!/bin/sh\necho '2026-12-01 08:00:00'\nexit 1\n", 0755);
    std::string silent = dir.write("silent", "#!/bin/sh\nexit 0\n", 0755);
    EXPECT_EQ(BootTime(failing).getBootTime(), "");
    EXPECT_EQ(BootTime(silent).getBootTime(), "");
    EXPECT_EQ(BootTime(dir.file("missing")).getBootTime(), "");
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
