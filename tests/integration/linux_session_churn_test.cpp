// Sessions rebuilt in quick succession on the X11 back-ends while input keeps arriving:
// every rebuild ends the X server that the input, cursor and capture connections were
// talking to, often in the middle of their use.
#include <algorithm>
#include <chrono>
#include <optional>
#include <string>

#include "platform/linux/session_command.h"
#include "support/eventually.h"
#include "support/server_fixture.h"

namespace tarvello::test {
namespace {

constexpr int kCycles = 100;
constexpr int kBurst = 50;
// How long a ping may wait for its answer, rebuilds included.
constexpr double kPingDeadline = 1.0;

class LinuxSessionChurnTest : public ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        // Whatever window manager the machine has would slow every rebuild; the X
        // connections under test are the server's own.
        store->setString(SettingsKey::sessionCommand, "");
        startLinuxServer();
    }

    void startLinuxServer() {
        platform = makeLinuxPlatform();
        platform.preferences = std::make_shared<MemoryPreferenceDomains>();
        server = Server::create(platform, options);
        ASSERT_TRUE(server->start());
    }

    // Connects and authenticates; a phone already connected is replaced by it. The two
    // sizes alternate so that each replacement needs a display of its own.
    std::unique_ptr<TestPhone> connectPhone(int cycle) {
        auto phone = std::make_unique<TestPhone>();
        EXPECT_TRUE(phone->connect(server->controlPort()));
        const bool tall = cycle % 4 < 2;
        auto ack = phone->hello(std::string(kCode) + "\nPhone", tall ? 240 : 320, tall ? 320 : 240, 60);
        EXPECT_TRUE(ack && ack->accepted) << "cycle " << cycle << ": " << (ack ? ack->text : "no helloAck");
        return phone;
    }

    // Pointer, buttons, keys, wheel and text, interleaved, always released by the end.
    static bool burst(TestPhone& phone, int cycle) {
        bool ok = true;
        for (int i = 0; i < kBurst; ++i) {
            const float f = float((i * 37 + cycle * 11) % 100) / 100.0f;
            switch (i % 10) {
                case 0: ok &= phone.sendRaw(buildMouseAbs(f, 1.0f - f)); break;
                case 1: ok &= phone.sendRaw(buildMouseRel(3.5f, -2.25f)); break;
                case 2: ok &= phone.sendRaw(buildButton(1, true)); break;
                case 3: ok &= phone.sendRaw(buildMouseRel(-1.0f, 4.0f)); break;
                case 4: ok &= phone.sendRaw(buildButton(1, false)); break;
                case 5: ok &= phone.sendRaw(buildKey(0x04 + uint16_t(cycle % 26), true)); break;
                case 6: ok &= phone.sendRaw(buildKey(0x04 + uint16_t(cycle % 26), false)); break;
                case 7: ok &= phone.sendRaw(buildScroll(0, 60.0f * f, ScrollPhase::wheel)); break;
                case 8: ok &= phone.sendRaw(buildText("é1")); break;
                case 9: ok &= phone.sendRaw(buildButton(2, i % 20 == 9)); break;
            }
        }
        return ok && phone.sendRaw(buildButton(2, false));
    }

    // Seconds until the server answers a ping with its value; nothing when it does not
    // answer at all (a blocked queue), which a generous wait tells apart from a slow one.
    static std::optional<double> pingAnswer(TestPhone& phone, uint64_t value) {
        const auto sent = std::chrono::steady_clock::now();
        if (!phone.sendRaw(buildPing(value))) return std::nullopt;
        for (;;) {
            const auto pong = phone.waitFor(MsgType::pong, 20);
            if (!pong) return std::nullopt;
            if (decodePing(pong->payload) == value)
                return std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count();
        }
    }
};

TEST_F(LinuxSessionChurnTest, PingsAreAnsweredThroughRebuildsUnderInput) {
    auto phone = connectPhone(0);
    ASSERT_TRUE(pingAnswer(*phone, 0));
    float scale = 1.0f;
    double slowest = 0;
    for (int cycle = 1; cycle <= kCycles; ++cycle) {
        ASSERT_TRUE(burst(*phone, cycle)) << "cycle " << cycle;
        const bool textSize = cycle % 2 == 0;
        if (textSize) {
            scale = scale == 1.0f ? 1.5f : 1.0f;
            ASSERT_TRUE(phone->sendRaw(buildUiScale(scale)));
        } else {
            auto next = connectPhone(cycle);
            ASSERT_TRUE(next);
            phone = std::move(next);
        }
        const auto answer = pingAnswer(*phone, uint64_t(cycle));
        ASSERT_TRUE(answer) << "no answer at all after cycle " << cycle;
        EXPECT_LE(*answer, kPingDeadline) << "cycle " << cycle << (textSize ? ", text size" : ", replaced");
        slowest = std::max(slowest, *answer);
    }
    RecordProperty("slowest_ping_ms", int(slowest * 1000));
    // Displays are made off the control queue and one that a newer start superseded
    // before it began is skipped, so most rebuilds made one; in the end exactly one is
    // left running.
    EXPECT_TRUE(eventually([&] { return platform.display->displays().size() == 1u; }, 30))
        << platform.display->displays().size();
    EXPECT_GE(logs.count(" created: "), kCycles / 2);
}

}  // namespace
}  // namespace tarvello::test
