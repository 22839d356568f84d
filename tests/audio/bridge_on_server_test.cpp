#ifdef TARVELLO_HAVE_PULSE

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <thread>

#include "audio/audio_bridge.h"
#include "audio/audio_install.h"
#include "audio/audio_test_support.h"
#include "audio/pulse_daemon.h"
#include "audio/recorder.h"
#include "base/settings.h"
#include "base/settings_store.h"
#include "platform/linux/linux_audio.h"
#include "support/log_capture.h"
#include "support/require.h"

namespace tarvello::test {
namespace {

// The bridge on a private sound server with the devices installed, given the phone's
// samples directly.
class BridgeOnServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!PulseDaemon::available()) TARVELLO_SKIP_MISSING("pulseaudio (scripts/install-deps.sh)");
        ASSERT_TRUE(daemon.start()) << daemon.log();
        env = std::make_unique<ClientEnvironment>(daemon.clientEnv());
        Settings::useStore(std::make_shared<MemoryStore>());
        LinuxAudio::Options options;
        options.persist.configHome = daemon.config;
        options.persist.systemScript = daemon.systemScript;
        audio = std::make_shared<LinuxAudio>(options);
        ASSERT_TRUE(installAudio(*audio));
        bridge = AudioBridge::create(audio);
        bridge->onMicRequest = [this](bool wanted) {
            std::lock_guard lock(mutex);
            requests.push_back(wanted);
            changed.notify_all();
        };
    }

    void TearDown() override {
        if (bridge) bridge->shutdown();
        bridge.reset();
        audio.reset();
        daemon.stop();
        env.reset();
    }

    // Waits (bounded) for the request number `n` (from 1) and returns it.
    std::optional<bool> request(size_t n) {
        std::unique_lock lock(mutex);
        if (!changed.wait_for(lock, std::chrono::seconds(10), [&] { return requests.size() >= n; }))
            return std::nullopt;
        return requests[n - 1];
    }

    // `packets` packets of 5 ms at the real rate, the first `first` and then a 440 Hz
    // tone; `beforeLast` runs just before the last one is handed over.
    void talk(size_t packets, const std::vector<int16_t>& first, const std::function<void()>& beforeLast) {
        const auto tone = sine(440, 0.25, packets * 240);
        const auto begin = std::chrono::steady_clock::now();
        for (size_t seq = 1; seq <= packets; ++seq) {
            std::vector<int16_t> chunk = first;
            if (seq > 1) {
                chunk.clear();
                for (size_t k = (seq - 1) * 240; k < seq * 240; ++k)
                    chunk.push_back(int16_t(std::lround(tone[k] * 32767)));
            }
            if (seq == packets) beforeLast();
            const auto bytes = pcm16le(chunk);
            bridge->receiveMic(bytes);
            std::this_thread::sleep_until(begin + std::chrono::milliseconds(5 * seq));
        }
    }

    PulseDaemon daemon;
    std::unique_ptr<ClientEnvironment> env;
    std::shared_ptr<LinuxAudio> audio;
    std::shared_ptr<AudioBridge> bridge;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<bool> requests;
    LogCapture logs;
};

TEST_F(BridgeOnServerTest, EveryNewRecorderHearsTheFirstPacket) {
    bridge->start(true, true);
    const auto words = firstWords();
    for (size_t round = 0; round < 20; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        auto recorder = std::make_unique<Recorder>();
        ASSERT_TRUE(recorder->start());
        ASSERT_EQ(request(2 * round + 1), true);
        // The start must be in the recording while the phone still talks (60 packets,
        // 300 ms), not whenever the server gets round to it.
        size_t heardBeforeLast = 0;
        talk(60, words, [&] { heardBeforeLast = recorder->heard().size(); });
        EXPECT_GT(heardBeforeLast, 0u) << "nothing reached the recorder while the phone talked";
        ASSERT_TRUE(eventually([&] { return recorder->heard().size() >= words.size(); }));
        // The first thing heard is the first packet, in order up to any gap the server
        // made when the feed's thread was late.
        const auto heard = recorder->heard();
        for (size_t k = 0; k < words.size() && (k == 0 || heard[k] != 0.0f); ++k)
            ASSERT_EQ(heard[k], float(words[k]) / 32768.0f) << "sample " << k << " of the first packet";
        recorder.reset();
        ASSERT_EQ(request(2 * round + 2), false);
    }
}

}  // namespace
}  // namespace tarvello::test

#endif  // TARVELLO_HAVE_PULSE
