// What a second host on the network can and cannot do, over real loopback sockets.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>

#include "support/eventually.h"
#include "support/server_fixture.h"

namespace tarvello::test {
namespace {

std::string hostAddress(int i) {
    return "127.0.0." + std::to_string(i);
}

// ---- Session traffic goes only to the connection that authenticated ----

TEST_F(ServerTest, SilentConnectionAfterAPhonesHelloNeverReceivesItsHelloAck) {
    auto clock = std::make_shared<ManualClock>(100.0);
    options.clock = clock;
    startServer();
    for (int i = 0; i < 50; ++i) {
        clock->advance(0.2);  // under the global rate of code checks
        TestPhone phone, silent;
        ASSERT_TRUE(phone.connect(server->controlPort()));
        ASSERT_TRUE(phone.sendRaw(buildHello({3, 320, 240, 60, std::string(kCode) + "\nPhone"})));
        ASSERT_TRUE(silent.connect(server->controlPort()));
        auto ack = phone.waitFor(MsgType::helloAck);
        ASSERT_TRUE(ack) << i;
        const HelloAck decoded = decodeHelloAck(ack->payload);
        ASSERT_TRUE(decoded.accepted) << i;
        ASSERT_TRUE(phone.sendRaw(buildPing(i)));
        ASSERT_TRUE(phone.waitFor(MsgType::pong)) << i;
        // Anything meant for the session would have been written before that pong.
        EXPECT_FALSE(silent.waitFor(MsgType::helloAck, 0.05)) << i;
        EXPECT_EQ(server->snapshot().sessionId, decoded.sessionId);
    }
}

TEST_F(ServerTest, SilentConnectionLeavesTheSessionAloneAndIsClosedAfterFiveSeconds) {
    startServer();
    auto phone = acceptedPhone();
    TestPhone silent;
    ASSERT_TRUE(silent.connect(server->controlPort()));
    ASSERT_TRUE(silent.sendRaw(buildPing(9)));  // nothing but a hello counts before acceptance
    ASSERT_TRUE(eventually([&] { return server->snapshot().pendingConnections == 1; }));
    ASSERT_TRUE(phone->sendRaw(buildPing(1)));
    ASSERT_TRUE(phone->waitFor(MsgType::pong));
    EXPECT_TRUE(silent.waitClosed(6.5));
    EXPECT_FALSE(silent.waitFor(MsgType::pong, 0.01));
    ASSERT_TRUE(phone->sendRaw(buildPing(2)));
    ASSERT_TRUE(phone->waitFor(MsgType::pong));
    const auto snap = server->snapshot();
    EXPECT_TRUE(snap.authed);
    EXPECT_EQ(snap.pendingConnections, 0u);
    EXPECT_FALSE(logs.contains("New connection replaces the previous one"));
    EXPECT_FALSE(logs.contains("iPhone disconnected"));
}

TEST_F(ServerTest, RefusedHelloFromAnotherHostDoesNotDisturbTheSession) {
    startServer();
    auto phone = acceptedPhone();
    const uint32_t id = lastAck.sessionId;
    TestPhone intruder;
    ASSERT_TRUE(intruder.connect(server->controlPort(), "127.0.0.1", hostAddress(7)));
    // A second hello behind the refused one is never read.
    Bytes both = buildHello({3, 320, 240, 60, "000000"});
    const Bytes right = buildHello({3, 320, 240, 60, kCode});
    both.insert(both.end(), right.begin(), right.end());
    ASSERT_TRUE(intruder.sendRaw(both));
    auto ack = intruder.waitFor(MsgType::helloAck);
    ASSERT_TRUE(ack);
    EXPECT_FALSE(decodeHelloAck(ack->payload).accepted);
    EXPECT_TRUE(intruder.waitClosed());
    EXPECT_FALSE(intruder.waitFor(MsgType::helloAck, 0.01));
    ASSERT_TRUE(phone->sendRaw(buildPing(3)));
    ASSERT_TRUE(phone->waitFor(MsgType::pong));
    EXPECT_EQ(server->snapshot().sessionId, id);
    EXPECT_EQ(logs.count("authenticated"), 1);
}

TEST_F(ServerTest, ReplacedSessionLosesItsIdAndVideoAtOnce) {
    startServer();
    auto first = acceptedPhone();
    const uint32_t oldId = lastAck.sessionId;
    registerVideo(*first, oldId);
    ASSERT_TRUE(eventually([&] { return server->snapshot().videoRegistered; }));
    auto second = acceptedPhone();
    EXPECT_TRUE(first->waitClosed());
    EXPECT_FALSE(server->snapshot().videoRegistered);
    // The old id no longer registers anything, even from the right address.
    ASSERT_TRUE(first->sendUdp(server->videoPort(), buildRegistration(oldId)));
    server->videoQueue().sync([] {});
    EXPECT_FALSE(server->snapshot().videoRegistered);
    second->close();
    ASSERT_TRUE(logs.waitFor("iPhone disconnected"));
    server->videoQueue().sync([] {});
    EXPECT_EQ(server->snapshot().sessionId, lastAck.sessionId);
    ASSERT_TRUE(second->openUdp());
    ASSERT_TRUE(second->sendUdp(server->videoPort(), buildRegistration(lastAck.sessionId)));
    server->videoQueue().sync([] {});
    EXPECT_FALSE(server->snapshot().videoRegistered);  // no session without a phone
}

TEST_F(ServerTest, KeysHeldByTheOldPhoneAreReleasedOnlyWhenANewOneIsAccepted) {
    startServer();
    auto first = acceptedPhone();
    ASSERT_TRUE(first->sendRaw(buildKey(0x04, true)));
    ASSERT_TRUE(first->sendRaw(buildButton(0, true)));
    ASSERT_TRUE(first->sendRaw(buildPing(1)));
    ASSERT_TRUE(first->waitFor(MsgType::pong));
    auto released = [&] {
        const auto events = sim.input->events();
        return std::any_of(events.begin(), events.end(),
                           [](const InputEvent& e) { return e.type == InputEventType::keyUp; });
    };
    TestPhone stranger;  // connected, silent: holds nothing of the session
    ASSERT_TRUE(stranger.connect(server->controlPort()));
    ASSERT_TRUE(eventually([&] { return server->snapshot().pendingConnections == 1; }));
    EXPECT_FALSE(released());
    auto second = acceptedPhone();
    server->queue().sync([] {});
    EXPECT_TRUE(released());
    const auto events = sim.input->events();
    EXPECT_TRUE(std::any_of(events.begin(), events.end(),
                            [](const InputEvent& e) { return e.type == InputEventType::leftMouseUp; }));
}

// ---- Guessing the code ----

TEST_F(ServerTest, WrongCodesFromManyAddressesSpendOneGlobalBudget) {
    auto clock = std::make_shared<ManualClock>(5000.0);
    options.clock = clock;
    options.statsInterval = 0.02;
    // Shared: the server may still report after this body returns, until TearDown stops it.
    struct Seen {
        std::mutex mutex;
        std::string warning;
    };
    auto seen = std::make_shared<Seen>();
    options.statusObserver = [seen](const ServerStatus& status) {
        std::lock_guard lock(seen->mutex);
        seen->warning = status.warning;
    };
    startServer();
    auto guess = [&](int host, const std::string& code) {
        TestPhone p;
        EXPECT_TRUE(p.connect(server->controlPort(), "127.0.0.1", hostAddress(host)));
        auto ack = p.hello(code, 320, 240);
        return !ack ? std::string("no answer") : ack->accepted ? std::string("accepted") : ack->text;
    };
    for (int i = 0; i < 20; ++i) {
        clock->advance(0.2);  // under the per-second rate
        ASSERT_EQ(guess(10 + i, "000000"), "Wrong code") << i;
    }
    clock->advance(0.2);
    EXPECT_EQ(guess(40, "000001"), "Wrong code");  // the first check of the budget
    EXPECT_EQ(guess(41, kCode), "Too many attempts: try again in 10 s");
    ASSERT_TRUE(logs.waitFor("Pairing code guessing: 21 wrong codes in the last hour"));
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(seen->mutex);
        return seen->warning == "Pairing code guessing: 21 wrong codes in the last hour";
    }));
    clock->advance(10);
    EXPECT_EQ(guess(42, kCode), "accepted");

    // A new code lifts the budget at once.
    store->setString(SettingsKey::token, "654321");
    for (int i = 0; i < 21; ++i) {
        clock->advance(0.2);
        ASSERT_EQ(guess(50 + i, "000000"), "Wrong code") << i;
    }
    EXPECT_EQ(guess(80, "654321"), "Too many attempts: try again in 10 s");
    store->setString(SettingsKey::token, "777777");
    EXPECT_EQ(guess(81, "777777"), "accepted");
}

TEST_F(ServerTest, EveryKindOfBadHelloCountsAgainstItsAddress) {
    auto clock = std::make_shared<ManualClock>(100.0);
    options.clock = clock;
    startServer();
    auto send = [&](const Bytes& hello) {
        TestPhone p;
        EXPECT_TRUE(p.connect(server->controlPort()));
        EXPECT_TRUE(p.sendRaw(hello));
        auto ack = p.waitFor(MsgType::helloAck);
        clock->advance(0.2);
        return ack ? decodeHelloAck(ack->payload).text : std::string("no answer");
    };
    EXPECT_EQ(send(ControlFramer::encode(uint8_t(MsgType::hello), {})),
              "Incompatible versions (iPhone 0, Mac 3): update both apps");
    EXPECT_EQ(send(buildHello({2, 320, 240, 60, kCode})),
              "Incompatible versions (iPhone 2, Mac 3): update both apps");
    EXPECT_EQ(send(buildHello({3, 320, 240, 60, ""})), "Wrong code");
    EXPECT_EQ(send(buildHello({4, 320, 240, 60, kCode})),
              "Incompatible versions (iPhone 4, Mac 3): update both apps");
    EXPECT_EQ(send(buildHello({3, 320, 240, 60, "x"})), "Wrong code");
    EXPECT_EQ(send(buildHello({3, 320, 240, 60, kCode})), "Too many attempts: try again in 2 s");
}

TEST_F(ServerTest, NewCodeFromAnotherProcessIsUsedAtOnce) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("tarvello-newcode-" + std::to_string(getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    auto file = std::make_shared<JsonFileStore>(dir / "settings.json");
    file->setString(SettingsKey::token, kCode);
    Settings::useStore(file);
    startServer();
    for (int i = 0; i < 6; ++i) {  // an address that is already being slowed down
        TestPhone p;
        ASSERT_TRUE(p.connect(server->controlPort()));
        ASSERT_TRUE(p.hello("000000", 320, 240));
    }
    // What `tarvello --new-code` does from a second process: its own store, same file.
    JsonFileStore other(dir / "settings.json");
    other.setString(SettingsKey::token, "246810");
    {
        TestPhone p;
        ASSERT_TRUE(p.connect(server->controlPort()));
        auto ack = p.hello(kCode, 320, 240);
        ASSERT_TRUE(ack);
        EXPECT_EQ(ack->text, "Wrong code");
    }
    TestPhone p;
    ASSERT_TRUE(p.connect(server->controlPort()));
    auto ack = p.hello("246810", 320, 240);
    ASSERT_TRUE(ack);
    EXPECT_TRUE(ack->accepted) << ack->text;
    server->stop();
    std::filesystem::remove_all(dir);
}

// ---- Floods ----

TEST_F(ServerTest, FloodOfEmptyHellosKeepsTheSessionResponsiveAndTheLogShort) {
    startServer();
    auto phone = acceptedPhone();
    std::atomic<bool> flooding{true};
    std::atomic<int> sent{0};
    std::thread flood([&] {
        const Bytes empty = ControlFramer::encode(uint8_t(MsgType::hello), {});
        for (int i = 0; flooding.load() && i < 20000; ++i) {
            TestPhone p;
            if (!p.connect(server->controlPort(), "127.0.0.1", hostAddress(2 + i % 200))) continue;
            p.sendRaw(empty);
            ++sent;
        }
    });
    ASSERT_TRUE(eventually([&] { return sent.load() > 100; }));
    std::vector<double> rtts;
    for (uint32_t i = 0; i < 40; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        ASSERT_TRUE(phone->sendRaw(buildPing(i)));
        auto pong = phone->waitFor(MsgType::pong, 5);
        ASSERT_TRUE(pong) << i;
        rtts.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    flooding = false;
    flood.join();
    std::sort(rtts.begin(), rtts.end());
    EXPECT_LT(rtts[rtts.size() / 2], 0.05);
    EXPECT_LE(logs.count("Rejected: "), 20);
    // The phone's own not-encrypted notice starts the same way and is not folded.
    EXPECT_EQ(logs.count(" is not encrypted; "), 1);
    EXPECT_LE(logs.count("Connection from ") - 1, 20);
    EXPECT_TRUE(server->snapshot().authed);
}

TEST_F(ServerTest, TextSizeOfRefusedHellosIsWrittenAtMostOnceASecond) {
    auto clock = std::make_shared<ManualClock>(100.0);
    options.clock = clock;
    startServer();
    auto hello = [&](const char* scale) {
        TestPhone p;
        EXPECT_TRUE(p.connect(server->controlPort(), "127.0.0.1", hostAddress(3)));
        EXPECT_TRUE(p.hello(std::string("000000\nPhone\n") + scale, 320, 240));
    };
    hello("2.0");
    EXPECT_EQ(Settings::shared().uiScale(), 2.0);
    hello("3.0");
    EXPECT_EQ(Settings::shared().uiScale(), 2.0);
    clock->advance(1.0);
    hello("3.0");
    EXPECT_EQ(Settings::shared().uiScale(), 3.0);
}

// ---- UDP ----

TEST_F(ServerTest, RegistrationFromAnotherAddressIsIgnoredAndCounted) {
    startServer();
    auto phone = acceptedPhone();
    TestPhone other;
    ASSERT_TRUE(other.openUdp(hostAddress(9)));
    ASSERT_TRUE(other.sendUdp(server->videoPort(), buildRegistration(lastAck.sessionId)));
    ASSERT_TRUE(eventually([&] { return server->snapshot().foreignRegistrations == 1; }));
    EXPECT_FALSE(server->snapshot().videoRegistered);
    registerVideo(*phone, lastAck.sessionId);
    ASSERT_TRUE(logs.waitFor("UDP video channel established with 127.0.0.1:"));
}

TEST_F(ServerTest, NoSecondSocketCanBindTheVideoPort) {
    startServer();
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(server->videoPort());
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_NE(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(errno, EADDRINUSE);
    ::close(fd);
}

TEST_F(ServerTest, VideoDatagramsCarryTheInteractiveVideoClass) {
    startServer();
    auto phone = acceptedPhone();
    ASSERT_TRUE(phone->openUdp());
    int one = 1;
    ASSERT_EQ(setsockopt(phone->udpSocket(), IPPROTO_IP, IP_RECVTOS, &one, sizeof one), 0);
    ASSERT_TRUE(phone->sendUdp(server->videoPort(), buildRegistration(lastAck.sessionId)));
    pollfd p{phone->udpSocket(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 10000), 1);
    uint8_t buf[2048];
    alignas(cmsghdr) char control[64];
    iovec iov{buf, sizeof buf};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ASSERT_GT(recvmsg(phone->udpSocket(), &msg, 0), 0);
    int tos = -1;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TOS)
            tos = *reinterpret_cast<uint8_t*>(CMSG_DATA(c));
    }
    EXPECT_EQ(tos >> 2, 34);  // DSCP AF41
}

// ---- Bounds ----

TEST_F(ServerTest, ResizeBurstsAreCoalescedIntoTheLastSize) {
    auto clock = std::make_shared<ManualClock>(100.0);
    options.clock = clock;
    startServer();
    auto p = acceptedPhone(320, 240);
    clock->advance(1.0);
    ASSERT_TRUE(p->sendRaw(buildResize(400, 300)));
    ASSERT_TRUE(p->sendRaw(buildResize(402, 300)));
    ASSERT_TRUE(p->sendRaw(buildResize(404, 300)));
    ASSERT_TRUE(p->sendRaw(buildPing(1)));
    ASSERT_TRUE(p->waitFor(MsgType::pong));
    EXPECT_EQ(server->snapshot().pixelW, 400);
    // The display is made on the main queue after the size is taken.
    ASSERT_TRUE(eventually([&] { return server->snapshot().pixelW == 404 && sim.display->created() >= 3; }));
    EXPECT_EQ(sim.display->created(), 3);  // the hello's, the first resize's and the last one's
}

}  // namespace
}  // namespace tarvello::test
