#include "data/SettingData.h"

#include <picojson.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <utility>

#include "JsonNumber.h"
#include "JsonParse.h"
#include "ShellCommand.h"

namespace velk::data {

namespace {

SettingData* instance = nullptr;

// The member of a section object, or null when the section or the member is absent.
const picojson::value* member(const picojson::object& root, const char* section, const char* key) {
    auto sectionIt = root.find(section);
    if (sectionIt == root.end() || !sectionIt->second.is<picojson::object>()) {
        return nullptr;
    }
    const auto& object = sectionIt->second.get<picojson::object>();
    auto keyIt = object.find(key);
    return keyIt == object.end() ? nullptr : &keyIt->second;
}

}  // namespace

SettingData* SettingData::createInstance(const std::string& settingFile,
                                         const std::string& substrateCommand) {
    if (instance == nullptr) {
        instance = new SettingData(settingFile, substrateCommand);  // process-wide, never destroyed
    }
    return instance;
}

SettingData* SettingData::getInstance() { return instance; }

SettingData::SettingData(const std::string& settingFile, const std::string& substrateCommand)
    : settingFilePath(settingFile), substrateCodeCommand(substrateCommand) {
    loaded = loadSettingFile();
    if (loaded != 0) {
        std::cerr << "SettingData constructor : failed : loadSettingFile -> " << loaded << std::endl;
    }
    substrateCode = getSubstrateCode();
}

int SettingData::loadSettingFile() {
    std::ifstream in(settingFilePath, std::ios::binary);
    if (!in.is_open()) {
        std::cerr << "failed to read setting file : " << settingFilePath << std::endl;
        return 1;
    }
    std::stringstream buffer;
    buffer << in.rdbuf();
    in.close();

    picojson::value root;
    std::string err = parseJson(root, buffer.str());
    if (!err.empty()) {
        std::cerr << err << std::endl;
        return 2;
    }
    if (!root.is<picojson::object>()) {
        return 0;  // nothing readable: every default stays
    }
    const auto& top = root.get<picojson::object>();

    const std::pair<const char*, std::pair<const char*, std::string*>> texts[] = {
        {"log", {"log_dir", &logDir}},
        {"log", {"log_file", &logFile}},
        {"database", {"db_path", &dbPath}},
        {"database", {"db_file", &dbFile}},
        {"database", {"lock_rw", &lockRw}},
        {"database", {"lock_ro", &lockRo}},
        {"server_alive", {"ping_server_fqdn", &pingServerFqdn}},
        {"server_alive", {"ping_server_ipaddr", &pingServerIpaddr}},
        {"web_api", {"api_base_url", &apiBaseUrl}},
        {"web_api", {"api_login_url", &apiLoginUrl}},
        {"web_api", {"api_u1", &apiU1}},
        {"web_api", {"api_u2", &apiU2}},
        {"http_access", {"ca_cert_file", &caCertFile}},
        {"http_access", {"proxy", &proxy}},
        {"software_update", {"package_dir", &packageDir}},
        {"software_update", {"upd_log_dir", &updLogDir}},
        {"software_update", {"script_download_pkg", &scriptDownloadPkg}},
        {"software_update", {"script_install_pkg", &scriptInstallPkg}},
        {"software_update", {"target_pkg_list_dir", &targetPkgListDir}},
        {"software_update", {"order_signature", &orderSignature}},
        {"software_update", {"trusted_keys_dir", &trustedKeysDir}},
    };
    const std::pair<const char*, std::pair<const char*, int32_t*>> numbers[] = {
        {"log", {"log_max_bytes", &logMaxBytes}},
        {"log", {"log_counts", &logCounts}},
        {"log", {"log_level", &logLevel}},
        {"order_check", {"check_interval_sec", &checkIntervalSec}},
        {"order_check", {"check_slice_interval_sec", &checkSliceIntervalSec}},
        {"order_check", {"delay_start_time", &delayStartTime}},
        {"order_check", {"order_ack", &orderAck}},
        {"order_check", {"start_jitter_sec", &startJitterSec}},
        {"order_check", {"check_jitter_sec", &checkJitterSec}},
        {"order_check", {"max_backoff_sec", &maxBackoffSec}},
        {"instruction_thread", {"loop_interval_sec", &loopIntervalSec}},
        {"instruction_thread", {"loop_slice_interval_sec", &loopSliceIntervalSec}},
        {"instruction_thread", {"delay_start_thread_time", &delayStartThreadTime}},
        {"thread_alive", {"alive_check_interval_sec", &aliveCheckIntervalSec}},
        {"thread_alive", {"alive_differ_sec", &aliveDifferSec}},
        {"server_alive", {"pint_retry_num", &pintRetryNum}},
        {"server_alive", {"ping_retry_interval", &pingRetryInterval}},
        {"web_api", {"api_token_expiration", &apiTokenExpiration}},
        {"http_access", {"retry_num", &retryNum}},
        {"http_access", {"retry_interval_sec", &retryIntervalSec}},
        {"http_access", {"http_timeout", &httpTimeout}},
        {"http_access", {"http_connect_timeout", &httpConnectTimeout}},
        {"software_update", {"proc_retry_num", &procRetryNum}},
        {"software_update", {"proc_retry_wait_sec", &procRetryWaitSec}},
        {"software_update", {"download_allow_http", &downloadAllowHttp}},
        {"software_update", {"keep_run_files", &keepRunFiles}},
        {"software_update", {"keep_closed_orders", &keepClosedOrders}},
        {"software_update", {"download_timeout_sec", &downloadTimeoutSec}},
        {"software_update", {"honour_end_dates", &honourEndDates}},
        {"software_update", {"download_rate_limit", &downloadRateLimit}},
    };
    for (const auto& [section, entry] : texts) {
        const picojson::value* value = member(top, section, entry.first);
        if (value != nullptr && value->is<std::string>()) {
            *entry.second = value->get<std::string>();
        }
    }
    for (const auto& [section, entry] : numbers) {
        const picojson::value* value = member(top, section, entry.first);
        if (value != nullptr && value->is<double>()) {
            *entry.second = jsonToInt32(*value);
        }
    }

    if (const picojson::value* list = member(top, "web_api", "header");
        list != nullptr && list->is<picojson::array>()) {
        header.clear();
        for (const auto& element : list->get<picojson::array>()) {
            if (element.is<std::string>()) {
                header.push_back(element.get<std::string>());
            }
        }
    }
    if (const picojson::value* uri = member(top, "web_api", "api_uri");
        uri != nullptr && uri->is<picojson::object>()) {
        const auto& object = uri->get<picojson::object>();
        for (const char* name : {"order_check", "report_result"}) {
            auto it = object.find(name);
            if (it != object.end() && it->second.is<std::string>()) {
                apiUri[name] = it->second.get<std::string>();
            }
        }
    }
    return 0;
}

const std::string* SettingData::textField(const std::string& key) const {
    const std::pair<const char*, const std::string*> texts[] = {
        {"log_dir", &logDir},
        {"log_file", &logFile},
        {"db_path", &dbPath},
        {"db_file", &dbFile},
        {"lock_rw", &lockRw},
        {"lock_ro", &lockRo},
        {"ping_server_fqdn", &pingServerFqdn},
        {"ping_server_ipaddr", &pingServerIpaddr},
        {"api_base_url", &apiBaseUrl},
        {"api_login_url", &apiLoginUrl},
        {"api_u1", &apiU1},
        {"api_u2", &apiU2},
        {"ca_cert_file", &caCertFile},
        {"proxy", &proxy},
        {"package_dir", &packageDir},
        {"upd_log_dir", &updLogDir},
        {"script_download_pkg", &scriptDownloadPkg},
        {"script_install_pkg", &scriptInstallPkg},
        {"target_pkg_list_dir", &targetPkgListDir},
        {"order_signature", &orderSignature},
        {"trusted_keys_dir", &trustedKeysDir},
    };
    for (const auto& [name, value] : texts) {
        if (key == name) {
            return value;
        }
    }
    return nullptr;
}

const int32_t* SettingData::numberField(const std::string& key) const {
    const std::pair<const char*, const int32_t*> numbers[] = {
        {"log_max_bytes", &logMaxBytes},
        {"log_counts", &logCounts},
        {"check_interval_sec", &checkIntervalSec},
        {"check_slice_interval_sec", &checkSliceIntervalSec},
        {"delay_start_time", &delayStartTime},
        {"order_ack", &orderAck},
        {"start_jitter_sec", &startJitterSec},
        {"check_jitter_sec", &checkJitterSec},
        {"max_backoff_sec", &maxBackoffSec},
        {"loop_interval_sec", &loopIntervalSec},
        {"loop_slice_interval_sec", &loopSliceIntervalSec},
        {"delay_start_thread_time", &delayStartThreadTime},
        {"alive_check_interval_sec", &aliveCheckIntervalSec},
        {"alive_differ_sec", &aliveDifferSec},
        {"pint_retry_num", &pintRetryNum},
        {"ping_retry_interval", &pingRetryInterval},
        {"api_token_expiration", &apiTokenExpiration},
        {"retry_num", &retryNum},
        {"retry_interval_sec", &retryIntervalSec},
        {"proc_retry_num", &procRetryNum},
        {"proc_retry_wait_sec", &procRetryWaitSec},
        {"download_allow_http", &downloadAllowHttp},
        {"keep_run_files", &keepRunFiles},
        {"keep_closed_orders", &keepClosedOrders},
        {"download_timeout_sec", &downloadTimeoutSec},
        {"honour_end_dates", &honourEndDates},
        {"download_rate_limit", &downloadRateLimit},
    };
    for (const auto& [name, value] : numbers) {
        if (key == name) {
            return value;
        }
    }
    return nullptr;
}

bool SettingData::knows(const std::string& key) const {
    return isText(key) || numberField(key) != nullptr || key == "http_timeout" ||
           key == "http_connect_timeout" || key == "header" || key == "log_level";
}

bool SettingData::isText(const std::string& key) const {
    return textField(key) != nullptr || key == "order_check" || key == "report_result";
}

std::string SettingData::getString(const std::string& key) const {
    if (const std::string* value = textField(key)) {
        return *value;
    }
    if (key == "order_check" || key == "report_result") {
        auto it = apiUri.find(key);
        return it == apiUri.end() ? std::string() : it->second;
    }
    return std::string();
}

int32_t SettingData::getInt(const std::string& key, int32_t defaultValue) const {
    const int32_t* value = numberField(key);
    return value != nullptr ? *value : defaultValue;
}

long SettingData::getLong(const std::string& key, long defaultValue) const {
    if (key == "http_timeout") {
        return httpTimeout;
    }
    if (key == "http_connect_timeout") {
        return httpConnectTimeout;
    }
    return defaultValue;
}

std::vector<std::string> SettingData::getList(const std::string& key) const {
    return key == "header" ? header : std::vector<std::string>();
}

std::string SettingData::getSubstrateCode() {
    try {
        std::string output;
        int status = -1;
        bool started = ExecCmd(substrateCodeCommand, output, status);
        std::string code;
        for (char c : output) {
            if (c != '\n') {
                code += c;
            }
        }
        return started && status == 0 ? code : std::string();
    } catch (...) {
        return std::string();
    }
}

bool SettingData::ExecCmd(const std::string& command, std::string& output, int& status) {
    ShellCommand shell;
    if (!shell.start(command)) {
        return false;
    }
    char buffer[256];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer) - 1, shell.output())) > 0) {
        output.append(buffer, n);
    }
    status = shell.close();
    return true;
}

}  // namespace velk::data
