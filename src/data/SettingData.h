#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "BuildPaths.h"

namespace velk::data {

// Every tunable value of the agent: built-in defaults overlaid with the JSON configuration
// file, plus the device's substrate code. Built once on the main thread before any other
// thread exists and read-only afterwards, so readers take no lock.
class SettingData {
  public:
    // Process-wide instance; the arguments exist for tests and default to the build's paths.
    static SettingData* createInstance(const std::string& settingFile = paths::kSettingFile,
                                       const std::string& substrateCommand = paths::kSubstrateCommand);
    static SettingData* getInstance();

    SettingData(const std::string& settingFile, const std::string& substrateCommand);

    int loadSettingFile();
    // What the constructor's loadSettingFile returned: 0 read, 1 cannot be opened, 2 not JSON.
    int loadResult() const { return loaded; }
    // True for every key one of the getters serves; isText for those getString serves.
    bool knows(const std::string& key) const;
    bool isText(const std::string& key) const;
    std::string getString(const std::string& key) const;
    int32_t getInt(const std::string& key, int32_t defaultValue) const;
    long getLong(const std::string& key, long defaultValue) const;
    std::vector<std::string> getList(const std::string& key) const;
    int32_t getLogLevel() const { return logLevel; }
    std::string getSubstrateCode();
    // Runs a command through the shell, appending its whole output and storing the raw
    // wait status; false when the command cannot be started.
    static bool ExecCmd(const std::string& command, std::string& output, int& status);

    std::string substrateCode;

  private:
    const std::string* textField(const std::string& key) const;
    const int32_t* numberField(const std::string& key) const;

    int loaded = 0;
    std::string settingFilePath;
    std::string substrateCodeCommand;

    // "log"
    std::string logDir = "/var/local/siblog";
    std::string logFile = "velk.log";
    int32_t logMaxBytes = 100000;
    int32_t logCounts = 10;
    int32_t logLevel = 0;
    // "database"
    std::string dbPath = "/var/local/velk";
    std::string dbFile = "velk.db";
    std::string lockRw = "db_rw.lock";
    std::string lockRo = "db_ro.lock";
    // "order_check"
    int32_t checkIntervalSec = 3600;
    int32_t checkSliceIntervalSec = 5;
    int32_t orderAck = 0;
    int32_t delayStartTime = 180;
    // A fleet's manners: 0 keeps every device on the plain schedule.
    int32_t startJitterSec = 0;
    int32_t checkJitterSec = 0;
    int32_t maxBackoffSec = 0;
    // "instruction_thread"
    int32_t loopIntervalSec = 3600;
    int32_t loopSliceIntervalSec = 5;
    int32_t delayStartThreadTime = 5;
    // "thread_alive"
    int32_t aliveCheckIntervalSec = 10;
    int32_t aliveDifferSec = 5;
    // "server_alive"
    std::string pingServerFqdn = "monitor.velk-devices.net";
    std::string pingServerIpaddr = "192.0.2.10";
    int32_t pintRetryNum = 5;
    int32_t pingRetryInterval = 30;
    // "web_api"
    std::string apiBaseUrl = "https://monitor.velk-devices.net/monitoring/api/";
    std::string apiLoginUrl = "https://monitor.velk-devices.net/monitoring/api_user/";
    std::string apiU1 = "api";
    std::string apiU2 = "Fk2_pZr7-Wd9Lm4Q";
    int32_t apiTokenExpiration = 7200;
    std::vector<std::string> header{"Accept: application/json", "Authorization: Bearer $api_token$"};
    std::map<std::string, std::string> apiUri;
    // "http_access"
    int32_t retryNum = 3;
    int32_t retryIntervalSec = 5;
    int32_t httpTimeout = 60;
    int32_t httpConnectTimeout = 30;
    std::string caCertFile;
    std::string proxy;
    // "software_update"
    std::string packageDir = "/var/local/velk/pkgs";
    std::string updLogDir = "/var/local/velk/upd_logs";
    std::string scriptDownloadPkg = "/usr/local/velk/pkg_dolwnload.sh";
    std::string scriptInstallPkg = "/usr/local/velk/pkg_install.sh";
    std::string targetPkgListDir = "/var/local/velk/pkg_list";
    int32_t procRetryNum = 2;
    int32_t procRetryWaitSec = 10;
    int32_t downloadAllowHttp = 0;
    // Files of this many finished updates and rows of this many closed orders stay; below 0, all.
    int32_t keepRunFiles = 20;
    int32_t keepClosedOrders = -1;
    int32_t downloadTimeoutSec = 3600;
    int32_t honourEndDates = 0;
    // Bytes per second for the download script; 0 = no limit.
    int32_t downloadRateLimit = 0;
    // "off", "verify" or "required"; the public keys that may sign orders.
    std::string orderSignature = "off";
    std::string trustedKeysDir;
};

}  // namespace velk::data
