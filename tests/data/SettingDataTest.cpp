#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "data/SettingData.h"
#include "support/TempDir.h"

using velk::data::SettingData;
using velk::test::TempDir;

namespace {

// Settings read from a configuration text, with a substrate command that prints one line.
struct Loaded {
    TempDir dir;
    std::unique_ptr<SettingData> settings;
    explicit Loaded(const std::string& json, const std::string& substrateScript = "#!/bin/sh\necho DEV-1\n") {
        std::string conf = dir.write("velk.conf", json);
        std::string substrate = dir.write("substrate", substrateScript, 0755);
        settings = std::make_unique<SettingData>(conf, substrate);
    }
};

}  // namespace

TEST(SettingData, MissingFileReportsOnStderrAndKeepsDefaults) {
    TempDir dir;
    testing::internal::CaptureStderr();
    SettingData settings(dir.file("absent.conf"), "true");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "failed to read setting file : " + dir.file("absent.conf") +
                       "\nSettingData constructor : failed : loadSettingFile -> 1\n");
    EXPECT_EQ(settings.getInt("check_interval_sec", -1), 3600);
}

// A file that does not parse applies nothing and never ends the process.
TEST(SettingData, UnparsableFileKeepsDefaults) {
    std::string deep;
    for (int i = 0; i < 100000; ++i) {
        deep += "{\"a\":";
    }
    deep += "1" + std::string(100000, '}');
    const std::string set = R"({"log": {"log_file": "other.log", "log_counts": )";
    const std::pair<std::string, std::string> cases[] = {
        {R"({"log": {"log_file": "other.log"}, )", "syntax error at line 1"},
        {set + "1e400}}", "unreadable value"},
        {set + std::string(400, '9') + "}}", "unreadable value"},
        {set + deep + "}}", "nested deeper than 200 levels"},
    };
    for (const auto& [json, error] : cases) {
        testing::internal::CaptureStderr();
        Loaded loaded(json);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(error), std::string::npos) << err;
        EXPECT_NE(err.find("SettingData constructor : failed : loadSettingFile -> 2\n"), std::string::npos);
        EXPECT_EQ(loaded.settings->getString("log_file"), "velk.log") << error;
        EXPECT_EQ(loaded.settings->getInt("log_counts", 0), 10) << error;
    }
}

TEST(SettingData, NumbersAreTruncatedAndClampedAndWrongTypesKeepDefaults) {
    Loaded loaded(R"({
        "log": {"log_max_bytes": 2.9, "log_counts": "7", "log_level": -1.7},
        "order_check": {"check_interval_sec": 1e12, "check_slice_interval_sec": -1e12, "delay_start_time": true},
        "http_access": {"http_timeout": 4294967297, "retry_num": null},
        "web_api": {"api_token_expiration": 99.99}
    })");
    const SettingData& s = *loaded.settings;
    EXPECT_EQ(s.getInt("log_max_bytes", 0), 2);
    EXPECT_EQ(s.getInt("log_counts", 0), 10);
    EXPECT_EQ(s.getLogLevel(), -1);
    EXPECT_EQ(s.getInt("check_interval_sec", 0), 2147483647);
    EXPECT_EQ(s.getInt("check_slice_interval_sec", 0), -2147483647 - 1);
    EXPECT_EQ(s.getInt("delay_start_time", 0), 180);
    EXPECT_EQ(s.getLong("http_timeout", 0), 2147483647);
    EXPECT_EQ(s.getInt("retry_num", 0), 3);
    EXPECT_EQ(s.getInt("api_token_expiration", 0), 99);
}

// A header list keeps only its texts; "api_uri" gives only its two text members, and the
// "order_check" section does not shadow the address of that name.
TEST(SettingData, ListsAndAddressesKeepOnlyTexts) {
    Loaded loaded(R"({"web_api": {"header": ["A: 1", 5, "B: $api_token$"],
                                  "api_uri": {"order_check": "poll", "other": "x", "report_result": 3}}})");
    EXPECT_EQ(loaded.settings->getList("header"), (std::vector<std::string>{"A: 1", "B: $api_token$"}));
    EXPECT_EQ(loaded.settings->getString("order_check"), "poll");
    EXPECT_EQ(loaded.settings->getString("report_result"), "");
    EXPECT_EQ(loaded.settings->getString("other"), "");
    EXPECT_EQ(loaded.settings->getInt("check_interval_sec", 0), 3600);
    EXPECT_TRUE(Loaded(R"({"web_api": {"header": []}})").settings->getList("header").empty());
    EXPECT_EQ(Loaded(R"({"web_api": {"header": "A: 1"}})").settings->getList("header").size(), 2u);
}

// Shapes the loader cannot read as sections keep the defaults instead of ending the agent.
TEST(SettingData, NonObjectShapesKeepDefaults) {
    for (const char* json : {"[1, 2]", "\"text\"", "42", "null",
                             R"({"log": [1], "web_api": {"api_uri": ["order_check"]}, "database": "x"})"}) {
        Loaded loaded(json);
        EXPECT_EQ(loaded.settings->getString("log_file"), "velk.log") << json;
        EXPECT_EQ(loaded.settings->getString("db_file"), "velk.db") << json;
        EXPECT_EQ(loaded.settings->getString("order_check"), "") << json;
    }
}

TEST(SettingData, SubstrateCodeFromCommandOutput) {
    EXPECT_EQ(Loaded("{}", "#!/bin/sh\necho DEV-1\n").settings->substrateCode, "DEV-1");
    EXPECT_EQ(Loaded("{}", "#!/bin/sh\nprintf 'AB\\nCD\\n'\n").settings->substrateCode, "ABCD");
    EXPECT_EQ(Loaded("{}", "#!/bin/sh\nprintf 'AB\\r\\n'\n").settings->substrateCode, "AB\r");
    EXPECT_EQ(Loaded("{}", "#!/bin/sh\necho DEV-1\nexit 1\n").settings->substrateCode, "");
    EXPECT_EQ(Loaded("{}", "#!/bin/sh\necho DEV-1\nkill -9 $$\n").settings->substrateCode, "");
    TempDir dir;
    EXPECT_EQ(SettingData(dir.file("none.conf"), dir.file("missing-command")).substrateCode, "");
}

// Commands must not inherit the agent's ignored signals; their whole output and raw status come back.
TEST(SettingData, ExecCmdChildGetsDefaultSignalDispositions) {
    signal(SIGPIPE, SIG_IGN);
    std::string output = "kept:";
    int status = -1;
    ASSERT_TRUE(SettingData::ExecCmd(
        "head -c 1000 /dev/zero | tr '\\0' x; grep SigIgn /proc/self/status; exit 3", output, status));
    signal(SIGPIPE, SIG_DFL);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
    const std::string head = "kept:" + std::string(1000, 'x') + "SigIgn:\t";
    ASSERT_EQ(output.rfind(head, 0), 0u) << output;
    // Only the classic signals: the C library keeps its own real-time ones to itself.
    unsigned long long ignored = std::stoull(output.substr(head.size()), nullptr, 16);
    EXPECT_EQ(ignored & 0x7fffffffULL, 0u) << output;
}
