#pragma once

#include <string>
#include <vector>

namespace velk::data {
class SettingData;
}  // namespace velk::data

namespace velk::test {

// Sets up the process-wide settings (from a configuration text, default: log everything)
// and registers the "velk" logger on a capturing sink, so tests read the lines written.
// Each gtest case runs in its own process under ctest; within one process the first
// set-up wins and later ones only clear the captured lines.
class TestLog {
  public:
    explicit TestLog(const std::string& configJson = "{}");

    // Every line captured so far, formatted with the agent's pattern.
    std::vector<std::string> lines() const;
    std::string text() const;
    // True when some captured line contains the fragment.
    bool contains(const std::string& fragment) const;
    size_t count(const std::string& fragment) const;
    void clear();

    data::SettingData* settings() const;
    // Replaces the process-wide settings with those of `configJson`, for a table of cases that
    // differ in their settings; only while no agent thread runs.
    static void useSettings(const std::string& configJson);
};

}  // namespace velk::test
