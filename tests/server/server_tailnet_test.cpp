// Serving only inside the tailnet, over loopback: 127.0.0.2 plays this computer's and
// the phone's Tailscale address, 127.0.0.1 the shared network outside it.
#include <mutex>

#include "support/eventually.h"
#include "support/server_fixture.h"

namespace tarvello::test {
namespace {

constexpr const char* kTailnet = "127.0.0.2";
constexpr const char* kOutside = "127.0.0.1";
constexpr const char* kRefusal = "This computer accepts only Tailscale connections";

// Shared with the server's threads, which may still call in until TearDown stops it.
struct TailnetStandIn {
    std::mutex mutex;
    std::vector<std::string> local;    // this computer's tailnet addresses
    std::string notEncrypted;          // the latest status field
    std::vector<std::string> notices;  // every change of it, in order

    void setLocal(std::vector<std::string> addresses) {
        std::lock_guard lock(mutex);
        local = std::move(addresses);
    }
    std::string notice() {
        std::lock_guard lock(mutex);
        return notEncrypted;
    }
};

class TailnetTest : public ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        options.tailnetPollInterval = 0.02;
        options.isTailnetPeer = [](const std::string& address) { return address == kTailnet; };
        options.tailnetAddresses = [s = standIn] {
            std::lock_guard lock(s->mutex);
            return s->local;
        };
        options.statusObserver = [s = standIn](const ServerStatus& status) {
            std::lock_guard lock(s->mutex);
            if (status.notEncrypted != s->notEncrypted) s->notices.push_back(status.notEncrypted);
            s->notEncrypted = status.notEncrypted;
        };
    }

    void setTailnetOnly(bool on) { store->setBool(SettingsKey::tailnetOnly, on); }

    // What the server answers a hello with the right code from `from`.
    std::string helloFrom(const std::string& from, const std::string& host = kOutside) {
        TestPhone p;
        if (!p.connect(server->controlPort(), host, from)) return "no connection";
        auto ack = p.hello(kCode, 320, 240);
        return !ack ? std::string("no answer") : ack->accepted ? std::string("accepted") : ack->text;
    }

    std::shared_ptr<TailnetStandIn> standIn = std::make_shared<TailnetStandIn>();
};

std::string notEncryptedLine(const std::string& address) {
    return "Connection from " + address + " is not encrypted; switch on Only over Tailscale to require it";
}

TEST_F(TailnetTest, OnlyTailnetPeersAreServedAndOutsidersNeverSpendTheCodeBudget) {
    auto clock = std::make_shared<ManualClock>(100.0);
    options.clock = clock;
    setTailnetOnly(true);
    startServer();
    // The clock stands still: had these reached the code check, its rate would refuse
    // the tailnet phone below as too many attempts.
    for (int i = 0; i < 30; ++i) ASSERT_EQ(helloFrom(kOutside), kRefusal) << i;
    EXPECT_EQ(helloFrom(kTailnet), "accepted");
    EXPECT_TRUE(logs.contains(std::string("Rejected: ") + kRefusal));
    EXPECT_FALSE(logs.contains("is not encrypted"));
    EXPECT_EQ(standIn->notice(), "");
}

TEST_F(TailnetTest, ForcedModeRefusesOutsidersWhateverTheSetting) {
    setTailnetOnly(false);
    options.forceTailnetOnly = true;
    startServer();
    EXPECT_EQ(helloFrom(kOutside), kRefusal);
    EXPECT_EQ(helloFrom(kTailnet), "accepted");
}

TEST_F(TailnetTest, OutsiderIsServedWhenOffAndToldOncePerSessionThatItIsNotEncrypted) {
    startServer();
    {
        TestPhone p;
        ASSERT_TRUE(p.connect(server->controlPort(), kOutside, kOutside));
        auto ack = p.hello(kCode, 320, 240);
        ASSERT_TRUE(ack && ack->accepted);
        for (uint64_t i = 0; i < 3; ++i) {
            ASSERT_TRUE(p.sendRaw(buildPing(i)));
            ASSERT_TRUE(p.waitFor(MsgType::pong));
        }
        ASSERT_TRUE(eventually([&] { return standIn->notice() == notEncryptedLine(kOutside); }));
        EXPECT_EQ(logs.count(notEncryptedLine(kOutside)), 1);
    }
    // The notice lasts as long as the session it speaks of.
    ASSERT_TRUE(logs.waitFor("iPhone disconnected"));
    ASSERT_TRUE(eventually([&] { return standIn->notice().empty(); }));

    EXPECT_EQ(helloFrom(kTailnet), "accepted");
    EXPECT_EQ(logs.count("is not encrypted"), 1);
    std::lock_guard lock(standIn->mutex);
    EXPECT_EQ(standIn->notices, (std::vector<std::string>{notEncryptedLine(kOutside), ""}));
}

TEST_F(TailnetTest, SwitchingOnEndsAnOutsidersSessionWithoutRestart) {
    startServer();
    TestPhone p;
    ASSERT_TRUE(p.connect(server->controlPort(), kOutside, kOutside));
    auto ack = p.hello(kCode, 320, 240);
    ASSERT_TRUE(ack && ack->accepted);
    setTailnetOnly(true);
    auto refused = p.waitFor(MsgType::helloAck);
    ASSERT_TRUE(refused);
    EXPECT_EQ(decodeHelloAck(refused->payload).text, kRefusal);
    EXPECT_TRUE(p.waitClosed());
    ASSERT_TRUE(eventually([&] { return standIn->notice().empty(); }));
    EXPECT_EQ(helloFrom(kOutside), kRefusal);
    setTailnetOnly(false);
    EXPECT_EQ(helloFrom(kOutside), "accepted");
}

TEST_F(TailnetTest, RegistrationFromOutsideTheTailnetIsIgnoredWhenOn) {
    setTailnetOnly(true);
    startServer();
    TestPhone phone;
    ASSERT_TRUE(phone.connect(server->controlPort(), kOutside, kTailnet));
    auto ack = phone.hello(kCode, 320, 240);
    ASSERT_TRUE(ack && ack->accepted);

    TestPhone outsider;
    ASSERT_TRUE(outsider.openUdp(kOutside));
    ASSERT_TRUE(outsider.sendUdp(server->videoPort(), buildRegistration(ack->sessionId)));
    ASSERT_TRUE(eventually([&] { return server->snapshot().offTailnetRegistrations == 1; }));
    EXPECT_FALSE(server->snapshot().videoRegistered);

    ASSERT_TRUE(phone.openUdp(kTailnet));
    ASSERT_TRUE(phone.sendUdp(server->videoPort(), buildRegistration(ack->sessionId)));
    ASSERT_TRUE(eventually([&] { return server->snapshot().videoRegistered; }));
    EXPECT_EQ(server->snapshot().offTailnetRegistrations, 1u);
}

TEST_F(TailnetTest, ListenerFollowsTheTailnetAddressesAndTheSwitch) {
    setTailnetOnly(true);
    startServer();
    const uint16_t port = server->controlPort();
    using Addresses = std::vector<std::string>;
    auto listening = [&](const Addresses& want) { return server->snapshot().listenAddresses == want; };
    // No tailnet yet: the configured address, guarded by the peer check.
    EXPECT_TRUE(listening({}));
    EXPECT_EQ(helloFrom(kTailnet), "accepted");

    standIn->setLocal({kTailnet});  // Tailscale comes up
    ASSERT_TRUE(eventually([&] { return listening({kTailnet}); }));
    EXPECT_EQ(server->controlPort(), port);
    EXPECT_EQ(helloFrom(kTailnet, kOutside), "no connection");
    EXPECT_EQ(helloFrom(kTailnet, kTailnet), "accepted");

    setTailnetOnly(false);
    ASSERT_TRUE(eventually([&] { return listening({}); }));
    EXPECT_EQ(helloFrom(kOutside), "accepted");

    setTailnetOnly(true);
    ASSERT_TRUE(eventually([&] { return listening({kTailnet}); }));
    standIn->setLocal({});  // and goes away
    ASSERT_TRUE(eventually([&] { return listening({}); }));
    EXPECT_EQ(server->controlPort(), port);
    EXPECT_EQ(helloFrom(kTailnet), "accepted");
    EXPECT_EQ(helloFrom(kOutside), kRefusal);
}

TEST_F(TailnetTest, AddressThatWillNotBindLeavesTheConfiguredListenerGuarded) {
    setTailnetOnly(true);
    standIn->setLocal({"192.0.2.1"});  // not this computer's: the bind fails
    startServer();
    EXPECT_TRUE(server->snapshot().listenAddresses.empty());
    EXPECT_TRUE(logs.contains("TCP listener failed on 192.0.2.1"));
    EXPECT_EQ(helloFrom(kTailnet), "accepted");
    EXPECT_EQ(helloFrom(kOutside), kRefusal);

    standIn->setLocal({kTailnet});
    ASSERT_TRUE(
        eventually([&] { return server->snapshot().listenAddresses == std::vector<std::string>{kTailnet}; }));
    EXPECT_EQ(helloFrom(kTailnet, kTailnet), "accepted");
    // Tried once per change, not at every look.
    EXPECT_EQ(logs.count("TCP listener failed"), 1);
}

}  // namespace
}  // namespace tarvello::test
