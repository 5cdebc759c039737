#pragma once

// Fixed paths chosen when the binary is built; each executable links its own set.
namespace velk::paths {
extern const char* const kSettingFile;
extern const char* const kSubstrateCommand;
extern const char* const kUptimeCommand;
extern const char* const kPingCommand;
extern const char* const kDpkgQueryCommand;
}  // namespace velk::paths
