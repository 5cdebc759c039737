#pragma once

#include <string>

#include "BuildPaths.h"

namespace velk::data {
class SettingData;
class LogWrapper;
}  // namespace velk::data

namespace velk::comm {

// Tells whether the monitoring server answers one ping. Keeps no state between calls and
// never retries: the update thread owns the retry policy. The host goes to the shell quoted,
// so a configured value cannot add commands.
class NetworkAccessCheck {
  public:
    explicit NetworkAccessCheck(std::string pingCommand = paths::kPingCommand);
    virtual ~NetworkAccessCheck() = default;

    int pingFqdn();
    int pingIpAddress();
    int ping(const std::string& host);
    // 0 exit 0; -4 non-zero exit; -2 killed by a signal; -3 no status; -1 not started.
    static int runPingCommand(const std::string& command);

  private:
    int _pingSetting(const char* key, const char* label);

    const data::SettingData* settings = nullptr;
    data::LogWrapper* log = nullptr;
    std::string pingPath;
};

}  // namespace velk::comm
