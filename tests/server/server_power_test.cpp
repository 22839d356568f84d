#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "support/server_fixture.h"

namespace tarvello::test {
namespace {

constexpr const char* kAssertion = "Tarvello: keeps this computer unlocked for the iPhone";

class ServerPowerTest : public ServerTest {
protected:
    // Every server-queue task posted so far has run.
    void settle() {
        server->queue().sync([] {});
    }

    std::vector<std::string> held() {
        settle();
        return sim.power->held();
    }

    void setKeepUnlocked(bool on) {
        store->setBool(SettingsKey::keepUnlocked, on);
        server->keepUnlockedChanged();
    }

    // Starts the server after `prepare` has steered the fresh stand-ins.
    template <class F>
    void startServerAfter(F prepare) {
        platform = makeSimPlatform(sim);
        prepare();
        server = Server::create(platform, options);
        ASSERT_TRUE(server->start());
    }

    void waitSessionEnded() {
        ASSERT_TRUE(logs.waitFor("Session ended: stopping capture and virtual display"));
    }
};

// ---- The keep-awake assertion ----

TEST_F(ServerPowerTest, KeepUnlockedHoldsTheAssertionBeforeAnyPhoneAndReleasesItAtOnceWhenOff) {
    startServer();
    EXPECT_EQ(held(), std::vector<std::string>{kAssertion});
    setKeepUnlocked(false);
    EXPECT_TRUE(held().empty());
    setKeepUnlocked(true);
    EXPECT_EQ(held().size(), 1u);
}

TEST_F(ServerPowerTest, TurnedOffDuringASessionTheAssertionStaysUntilTheSessionEnds) {
    options.teardownDelay = 0.05;
    startServer();
    auto p = acceptedPhone();
    setKeepUnlocked(false);
    EXPECT_EQ(held().size(), 1u);
    p->close();
    waitSessionEnded();
    EXPECT_TRUE(held().empty());
    EXPECT_EQ(sim.power->attempts(), 1) << "one assertion for the whole run";
}

TEST_F(ServerPowerTest, WithKeepUnlockedOffOnlyTheSessionHoldsTheAssertion) {
    store->setBool(SettingsKey::keepUnlocked, false);
    options.teardownDelay = 0.05;
    startServer();
    EXPECT_TRUE(held().empty());
    auto p = acceptedPhone();
    EXPECT_EQ(held(), std::vector<std::string>{kAssertion});
    // The session's virtual display is the one kept awake.
    const auto covered = sim.display->info(sim.power->covered());
    ASSERT_TRUE(covered);
    EXPECT_TRUE(covered->isVirtual);
    p->close();
    waitSessionEnded();
    EXPECT_TRUE(held().empty());
    EXPECT_EQ(sim.power->covered(), 0u);
}

TEST_F(ServerPowerTest, AFailedAssertionIsTriedAgainAtTheNextTrigger) {
    startServerAfter([&] { sim.power->fail = true; });
    EXPECT_TRUE(held().empty());
    EXPECT_EQ(sim.power->attempts(), 1);
    setKeepUnlocked(true);
    EXPECT_TRUE(held().empty());
    EXPECT_EQ(sim.power->attempts(), 2);

    sim.power->fail = false;
    auto p = acceptedPhone();
    EXPECT_EQ(held().size(), 1u);
    EXPECT_EQ(sim.power->attempts(), 3);
}

// ---- Lock and permission status ----

class ServerLockTest : public ServerPowerTest {
protected:
    void SetUp() override {
        ServerPowerTest::SetUp();
        options.statsInterval = 0.02;
    }

    std::optional<uint8_t> nextStatus(TestPhone& p) {
        auto f = p.waitFor(MsgType::macStatus);
        if (!f || f->payload.size() != 1) return std::nullopt;
        return f->payload[0];
    }

    // Waits until the server has polled `n` more times, all polls finished.
    void waitPolls(int n) {
        const int target = sim.host->lockReads.load() + n;
        for (int i = 0; i < 1000 && sim.host->lockReads.load() < target; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ASSERT_GE(sim.host->lockReads.load(), target);
        settle();
    }

    // True when a macStatus arrived before a ping sent now is answered.
    bool statusPending(TestPhone& p) {
        static uint64_t token = 100;
        EXPECT_TRUE(p.sendRaw(buildPing(++token)));
        EXPECT_TRUE(p.waitFor(MsgType::pong));
        return p.waitFor(MsgType::macStatus, 0).has_value();
    }
};

TEST_F(ServerLockTest, LockSendsStatusAndUnlockRebuildsTheSessionAtTheSameSize) {
    startServer();
    auto p = acceptedPhone(321, 241);
    EXPECT_EQ(nextStatus(*p), 0x00);  // once after authentication
    sim.host->accessibility = false;
    EXPECT_EQ(nextStatus(*p), 0x04);

    sim.host->locked = true;
    EXPECT_EQ(nextStatus(*p), 0x05);  // locked | noAccessibility
    EXPECT_TRUE(logs.contains("Mac session locked"));
    const int displaysBefore = sim.display->created();
    const int capturesBefore = sim.capture->starts.load();

    sim.host->locked = false;
    EXPECT_EQ(nextStatus(*p), 0x04);
    EXPECT_TRUE(logs.waitFor("Mac session unlocked"));
    // Rebuilt: a new display and capture, and the phone told again at the same size.
    auto ack = p->waitFor(MsgType::helloAck);
    ASSERT_TRUE(ack);
    const auto rebuilt = decodeHelloAck(ack->payload);
    EXPECT_TRUE(rebuilt.accepted);
    EXPECT_EQ(rebuilt.width, 320);
    EXPECT_EQ(rebuilt.height, 240);
    EXPECT_EQ(rebuilt.sessionId, lastAck.sessionId);
    EXPECT_GT(sim.display->created(), displaysBefore);
    EXPECT_GT(sim.capture->starts.load(), capturesBefore);
    const auto snap = server->snapshot();
    EXPECT_EQ(snap.pixelW, 320);
    EXPECT_EQ(snap.pixelH, 240);
}

TEST_F(ServerLockTest, EqualPollsSendOnceAndANewHelloSendsAgain) {
    startServer();
    auto p = acceptedPhone();
    EXPECT_EQ(nextStatus(*p), 0x00);
    waitPolls(3);
    EXPECT_FALSE(statusPending(*p));

    sim.host->screen = false;
    EXPECT_EQ(nextStatus(*p), 0x02);
    waitPolls(3);
    EXPECT_FALSE(statusPending(*p));
    sim.host->screen = true;
    EXPECT_EQ(nextStatus(*p), 0x00);

    // A new hello on the same connection: the next poll sends the unchanged status again.
    auto again = p->hello(std::string(kCode) + "\nPhone", 321, 241);
    ASSERT_TRUE(again && again->accepted);
    EXPECT_EQ(nextStatus(*p), 0x00);
    waitPolls(2);
    EXPECT_FALSE(statusPending(*p));
}

TEST_F(ServerLockTest, LockWithoutASessionIsLoggedButRebuildsNothing) {
    startServerAfter([&] { sim.host->locked = true; });
    ASSERT_TRUE(logs.waitFor("Mac session locked"));
    TestPhone unauthenticated;
    ASSERT_TRUE(unauthenticated.connect(server->controlPort()));
    sim.host->locked = false;
    ASSERT_TRUE(logs.waitFor("Mac session unlocked"));
    waitPolls(2);
    EXPECT_EQ(sim.display->created(), 0);
    // Before hello nothing is sent.
    EXPECT_FALSE(unauthenticated.waitFor(MsgType::macStatus, 0.1));
}

// ---- The lid setting ----

TEST_F(ServerPowerTest, LidSwitchReadsBackWhatThePlatformHolds) {
    startServer();
    EXPECT_TRUE(server->setLidAwake(true));
    EXPECT_TRUE(server->lidAwakeEnabled());
    EXPECT_FALSE(server->setLidAwake(false));
    EXPECT_FALSE(server->lidAwakeEnabled());

    sim.lid->refuse = true;
    EXPECT_FALSE(server->setLidAwake(true)) << "a refused hold reads back off";
    EXPECT_FALSE(server->lidAwakeEnabled());
}

}  // namespace
}  // namespace tarvello::test
