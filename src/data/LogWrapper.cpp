#include "data/LogWrapper.h"

#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>

#include <cstdio>

#include "data/SettingData.h"

namespace velk::data {

namespace {
LogWrapper* instance = nullptr;
const char* const kPattern = "%Y-%m-%d %H:%M:%S.%e %L : %v";
}  // namespace

LogWrapper* LogWrapper::createInstance() {
    if (instance == nullptr) {
        instance = new LogWrapper(SettingData::getInstance());  // process-wide, never destroyed
    }
    return instance;
}

LogWrapper* LogWrapper::getInstance() { return instance; }

LogWrapper::LogWrapper(const SettingData* settingData) : settings(settingData) {}

void LogWrapper::setLogger(const std::string& name) {
    if (!logger) {
        logger = spdlog::get(name);
    }
}

bool LogWrapper::isOutputLevel(int level) const {
    return settings != nullptr && settings->getLogLevel() <= level;
}

std::string LogWrapper::getLevelName(int level) const {
    if (level >= 0 && level < levelNameCount) {
        return levelNames[static_cast<size_t>(level)];
    }
    return "Unknown";
}

void LogWrapper::flush() {
    if (logger) {
        logger->flush();
    }
}

bool LogWrapper::createRotatingLogger(const std::string& path, int maxBytes, int fileCount) {
    std::shared_ptr<spdlog::logger> created;
    bool toFile = true;
    try {
        created = spdlog::rotating_logger_mt("velk", path, static_cast<size_t>(maxBytes > 0 ? maxBytes : 1),
                                             static_cast<size_t>(fileCount > 0 ? fileCount : 0));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cannot open log file %s (%s): logging to the standard error stream\n",
                     path.c_str(), e.what());
        spdlog::drop("velk");
        created = spdlog::stderr_logger_mt("velk");
        toFile = false;
    }
    created->set_level(spdlog::level::trace);
    created->flush_on(spdlog::level::off);
    spdlog::set_pattern(kPattern, spdlog::pattern_time_type::local);
    return toFile;
}

}  // namespace velk::data
