#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include <regex>

#include "data/LogWrapper.h"
#include "data/SettingData.h"
#include "support/TempDir.h"
#include "support/TestLog.h"

using velk::data::LogWrapper;
using velk::data::SettingData;
using velk::test::TempDir;

namespace {

// A facade over its own settings, writing to the captured "velk" logger.
struct Facade {
    TempDir dir;
    std::unique_ptr<SettingData> settings;
    std::unique_ptr<LogWrapper> log;
    explicit Facade(int level) {
        settings = std::make_unique<SettingData>(
            dir.write("velk.conf", "{\"log\": {\"log_level\": " + std::to_string(level) + "}}"), "true");
        log = std::make_unique<LogWrapper>(settings.get());
        log->setLogger("velk");
    }
    void writeAll() {
        log->verbose("verbose line");
        log->debug("debug line");
        log->info("info line");
        log->warning("warning line");
        log->error("error line");
    }
};

}  // namespace

TEST(LogWrapper, LevelFilterDropsMessagesBelowSetting) {
    velk::test::TestLog capture;
    struct Case {
        int level;
        size_t written;
    };
    for (Case c : {Case{0, 5}, Case{2, 3}, Case{4, 1}, Case{5, 0}, Case{6, 0}, Case{-3, 5}}) {
        capture.clear();
        Facade facade(c.level);
        facade.writeAll();
        EXPECT_EQ(capture.lines().size(), c.written) << "log_level " << c.level;
    }
}

TEST(LogWrapper, LineCarriesTimeLetterAndCallerPosition) {
    velk::test::TestLog capture;
    Facade facade(0);
    facade.log->verbose("[{}:{}] value {} flag {}", VELK_AT, 42, true);
    int line = __LINE__ - 1;
    facade.log->warning("plain");
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 2u);
    std::regex format(
        R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} V : \[LogWrapperTest\.cpp:(\d+)\] value 42 flag true$)");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[0], match, format)) << lines[0];
    EXPECT_EQ(match[1].str(), std::to_string(line));
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(^.{23} W : plain$)"))) << lines[1];
}

TEST(LogWrapper, UnboundOrSettinglessFacadeWritesNothing) {
    velk::test::TestLog capture;
    LogWrapper unbound(capture.settings());
    unbound.setLogger("no-such-logger");
    unbound.error("lost");
    unbound.flush();
    LogWrapper noSettings(nullptr);
    noSettings.setLogger("velk");
    noSettings.error("lost too");
    EXPECT_TRUE(capture.lines().empty());
}

TEST(LogWrapper, RotationKeepsConfiguredNumberOfFiles) {
    TempDir dir;
    ASSERT_TRUE(LogWrapper::createRotatingLogger(dir.file("velk.log"), 2000, 3));
    SettingData settings(dir.file("none.conf"), "true");
    LogWrapper log(&settings);
    log.setLogger("velk");
    for (int i = 0; i < 400; ++i) {
        log.info("[{}:{}] rotation line {}", VELK_AT, i);
    }
    log.flush();
    EXPECT_GT(velk::test::readFile(dir.file("velk.3.log")).size(), 0u);
    EXPECT_TRUE(velk::test::readFile(dir.file("velk.4.log")).empty());
    EXPECT_NE(velk::test::readFile(dir.file("velk.log")).find("rotation line 399"), std::string::npos);
}
