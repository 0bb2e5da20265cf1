// The per-address login throttle on its own clock: when refusal starts, how it grows, what
// lapses, whom it spares, and how often it logs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "auth/LoginThrottle.h"
#include "core/Log.h"

namespace {

using pv::auth::CLoginThrottle;
using namespace std::chrono_literals;

int LinesWith(const std::string& text) {
    int n = 0;
    std::string line;
    while (pv::TakePendingLine(line)) n += line.find(text) != std::string::npos;
    return n;
}

TEST(LoginThrottleTest, RefusalStartsAtTheThresholdGrowsAndLapses) {
    CLoginThrottle t;
    auto now = CLoginThrottle::Clock::now();
    LinesWith("");
    for (int i = 1; i < CLoginThrottle::kFailuresBeforeRefusal; ++i) {
        t.Failed("198.51.100.7", "POP3", now);
        EXPECT_FALSE(t.Refused("198.51.100.7", now)) << i;
        now += 30s;
    }
    t.Failed("198.51.100.7", "POP3", now);
    EXPECT_TRUE(t.Refused("198.51.100.7", now));
    EXPECT_TRUE(t.Refused("::ffff:198.51.100.7", now));  // the same client over IPv6
    EXPECT_FALSE(t.Refused("198.51.100.8", now));        // the owner elsewhere is not
    EXPECT_TRUE(t.Refused("198.51.100.7", now + CLoginThrottle::kFirstRefusal - 1s));
    EXPECT_FALSE(t.Refused("198.51.100.7", now + CLoginThrottle::kFirstRefusal));

    // Tries during a refusal count and double it.
    t.Failed("198.51.100.7", "POP3", now + 10s);
    EXPECT_TRUE(t.Refused("198.51.100.7", now + 10s + 2 * CLoginThrottle::kFirstRefusal - 1s));
    EXPECT_FALSE(t.Refused("198.51.100.7", now + 10s + 2 * CLoginThrottle::kFirstRefusal));
    for (int i = 0; i < 20; ++i) t.Failed("198.51.100.7", "POP3", now + 20s);
    EXPECT_TRUE(t.Refused("198.51.100.7", now + 20s + CLoginThrottle::kLongestRefusal - 1s));
    EXPECT_FALSE(t.Refused("198.51.100.7", now + 20s + CLoginThrottle::kLongestRefusal));
    // One line when the refusal started, none for the 21 tries within the minute after it,
    // then one with the count.
    EXPECT_EQ(LinesWith("failed logins from [198.51.100.7]"), 1);
    t.Failed("198.51.100.7", "POP3", now + CLoginThrottle::kLogPeriod + 20s);
    EXPECT_EQ(LinesWith("27 failed logins from [198.51.100.7] (22 since the last line)"), 1);
    // Forgotten a window after the refusal ends.
    const auto last = now + CLoginThrottle::kLogPeriod + 20s;
    EXPECT_GT(t.Failures("198.51.100.7", last + CLoginThrottle::kLongestRefusal), 0);
    EXPECT_EQ(t.Failures("198.51.100.7", last + 1s + CLoginThrottle::kLongestRefusal + CLoginThrottle::kFailureWindow),
              0);
}

TEST(LoginThrottleTest, SpacedFailuresAndSuccessDoNotAddUp) {
    CLoginThrottle t;
    auto now = CLoginThrottle::Clock::now();
    for (int i = 0; i < 3 * CLoginThrottle::kFailuresBeforeRefusal; ++i) {
        t.Failed("203.0.113.1", "POP3", now);
        now += CLoginThrottle::kFailureWindow + 1s;  // a typo now and then, weeks apart
    }
    EXPECT_FALSE(t.Refused("203.0.113.1", now));
    for (int i = 1; i < CLoginThrottle::kFailuresBeforeRefusal; ++i) t.Failed("203.0.113.1", "POP3", now);
    t.Succeeded("203.0.113.1");
    t.Failed("203.0.113.1", "POP3", now);
    EXPECT_FALSE(t.Refused("203.0.113.1", now));
    EXPECT_EQ(t.Failures("203.0.113.1", now), 1);
}

}  // namespace
