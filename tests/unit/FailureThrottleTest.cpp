#include "auth/FailureThrottle.h"

#include <gtest/gtest.h>

namespace {

using pv::auth::FailureThrottle;
using std::chrono::seconds;

TEST(FailureThrottleTest, BlocksAfterFreeFailuresForAGrowingPeriodAndForgets) {
    FailureThrottle throttle({.freeFailures = 3, .firstBlock = seconds(60), .maxBlock = seconds(200),
                              .forgetAfter = seconds(1000), .maxKeys = 2});
    const auto t0 = FailureThrottle::Clock::time_point{} + seconds(100000);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(throttle.Fail("carol", t0), seconds(0));
    EXPECT_EQ(throttle.BlockedFor("carol", t0), seconds(0));
    EXPECT_EQ(throttle.Fail("carol", t0), seconds(60));
    EXPECT_EQ(throttle.BlockedFor("carol", t0 + seconds(59)), seconds(1));
    EXPECT_EQ(throttle.BlockedFor("carol", t0 + seconds(60)), seconds(0));
    EXPECT_EQ(throttle.Fail("carol", t0 + seconds(61)), seconds(120));
    EXPECT_EQ(throttle.Fail("carol", t0 + seconds(200)), seconds(200));  // capped
    EXPECT_EQ(throttle.BlockedFor("other", t0), seconds(0));              // per key

    throttle.Succeed("carol");
    EXPECT_EQ(throttle.BlockedFor("carol", t0 + seconds(201)), seconds(0));
    for (int i = 0; i < 3; ++i) throttle.Fail("carol", t0);
    EXPECT_EQ(throttle.Fail("carol", t0 + seconds(2000)), seconds(0));  // a quiet spell forgets

    // A flood of names keeps at most maxKeys; the oldest goes first.
    throttle.Fail("a", t0 + seconds(3000));
    throttle.Fail("b", t0 + seconds(3001));
    EXPECT_EQ(throttle.Size(), 2u);
    for (int i = 0; i < 3; ++i) throttle.Fail("b", t0 + seconds(3002));
    EXPECT_GT(throttle.BlockedFor("b", t0 + seconds(3002)), seconds(0));
}

}  // namespace
