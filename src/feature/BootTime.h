#pragma once

#include <cstdint>
#include <string>

#include "BuildPaths.h"

namespace velk::feature {

// Source of the OS boot time, as the uptime command prints it. Used once per start by the
// main loop; it reads the boot time only once the wall clock is past a fixed date, since a
// device without a set clock would report a meaningless boot time.
class BootTime {
  public:
    explicit BootTime(std::string uptimeCommand = paths::kUptimeCommand);
    virtual ~BootTime() = default;

    std::string getBootTime() const;

    // 2019-12-31 15:00:00 UTC.
    int64_t validAfter = 1577804400;
    bool done = false;

  private:
    std::string command;
};

}  // namespace velk::feature
