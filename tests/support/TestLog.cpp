#include "support/TestLog.h"

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <mutex>

#include "data/LogWrapper.h"
#include "data/SettingData.h"
#include "support/TempDir.h"

namespace velk::test {

namespace {

class CaptureSink : public spdlog::sinks::base_sink<std::mutex> {
  public:
    std::vector<std::string> snapshot() {
        std::lock_guard<std::mutex> lock(mutex_);
        return captured;
    }
    void reset() {
        std::lock_guard<std::mutex> lock(mutex_);
        captured.clear();
    }

  protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        spdlog::memory_buf_t formatted;
        formatter_->format(msg, formatted);
        std::string line(formatted.data(), formatted.size());
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
            line.pop_back();
        }
        captured.push_back(line);
    }
    void flush_() override {}

  private:
    std::vector<std::string> captured;
};

std::shared_ptr<CaptureSink>& sink() {
    static std::shared_ptr<CaptureSink> theSink;
    return theSink;
}

}  // namespace

TestLog::TestLog(const std::string& configJson) {
    if (!sink()) {
        TempDir dir;
        std::string conf = dir.write("velk.conf", configJson);
        std::string substrate = dir.write("substrate", "#!/bin/sh\necho TESTCODE\n", 0755);
        data::SettingData::createInstance(conf, substrate);
        sink() = std::make_shared<CaptureSink>();
        auto logger = std::make_shared<spdlog::logger>("velk", sink());
        logger->set_level(spdlog::level::trace);
        spdlog::register_logger(logger);
        spdlog::set_pattern("%Y-%m-%d %H:%M:%S.%e %L : %v", spdlog::pattern_time_type::local);
        data::LogWrapper::createInstance()->setLogger("velk");
    }
    clear();
}

void TestLog::useSettings(const std::string& configJson) {
    TempDir dir;
    *data::SettingData::getInstance() = data::SettingData(
        dir.write("velk.conf", configJson), dir.write("substrate", "#!/bin/sh\necho TESTCODE\n", 0755));
}

std::vector<std::string> TestLog::lines() const { return sink()->snapshot(); }

std::string TestLog::text() const {
    std::string all;
    for (const auto& line : lines()) {
        all += line;
        all += '\n';
    }
    return all;
}

bool TestLog::contains(const std::string& fragment) const { return count(fragment) > 0; }

size_t TestLog::count(const std::string& fragment) const {
    size_t n = 0;
    for (const auto& line : lines()) {
        if (line.find(fragment) != std::string::npos) {
            ++n;
        }
    }
    return n;
}

void TestLog::clear() { sink()->reset(); }

data::SettingData* TestLog::settings() const { return data::SettingData::getInstance(); }

}  // namespace velk::test
