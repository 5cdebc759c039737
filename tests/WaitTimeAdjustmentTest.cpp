#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "TimeFormat.h"
#include "WaitTimeAdjustment.h"
#include "support/TestLog.h"

using velk::WaitTimeAdjustment;
using Clock = std::chrono::steady_clock;

namespace {

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A captured log and the flags a waiter watches: no exit, no order, no target time.
class WaitTimeAdjustmentTest : public ::testing::Test {
  protected:
    velk::test::TestLog log;
    std::atomic<int32_t> exitState{1};
    std::atomic<int32_t> orderState{0};
    std::atomic<int64_t> target{0};
};

}  // namespace

TEST_F(WaitTimeAdjustmentTest, FullWaitRoundsUpToWholeSlices) {
    WaitTimeAdjustment waiter(3, 2);  // 3 s in 2 s slices: two slices
    waiter.start();
    auto start = Clock::now();
    EXPECT_EQ(waiter.wait(&exitState, &orderState), 0);
    EXPECT_GE(secondsSince(start), 3.9);
    EXPECT_FALSE(log.contains("Stop sleep"));
}

TEST_F(WaitTimeAdjustmentTest, ExitDuringSliceEndsWaitAndNextWaitReturnsAtOnce) {
    WaitTimeAdjustment waiter(60, 1);
    waiter.start();
    std::thread signaller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        exitState.store(2);
    });
    auto start = Clock::now();
    EXPECT_EQ(waiter.wait(&exitState, &orderState), 1);
    signaller.join();
    EXPECT_LT(secondsSince(start), 30.0);
    EXPECT_TRUE(log.contains("W : Stop sleep to receive exit command (2)"));

    // The early stop used up the remaining time.
    exitState.store(1);
    start = Clock::now();
    EXPECT_EQ(waiter.wait(&exitState, &orderState), 0);
    EXPECT_LT(secondsSince(start), 0.5);
}

// A pending order ends the wait; an exit request wins over it.
TEST(WaitTimeAdjustment, PendingRequestEndsWait) {
    const struct {
        int32_t exit;
        int expected;
        const char* logged;
        const char* notLogged;
    } cases[] = {{1, 2, "W : Stop sleep to receive order command (2)", "exit command"},
                 {2, 1, "W : Stop sleep to receive exit command (2)", "order command"}};
    for (const auto& c : cases) {
        velk::test::TestLog log;
        std::atomic<int32_t> exitState{c.exit};
        std::atomic<int32_t> orderState{2};
        WaitTimeAdjustment waiter(60, 1);
        waiter.start();
        EXPECT_EQ(waiter.wait(&exitState, &orderState), c.expected);
        EXPECT_TRUE(log.contains(c.logged)) << c.logged;
        EXPECT_FALSE(log.contains(c.notLogged)) << c.notLogged;
    }
}

TEST_F(WaitTimeAdjustmentTest, NothingToWaitReturnsWithoutSleeping) {
    exitState = orderState = 2;
    target = 1;
    WaitTimeAdjustment waiter(0, 1);
    waiter.start();
    auto start = Clock::now();
    EXPECT_EQ(waiter.wait(&exitState, &orderState), 0);
    EXPECT_EQ(waiter.waitUntil(&exitState, &target), 0);
    waiter.setWaitTime(-5, 1);
    waiter.start();
    EXPECT_EQ(waiter.wait(&exitState, &orderState), 0);
    EXPECT_LT(secondsSince(start), 0.5);
}

TEST_F(WaitTimeAdjustmentTest, PastTargetEndsAfterFirstSlice) {
    const int64_t past = velk::nowSeconds() - 100;
    target = past;
    WaitTimeAdjustment waiter(60, 1);
    waiter.start();
    auto start = Clock::now();
    EXPECT_EQ(waiter.waitUntil(&exitState, &target), 2);
    EXPECT_GE(secondsSince(start), 0.9);
    EXPECT_TRUE(log.contains("I : Stop sleep : time to execute order : target time -> " +
                             velk::formatLocalTime(past, "%Y/%m/%d %H:%M:%S") + ")"));
}

TEST_F(WaitTimeAdjustmentTest, TargetSetWhileWaitingIsSeen) {
    WaitTimeAdjustment waiter(60, 1);
    waiter.start();
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        target.store(velk::nowSeconds());
    });
    auto start = Clock::now();
    EXPECT_EQ(waiter.waitUntil(&exitState, &target), 2);
    setter.join();
    EXPECT_LT(secondsSince(start), 10.0);
}

TEST_F(WaitTimeAdjustmentTest, NoTargetWaitsOutTheTimeAndWatchesExit) {
    WaitTimeAdjustment waiter(2, 1);
    waiter.start();
    EXPECT_EQ(waiter.waitUntil(&exitState, &target), 0);
    exitState.store(2);
    waiter.start();
    EXPECT_EQ(waiter.waitUntil(&exitState, &target), 1);
    EXPECT_TRUE(log.contains("Stop sleep to receive exit command (2)"));
}

class WaitSliceCorrection : public ::testing::TestWithParam<std::pair<int32_t, int32_t>> {};

// Slices that would spin forever or overflow the microsecond sleep are corrected, with a warning.
TEST_P(WaitSliceCorrection, OutOfRangeSliceIsCorrectedWithWarning) {
    velk::test::TestLog log;
    auto [configured, corrected] = GetParam();
    std::atomic<int32_t> exitState{1};
    std::atomic<int32_t> orderState{0};
    WaitTimeAdjustment waiter(1, configured);
    EXPECT_TRUE(log.contains("W : [WaitTimeAdjustment.cpp:"));
    EXPECT_TRUE(log.contains("wait slice " + std::to_string(configured) +
                             " sec is out of range : corrected to " + std::to_string(corrected) + " sec"));
    if (corrected == 1) {
        waiter.start();
        auto start = Clock::now();
        EXPECT_EQ(waiter.wait(&exitState, &orderState), 0);
        EXPECT_LT(secondsSince(start), 5.0);
    }
}

INSTANTIATE_TEST_SUITE_P(Slices, WaitSliceCorrection,
                         ::testing::Values(std::make_pair(0, 1), std::make_pair(-3, 1),
                                           std::make_pair(4295, 4294), std::make_pair(2147483647, 4294)));

// A wake given before the wait (while the waiter was looking at its work) or during it ends the
// next wait at once, each counted once; a wait this long would otherwise outlast the test.
TEST(WaitTimeAdjustment, WakeEndsTheWaitAndIsNeverLost) {
    velk::test::TestLog log;
    std::atomic<int32_t> exitState{1};
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
