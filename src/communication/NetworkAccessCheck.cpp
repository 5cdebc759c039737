#include "communication/NetworkAccessCheck.h"

#include <sys/wait.h>

#include <utility>

#include "ShellCommand.h"
#include "TextUtil.h"
#include "data/LogWrapper.h"
#include "data/SettingData.h"

namespace velk::comm {

NetworkAccessCheck::NetworkAccessCheck(std::string pingCommand)
    : settings(data::SettingData::getInstance()),
      log(data::LogWrapper::getInstance()),
      pingPath(std::move(pingCommand)) {
    log->setLogger("velk");
}

int NetworkAccessCheck::ping(const std::string& host) {
    std::string command = pingPath + " -c 1 " + shellQuote(host) + " > /dev/null 2>&1";
    int result = runPingCommand(command);
    log->info("[{}:{}] : <<< pingCmd --> ({}) : ret -> {} >>>", VELK_AT, command, result);
    log->flush();
    return result;
}

int NetworkAccessCheck::runPingCommand(const std::string& command) {
    ShellCommand shell;
    if (!shell.start(command)) {
        return -1;
    }
    char buffer[256];
    while (fread(buffer, 1, sizeof(buffer), shell.output()) > 0) {
    }
    int status = shell.close();
    if (status == -1) {
        return -3;
    }
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status) != 0 ? -4 : 0;
    }
    return WIFSIGNALED(status) ? -2 : -3;
}

int NetworkAccessCheck::pingFqdn() { return _pingSetting("ping_server_fqdn", "FQDN"); }

int NetworkAccessCheck::pingIpAddress() { return _pingSetting("ping_server_ipaddr", "IP Address"); }

int NetworkAccessCheck::_pingSetting(const char* key, const char* label) {
    std::string host = settings->getString(key);
    int result = ping(host);
    if (result != 0) {
        log->warning("[{}:{}] : <<< network down : ping filed --> ({}) (remote server ({}): {}) >>>", VELK_AT,
                     result, label, host);
    } else {
        log->info("[{}:{}] : <<< network reached : ping success --> ({}) (remote server ({}): {}) >>>",
                  VELK_AT, result, label, host);
    }
    log->flush();
    return result;
}

}  // namespace velk::comm
