#pragma once

#include <spdlog/spdlog.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace velk::data {

class SettingData;

// Base name of a compile-time source path: the text after its last '/'.
constexpr const char* sourceBaseName(const char* path) {
    const char* base = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/') {
            base = p + 1;
        }
    }
    return base;
}

// The two values that fill the "[{}:{}]" prefix of a message: file base name and line.
#define VELK_AT ::velk::data::sourceBaseName(__FILE__), __LINE__

// Process-wide logging facade over the logger registered as "velk". Bound once on the
// main thread before other threads start; afterwards only read, so it needs no lock.
// It drops messages below the "log_level" setting and never throws at its callers.
class LogWrapper {
  public:
    static LogWrapper* createInstance();
    static LogWrapper* getInstance();

    // Tests build their own facade over their own settings; the agent uses createInstance.
    explicit LogWrapper(const SettingData* settingData);
    virtual ~LogWrapper() = default;

    void setLogger(const std::string& name);
    bool isOutputLevel(int level) const;
    std::string getLevelName(int level) const;
    void flush();

    template <typename... Args>
    void verbose(spdlog::format_string_t<Args...> fmt, Args&&... args) {
        write(0, spdlog::level::trace, fmt, std::forward<Args>(args)...);
    }
    template <typename... Args>
    void debug(spdlog::format_string_t<Args...> fmt, Args&&... args) {
        write(1, spdlog::level::debug, fmt, std::forward<Args>(args)...);
    }
    template <typename... Args>
    void info(spdlog::format_string_t<Args...> fmt, Args&&... args) {
        write(2, spdlog::level::info, fmt, std::forward<Args>(args)...);
    }
    template <typename... Args>
    void warning(spdlog::format_string_t<Args...> fmt, Args&&... args) {
        write(3, spdlog::level::warn, fmt, std::forward<Args>(args)...);
    }
    template <typename... Args>
    void error(spdlog::format_string_t<Args...> fmt, Args&&... args) {
        write(4, spdlog::level::err, fmt, std::forward<Args>(args)...);
    }
    template <typename... Args>
    void faital(spdlog::format_string_t<Args...> fmt, Args&&... args) {
        write(5, spdlog::level::critical, fmt, std::forward<Args>(args)...);
    }

    // Creates the rotating "velk" logger with the agent's pattern. When the file cannot be
    // opened the logger writes to the standard error stream instead; returns false then.
    static bool createRotatingLogger(const std::string& path, int maxBytes, int fileCount);

    LogWrapper(const LogWrapper&) = delete;
    LogWrapper& operator=(const LogWrapper&) = delete;

  private:
    template <typename... Args>
    void write(int level, spdlog::level::level_enum spdLevel, spdlog::format_string_t<Args...> fmt,
               Args&&... args) {
        if (!logger || !isOutputLevel(level)) {
            return;
        }
        logger->log(spdLevel, fmt, std::forward<Args>(args)...);
    }

    std::shared_ptr<spdlog::logger> logger;
    const SettingData* settings = nullptr;
    std::vector<std::string> levelNames{"VERBOSE", "DEBUG", "INFO", "WARN", "ERROR", "FAITAL"};
    int levelNameCount = 6;
};

}  // namespace velk::data
