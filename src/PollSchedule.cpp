#include "PollSchedule.h"

#include <algorithm>
#include <limits>

namespace velk {

namespace {
constexpr int64_t kMaxWait = std::numeric_limits<int32_t>::max();
}  // namespace

PollSchedule::PollSchedule(const Settings& values, uint64_t seed) : settings(values), random(seed) {}

uint64_t PollSchedule::deviceSeed(const std::string& substrateCode, const std::string& bootTime) {
    // FNV-1a: the same text gives the same seed on every architecture.
    uint64_t hash = 1469598103934665603ULL;
    for (char c : substrateCode + '\n' + bootTime) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ULL;
    }
    return hash;
}

int64_t PollSchedule::uniform(int64_t low, int64_t high) {
    return std::uniform_int_distribution<int64_t>(low, high)(random);
}

int32_t PollSchedule::startDelay(int32_t delay) {
    if (settings.startJitter <= 0) {
        return delay;
    }
    return static_cast<int32_t>(
        std::min(kMaxWait, std::max<int64_t>(delay, 0) + uniform(0, settings.startJitter)));
}

int32_t PollSchedule::jittered() {
    if (settings.checkJitter <= 0) {
        return settings.interval;
    }
    const int64_t wait =
        static_cast<int64_t>(settings.interval) + uniform(-settings.checkJitter, settings.checkJitter);
    return static_cast<int32_t>(std::clamp<int64_t>(wait, 1, kMaxWait));
}

int32_t PollSchedule::nextWait(bool failed, int64_t heldSec) {
    int64_t wait = 0;
    if (!failed || settings.maxBackoff <= 0) {
        failures = 0;
        wait = jittered();
    } else {
        failures = std::min(failures + 1, 62);
        const int64_t base = std::max<int32_t>(settings.interval, 1);
        const int64_t cap = std::max<int64_t>(settings.maxBackoff, base);
        // Doubling stops at the cap, before it could overflow.
        int64_t ceiling = base;
        for (int32_t i = 0; i < failures && ceiling < cap; ++i) {
            ceiling *= 2;
        }
        wait = uniform(1, std::min(ceiling, cap));
    }
    return static_cast<int32_t>(std::min(kMaxWait, std::max(wait, heldSec)));
}

}  // namespace velk
