#pragma once

#include <string>

namespace velk::feature {

// Orders Debian versions as dpkg does: epoch, then upstream version, then revision, each
// compared in runs of non-digits (where '~' sorts before everything, even the end) and digits.
class DebianVersion {
  public:
    // Below 0 when a is older than b, 0 when equal, above 0 when newer.
    static int compare(const std::string& a, const std::string& b);
};

}  // namespace velk::feature
