#pragma once

#include <ostream>
#include <string>

namespace velk::ctl {

// The unprivileged agent's side of an install: hands the package folder and list to the root
// install service on its socket, copies what the install prints to `out` (the run's log) and
// returns the install's exit status. The service checks everything again; nothing is trusted here.
class InstallClient {
  public:
    static constexpr const char* kDefaultSocket = "/run/velk/install.sock";
    // The service's last line carries the status.
    static constexpr const char* kStatusLine = "velk-install-exit ";

    explicit InstallClient(std::string socketPath = kDefaultSocket);

    // The service's exit status; 1 when it cannot be reached or ends without one.
    int run(const std::string& packageDir, const std::string& listFile, std::ostream& out) const;

  private:
    std::string socketPath;
};

}  // namespace velk::ctl
