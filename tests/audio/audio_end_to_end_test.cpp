#ifdef TARVELLO_HAVE_PULSE

#include <gtest/gtest.h>

#include <charconv>
#include <fstream>
#include <functional>

#include "audio/audio_install.h"
#include "audio/audio_test_support.h"
#include "audio/pulse_daemon.h"
#include "audio/recorder.h"
#include "audio/sound_defaults.h"
#include "base/settings.h"
#include "base/settings_store.h"
#include "dispatch/clock.h"
#include "platform/linux/linux_audio.h"
#include "platform/sim/sim_platform.h"
#include "server/server.h"
#include "support/log_capture.h"
#include "support/require.h"
#include "support/test_phone.h"

namespace tarvello::test {
namespace {

constexpr const char* kPairingCode = "123456";

std::vector<uint8_t> readBytes(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The part of a recording where the signal is, as doubles in ±1.
std::vector<double> audible(const std::vector<int16_t>& samples, size_t stride = 1, size_t channel = 0) {
    std::vector<double> out;
    for (size_t i = channel; i < samples.size(); i += stride) out.push_back(samples[i] / 32768.0);
    auto loud = [](double v) { return std::abs(v) > 0.02; };
    const auto first = std::find_if(out.begin(), out.end(), loud);
    const auto last = std::find_if(out.rbegin(), out.rend(), loud).base();
    if (first >= last) return {};
    return {first, last};
}

// A private sound server with the devices installed and the user's defaults set.
class AudioEndToEndTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!PulseDaemon::available()) TARVELLO_SKIP_MISSING("pulseaudio (scripts/install-deps.sh)");
        ASSERT_TRUE(daemon.start()) << daemon.log();
        env = std::make_unique<ClientEnvironment>(daemon.clientEnv());
        store = std::make_shared<MemoryStore>();
        store->setString(SettingsKey::token, kPairingCode);
        Settings::useStore(store);
        observer = installOnUsersDefaults(daemon);
        ASSERT_TRUE(observer) << daemon.log();
    }

    void TearDown() override {
        for (pid_t pid : children) endChild(pid, SIGKILL, 5.0, false);
        if (server) server->stop();
        server.reset();
        observer.reset();
        daemon.stop();
        env.reset();
    }

    void startServer() {
        Platform platform = makeSimPlatform(sim);
        platform.audio = std::make_shared<LinuxAudio>();
        ServerOptions options;
        options.controlPort = 0;
        options.videoPort = 0;
        options.bindAddress = "127.0.0.1";
        options.teardownDelay = 0.05;
        server = Server::create(platform, options);
        ASSERT_TRUE(server->start());
    }

    std::unique_ptr<TestPhone> registeredPhone(uint16_t controlPort, uint16_t videoPort) {
        auto p = std::make_unique<TestPhone>();
        EXPECT_TRUE(p->connect(controlPort));
        auto ack = p->hello(std::string(kPairingCode) + "\nPhone", 321, 241);
        EXPECT_TRUE(ack && ack->accepted);
        EXPECT_TRUE(p->openUdp());
        if (ack) {
            EXPECT_TRUE(p->sendUdp(videoPort, buildRegistration(ack->sessionId)));
        }
        return p;
    }

    // 1 kHz at half scale for one second, played the way any application plays, comes
    // to the phone in speaker datagrams of one media sequence.
    void expectSpeakerTone(TestPhone& phone) {
        std::vector<int16_t> tone;
        for (double v : sine(1000, 0.5, 48000)) {
            tone.push_back(int16_t(std::lround(v * 32767)));
            tone.push_back(int16_t(std::lround(v * 32767)));
        }
        const auto bytes = pcm16le(tone);
        std::ofstream(daemon.root / "tone.raw", std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        spawn(
            "pacat",
            {"--raw", "--format=s16le", "--rate=48000", "--channels=2", (daemon.root / "tone.raw").string()},
            "pacat.out");

        std::vector<int16_t> received;
        std::optional<uint32_t> lastSeq;
        int packets = 0;
        for (int i = 0; i < 20000 && audible(received, 2).size() < 36000; ++i) {
            auto d = phone.recvUdp(5);
            ASSERT_TRUE(d) << "no datagram";
            auto h = VideoPacketHeader::decode(*d);
            if (!h || h->codec != 0x10) continue;
            ASSERT_EQ(d->size(), 976u);
            EXPECT_EQ(h->fragCount, 1);
            if (lastSeq) {
                EXPECT_GT(h->frameId, *lastSeq);  // one media sequence, counting up
            }
            lastSeq = h->frameId;
            ++packets;
            const auto samples = fromPcm16le(std::span<const uint8_t>(*d).subspan(16));
            received.insert(received.end(), samples.begin(), samples.end());
        }
        const auto left = audible(received, 2, 0);
        const auto right = audible(received, 2, 1);
        ASSERT_GE(left.size(), 36000u) << packets << " packets";
        EXPECT_EQ(left, right);
        const auto m = measureTone(left, 48000);
        EXPECT_NEAR(m.frequency, 1000, 2);
        EXPECT_NEAR(m.peak, 0.5, 0.01);
    }

    // `packets` microphone datagrams of 5 ms at the real rate, the first carrying `first`
    // and the rest a 440 Hz tone. `beforeLast` runs just before the last one leaves.
    void speak(TestPhone& phone, size_t packets, const std::vector<int16_t>& first,
               const std::function<void()>& beforeLast = {}) {
        const auto tone = sine(440, 0.25, packets * 240);
        const auto begin = std::chrono::steady_clock::now();
        for (size_t seq = 1; seq <= packets; ++seq) {
            std::vector<int16_t> chunk = first;
            if (seq > 1) {
                chunk.clear();
                for (size_t k = (seq - 1) * 240; k < seq * 240; ++k)
                    chunk.push_back(int16_t(std::lround(tone[k] * 32768)));
            }
            VideoPacketHeader h;
            h.frameId = uint32_t(seq);
            h.fragCount = 1;
            h.codec = 0x11;
            if (seq == packets && beforeLast) beforeLast();
            ASSERT_TRUE(phone.sendUdp(server->videoPort(), buildMediaDatagram(h, pcm16le(chunk))));
            std::this_thread::sleep_until(begin + std::chrono::milliseconds(5 * seq));
        }
    }

    // A new recording application asks for the microphone, and what the phone says from
    // then on reaches it from the first word; the request ends with the recording.
    void expectFirstWordsHeard(TestPhone& phone) {
        auto recorder = std::make_unique<Recorder>();
        ASSERT_TRUE(recorder->start());
        auto on = phone.waitFor(MsgType::micRequest);
        ASSERT_TRUE(on);
        ASSERT_EQ(on->payload, Bytes{1});
        const auto words = firstWords();
        // 300 ms of talk: the start must be in the recording while the phone still talks,
        // not whenever the sound server gets round to it.
        size_t heardBeforeLast = 0;
        speak(phone, 60, words, [&] { heardBeforeLast = recorder->heard().size(); });
        EXPECT_GT(heardBeforeLast, 0u) << "the recorder heard nothing while the phone talked";
        ASSERT_TRUE(eventually([&] { return recorder->heard().size() >= 240; }));
        // The first thing heard is the first packet, in order up to any gap the server
        // made when the feed's thread was late.
        const auto heard = recorder->heard();
        for (size_t k = 0; k < words.size() && (k == 0 || heard[k] != 0.0f); ++k)
            ASSERT_EQ(heard[k], float(words[k]) / 32768.0f) << "sample " << k << " of the first packet";
        recorder.reset();
        auto off = phone.waitFor(MsgType::micRequest);
        ASSERT_TRUE(off);
        EXPECT_EQ(off->payload, Bytes{0});
    }

    pid_t spawn(const std::string& tool, std::vector<std::string> args, const std::string& output) {
        const pid_t pid = daemon.spawnTool(tool, std::move(args), daemon.root / output);
        children.push_back(pid);
        return pid;
    }

    PulseDaemon daemon;
    std::unique_ptr<ClientEnvironment> env;
    std::shared_ptr<MemoryStore> store;
    std::shared_ptr<LinuxAudio> observer;
    SimHandles sim;
    std::shared_ptr<Server> server;
    std::vector<pid_t> children;
    LogCapture logs;
};

TEST_F(AudioEndToEndTest, ToneIntoTheDefaultSinkArrivesAsSpeakerDatagrams) {
    startServer();
    auto phone = registeredPhone(server->controlPort(), server->videoPort());
    ASSERT_TRUE(eventually([&] { return defaultsAreOurs(*observer); }))
        << defaultUID(*observer, AudioDefault::output);
    ASSERT_TRUE(logs.waitFor("Mac sound now plays on the iPhone"));
    expectSpeakerTone(*phone);
}

TEST_F(AudioEndToEndTest, RecorderOnTheMicrophoneHearsThePhoneAndEndsTheRequest) {
    startServer();
    auto phone = registeredPhone(server->controlPort(), server->videoPort());
    ASSERT_TRUE(eventually([&] { return defaultsAreOurs(*observer); }));

    const pid_t recorder = spawn("parec",
                                 {"--device=" + std::string(PulseDeviceName::microphone), "--raw",
                                  "--format=s16le", "--rate=48000", "--channels=1", "--latency-msec=10"},
                                 "rec.raw");
    auto on = phone->waitFor(MsgType::micRequest);
    ASSERT_TRUE(on);
    ASSERT_EQ(on->payload.size(), 1u);
    EXPECT_EQ(on->payload[0], 1);
    EXPECT_EQ(logs.count("An app is listening: using the iPhone microphone"), 1);

    // 440 Hz at quarter scale, 5 ms per datagram at the real rate, for one second.
    const auto tone = sine(440, 0.25, 48000);
    const auto begin = std::chrono::steady_clock::now();
    for (size_t at = 0, seq = 1; at < tone.size(); at += 240, ++seq) {
        std::vector<int16_t> chunk;
        for (size_t k = at; k < at + 240; ++k) chunk.push_back(int16_t(std::lround(tone[k] * 32768)));
        VideoPacketHeader h;
        h.frameId = uint32_t(seq);
        h.fragCount = 1;
        h.codec = 0x11;
        ASSERT_TRUE(phone->sendUdp(server->videoPort(), buildMediaDatagram(h, pcm16le(chunk))));
        std::this_thread::sleep_until(begin + std::chrono::milliseconds(5 * seq));
    }
    const auto recording = daemon.root / "rec.raw";
    ASSERT_TRUE(eventually([&] {
        const auto raw = readBytes(recording);
        return audible(fromPcm16le(raw)).size() >= 40000;
    }));
    endChild(recorder, SIGKILL, 2.0, false);
    auto off = phone->waitFor(MsgType::micRequest);
    ASSERT_TRUE(off);
    ASSERT_EQ(off->payload.size(), 1u);
    EXPECT_EQ(off->payload[0], 0);
    EXPECT_TRUE(logs.waitFor("Microphone no longer in use"));

    const auto heard = audible(fromPcm16le(readBytes(recording)));
    const auto m = measureTone(heard, 48000);
    EXPECT_NEAR(m.frequency, 440, 1);
    EXPECT_NEAR(m.peak, 0.25, 0.01);
}

TEST_F(AudioEndToEndTest, UsersDefaultsComeBackWhenTheSessionEnds) {
    startServer();
    auto phone = registeredPhone(server->controlPort(), server->videoPort());
    ASSERT_TRUE(eventually([&] { return defaultsAreOurs(*observer); }));
    EXPECT_EQ(store->getString("audio.saved.1682929012"), "user_speakers");
    EXPECT_EQ(store->getString("audio.saved.1682533920"), "user_mic");
    phone->close();
    EXPECT_TRUE(eventually([&] { return defaultsAreTheUsers(*observer); })) << describeDefaults(*observer);
    EXPECT_TRUE(logs.waitFor("Restored the Mac's microphone"));
}

// The feed used to lose the phone's start to whatever the sound server did as the feed
// began, in some runs all of it: every new recorder must hear the first packet.
TEST_F(AudioEndToEndTest, EveryNewRecorderHearsThePhoneFromItsFirstWord) {
    startServer();
    auto phone = registeredPhone(server->controlPort(), server->videoPort());
    ASSERT_TRUE(eventually([&] { return defaultsAreOurs(*observer); }));
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        expectFirstWordsHeard(*phone);
        if (HasFatalFailure()) return;
    }
}

// A recorder of the default input as any application opens one, at the server's own
// latency: what the phone says after the request is in every recording, from its start.
TEST_F(AudioEndToEndTest, RecorderOfTheDefaultInputHearsThePhoneEveryTime) {
    startServer();
    auto phone = registeredPhone(server->controlPort(), server->videoPort());
    ASSERT_TRUE(eventually([&] { return defaultsAreOurs(*observer); }));
    const auto words = firstWords();
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const auto output = "default" + std::to_string(round) + ".raw";
        const pid_t recorder =
            spawn("parec", {"--raw", "--format=s16le", "--rate=48000", "--channels=1"}, output);
        auto on = phone->waitFor(MsgType::micRequest);
        ASSERT_TRUE(on);
        ASSERT_EQ(on->payload, Bytes{1});
        speak(*phone, 300, words);
        const auto recording = daemon.root / output;
        const bool heard =
            eventually([&] { return audible(fromPcm16le(readBytes(recording))).size() >= 48000; });
        endChild(recorder, SIGKILL, 2.0, false);
        const auto samples = fromPcm16le(readBytes(recording));
        ASSERT_TRUE(heard) << "heard " << audible(samples).size() << " of " << samples.size() << " samples";
        const auto start = audible(samples);
        ASSERT_EQ(start.front(), words.front() / 32768.0);
        auto off = phone->waitFor(MsgType::micRequest);
        ASSERT_TRUE(off);
        ASSERT_EQ(off->payload, Bytes{0});
    }
}

TEST_F(AudioEndToEndTest, RestartedSoundServerCarriesSoundAndMicrophoneAgain) {
    startServer();
    auto phone = registeredPhone(server->controlPort(), server->videoPort());
    ASSERT_TRUE(eventually([&] { return defaultsAreOurs(*observer); }));
    ASSERT_TRUE(logs.waitFor("Mac sound now plays on the iPhone"));

    daemon.stop();
    // The restarted server reads the user's start-up script the install wrote.
    ASSERT_TRUE(daemon.start(daemon.config / "pulse" / "default.pa")) << daemon.log();
    EXPECT_TRUE(logs.waitFor("The sound server restarted: sound and microphone reconnected", 1, 2.0));
    ASSERT_TRUE(eventually([&] { return defaultsAreOurs(*observer); })) << describeDefaults(*observer);
    expectSpeakerTone(*phone);
    expectFirstWordsHeard(*phone);
    EXPECT_EQ(logs.count("The sound server restarted"), 1);
}

// The real program: killed mid-session it cannot restore; its next start does.
TEST_F(AudioEndToEndTest, NextStartAfterAKillRestoresTheDefaults) {
    if (findOnPath("Xvfb").empty()) TARVELLO_SKIP_MISSING("Xvfb, which the linux platform needs");
    const auto configDir = daemon.root / "tarvello";
    std::filesystem::create_directories(configDir);
    std::ofstream(configDir / "settings.json") << "{\"token\": \"" << kPairingCode << "\"}\n";

    auto launch = [&](const std::string& log) {
        ChildSpec spec;
        spec.path = TARVELLO_SERVER_PATH;
        spec.args = {"tarvello",         "--headless",     "--platform", "linux",        "--config-dir",
                     configDir.string(), "--control-port", "0",          "--video-port", "0",
                     "--bind",           "127.0.0.1"};
        spec.env = environmentWith(daemon.clientEnv(), {"DISPLAY"});
        spec.deathSignal = SIGKILL;
        spec.ownProcessGroup = true;
        spec.outputPath = (daemon.root / log).string();
        std::string error;
        const pid_t pid = spawnChild(spec, error);
        children.push_back(pid);
        return pid;
    };
    auto output = [&](const std::string& log) {
        std::ifstream in(daemon.root / log);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    auto port = [&](const std::string& log, const std::string& what) -> uint16_t {
        const auto text = output(log);
        const auto at = text.find(what + " ");
        if (at == std::string::npos) return 0;
        unsigned value = 0;
        const char* digits = text.c_str() + at + what.size() + 1;
        std::from_chars(digits, text.c_str() + text.size(), value);
        return uint16_t(value);
    };

    const pid_t first = launch("first.log");
    ASSERT_TRUE(eventually([&] { return port("first.log", "Video listening on UDP") != 0; }))
        << output("first.log");
    auto phone = registeredPhone(port("first.log", "Control listening on TCP"),
                                 port("first.log", "Video listening on UDP"));
    ASSERT_TRUE(eventually([&] { return defaultsAreOurs(*observer); }, 20)) << output("first.log");
    endChild(first, SIGKILL, 5.0, true);
    phone.reset();
    EXPECT_TRUE(defaultsAreOurs(*observer));

    // The repairs run once the new copy knows it is the only one: after its ports open.
    const pid_t second = launch("second.log");
    ASSERT_TRUE(eventually([&] {
        return output("second.log").find("Restored the Mac's microphone") != std::string::npos;
    })) << output("second.log");
    const auto text = output("second.log");
    EXPECT_NE(text.find("Restored the Mac's speakers"), std::string::npos) << text;
    EXPECT_NE(text.find("Restored the Mac's microphone"), std::string::npos) << text;
    EXPECT_TRUE(defaultsAreTheUsers(*observer)) << describeDefaults(*observer);
    endChild(second, SIGTERM, 5.0, true);
}

}  // namespace
}  // namespace tarvello::test

#endif  // TARVELLO_HAVE_PULSE
