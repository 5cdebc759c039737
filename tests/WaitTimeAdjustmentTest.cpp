#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "WaitTimeAdjustment.h"
#include "support/TestLog.h"

using velk::WaitTimeAdjustment;
using Clock = std::chrono::steady_clock;

namespace {

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A captured log and the flags a waiter watches: no exit, no order.
class WaitTimeAdjustmentTest : public ::testing::Test {
  protected:
    velk::test::TestLog log;
    std::atomic<int32_t> exitState{1};
    std::atomic<int32_t> orderState{0};
};

}  // namespace

TEST_F(WaitTimeAdjustmentTest, FullWaitRoundsUpToWholeSlices) {
    WaitTimeAdjustment waiter(3, 2);  // 3 s in 2 s slices: two slices
    waiter.start();
    auto start = Clock::now();
    EXPECT_EQ(waiter.wait(&exitState, &orderState), 0);
    EXPECT_GE(secondsSince(start), 3.9);
    EXPECT_FALSE(log.contains("Stop sleep"));
    // A negative time is no time, not an endless wait.
    waiter.setWaitTime(-5, 1);
    waiter.start();
    EXPECT_EQ(waiter.wait(&exitState, &orderState), 0);
}

// A pending order ends the wait after a slice; an exit request wins over it.
TEST_F(WaitTimeAdjustmentTest, ExitWinsOverAPendingOrder) {
    orderState = 2;
    WaitTimeAdjustment waiter(60, 1);
    waiter.start();
    EXPECT_EQ(waiter.wait(&exitState, &orderState), 2);
    exitState = 2;
    waiter.start();
    EXPECT_EQ(waiter.wait(&exitState, &orderState), 1);
}

class WaitSliceCorrection : public WaitTimeAdjustmentTest,
                            public ::testing::WithParamInterface<std::pair<int32_t, int32_t>> {};

// Slices that would spin forever or overflow the microsecond sleep are corrected, with a warning.
TEST_P(WaitSliceCorrection, OutOfRangeSliceIsCorrectedWithWarning) {
    auto [configured, corrected] = GetParam();
    WaitTimeAdjustment waiter(1, configured);
    EXPECT_TRUE(log.contains("W : [WaitTimeAdjustment.cpp:"));
    EXPECT_TRUE(log.contains("wait slice " + std::to_string(configured) +
                             " sec is out of range : corrected to " + std::to_string(corrected) + " sec"));
    if (corrected == 1) {
        waiter.start();
        auto start = Clock::now();
        EXPECT_EQ(waiter.wait(&exitState, &orderState), 0);
        EXPECT_LT(secondsSince(start), 30.0);  // bounded at all, not fast
    }
}

INSTANTIATE_TEST_SUITE_P(Slices, WaitSliceCorrection,
                         ::testing::Values(std::make_pair(0, 1), std::make_pair(-3, 1),
                                           std::make_pair(4295, 4294), std::make_pair(2147483647, 4294)));

// A wake given before the wait (while the waiter was looking at its work) or during it ends the
// next wait at once, each counted once; a wait this long would otherwise outlast the test.
TEST_F(WaitTimeAdjustmentTest, WakeEndsTheWaitAndIsNeverLost) {
    const std::atomic<int64_t> noTarget{0};
    velk::WakeSignal wake;
    WaitTimeAdjustment waiter(3600, 3600);
    waiter.setWakeSignal(&wake);
    wake.notify();
    waiter.start();
    EXPECT_EQ(waiter.waitUntil(&exitState, &noTarget), 0);
    std::thread waker([&] { wake.notify(); });
    waiter.start();
    EXPECT_EQ(waiter.waitUntil(&exitState, &noTarget), 0);
    waker.join();
}
