#pragma once

#include <cstdint>
#include <random>
#include <string>

namespace velk {

// When the next regular poll goes out. With every setting at 0 each wait is the plain interval;
// a fleet spreads its polls with jitter and backs off from a service in trouble, so that devices
// that started or failed together do not keep calling together.
class PollSchedule {
  public:
    struct Settings {
        int32_t interval = 3600;
        int32_t startJitter = 0;  // 0..N s added to the start delay
        int32_t checkJitter = 0;  // each interval moved within +-N s
        int32_t maxBackoff = 0;   // cap of the backoff; 0 = no backoff
    };

    PollSchedule(const Settings& settings, uint64_t seed);

    // Differs between devices and between boots of one device, and is stable within a boot.
    static uint64_t deviceSeed(const std::string& substrateCode, const std::string& bootTime);

    int32_t startDelay(int32_t delay);
    // The wait after a regular poll. A failed poll (no answer, time-out, 5xx, 429) counts towards
    // the backoff: the k-th failure in a row waits a random [1, min(cap, interval * 2^k)] s, the cap
    // being at least the interval. `heldSec` is what the service asked for and is always honoured.
    int32_t nextWait(bool failed, int64_t heldSec);
    int32_t failuresInRow() const { return failures; }

  private:
    int64_t uniform(int64_t low, int64_t high);
    int32_t jittered();

    Settings settings;
    std::mt19937_64 random;
    int32_t failures = 0;
};

}  // namespace velk
