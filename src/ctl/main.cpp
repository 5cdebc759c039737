#include <termios.h>
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "BuildPaths.h"
#include "ctl/CredentialEncipher.h"
#include "ctl/InstallClient.h"
#include "ctl/ListVerifier.h"
#include "ctl/StatusReader.h"
#include "data/SettingData.h"

namespace {

const char* const kUsage =
    "usage: velkctl [--config FILE] status [--json]\n"
    "       velkctl [--config FILE] setting NAME\n"
    "       velkctl [--config FILE] check\n"
    "       velkctl [--config FILE] verify PACKAGE_DIR LIST_FILE\n"
    "       velkctl install [--socket PATH] PACKAGE_DIR LIST_FILE\n"
    "       velkctl encipher        (reads the user name, then the password, from standard input)\n";

int usage() {
    std::cerr << kUsage;
    return 2;
}

// Restores the terminal's echo when the password has been read, also on early return.
class EchoOff {
  public:
    EchoOff() : active(isatty(STDIN_FILENO) == 1 && tcgetattr(STDIN_FILENO, &saved) == 0) {
        if (active) {
            termios quiet = saved;
            quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
        }
    }
    ~EchoOff() {
        if (active) {
            tcsetattr(STDIN_FILENO, TCSANOW, &saved);
            std::cerr << "\n";
        }
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

  private:
    termios saved{};
    bool active;
};

int encipher() {
    const bool interactive = isatty(STDIN_FILENO) == 1;
    std::string user;
    std::string password;
    if (interactive) {
        std::cerr << "user name: " << std::flush;
    }
    if (!std::getline(std::cin, user)) {
        std::cerr << "velkctl: no user name on standard input\n";
        return 1;
    }
    {
        if (interactive) {
            std::cerr << "password: " << std::flush;
        }
        EchoOff echoOff;
        if (!std::getline(std::cin, password)) {
            std::cerr << "velkctl: no password on standard input\n";
            return 1;
        }
    }
    if (user.empty() || password.empty()) {
        std::cerr << "velkctl: the user name and the password must not be empty\n";
        return 1;
    }
    const velk::ctl::CredentialEncipher cipher;
    std::string u1;
    std::string u2;
    if (!cipher.encipher(user, u1) || !cipher.encipher(password, u2)) {
        std::cerr << "velkctl: the agent's cipher cannot carry a character of that user name or password\n";
        return 1;
    }
    std::cout << "\"api_u1\": " << picojson::value(u1).serialize() << ",\n"
              << "\"api_u2\": " << picojson::value(u2).serialize() << "\n";
    return 0;
}

int setting(const std::string& file, const std::string& name) {
    // The substrate-code command is not run just to print a setting.
    const velk::data::SettingData settings(file, "true");
    // A script must not go on with a default it did not ask for.
    if (settings.loadResult() != 0) {
        std::cerr << "velkctl: cannot read the settings in " << file << "\n";
        return 2;
    }
    if (!settings.knows(name)) {
        std::cerr << "velkctl: no setting named " << name << "\n";
        return 2;
    }
    if (name == "header") {
        for (const auto& line : settings.getList(name)) {
            std::cout << line << "\n";
        }
    } else if (name == "log_level") {
        std::cout << settings.getLogLevel() << "\n";
    } else if (name == "http_timeout" || name == "http_connect_timeout") {
        std::cout << settings.getLong(name, 0) << "\n";
    } else if (settings.isText(name)) {
        std::cout << settings.getString(name) << "\n";
    } else {
        std::cout << settings.getInt(name, 0) << "\n";
    }
    return 0;
}

// The agent runs on its built-in defaults when its file does not parse; the service unit runs this
// first so that such a file stops the start where the operator sees it.
int check(const std::string& file) {
    const velk::data::SettingData settings(file, "true");
    if (settings.loadResult() != 0) {
        std::cerr << "velkctl: " << file
                  << " cannot be read or does not parse: the agent would run on its defaults\n";
        return 2;
    }
    velk::order::SignaturePolicy policy{};
    if (!velk::order::OrderSignature::parsePolicy(settings.getString("order_signature"), policy)) {
        std::cerr << "velkctl: " << file << ": order_signature is none of off, verify, required\n";
        return 2;
    }
    std::cout << file << ": ok\n";
    return 0;
}

// The install script's last look before dpkg; policy and keys come from the configuration file.
int verify(const std::string& file, const std::string& packageDir, const std::string& listFile) {
    const velk::data::SettingData settings(file, velk::paths::kSubstrateCommand);
    if (settings.loadResult() != 0) {
        std::cout << "verify: refused : cannot read the settings in " << file << "\n";
        return 1;
    }
    velk::order::SignaturePolicy policy = velk::order::SignaturePolicy::Required;
    velk::order::OrderSignature::parsePolicy(settings.getString("order_signature"), policy);
    const velk::ctl::ListVerifier verifier(policy, settings.getString("trusted_keys_dir"),
                                           settings.substrateCode);
    return verifier.verify(packageDir, listFile, std::cout) == 0 ? 0 : 1;
}

int status(const std::string& file, bool json) {
    velk::data::SettingData settings(file, velk::paths::kSubstrateCommand);
    const std::string database = settings.getString("db_path") + "/" + settings.getString("db_file");
    picojson::object report;
    report["substrate_code"] = picojson::value(settings.substrateCode);
    report["setting_file"] = picojson::value(file);
    report["database"] = picojson::value(database);
    std::string error;
    const bool ok = velk::ctl::StatusReader(database).read(report, error);
    if (!ok) {
        report["error"] = picojson::value(error);
    }
    if (json) {
        std::cout << picojson::value(report).serialize() << "\n";
    } else {
        std::cout << velk::ctl::StatusReader::toText(report);
    }
    if (!ok) {
        std::cerr << "velkctl: cannot read " << database << ": " << error << "\n";
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string file = velk::paths::kSettingFile;
    if (args.size() >= 2 && args[0] == "--config") {
        file = args[1];
        args.erase(args.begin(), args.begin() + 2);
    }
    try {
        if (args.size() == 1 && args[0] == "encipher") {
            return encipher();
        }
        if (args.size() == 2 && args[0] == "setting") {
            return setting(file, args[1]);
        }
        if (!args.empty() && args[0] == "install" &&
            (args.size() == 3 || (args.size() == 5 && args[1] == "--socket"))) {
            const velk::ctl::InstallClient client(
                args.size() == 5 ? args[2] : velk::ctl::InstallClient::kDefaultSocket);
            return client.run(args[args.size() - 2], args[args.size() - 1], std::cout);
        }
        if (args.size() == 3 && args[0] == "verify") {
            return verify(file, args[1], args[2]);
        }
        if (args.size() == 1 && args[0] == "check") {
            return check(file);
        }
        if (!args.empty() && args[0] == "status" &&
            (args.size() == 1 || (args.size() == 2 && args[1] == "--json"))) {
            return status(file, args.size() == 2);
        }
    } catch (const std::exception& e) {
        std::cerr << "velkctl: " << e.what() << "\n";
        return 1;
    }
    return usage();
}
