#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "support/eventually.h"
#include "support/server_fixture.h"

namespace tarvello::test {
namespace {

// ---- Handshake: acceptance and every refusal reason ----

TEST_F(ServerTest, AcceptsCorrectCodeAtEvenSize) {
    startServer();
    TestPhone p;
    ASSERT_TRUE(p.connect(server->controlPort()));
    auto ack = p.hello(std::string(kCode) + "\nAnna's phone", 321, 241, 60);
    ASSERT_TRUE(ack);
    EXPECT_TRUE(ack->accepted);
    EXPECT_NE(ack->sessionId, 0u);
    EXPECT_EQ(ack->width, 320);
    EXPECT_EQ(ack->height, 240);
    EXPECT_TRUE(videoCodecFromRaw(ack->codec).has_value());
    EXPECT_FALSE(ack->text.empty());
    EXPECT_TRUE(logs.contains("\"Anna's phone\" authenticated: 321×241 px @60 Hz"));
    EXPECT_TRUE(logs.contains("Trackpad gestures: 0xf6f"));
    auto snap = server->snapshot();
    EXPECT_TRUE(snap.authed);
    EXPECT_EQ(snap.sessionId, ack->sessionId);
    // A gestureConfig goes out with the session.
    auto gc = p.waitFor(MsgType::gestureConfig);
    ASSERT_TRUE(gc);
    EXPECT_EQ(gc->payload, (Bytes{0x00, 0x00, 0x0F, 0x6F}));
}

TEST_F(ServerTest, CodeAloneNamesTheClientIPhoneAndRefreshPicksFrameRate) {
    startServer();
    TestPhone p;
    ASSERT_TRUE(p.connect(server->controlPort()));
    auto ack = p.hello(kCode, 320, 240, 120);
    ASSERT_TRUE(ack && ack->accepted);
    auto snap = server->snapshot();
    EXPECT_EQ(snap.clientName, "iPhone");
    EXPECT_EQ(snap.fps, 120);

    auto ack2 = p.hello(kCode, 320, 240, 99);
    ASSERT_TRUE(ack2 && ack2->accepted);
    EXPECT_EQ(server->snapshot().fps, 60);
}

struct Refusal {
    const char* name;
    uint32_t version;
    std::string text;
    std::string reason;
};

class ServerRefusalTest : public ServerTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(ServerRefusalTest, RefusesWithReasonAndCloses) {
    startServer();
    const auto& r = GetParam();
    TestPhone p;
    ASSERT_TRUE(p.connect(server->controlPort()));
    auto ack = p.hello(r.text, 320, 240, 60, r.version);
    ASSERT_TRUE(ack);
    EXPECT_FALSE(ack->accepted);
    EXPECT_EQ(ack->sessionId, 0u);
    EXPECT_EQ(ack->width, 0);
    EXPECT_EQ(ack->codec, 0);
    EXPECT_EQ(ack->text, r.reason);
    EXPECT_TRUE(logs.contains("Rejected: " + r.reason));
    EXPECT_TRUE(p.waitClosed());
    EXPECT_FALSE(server->snapshot().authed);
}

INSTANTIATE_TEST_SUITE_P(
    Reasons, ServerRefusalTest,
    ::testing::Values(
        Refusal{"WrongCode", 3, "654321\nPhone", "Wrong code"}, Refusal{"EmptyText", 3, "", "Wrong code"},
        Refusal{"CodeWithSpace", 3, "123456 \nPhone", "Wrong code"},
        // The version is checked first, so a wrong code still names the versions.
        Refusal{"OldVersion", 2, "000000", "Incompatible versions (iPhone 2, Mac 3): update both apps"},
        Refusal{"NewVersion", 4, kCode, "Incompatible versions (iPhone 4, Mac 3): update both apps"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(ServerTest, RefusesWithoutScreenRecordingPermission) {
    startServer();
    sim.host->screen = false;
    TestPhone p;
    ASSERT_TRUE(p.connect(server->controlPort()));
    auto ack = p.hello(kCode, 320, 240);
    ASSERT_TRUE(ack);
    EXPECT_FALSE(ack->accepted);
    EXPECT_EQ(ack->text, "Tarvello on the Mac doesn't have the Screen Recording permission");
}

TEST_F(ServerTest, RefusesWhenNoEncoderOpens) {
    options.encoderRows = {{"no_such_encoder", VideoCodec::hevc, true, true}};
    startServer();
    TestPhone p;
    ASSERT_TRUE(p.connect(server->controlPort()));
    auto ack = p.hello(kCode, 320, 240);
    ASSERT_TRUE(ack);
    EXPECT_FALSE(ack->accepted);
    EXPECT_EQ(ack->text, "Video encoder unavailable");
    EXPECT_TRUE(logs.contains("No hardware encoder available"));
}

TEST_F(ServerTest, RefusesWhenCaptureFails) {
    startServer();
    sim.capture->setFailure("Display 7 not found for capture");
    TestPhone p;
    ASSERT_TRUE(p.connect(server->controlPort()));
    auto ack = p.hello(kCode, 320, 240);
    ASSERT_TRUE(ack);
    EXPECT_FALSE(ack->accepted);
    EXPECT_EQ(ack->text, "Capture failed: Display 7 not found for capture");
    EXPECT_TRUE(logs.contains("Capture failed: Display 7 not found for capture"));
}

TEST_F(ServerTest, TextScaleOfThirdLineIsStoredEvenWhenRefused) {
    startServer();
    TestPhone p;
    ASSERT_TRUE(p.connect(server->controlPort()));
    auto ack = p.hello("000000\nPhone\n2.0", 320, 240);
    ASSERT_TRUE(ack);
    EXPECT_FALSE(ack->accepted);
    EXPECT_EQ(Settings::shared().uiScale(), 2.0);

    for (const char* bad : {"0.5", "abc", "4.5", "", "nan", "2,5"}) {
        TestPhone q;
        ASSERT_TRUE(q.connect(server->controlPort()));
        ASSERT_TRUE(q.hello(std::string("000000\nPhone\n") + bad, 320, 240));
        EXPECT_EQ(Settings::shared().uiScale(), 2.0) << bad;
    }
}

// ---- Guessing the code is throttled per address ----

TEST_F(ServerTest, RepeatedWrongCodesAreThrottled) {
    auto clock = std::make_shared<ManualClock>(5000.0);
    options.clock = clock;
    startServer();
    // A refused connection is closed unread, so each attempt comes on a new one.
    auto attempt = [&](const std::string& code) {
        TestPhone p;
        EXPECT_TRUE(p.connect(server->controlPort()));
        auto ack = p.hello(code, 320, 240);
        return !ack ? std::string("no answer") : ack->accepted ? std::string("accepted") : ack->text;
    };
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(attempt("000000"), "Wrong code") << i;
        clock->advance(0.2);  // stay under the global rate
    }
    // Even the right code waits its turn.
    EXPECT_EQ(attempt(kCode), "Too many attempts: try again in 2 s");

    clock->advance(2.0);
    EXPECT_EQ(attempt("000000"), "Wrong code");
    EXPECT_EQ(attempt("000000"), "Too many attempts: try again in 4 s");

    clock->advance(4.0);
    EXPECT_EQ(attempt(kCode), "accepted");
    EXPECT_EQ(Settings::shared().token(), kCode);  // failures never change the code
}

// ---- Connection lifecycle ----

TEST_F(ServerTest, NewConnectionReplacesTheOldOneWithoutDisconnecting) {
    startServer();
    auto first = acceptedPhone();
    auto second = acceptedPhone();
    EXPECT_TRUE(logs.contains("New connection replaces the previous one"));
    EXPECT_TRUE(first->waitClosed());
    // Give the old connection's cancellation time to arrive, then check it did nothing.
    ASSERT_TRUE(second->sendRaw(buildPing(7)));
    ASSERT_TRUE(second->waitFor(MsgType::pong));
    EXPECT_FALSE(logs.contains("iPhone disconnected"));
    EXPECT_TRUE(server->snapshot().authed);
}

TEST_F(ServerTest, ReturningWithinGracePeriodKeepsTheSession) {
    options.teardownDelay = 60;
    startServer();
    auto p = acceptedPhone();
    p->close();
    ASSERT_TRUE(logs.waitFor("iPhone disconnected"));
    EXPECT_TRUE(server->snapshot().teardownPending);
    auto q = acceptedPhone();
    EXPECT_FALSE(server->snapshot().teardownPending);
    EXPECT_FALSE(logs.contains("Session ended"));
}

TEST_F(ServerTest, StayingAwayEndsTheSession) {
    options.teardownDelay = 0.2;
    startServer();
    auto p = acceptedPhone();
    p->close();
    ASSERT_TRUE(logs.waitFor("Session ended: stopping capture and virtual display"));
    // The display is removed on the main queue after the line is logged.
    for (int i = 0; i < 200 && sim.display->removed() < 1; ++i) {
        server->queue().sync([] {});
        mainQueue().sync([] {});
    }
    EXPECT_EQ(sim.display->removed(), sim.display->created());
    EXPECT_EQ(sim.power->held().size(), 1u);  // keepUnlocked (on by default) keeps the assertion
}

TEST_F(ServerTest, MessagesBeforeHelloAreDropped) {
    startServer();
    TestPhone p;
    ASSERT_TRUE(p.connect(server->controlPort()));
    ASSERT_TRUE(p.sendRaw(buildPing(1)));
    ASSERT_TRUE(p.hello(kCode, 320, 240));
    ASSERT_TRUE(p.sendRaw(buildPing(2)));
    auto pong = p.waitFor(MsgType::pong);
    ASSERT_TRUE(pong);
    EXPECT_EQ(decodePing(pong->payload), 2u);
}

// ---- UDP registration and video ----

TEST_F(ServerTest, StaleRegistrationIsIgnored) {
    options.teardownDelay = 60;
    startServer();
    auto first = acceptedPhone();
    const uint32_t oldId = lastAck.sessionId;
    first->close();
    ASSERT_TRUE(logs.waitFor("iPhone disconnected"));
    auto second = acceptedPhone();
    const uint32_t newId = lastAck.sessionId;
    ASSERT_NE(oldId, newId);

    registerVideo(*second, oldId);
    ASSERT_TRUE(second->sendRaw(buildPing(1)));  // a round trip on the control channel...
    ASSERT_TRUE(second->waitFor(MsgType::pong));
    server->videoQueue().sync([] {});  // ...and on the video queue
    EXPECT_FALSE(server->snapshot().videoRegistered);

    ASSERT_TRUE(second->sendUdp(server->videoPort(), buildRegistration(newId)));
    ASSERT_TRUE(logs.waitFor("UDP video channel established with 127.0.0.1:"));
    EXPECT_TRUE(server->snapshot().videoRegistered);
}

TEST_F(ServerTest, StreamStartsWithKeyframeAndAnswersThrottledKeyframeRequests) {
    auto clock = std::make_shared<ManualClock>(100.0);
    options.clock = clock;
    startServer();
    auto p = acceptedPhone();
    registerVideo(*p, lastAck.sessionId);
    auto first = p->waitVideo([](const VideoPacketHeader& h) { return h.fragIndex == 0; });
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->isKeyframe());
    EXPECT_EQ(first->codec, lastAck.codec);

    auto delta = p->waitVideo([](const VideoPacketHeader& h) { return !h.isKeyframe(); });
    ASSERT_TRUE(delta);
    clock->advance(1.0);  // past the throttle
    ASSERT_TRUE(p->sendRaw(buildRequestKeyframe()));
    auto key = p->waitVideo(
        [&](const VideoPacketHeader& h) { return h.isKeyframe() && h.frameId > delta->frameId; });
    ASSERT_TRUE(key);

    clock->advance(0.05);  // 50 ms after the granted request: dropped, not deferred
    ASSERT_TRUE(p->sendRaw(buildRequestKeyframe()));
    ASSERT_TRUE(p->sendRaw(buildPing(1)));
    ASSERT_TRUE(p->waitFor(MsgType::pong));
    int keyframes = 0, frames = 0;
    uint32_t last = key->frameId;
    while (frames < 8) {
        auto h =
            p->waitVideo([&](const VideoPacketHeader& v) { return v.fragIndex == 0 && v.frameId > last; });
        ASSERT_TRUE(h);
        last = h->frameId;
        ++frames;
        keyframes += h->isKeyframe();
    }
    EXPECT_EQ(keyframes, 0);

    clock->advance(0.1);  // 150 ms after the granted one: passes
    ASSERT_TRUE(p->sendRaw(buildRequestKeyframe()));
    EXPECT_TRUE(p->waitVideo([&](const VideoPacketHeader& h) { return h.isKeyframe() && h.frameId > last; }));
}

// ---- Control messages ----

TEST_F(ServerTest, StatsAdaptTheBitrateAndAnswerWithServerStats) {
    startServer();
    auto p = acceptedPhone();
    auto statsReply = [&](uint32_t received, uint32_t dropped) -> std::optional<ServerStatsMsg> {
        if (!p->sendRaw(buildStats(received, dropped))) return std::nullopt;
        auto f = p->waitFor(MsgType::serverStats);
        if (!f) return std::nullopt;
        return decodeServerStats(f->payload);
    };
    // 20 Mb/s start; drops lower it by a quarter down to the 4 Mb/s floor.
    const uint32_t down[] = {15000, 11250, 8437, 6328, 4746, 4000, 4000};
    for (uint32_t expect : down) {
        auto s = statsReply(100, 3);
        ASSERT_TRUE(s);
        EXPECT_EQ(s->kbps, expect);
        EXPECT_EQ(s->fps, 60);
    }
    auto same = statsReply(0, 0);
    ASSERT_TRUE(same);
    EXPECT_EQ(same->kbps, 4000u);

    store->setInt(SettingsKey::maxBitrate, 5);
    auto up = statsReply(100, 0);  // 4 320 000
    ASSERT_TRUE(up);
    EXPECT_EQ(up->kbps, 4320u);
    up = statsReply(100, 0);  // 4 665 600
    ASSERT_TRUE(up);
    EXPECT_EQ(up->kbps, 4665u);
    up = statsReply(100, 0);  // 5 038 848 capped at 5 000 000
    ASSERT_TRUE(up);
    EXPECT_EQ(up->kbps, 5000u);
    EXPECT_EQ(server->snapshot().bitrate, 5'000'000);
}

TEST_F(ServerTest, StatsIncreaseIsCappedByMaxBitrate) {
    store->setInt(SettingsKey::maxBitrate, 25);
    startServer();
    auto p = acceptedPhone();
    const uint32_t expect[] = {21600, 23328, 25000, 25000};
    for (uint32_t e : expect) {
        ASSERT_TRUE(p->sendRaw(buildStats(100, 0)));
        auto f = p->waitFor(MsgType::serverStats);
        ASSERT_TRUE(f);
        EXPECT_EQ(decodeServerStats(f->payload).kbps, e);
    }
}

TEST_F(ServerTest, PingIsAnsweredWithTheSameValue) {
    startServer();
    auto p = acceptedPhone();
    ASSERT_TRUE(p->sendRaw(buildPing(0x0102030405060708ull)));
    auto f = p->waitFor(MsgType::pong);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->payload, (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST_F(ServerTest, UiScaleAcceptsOnlyNewValuesInRange) {
    startServer();
    auto p = acceptedPhone();
    auto roundTrip = [&] {
        static uint64_t n = 100;
        ASSERT_TRUE(p->sendRaw(buildPing(++n)));
        ASSERT_TRUE(p->waitFor(MsgType::pong));
    };
    for (float bad : {4.5f, 0.5f, std::numeric_limits<float>::quiet_NaN(), -2.0f}) {
        ASSERT_TRUE(p->sendRaw(buildUiScale(bad)));
    }
    roundTrip();
    EXPECT_EQ(Settings::shared().uiScale(), 2.5);
    EXPECT_FALSE(logs.contains("Text size requested by iPhone"));

    ASSERT_TRUE(p->sendRaw(buildUiScale(4.0f)));
    ASSERT_TRUE(logs.waitFor("Text size requested by iPhone: 4.0"));
    EXPECT_EQ(Settings::shared().uiScale(), 4.0);

    ASSERT_TRUE(p->sendRaw(buildUiScale(4.0f)));  // same as stored: no log line
    roundTrip();
    EXPECT_EQ(logs.count("Text size requested by iPhone"), 1);
}

TEST_F(ServerTest, ALostDisplayIsMadeAgainOnceThenEndsTheSession) {
    auto clock = std::make_shared<ManualClock>(100.0);
    options.clock = clock;
    options.teardownDelay = 0.05;
    startServer();
    auto p = acceptedPhone(320, 240);
    const int created = sim.display->created();

    sim.capture->loseStream("Lost the connection to display :5");
    ASSERT_TRUE(
        logs.waitFor("The session's display was lost (Lost the connection to display :5): making it again"));
    auto again = p->waitFor(MsgType::helloAck);
    ASSERT_TRUE(again) << "the phone is told of the new picture";
    EXPECT_EQ(decodeHelloAck(again->payload).accepted, true);
    EXPECT_GT(sim.display->created(), created);

    // Lost again at once: no endless rebuilding of a session that shows nothing.
    clock->advance(1.0);
    sim.capture->loseStream("Lost the connection to display :6");
    ASSERT_TRUE(logs.waitFor(
        "The session's display was lost again (Lost the connection to display :6): ending the session"));
    EXPECT_TRUE(p->waitClosed());
    ASSERT_TRUE(logs.waitFor("Session ended: stopping capture and virtual display"));
}

TEST_F(ServerTest, ResizeRebuildsOnlyForANewSize) {
    auto clock = std::make_shared<ManualClock>(100.0);
    options.clock = clock;
    startServer();
    auto p = acceptedPhone(320, 240);
    auto encoderLines = [&] { return logs.count(" Mb/s"); };
    const int before = encoderLines();
    ASSERT_TRUE(p->sendRaw(buildResize(320, 240)));
    ASSERT_TRUE(p->sendRaw(buildPing(1)));
    ASSERT_TRUE(p->waitFor(MsgType::pong));
    EXPECT_EQ(encoderLines(), before);

    // An odd width never equals the even stored size, so it rebuilds every time.
    for (int i = 1; i <= 2; ++i) {
        clock->advance(1.0);  // apart enough not to be coalesced
        ASSERT_TRUE(p->sendRaw(buildResize(321, 240)));
        // The rebuild goes on while the control queue keeps answering.
        EXPECT_TRUE(logs.waitFor(" Mb/s", before + i));
    }
    // A resize without payload asks for 0 × 0, which is ignored.
    ASSERT_TRUE(p->sendRaw(ControlFramer::encode(uint8_t(MsgType::resize), {})));
    ASSERT_TRUE(p->sendRaw(buildPing(20)));
    ASSERT_TRUE(p->waitFor(MsgType::pong));
    EXPECT_EQ(server->snapshot().pixelW, 320);
}

TEST_F(ServerTest, CursorMessagesAreThrottled) {
    auto clock = std::make_shared<ManualClock>(100.0);
    options.clock = clock;
    startServer();
    auto p = acceptedPhone();
    ASSERT_TRUE(p->sendRaw(buildMouseAbs(0.5f, 0.5f)));
    auto c = p->waitFor(MsgType::cursor);
    ASSERT_TRUE(c);
    auto pos = decodeCursor(c->payload);
    EXPECT_TRUE(pos.shown);
    EXPECT_NEAR(pos.x, 0.5f, 0.01f);

    clock->advance(0.002);  // 2 ms later: dropped
    ASSERT_TRUE(p->sendRaw(buildMouseAbs(0.25f, 0.25f)));
    ASSERT_TRUE(p->sendRaw(buildPing(1)));
    ASSERT_TRUE(p->waitFor(MsgType::pong));
    EXPECT_FALSE(p->waitFor(MsgType::cursor, 0.2));

    clock->advance(0.005);
    ASSERT_TRUE(p->sendRaw(buildMouseAbs(0.25f, 0.25f)));
    c = p->waitFor(MsgType::cursor);
    ASSERT_TRUE(c);
    EXPECT_NEAR(decodeCursor(c->payload).x, 0.25f, 0.01f);
}

TEST_F(ServerTest, InputReachesTheInjectorAndIsReleasedOnDisconnect) {
    options.teardownDelay = 60;
    startServer();
    auto p = acceptedPhone();
    ASSERT_TRUE(p->sendRaw(buildKey(0x04, true)));
    ASSERT_TRUE(p->sendRaw(buildButton(0, true)));
    ASSERT_TRUE(p->sendRaw(buildPing(1)));
    ASSERT_TRUE(p->waitFor(MsgType::pong));
    p->close();
    ASSERT_TRUE(logs.waitFor("iPhone disconnected"));
    server->queue().sync([] {});
    auto events = sim.input->events();
    auto has = [&](InputEventType t) {
        return std::any_of(events.begin(), events.end(), [&](const InputEvent& e) { return e.type == t; });
    };
    EXPECT_TRUE(has(InputEventType::keyDown));
    EXPECT_TRUE(has(InputEventType::keyUp));
    EXPECT_TRUE(has(InputEventType::leftMouseUp));
}

// ---- Hostile bytes ----

TEST_F(ServerTest, RandomBytesAndDatagramsNeverStallTheServer) {
    startServer();
    std::mt19937 rng(1234);
    auto randomBytes = [&](size_t n) {
        Bytes b(n);
        for (auto& x : b) x = static_cast<uint8_t>(rng());
        return b;
    };
    {
        TestPhone junk;  // before authentication
        ASSERT_TRUE(junk.connect(server->controlPort()));
        for (int i = 0; i < 50; ++i) junk.sendRaw(randomBytes(1 + rng() % 3000));
    }
    auto p = acceptedPhone();
    ASSERT_TRUE(p->openUdp());
    for (int i = 0; i < 500; ++i) {
        auto d = randomBytes(rng() % 1500);
        if (i % 3 == 0 && d.size() >= 10) d[9] = 0x11;  // looks like microphone audio
        if (i % 5 == 0 && d.size() >= 8)
            std::copy(Pontel::udpMagic.begin(), Pontel::udpMagic.end(), d.begin());
        p->sendUdp(server->videoPort(), d);
    }
    // Every assigned type with random payloads after authentication.
    for (int i = 0; i < 300; ++i) {
        uint8_t type = static_cast<uint8_t>(rng() % 0x40);
        if (type == uint8_t(MsgType::hello) || type == uint8_t(MsgType::resize) ||
            type == uint8_t(MsgType::uiScale)) {
            continue;  // these rebuild the session; covered on their own
        }
        auto payload = randomBytes(rng() % 64);
        p->sendRaw(ControlFramer::encode(type, [&](ByteWriter& w) { w.writeData(payload); }));
    }
    // Random pings were answered too; ours must come back behind them.
    auto pongWith = [&](uint64_t value) {
        for (int i = 0; i < 1000; ++i) {
            auto f = p->waitFor(MsgType::pong);
            if (!f) return false;
            if (decodePing(f->payload) == value) return true;
        }
        return false;
    };
    ASSERT_TRUE(p->sendRaw(buildPing(99)));
    EXPECT_TRUE(pongWith(99));

    // A zero length in front of frames must not hold them back.
    Bytes zeroThenPing = {0x00, 0x00};
    auto ping = buildPing(5);
    zeroThenPing.insert(zeroThenPing.end(), ping.begin(), ping.end());
    ASSERT_TRUE(p->sendRaw(zeroThenPing));
    EXPECT_TRUE(pongWith(5));

    // A stalled giant frame ties up only its own connection.
    ASSERT_TRUE(p->sendRaw({0xFF, 0xFF, 0x21}));
    auto fresh = acceptedPhone();
    ASSERT_TRUE(fresh->sendRaw(buildPing(6)));
    EXPECT_TRUE(fresh->waitFor(MsgType::pong));
}

}  // namespace
}  // namespace tarvello::test

namespace tarvello::test {
namespace {

class RecordingDesktop final : public SessionDesktop {
public:
    void arrangeForSession(bool stageManager, bool showDock) override {
        std::lock_guard lock(mutex_);
        calls_.push_back(std::string("arrange") + (stageManager ? " stage" : "") + (showDock ? " dock" : ""));
    }
    void restoreAfterSession() override {
        std::lock_guard lock(mutex_);
        calls_.push_back("restore");
    }
    std::vector<std::string> calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> calls_;
};

TEST_F(ServerTest, TheDesktopIsArrangedAsTheSettingsSayForASessionAndPutBackAfterIt) {
    auto desktop = std::make_shared<RecordingDesktop>();
    store->setBool(SettingsKey::stageManager, true);
    store->setBool(SettingsKey::showDock, false);
    options.sessionDesktop = desktop;
    options.teardownDelay = 0.2;
    startServer();
    auto p = acceptedPhone();
    EXPECT_EQ(desktop->calls(), std::vector<std::string>{"arrange stage"});
    // Switched on in the menu during the session: shown at once, nothing else changes.
    store->setBool(SettingsKey::showDock, true);
    server->showDockChanged();
    ASSERT_TRUE(eventually([&] { return desktop->calls().size() == 2; }));
    EXPECT_EQ(desktop->calls().back(), "arrange dock");
    p->close();
    ASSERT_TRUE(eventually([&] { return desktop->calls().size() == 3; }));
    EXPECT_EQ(desktop->calls().back(), "restore");
    // Without a phone a switch changes nothing until the next session.
    server->stageManagerChanged();
    server->queue().sync([] {});
    EXPECT_EQ(desktop->calls().size(), 3u);
}

}  // namespace
}  // namespace tarvello::test
