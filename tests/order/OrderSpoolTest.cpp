#include <gtest/gtest.h>

#include "order/OrderSpool.h"
#include "support/TempDir.h"

using velk::order::OrderSpool;
using velk::test::TempDir;
using Names = std::vector<std::string>;

TEST(OrderSpool, AnswersWaitInArrivalOrderAcrossRestarts) {
    EXPECT_TRUE(OrderSpool::mayHoldOrders(R"({"response":[{"item":"sw_update"}]})"));
    EXPECT_TRUE(OrderSpool::mayHoldOrders(R"({"response":[{"item":"sw\u005fupdate"}]})"));
    EXPECT_FALSE(OrderSpool::mayHoldOrders(R"({"response":[{"item":"boot_time"}]})"));

    TempDir dir;
    std::string first = OrderSpool(dir.path()).keep("one");
    std::string second = OrderSpool(dir.path()).keep("two");
    OrderSpool spool(dir.path());
    EXPECT_EQ(spool.pending(), (Names{first, second}));
    std::string text;
    ASSERT_TRUE(spool.read(second, text));
    EXPECT_EQ(text, "two");
    // Numbering goes on after the newest kept answer, not from the start.
    ASSERT_TRUE(spool.remove(first));
    std::string third = OrderSpool(dir.path()).keep("three");
    EXPECT_EQ(spool.pending(), (Names{second, third}));
}
