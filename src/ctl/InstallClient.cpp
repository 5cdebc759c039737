#include "ctl/InstallClient.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "UniqueFd.h"

namespace velk::ctl {

namespace {

bool sendAll(int fd, const std::string& text) {
    size_t sent = 0;
    while (sent < text.size()) {
        ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

InstallClient::InstallClient(std::string path) : socketPath(std::move(path)) {}

int InstallClient::run(const std::string& packageDir, const std::string& listFile, std::ostream& out) const {
    if (packageDir.find('\n') != std::string::npos || listFile.find('\n') != std::string::npos) {
        out << "install: refused : a line break in a path\n";
        return 1;
    }
    const UniqueFd connection(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (connection.get() < 0 || socketPath.size() >= sizeof(address.sun_path)) {
        out << "install: no socket for " << socketPath << "\n";
        return 1;
    }
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    if (connect(connection.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        out << "install: cannot reach the install service at " << socketPath << " : " << std::strerror(errno)
            << "\n";
        return 1;
    }
    if (!sendAll(connection.get(), packageDir + "\n" + listFile + "\n") ||
        shutdown(connection.get(), SHUT_WR) != 0) {
        out << "install: the install service did not take the request\n";
        return 1;
    }
    // Lines are passed on as they come; only the status line stays back.
    std::string pending;
    int status = 1;
    bool haveStatus = false;
    char buffer[4096];
    for (;;) {
        ssize_t n = read(connection.get(), buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        pending.append(buffer, static_cast<size_t>(n));
        for (size_t end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
            const std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (line.rfind(kStatusLine, 0) == 0) {
                const std::string number = line.substr(std::strlen(kStatusLine));
                haveStatus = !number.empty() && number.size() < 4 &&
                             number.find_first_not_of("0123456789") == std::string::npos;
                status = haveStatus ? std::stoi(number) : 1;
            } else {
                out << line << "\n" << std::flush;
            }
        }
    }
    out << pending;
    if (!haveStatus) {
        out << "install: the install service ended without a status\n";
        return 1;
    }
    return status;
}

}  // namespace velk::ctl
