#include <gtest/gtest.h>

#include "communication/NetworkAccessCheck.h"
#include "support/TempDir.h"
#include "support/TestLog.h"

using velk::comm::NetworkAccessCheck;
using velk::test::exists;
using velk::test::TempDir;

TEST(NetworkAccessCheck, ReachedAndDownWithRealPing) {
    velk::test::TestLog log(R"({"server_alive": {"ping_server_fqdn": "no-such-host.invalid",
                                                  "ping_server_ipaddr": "127.0.0.1"}})");
    if (!exists("/bin/ping")) {
        GTEST_SKIP() << "no /bin/ping on this machine";
    }
    NetworkAccessCheck check("/bin/ping");
    EXPECT_EQ(check.pingIpAddress(), 0);
    EXPECT_TRUE(
        log.contains(": <<< pingCmd --> (/bin/ping -c 1 '127.0.0.1' > /dev/null 2>&1) : ret -> 0 >>>"));
    EXPECT_TRUE(log.contains(
        ": <<< network reached : ping success --> (0) (remote server (IP Address): 127.0.0.1) >>>"));
    EXPECT_EQ(check.pingFqdn(), -4);
    EXPECT_TRUE(log.contains(
        ": <<< network down : ping filed --> (-4) (remote server (FQDN): no-such-host.invalid) >>>"));
    // ping's own output never reaches the log.
    EXPECT_FALSE(log.contains("PING"));
}

// A host value with shell syntax is one argument to ping, never a command of its own.
TEST(NetworkAccessCheck, HostWithShellMetacharactersRunsNothingExtra) {
    TempDir dir;
    std::string marker = dir.file("owned");
    velk::test::TestLog log;
    std::string fakePing =
        dir.write("ping", "#!/bin/sh\necho \"$3\" > " + dir.file("args") + "\nexit 0\n", 0755);
    NetworkAccessCheck check(fakePing);
    for (std::string host : {"x; touch " + marker, "$(touch " + marker + ")", "`touch " + marker + "`",
                             "it's'; touch " + marker + "; '"}) {
        EXPECT_EQ(check.ping(host), 0) << host;
        EXPECT_FALSE(exists(marker)) << host;
        EXPECT_EQ(velk::test::readFile(dir.file("args")), host + "\n");
    }
}

TEST(NetworkAccessCheck, ExitStatusDecoding) {
    EXPECT_EQ(NetworkAccessCheck::runPingCommand("yes | head -c 100000"), 0);
    EXPECT_EQ(NetworkAccessCheck::runPingCommand("exit 2"), -4);
    EXPECT_EQ(NetworkAccessCheck::runPingCommand("kill -TERM $$"), -2);
}
