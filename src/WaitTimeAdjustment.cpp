#include "WaitTimeAdjustment.h"

#include <unistd.h>

#include "TimeFormat.h"
#include "data/LogWrapper.h"

namespace velk {

void WakeSignal::notify() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++wakes;
    }
    changed.notify_all();
}

uint64_t WakeSignal::count() const {
    std::lock_guard<std::mutex> lock(mutex);
    return wakes;
}

void WakeSignal::sleepFor(std::chrono::seconds limit, uint64_t seen) const {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait_for(lock, limit, [&] { return wakes != seen; });
}

void WaitTimeAdjustment::setWakeSignal(const WakeSignal* signal) {
    wake = signal;
    seenWakes = signal != nullptr ? signal->count() : 0;
}

WaitTimeAdjustment::WaitTimeAdjustment(int32_t waitSeconds, int32_t sliceSeconds)
    : log(data::LogWrapper::getInstance()) {
    if (log != nullptr) {
        log->setLogger("velk");
    }
    waitSec = waitSeconds;
    sliceSec = saneSlice(sliceSeconds);
}

void WaitTimeAdjustment::setWaitTime(int32_t waitSeconds, int32_t sliceSeconds) {
    waitSec = waitSeconds;
    sliceSec = saneSlice(sliceSeconds);
}

int32_t WaitTimeAdjustment::saneSlice(int32_t sliceSeconds) const {
    // A slice below one second never ends a wait; one above the limit overflows the sleep.
    int32_t corrected = sliceSeconds < 1 ? 1 : (sliceSeconds > kMaxSliceSec ? kMaxSliceSec : sliceSeconds);
    if (corrected != sliceSeconds && log != nullptr) {
        log->warning("[{}:{}] wait slice {} sec is out of range : corrected to {} sec", VELK_AT, sliceSeconds,
                     corrected);
    }
    return corrected;
}

void WaitTimeAdjustment::start() { remainSec = waitSec; }

void WaitTimeAdjustment::sleepSlice() const { usleep(static_cast<useconds_t>(sliceSec) * 1000000U); }

bool WaitTimeAdjustment::exitRequested(const std::atomic<int32_t>* exitState) {
    int32_t exitValue = exitState->load();
    if (exitValue == 1) {
        return false;
    }
    if (log != nullptr) {
        log->warning("Stop sleep to receive exit command ({})", exitValue);
    }
    remainSec = 0;
    return true;
}

int WaitTimeAdjustment::wait(const std::atomic<int32_t>* exitState, const std::atomic<int32_t>* orderState,
                             int32_t maxSlices) {
    for (int32_t slices = 0; remainSec > 0; ++slices) {
        if (maxSlices > 0 && slices == maxSlices) {
            return 3;
        }
        sleepSlice();
        remainSec -= sliceSec;
        if (exitRequested(exitState)) {
            return 1;
        }
        int32_t orderValue = orderState->load();
        if (orderValue != 0) {
            if (log != nullptr) {
                log->warning("Stop sleep to receive order command ({})", orderValue);
            }
            remainSec = 0;
            return 2;
        }
    }
    return 0;
}

int WaitTimeAdjustment::waitUntil(const std::atomic<int32_t>* exitState,
                                  const std::atomic<int64_t>* targetTime) {
    int result = 0;
    while (remainSec > 0) {
        if (wake != nullptr) {
            wake->sleepFor(std::chrono::seconds(sliceSec), seenWakes);
        } else {
            sleepSlice();
        }
        remainSec -= sliceSec;
        if (exitRequested(exitState)) {
            result = 1;
            break;
        }
        int64_t target = targetTime->load();
        if (target != 0 && target <= nowSeconds()) {
            if (log != nullptr) {
                log->info("Stop sleep : time to execute order : target time -> {})",
                          formatLocalTime(target, "%Y/%m/%d %H:%M:%S"));
            }
            result = 2;
            remainSec = 0;
            break;
        }
        if (wake != nullptr && wake->count() != seenWakes) {
            seenWakes = wake->count();
            remainSec = 0;
            break;
        }
    }
    return result;
}

}  // namespace velk
