#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "PollSchedule.h"

using velk::PollSchedule;

using Pacing = PollSchedule::Settings;

// With the plain settings nothing moves: every wait is the interval, failed polls included, and a
// pause the service asked for is still honoured.
TEST(PollSchedule, PlainSettingsKeepTheFixedInterval) {
    PollSchedule plain(Pacing{3600, 0, 0, 0}, 1);
    EXPECT_EQ(plain.startDelay(180), 180);
    for (bool failed : {false, true, true, true, false}) {
        EXPECT_EQ(plain.nextWait(failed, 0), 3600);
    }
    EXPECT_EQ(plain.failuresInRow(), 0);
    EXPECT_EQ(plain.nextWait(true, 5000), 5000);
}

// The k-th failure in a row waits within [1, min(cap, interval * 2^k)], and across devices the waits
// fill that range (full jitter); the doubling never overflows, and one answer ends the backoff.
TEST(PollSchedule, BackoffDoublesUpToItsCapWithFullJitter) {
    const int32_t ceilings[] = {20, 40, 80, 100, 100};
    std::vector<std::vector<int32_t>> seen(std::size(ceilings));
    for (uint64_t device = 0; device < 300; ++device) {
        PollSchedule schedule(Pacing{10, 0, 0, 100}, device);
        for (size_t k = 0; k < std::size(ceilings); ++k) {
            seen[k].push_back(schedule.nextWait(true, 0));
        }
        for (int i = 0; i < 100; ++i) {
            ASSERT_LE(schedule.nextWait(true, 0), 100);
        }
        EXPECT_EQ(schedule.nextWait(false, 0), 10);
        EXPECT_EQ(schedule.failuresInRow(), 0);
    }
    for (size_t k = 0; k < std::size(ceilings); ++k) {
        const auto [low, high] = std::minmax_element(seen[k].begin(), seen[k].end());
        EXPECT_GE(*low, 1) << k;
        EXPECT_LE(*high, ceilings[k]) << k;
        EXPECT_LE(*low, ceilings[k] / 10) << k;
        EXPECT_GE(*high, ceilings[k] * 9 / 10) << k;
    }
    // A cap below the interval never makes a failed poll come sooner than the interval could.
    PollSchedule low(Pacing{60, 0, 0, 5}, 7);
    for (int i = 0; i < 50; ++i) {
        ASSERT_LE(low.nextWait(true, 0), 120);
    }
    EXPECT_EQ(PollSchedule(Pacing{10, 0, 0, 100}, 3).nextWait(true, 90), 90);
}

// Jitter stays within its bounds and reaches both ends; no wait drops below one second; two devices
// (or two boots of one) draw different waits, one device within one boot the same.
TEST(PollSchedule, JitterStaysInBoundsAndDiffersBetweenDevices) {
    PollSchedule schedule(Pacing{100, 30, 20, 0}, PollSchedule::deviceSeed("DEV-A", "2026-12-07 08:00:00"));
    std::vector<int32_t> starts;
    std::vector<int32_t> waits;
    for (int i = 0; i < 400; ++i) {
        starts.push_back(schedule.startDelay(180));
        waits.push_back(schedule.nextWait(i % 2 == 0, 0));
    }
    EXPECT_EQ(*std::min_element(starts.begin(), starts.end()), 180);
    EXPECT_EQ(*std::max_element(starts.begin(), starts.end()), 210);
    EXPECT_EQ(*std::min_element(waits.begin(), waits.end()), 80);
    EXPECT_EQ(*std::max_element(waits.begin(), waits.end()), 120);
    PollSchedule wide(Pacing{5, 0, 50, 0}, 9);
    for (int i = 0; i < 100; ++i) {
        ASSERT_GE(wide.nextWait(false, 0), 1);
    }

    auto draws = [](const std::string& code, const std::string& boot) {
        PollSchedule s(Pacing{3600, 900, 300, 0}, PollSchedule::deviceSeed(code, boot));
        std::vector<int32_t> values{s.startDelay(180)};
        for (int i = 0; i < 5; ++i) {
            values.push_back(s.nextWait(false, 0));
        }
        return values;
    };
    EXPECT_EQ(draws("DEV-A", "2026-12-07 08:00:00"), draws("DEV-A", "2026-12-07 08:00:00"));
    EXPECT_NE(draws("DEV-A", "2026-12-07 08:00:00"), draws("DEV-B", "2026-12-07 08:00:00"));
    EXPECT_NE(draws("DEV-A", "2026-12-07 08:00:00"), draws("DEV-A", "2026-12-07 09:30:12"));
}
