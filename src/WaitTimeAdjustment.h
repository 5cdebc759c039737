#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace velk {

namespace data {
class LogWrapper;
}

// Lets other threads cut a wait short. Wakes are counted, so one given while nobody waits
// (between a waiter's look at the world and its wait) ends that waiter's next wait at once.
class WakeSignal {
  public:
    void notify();
    uint64_t count() const;
    // Sleeps up to `limit` or until the count differs from `seen`.
    void sleepFor(std::chrono::seconds limit, uint64_t seen) const;

  private:
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    uint64_t wakes = 0;
};

// A long wait cut into sleep slices; after each slice it looks at the agent's state fields
// (and, for waitUntil, a target time) and returns early with the reason. Owned by one thread;
// the watched integers are written by signal handlers and other threads, so they are atomics.
class WaitTimeAdjustment {
  public:
    // The longest slice whose microseconds fit in 32 bits.
    static constexpr int32_t kMaxSliceSec = 4294;

    WaitTimeAdjustment(int32_t waitSeconds, int32_t sliceSeconds);
    virtual ~WaitTimeAdjustment() = default;

    void setWaitTime(int32_t waitSeconds, int32_t sliceSeconds);
    void start();
    // 0: time ran out, 1: exit state is not 1, 2: an order is pending, 3: `maxSlices` slices
    // (0 = no bound) have passed and time remains for the next call.
    int wait(const std::atomic<int32_t>* exitState, const std::atomic<int32_t>* orderState,
             int32_t maxSlices = 0);
    // 0: time ran out or a wake came, 1: exit state is not 1, 2: the target time (0 = none) has come.
    int waitUntil(const std::atomic<int32_t>* exitState, const std::atomic<int64_t>* targetTime);
    // Wakes of `signal` (which must outlive this object) end waitUntil early from now on; a
    // wake counts once, even if it came before the wait began.
    void setWakeSignal(const WakeSignal* signal);

  private:
    int32_t saneSlice(int32_t sliceSeconds) const;
    void sleepSlice() const;
    // True (with the warning, and nothing left to wait) when the exit state left "running".
    bool exitRequested(const std::atomic<int32_t>* exitState);

    data::LogWrapper* log = nullptr;
    int32_t waitSec = 0;
    int32_t sliceSec = 1;
    int32_t remainSec = 0;
    const WakeSignal* wake = nullptr;
    uint64_t seenWakes = 0;
};

}  // namespace velk
