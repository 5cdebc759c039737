#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "communication/RetryAfter.h"

using velk::comm::RetryAfter;

// Both forms of the header, all three date spellings, and what a service might send by mistake.
TEST(RetryAfter, ReadsSecondsAndHttpDatesAndRefusesTheRest) {
    const int64_t now = 1796601600;  // Mon, 07 Dec 2026 00:00:00 GMT
    struct Case {
        const char* value;
        int64_t seconds;
    };
    for (const Case& c : {
             Case{"120", 120},
             Case{" 7\t", 7},
             Case{"0", 0},
             Case{"0000000000000000000000045", 45},
             Case{"99999999999999999999", 366LL * 24 * 3600},
             Case{"Mon, 07 Dec 2026 00:00:30 GMT", 30},
             Case{"Monday, 07-Dec-26 00:01:00 GMT", 60},
             Case{"Mon Dec  7 00:02:00 2026", 120},
             Case{"Sun, 06 Dec 2026 23:00:00 GMT", 0},
         }) {
        int64_t seconds = -1;
        EXPECT_TRUE(RetryAfter::parse(c.value, now, seconds)) << c.value;
        EXPECT_EQ(seconds, c.seconds) << c.value;
    }
    for (const char* garbage : {"", "soon", "-5", "1.5", "12abc", "Mon, 07 Dec 2026 00:00:30 CET",
                                "Mon, 07 Dec 2026 00:00:30 GMT trailing"}) {
        int64_t seconds = 0;
        EXPECT_FALSE(RetryAfter::parse(garbage, now, seconds)) << garbage;
    }
}
