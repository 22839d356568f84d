#include "server/pairing_throttle.h"

#include <gtest/gtest.h>

namespace tarvello {
namespace {

TEST(PairingThrottle, FiveFreeFailuresThenDoublingWaitCappedAtFiveMinutes) {
    PairingThrottle t;
    double now = 100;
    for (int i = 0; i < 5; ++i) {
        now += 1.0;  // one a second stays under the global rate
        ASSERT_FALSE(t.admit("10.0.0.1", now)) << i;
        t.recordFailure("10.0.0.1", now);
    }
    const double expected[] = {2, 4, 8, 16, 32, 64, 128, 256, 300, 300};
    for (double wait : expected) {
        auto w = t.admit("10.0.0.1", now);
        ASSERT_TRUE(w);
        EXPECT_DOUBLE_EQ(*w, wait);
        now += wait;
        ASSERT_FALSE(t.admit("10.0.0.1", now));
        t.recordFailure("10.0.0.1", now);
    }
}

TEST(PairingThrottle, SuccessClearsAndOtherAddressesAreUnaffected) {
    PairingThrottle t;
    for (int i = 0; i < 6; ++i) {
        ASSERT_FALSE(t.admit("a", 10.0 * i));
        t.recordFailure("a", 10.0 * i);
    }
    EXPECT_TRUE(t.admit("a", 50.5));
    EXPECT_FALSE(t.admit("b", 50.5));
    t.recordSuccess("a");
    EXPECT_FALSE(t.admit("a", 51.0));
}

TEST(PairingThrottle, AtMostTenChecksPerSecondInAll) {
    PairingThrottle t;
    for (int i = 0; i < 10; ++i) ASSERT_FALSE(t.admit("host" + std::to_string(i), 7.0 + i * 0.01));
    auto w = t.admit("another", 7.5);
    ASSERT_TRUE(w);
    EXPECT_NEAR(*w, 0.5, 1e-9);  // until the first of the ten is a second old
    EXPECT_FALSE(t.admit("another", 8.0));
}

// Guessing spread over many addresses: past 20 wrong codes an hour, one check every
// 10 s in all, until an hour without a wrong code or a new code.
TEST(PairingThrottle, GlobalBudgetAfterTwentyWrongCodesFromManyAddresses) {
    PairingThrottle t;
    double now = 1000;
    for (int i = 0; i < 19; ++i) {
        now += 0.2;
        const std::string who = "10.0." + std::to_string(i) + ".1";
        ASSERT_FALSE(t.admit(who, now)) << i;
        t.recordWrongCode(who, now);
    }
    EXPECT_FALSE(t.guarding(now));
    now += 0.2;
    ASSERT_FALSE(t.admit("10.1.0.1", now));
    t.recordWrongCode("10.1.0.1", now);
    EXPECT_TRUE(t.guarding(now));
    EXPECT_EQ(t.wrongCodesLastHour(now), 20u);

    // A fresh address gets one check, then everyone waits 10 s.
    EXPECT_FALSE(t.admit("10.2.0.1", now + 1));
    auto w = t.admit("10.3.0.1", now + 2);
    ASSERT_TRUE(w);
    EXPECT_NEAR(*w, 9.0, 1e-9);
    EXPECT_FALSE(t.admit("10.3.0.1", now + 11));
    EXPECT_TRUE(t.admit("10.4.0.1", now + 12));

    // Version faults and other failures slow the address but spend no wrong code.
    t.recordFailure("10.5.0.1", now + 12);
    EXPECT_EQ(t.wrongCodesLastHour(now + 12), 20u);

    // An hour after the last wrong code the budget lifts.
    EXPECT_TRUE(t.guarding(now + 3599));
    EXPECT_FALSE(t.guarding(now + 3600.5));
    EXPECT_FALSE(t.admit("10.6.0.1", now + 3600.5));
    EXPECT_FALSE(t.admit("10.7.0.1", now + 3600.6));
}

TEST(PairingThrottle, ResetForANewCodeClearsEverything) {
    PairingThrottle t;
    for (int i = 0; i < 25; ++i) {
        const std::string who = i < 10 ? "a" : "h" + std::to_string(i);
        ASSERT_FALSE(t.admit(who, 100.0 * i)) << i;
        t.recordWrongCode(who, 100.0 * i);
    }
    const double now = 2401;
    ASSERT_TRUE(t.guarding(now));
    ASSERT_TRUE(t.admit("a", now));
    t.reset();
    EXPECT_FALSE(t.guarding(now));
    EXPECT_FALSE(t.admit("a", now));
    EXPECT_FALSE(t.admit("b", now + 0.1));
}

TEST(PairingThrottle, TableStaysBoundedUnderManyAddresses) {
    PairingThrottle t;
    for (int i = 0; i < 20000; ++i) t.recordFailure("h" + std::to_string(i), i * 0.001);
    EXPECT_LE(t.tracked(), PairingThrottle::maxTracked);
}

TEST(PairingThrottle, AddressKeys) {
    EXPECT_EQ(PairingThrottle::addressKey("192.168.1.5"), "192.168.1.5");
    EXPECT_EQ(PairingThrottle::addressKey("::ffff:192.168.1.5"), "192.168.1.5");
    // Every address of one /64 shares a key; another /64 does not.
    EXPECT_EQ(PairingThrottle::addressKey("2001:db8:1:2::1"),
              PairingThrottle::addressKey("2001:db8:1:2:ffff::9"));
    EXPECT_NE(PairingThrottle::addressKey("2001:db8:1:2::1"), PairingThrottle::addressKey("2001:db8:1:3::1"));
}

}  // namespace
}  // namespace tarvello
