#pragma once

#include <cstdint>
#include <string>

namespace velk::comm {

// The wait a service asks for in a Retry-After header: delay-seconds or an HTTP date (the
// IMF-fixdate, and the RFC 850 and asctime forms a recipient must still read).
class RetryAfter {
  public:
    // Seconds from `now` (seconds since the epoch) to the time the value names; a date already past
    // gives 0. False for anything else, which the caller ignores.
    static bool parse(const std::string& value, int64_t now, int64_t& seconds);
};

}  // namespace velk::comm
