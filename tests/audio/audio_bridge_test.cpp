#include "audio/audio_bridge.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <thread>

#include "audio/audio_install.h"
#include "audio/audio_test_support.h"
#include "base/settings.h"
#include "base/settings_store.h"
#include "platform/sim/sim_audio.h"
#include "support/log_capture.h"

namespace tarvello::test {
namespace {

constexpr const char* kSavedOutput = "audio.saved.1682929012";
constexpr const char* kSavedSystemOutput = "audio.saved.1934587252";
constexpr const char* kSavedInput = "audio.saved.1682533920";

class AudioBridgeTest : public ::testing::Test {
protected:
    void SetUp() override {
        store = std::make_shared<MemoryStore>();
        Settings::useStore(store);
        makeBridge(std::make_shared<SimAudio>());
    }

    void TearDown() override {
        if (bridge) bridge->shutdown();
        bridge.reset();
    }

    void makeBridge(std::shared_ptr<SimAudio> audio) {
        if (bridge) bridge->shutdown();
        sim = std::move(audio);
        ticker = std::make_shared<ManualPollTicker>();
        bridge = AudioBridge::create(sim, {ticker});
        bridge->onSpeakerPacket = [this](Bytes p) {
            std::lock_guard lock(mutex);
            packets.push_back(std::move(p));
        };
        bridge->onMicRequest = [this](bool wanted) {
            std::lock_guard lock(mutex);
            requests.push_back(wanted);
        };
    }

    void settle() {
        ASSERT_TRUE(bridge->queue().sync([] {}));
    }

    std::vector<bool> micRequests() {
        std::lock_guard lock(mutex);
        return requests;
    }
    std::vector<Bytes> speakerPackets() {
        std::lock_guard lock(mutex);
        return packets;
    }

    // Interleaved stereo frames whose samples count up from `start` in steps of 1/32768.
    static std::vector<float> ramp(size_t frames, int start = 0) {
        std::vector<float> v(frames * 2);
        for (size_t i = 0; i < v.size(); ++i) v[i] = float(start + int(i)) / 32768.0f;
        return v;
    }

    void receive(const std::vector<int16_t>& samples) {
        const auto bytes = pcm16le(samples);
        bridge->receiveMic(bytes);
    }

    std::shared_ptr<MemoryStore> store;
    std::shared_ptr<SimAudio> sim;
    std::shared_ptr<ManualPollTicker> ticker;
    std::shared_ptr<AudioBridge> bridge;
    std::mutex mutex;
    std::vector<bool> requests;
    std::vector<Bytes> packets;
    LogCapture logs;
};

// ---------------------------------------------------------------------------------
// Defaults: switching, remembering, restoring

TEST_F(AudioBridgeTest, SpeakerStartSwitchesBothOutputsAndRemembersTheUsersDevice) {
    bridge->start(true, false);
    settle();
    EXPECT_EQ(sim->defaultUID(AudioDefault::output), "Tarvello Speakers_UID");
    EXPECT_EQ(sim->defaultUID(AudioDefault::systemOutput), "Tarvello Speakers_UID");
    EXPECT_EQ(sim->defaultUID(AudioDefault::input), "sim.microphone");
    EXPECT_EQ(store->getString(kSavedOutput), "sim.speakers");
    EXPECT_EQ(store->getString(kSavedSystemOutput), "sim.speakers");
    EXPECT_FALSE(store->get(kSavedInput));
    EXPECT_EQ(sim->sampleRate("Tarvello Speakers_UID"), 48000.0);
    EXPECT_EQ(sim->sampleRate("Tarvello Speakers_2_UID"), 48000.0);
    EXPECT_EQ(logs.count("Mac sound now plays on the iPhone"), 1);
    EXPECT_EQ(sim->liveInputUnits(), 1);
    const auto format = sim->lastInputFormat();
    ASSERT_TRUE(format);
    EXPECT_EQ(format->channels, 2);
    EXPECT_EQ(format->bufferFrames, 240u);
    EXPECT_EQ(format->sampleRate, 48000.0);
    EXPECT_TRUE(ticker->running());  // watching for a restart of the sound server
}

TEST_F(AudioBridgeTest, OwnDeviceAlreadyDefaultKeepsTheEarlierSavedDevice) {
    const auto headphones = sim->addDevice("usb.headphones", 0, 1);
    store->setString(kSavedOutput, "usb.headphones");
    // Left switched by a run that crashed.
    sim->setDefaultDevice(AudioDefault::output, *sim->deviceForUID("Tarvello Speakers_UID"));
    bridge->start(true, false);
    settle();
    EXPECT_EQ(store->getString(kSavedOutput), "usb.headphones");
    EXPECT_EQ(store->getString(kSavedSystemOutput), "sim.speakers");
    bridge->stop();
    settle();
    EXPECT_EQ(sim->defaultDevice(AudioDefault::output), headphones);
    EXPECT_EQ(sim->defaultUID(AudioDefault::systemOutput), "sim.speakers");
}

TEST_F(AudioBridgeTest, SecondStartWhileRunningChangesNothing) {
    bridge->start(false, false);
    bridge->start(true, true);
    settle();
    EXPECT_EQ(sim->defaultUID(AudioDefault::output), "sim.speakers");
    EXPECT_EQ(sim->defaultUID(AudioDefault::input), "sim.microphone");
    EXPECT_EQ(sim->liveInputUnits(), 0);
    EXPECT_FALSE(ticker->running());
    EXPECT_TRUE(sim->journal().empty());
}

TEST_F(AudioBridgeTest, MissingSpeakerPairLeavesOutputsAloneButStartsTheMicrophone) {
    sim->removeDevice("Tarvello Speakers_2_UID");
    bridge->start(true, true);
    settle();
    EXPECT_EQ(logs.count("Tarvello Speakers not installed: Mac sound stays on the Mac"), 1);
    EXPECT_FALSE(logs.contains("Mac sound now plays on the iPhone"));
    EXPECT_EQ(sim->defaultUID(AudioDefault::output), "sim.speakers");
    EXPECT_FALSE(store->get(kSavedOutput));
    EXPECT_EQ(sim->defaultUID(AudioDefault::input), "Tarvello Microphone_UID");
    EXPECT_EQ(store->getString(kSavedInput), "sim.microphone");
    EXPECT_TRUE(ticker->running());
}

TEST_F(AudioBridgeTest, MissingMicrophoneIsSkippedSilently) {
    sim->removeDevice("Tarvello Microphone_UID");
    bridge->start(false, true);
    settle();
    EXPECT_FALSE(ticker->running());
    EXPECT_EQ(sim->defaultUID(AudioDefault::input), "sim.microphone");
    EXPECT_TRUE(logs.lines().empty());
}

TEST_F(AudioBridgeTest, StopWhileRecordingSignalsOnceDisposesBothUnitsAndRestoresThreeDefaults) {
    bridge->start(true, true);
    settle();
    sim->setRunning("Tarvello Microphone_UID", true);
    ASSERT_TRUE(ticker->fire());
    ASSERT_EQ(micRequests(), std::vector<bool>{true});
    ASSERT_EQ(sim->liveInputUnits(), 1);
    ASSERT_EQ(sim->liveOutputUnits(), 1);

    bridge->stop();
    bridge->stop();
    settle();
    EXPECT_EQ(micRequests(), (std::vector<bool>{true, false}));
    EXPECT_EQ(sim->liveInputUnits(), 0);
    EXPECT_EQ(sim->liveOutputUnits(), 0);
    const auto journal = sim->journal();
    const auto tapId = std::to_string(*sim->deviceForUID("Tarvello Speakers_2_UID"));
    const auto feedId = std::to_string(*sim->deviceForUID("Tarvello Microphone_2_UID"));
    EXPECT_NE(std::find(journal.begin(), journal.end(), "dispose input " + tapId), journal.end());
    EXPECT_NE(std::find(journal.begin(), journal.end(), "dispose output " + feedId), journal.end());
    EXPECT_EQ(sim->defaultUID(AudioDefault::output), "sim.speakers");
    EXPECT_EQ(sim->defaultUID(AudioDefault::systemOutput), "sim.speakers");
    EXPECT_EQ(sim->defaultUID(AudioDefault::input), "sim.microphone");
    EXPECT_EQ(logs.count("Restored the Mac's speakers"), 2);
    EXPECT_EQ(logs.count("Restored the Mac's microphone"), 1);
    EXPECT_FALSE(ticker->running());
    EXPECT_FALSE(sim->inputCycle(ramp(240)));
}

TEST_F(AudioBridgeTest, StartsAgainAfterStop) {
    bridge->start(true, false);
    bridge->stop();
    bridge->start(true, false);
    settle();
    EXPECT_EQ(sim->liveInputUnits(), 1);
    EXPECT_EQ(sim->defaultUID(AudioDefault::output), "Tarvello Speakers_UID");
}

TEST_F(AudioBridgeTest, ShutdownDisposesUnitsAndIgnoresLaterWork) {
    bridge->start(true, true);
    settle();
    sim->setRunning("Tarvello Microphone_UID", true);
    ASSERT_TRUE(ticker->fire());
    bridge->shutdown();
    EXPECT_EQ(sim->liveInputUnits(), 0);
    EXPECT_EQ(sim->liveOutputUnits(), 0);
    EXPECT_FALSE(ticker->running());
    bridge->start(true, true);  // refused by the stopped queue, harmlessly
    EXPECT_EQ(sim->liveInputUnits(), 0);
}

struct RestoreCase {
    const char* name;
    std::vector<std::pair<std::string, AudioTransport>> outputs;  // added after removing sim.speakers
    std::optional<std::string> saved;
    std::optional<std::string> expected;  // none: the default stays on ours, nothing logged
};

class RestoreTest : public AudioBridgeTest, public ::testing::WithParamInterface<RestoreCase> {};

TEST_P(RestoreTest, ChoosesSavedThenBuiltInThenFirstDevice) {
    const auto& c = GetParam();
    sim->removeDevice("sim.speakers");
    for (const auto& [uid, transport] : c.outputs) sim->addDevice(uid, 0, 1, transport);
    sim->addDevice("usb.mic", 1, 0, AudioTransport::builtIn);  // no output streams: never an output
    if (c.saved) store->setString(kSavedOutput, *c.saved);
    ASSERT_TRUE(sim->setDefaultDevice(AudioDefault::output, *sim->deviceForUID("Tarvello Speakers_UID")));
    AudioBridge::restoreDefaultDevices(*sim);
    if (c.expected) {
        EXPECT_EQ(sim->defaultUID(AudioDefault::output), *c.expected);
        EXPECT_EQ(logs.count("Restored the Mac's speakers"), 1);
    } else {
        EXPECT_EQ(sim->defaultUID(AudioDefault::output), "Tarvello Speakers_UID");
        EXPECT_EQ(logs.count("Restored the Mac's speakers"), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RestoreTest,
    ::testing::Values(RestoreCase{"SavedDevice",
                                  {{"usb.out", AudioTransport::other}, {"hdmi.out", AudioTransport::other}},
                                  "hdmi.out",
                                  "hdmi.out"},
                      RestoreCase{
                          "SavedGoneBuiltInPreferred",
                          {{"usb.out", AudioTransport::other}, {"internal.out", AudioTransport::builtIn}},
                          "gone.device",
                          "internal.out"},
                      RestoreCase{"NothingSavedFirstKept",
                                  {{"usb.out", AudioTransport::other}, {"hdmi.out", AudioTransport::other}},
                                  std::nullopt,
                                  "usb.out"},
                      RestoreCase{"NoOtherOutput", {}, std::nullopt, std::nullopt},
                      RestoreCase{"SavedGoneAndNoOtherOutput", {}, "gone.device", std::nullopt}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(AudioBridgeTest, RestoreLeavesTheUsersOwnDefaultsAlone) {
    store->setString(kSavedOutput, "sim.speakers");
    const auto usb = sim->addDevice("usb.out", 0, 1);
    sim->setDefaultDevice(AudioDefault::output, usb);
    AudioBridge::restoreDefaultDevices(*sim);
    EXPECT_EQ(sim->defaultDevice(AudioDefault::output), usb);
    EXPECT_TRUE(logs.lines().empty());
}

TEST_F(AudioBridgeTest, RestoreFallsBackToAnInputDeviceForTheMicrophone) {
    sim->removeDevice("sim.microphone");
    sim->addDevice("usb.out", 0, 1);
    sim->addDevice("usb.mic", 1, 0);
    sim->setDefaultDevice(AudioDefault::input, *sim->deviceForUID("Tarvello Microphone_UID"));
    AudioBridge::restoreDefaultDevices(*sim);
    EXPECT_EQ(sim->defaultUID(AudioDefault::input), "usb.mic");
    EXPECT_EQ(logs.count("Restored the Mac's microphone"), 1);
}

// ---------------------------------------------------------------------------------
// Speaker tap

TEST_F(AudioBridgeTest, ThreeCyclesOfHundredFramesMakeOnePacketAndLeave120Pending) {
    bridge->start(true, false);
    settle();
    ASSERT_EQ(sim->inputCycle(ramp(100, 0)), 0);
    ASSERT_EQ(sim->inputCycle(ramp(100, 200)), 0);
    EXPECT_TRUE(speakerPackets().empty());
    EXPECT_EQ(bridge->pendingSpeakerSamples(), 400u);
    ASSERT_EQ(sim->inputCycle(ramp(100, 400)), 0);
    const auto got = speakerPackets();
    ASSERT_EQ(got.size(), 1u);
    ASSERT_EQ(got[0].size(), 960u);
    EXPECT_EQ(bridge->pendingSpeakerSamples(), 120u);
    // Samples in arrival order, little-endian: value i / 32768 → trunc(i × 32767 / 32768).
    const auto samples = fromPcm16le(got[0]);
    for (int i : {0, 1, 199, 200, 479}) {
        EXPECT_EQ(samples[size_t(i)], AudioBridge::toPcm16(float(i) / 32768.0f)) << i;
    }
    EXPECT_EQ(samples[479], 478);
}

TEST_F(AudioBridgeTest, FailedRenderReturnsItsStatusAndMakesNothing) {
    bridge->start(true, false);
    settle();
    sim->renderStatus = -10863;
    EXPECT_EQ(sim->inputCycle(ramp(240)), -10863);
    EXPECT_EQ(bridge->pendingSpeakerSamples(), 0u);
    sim->renderStatus = 0;
    EXPECT_EQ(sim->inputCycle(ramp(240)), 0);
    EXPECT_EQ(speakerPackets().size(), 1u);
}

TEST_F(AudioBridgeTest, LongCycleGrowsTheScratchAndStillCutsWholePackets) {
    bridge->start(true, false);
    settle();
    ASSERT_EQ(sim->inputCycle(ramp(5000)), 0);  // 10 000 samples: more than the 8192 preallocated
    EXPECT_EQ(speakerPackets().size(), 20u);
    EXPECT_EQ(bridge->pendingSpeakerSamples(), 10000u - 20 * 480);
}

TEST_F(AudioBridgeTest, TapThatCannotBeCreatedIsSilentAndKeepsOutputsSwitched) {
    sim->failMakeInput = true;
    bridge->start(true, false);
    settle();
    EXPECT_FALSE(logs.contains("Could not read Tarvello Speakers"));
    EXPECT_EQ(logs.count("Mac sound now plays on the iPhone"), 1);
    EXPECT_EQ(sim->defaultUID(AudioDefault::output), "Tarvello Speakers_UID");
}

TEST_F(AudioBridgeTest, TapThatCannotStartIsReportedAndDisposed) {
    sim->failStartInput = true;
    bridge->start(true, false);
    settle();
    const auto lines = logs.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("Could not read Tarvello Speakers"), std::string::npos);
    EXPECT_NE(lines[1].find("Mac sound now plays on the iPhone"), std::string::npos);
    const auto journal = sim->journal();
    EXPECT_EQ(journal.back(),
              "dispose input " + std::to_string(*sim->deviceForUID("Tarvello Speakers_2_UID")));
    EXPECT_EQ(sim->liveInputUnits(), 0);
}

TEST_F(AudioBridgeTest, HalfPacketOfAnEarlierSessionDoesNotLeadTheNext) {
    bridge->start(true, false);
    settle();
    ASSERT_EQ(sim->inputCycle(ramp(100, 1000)), 0);
    bridge->stop();
    bridge->start(true, false);
    settle();
    ASSERT_EQ(sim->inputCycle(ramp(240, 0)), 0);
    const auto got = speakerPackets();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(fromPcm16le(got[0])[0], 0);
}

struct ClampCase {
    float in;
    int16_t out;
};

class ClampTest : public ::testing::TestWithParam<ClampCase> {};

TEST_P(ClampTest, ClampsScalesAndTruncates) {
    EXPECT_EQ(AudioBridge::toPcm16(GetParam().in), GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(Samples, ClampTest,
                         ::testing::Values(ClampCase{1.0f, 32767}, ClampCase{-1.0f, -32767},
                                           ClampCase{0.99999f, 32766}, ClampCase{-0.99999f, -32766},
                                           ClampCase{std::numeric_limits<float>::quiet_NaN(), 32767},
                                           ClampCase{7.5f, 32767}, ClampCase{-7.5f, -32767},
                                           ClampCase{std::numeric_limits<float>::infinity(), 32767},
                                           ClampCase{-std::numeric_limits<float>::infinity(), -32767},
                                           ClampCase{0.5f, 16383}, ClampCase{0.0f, 0}));

TEST_F(AudioBridgeTest, TapConvertsNaNAsFullScale) {
    bridge->start(true, false);
    settle();
    std::vector<float> frames(480, std::numeric_limits<float>::quiet_NaN());
    ASSERT_EQ(sim->inputCycle(frames), 0);
    const auto got = speakerPackets();
    ASSERT_EQ(got.size(), 1u);
    const auto samples = fromPcm16le(got[0]);
    EXPECT_TRUE(std::all_of(samples.begin(), samples.end(), [](int16_t s) { return s == 32767; }));
}

// ---------------------------------------------------------------------------------
// Microphone: jitter buffer and feed

TEST_F(AudioBridgeTest, OddByteIsIgnoredAndShortPacketsYieldNothing) {
    const uint8_t seven[] = {0x00, 0x80, 0xFF, 0x7F, 0x01, 0x00, 0x55};
    bridge->receiveMic(seven);
    EXPECT_EQ(bridge->micBuffered(), 3u);
    const uint8_t one[] = {0x12};
    bridge->receiveMic(one);
    bridge->receiveMic({});
    EXPECT_EQ(bridge->micBuffered(), 3u);
}

TEST_F(AudioBridgeTest, SamplesConvertByOneOver32768) {
    std::vector<int16_t> samples(1440, 0);
    samples[0] = -32768;
    samples[1] = 32767;
    samples[2] = 1;
    samples[3] = -1;
    receive(samples);
    std::vector<float> out(4);
    ASSERT_EQ(bridge->feedRender(out), 0);
    EXPECT_EQ(out[0], -1.0f);
    EXPECT_EQ(out[1], 32767.0f / 32768.0f);
    EXPECT_EQ(out[2], 0.000030517578125f);
    EXPECT_EQ(out[3], -0.000030517578125f);
}

TEST_F(AudioBridgeTest, OverflowKeepsTheNewest5760Samples) {
    std::vector<int16_t> first(5000), second(1000);
    for (int i = 0; i < 5000; ++i) first[size_t(i)] = int16_t(i);
    for (int i = 0; i < 1000; ++i) second[size_t(i)] = int16_t(5000 + i);
    receive(first);
    receive(second);
    EXPECT_EQ(bridge->micBuffered(), 5760u);
    std::vector<float> out(5760);
    ASSERT_EQ(bridge->feedRender(out), 0);
    EXPECT_EQ(out.front(), 240.0f / 32768.0f);
    EXPECT_EQ(out.back(), 5999.0f / 32768.0f);
    for (size_t i = 1; i < out.size(); ++i) ASSERT_EQ(out[i] - out[i - 1], 1.0f / 32768.0f) << i;
}

TEST_F(AudioBridgeTest, OnePacketLargerThanTheBufferKeepsItsTail) {
    std::vector<int16_t> big(20000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = int16_t(i % 30000);
    receive(big);
    EXPECT_EQ(bridge->micBuffered(), 5760u);
    std::vector<float> out(2);
    ASSERT_EQ(bridge->feedRender(out), 0);
    EXPECT_EQ(out[0], float(20000 - 5760) / 32768.0f);
}

TEST_F(AudioBridgeTest, FeedPrimesAt1440AndReprimesAfterAnUnderrun) {
    std::vector<int16_t> samples(1000);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = int16_t(i + 1);
    receive(samples);
    std::vector<float> out(240, -2.0f);
    ASSERT_EQ(bridge->feedRender(out), 0);
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](float v) { return v == 0.0f; }));
    EXPECT_EQ(bridge->micBuffered(), 1000u);
    EXPECT_FALSE(bridge->micPrimed());

    receive(std::vector<int16_t>(440, 7));
    ASSERT_EQ(bridge->feedRender(out), 0);
    EXPECT_TRUE(bridge->micPrimed());
    EXPECT_EQ(out[0], 1.0f / 32768.0f);
    EXPECT_EQ(out[239], 240.0f / 32768.0f);
    EXPECT_EQ(bridge->micBuffered(), 1200u);

    // Drain to 100, then a cycle that finds only those 100 for 240 frames.
    std::vector<float> big(1100);
    ASSERT_EQ(bridge->feedRender(big), 0);
    std::fill(out.begin(), out.end(), -2.0f);
    ASSERT_EQ(bridge->feedRender(out), 0);
    EXPECT_TRUE(std::all_of(out.begin(), out.begin() + 100, [](float v) { return v == 7.0f / 32768.0f; }));
    EXPECT_TRUE(std::all_of(out.begin() + 100, out.end(), [](float v) { return v == 0.0f; }));
    EXPECT_FALSE(bridge->micPrimed());

    // Back in priming: what arrives now waits for 1440 again.
    receive(std::vector<int16_t>(500, 9));
    ASSERT_EQ(bridge->feedRender(out), 0);
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](float v) { return v == 0.0f; }));
    EXPECT_EQ(bridge->micBuffered(), 500u);
}

TEST_F(AudioBridgeTest, ReceiveAndFeedOnTwoThreadsStayBounded) {
    std::atomic<bool> done{false};
    std::thread feeder([&] {
        std::vector<float> out(240);
        while (!done.load()) {
            bridge->feedRender(out);
            for (float v : out) ASSERT_TRUE(v == 0.0f || v == 3.0f / 32768.0f);
        }
    });
    const std::vector<int16_t> packet(240, 3);
    for (int i = 0; i < 20000; ++i) {
        receive(packet);
        ASSERT_LE(bridge->micBuffered(), 5760u);
    }
    done = true;
    feeder.join();
}

// ---------------------------------------------------------------------------------
// Microphone-use poll

TEST_F(AudioBridgeTest, PollNoticesARecorderAtTheNextTickAndFollowsIt) {
    bridge->start(false, true);
    settle();
    EXPECT_EQ(ticker->interval(), 0.3);
    EXPECT_EQ(sim->defaultUID(AudioDefault::input), "Tarvello Microphone_UID");
    EXPECT_EQ(store->getString(kSavedInput), "sim.microphone");
    EXPECT_EQ(sim->sampleRate("Tarvello Microphone_UID"), 48000.0);
    EXPECT_EQ(sim->sampleRate("Tarvello Microphone_2_UID"), 48000.0);

    ASSERT_TRUE(ticker->fire());
    EXPECT_TRUE(micRequests().empty());
    EXPECT_EQ(sim->liveOutputUnits(), 0);

    sim->setRunning("Tarvello Microphone_UID", true);
    ASSERT_TRUE(ticker->fire());
    ASSERT_TRUE(ticker->fire());
    EXPECT_EQ(micRequests(), std::vector<bool>{true});
    EXPECT_EQ(logs.count("An app is listening: using the iPhone microphone"), 1);
    EXPECT_EQ(sim->liveOutputUnits(), 1);
    const auto format = sim->lastOutputFormat();
    ASSERT_TRUE(format);
    EXPECT_EQ(format->channels, 1);
    EXPECT_EQ(format->bufferFrames, 240u);

    // The feed plays what the phone sends once primed.
    receive(std::vector<int16_t>(1440, 100));
    const auto played = sim->pullOutput(240);
    ASSERT_TRUE(played);
    EXPECT_TRUE(std::all_of(played->begin(), played->end(), [](float v) { return v == 100.0f / 32768.0f; }));

    sim->setRunning("Tarvello Microphone_UID", false);
    ASSERT_TRUE(ticker->fire());
    EXPECT_EQ(micRequests(), (std::vector<bool>{true, false}));
    EXPECT_EQ(logs.count("Microphone no longer in use"), 1);
    EXPECT_EQ(sim->liveOutputUnits(), 0);
}

TEST_F(AudioBridgeTest, NewFeedStartsFromAnEmptyUnprimedBuffer) {
    bridge->start(false, true);
    settle();
    receive(std::vector<int16_t>(3000, 5));
    sim->setRunning("Tarvello Microphone_UID", true);
    ASSERT_TRUE(ticker->fire());
    EXPECT_EQ(bridge->micBuffered(), 0u);
    EXPECT_FALSE(bridge->micPrimed());
}

TEST_F(AudioBridgeTest, UnreadableUseCountsAsNotInUse) {
    bridge->start(false, true);
    settle();
    sim->setRunning("Tarvello Microphone_UID", true);
    sim->failRunningRead = true;
    ASSERT_TRUE(ticker->fire());
    EXPECT_TRUE(micRequests().empty());
}

TEST_F(AudioBridgeTest, FeedFailuresStillAskForTheMicrophone) {
    bridge->start(false, true);
    settle();
    sim->failMakeOutput = true;
    sim->setRunning("Tarvello Microphone_UID", true);
    ASSERT_TRUE(ticker->fire());
    EXPECT_EQ(micRequests(), std::vector<bool>{true});
    EXPECT_FALSE(logs.contains("Could not open Tarvello Microphone Feed"));

    sim->setRunning("Tarvello Microphone_UID", false);
    ASSERT_TRUE(ticker->fire());
    sim->failMakeOutput = false;
    sim->failStartOutput = true;
    sim->setRunning("Tarvello Microphone_UID", true);
    ASSERT_TRUE(ticker->fire());
    EXPECT_EQ(micRequests(), (std::vector<bool>{true, false, true}));
    EXPECT_EQ(logs.count("Could not open Tarvello Microphone Feed"), 1);
    EXPECT_EQ(sim->liveOutputUnits(), 0);
}

TEST_F(AudioBridgeTest, DefaultTickerPollsOnTheAudioQueue) {
    // The real timer: the recorder is noticed without the test firing anything.
    sim = std::make_shared<SimAudio>();
    bridge->shutdown();
    bridge = AudioBridge::create(sim);
    std::atomic<int> wanted{0};
    bridge->onMicRequest = [&](bool w) {
        if (w) wanted++;
    };
    sim->setRunning("Tarvello Microphone_UID", true);
    bridge->start(false, true);
    ASSERT_TRUE(logs.waitFor("An app is listening: using the iPhone microphone"));
    settle();
    EXPECT_EQ(wanted.load(), 1);
    bridge->shutdown();
}

// ---------------------------------------------------------------------------------
// Sound server restarts

TEST_F(AudioBridgeTest, RestartedServerGetsTapFeedAndDefaultsBackWithOneLine) {
    bridge->start(true, true);
    settle();
    sim->setRunning("Tarvello Microphone_UID", true);
    ASSERT_TRUE(ticker->fire());
    ASSERT_EQ(micRequests(), std::vector<bool>{true});
    const auto linesBefore = logs.lines().size();

    sim->restartServer();
    EXPECT_FALSE(sim->inputCycle(ramp(240)));
    EXPECT_FALSE(sim->pullOutput(240));
    // The recorder came back with the server, as clients of a restarted service do.
    sim->setRunning("Tarvello Microphone_UID", true);
    sim->clearJournal();
    ASSERT_TRUE(ticker->fire());

    EXPECT_EQ(sim->defaultUID(AudioDefault::output), "Tarvello Speakers_UID");
    EXPECT_EQ(sim->defaultUID(AudioDefault::systemOutput), "Tarvello Speakers_UID");
    EXPECT_EQ(sim->defaultUID(AudioDefault::input), "Tarvello Microphone_UID");
    const auto journal = sim->journal();
    const auto tapId = std::to_string(*sim->deviceForUID("Tarvello Speakers_2_UID"));
    const auto feedId = std::to_string(*sim->deviceForUID("Tarvello Microphone_2_UID"));
    EXPECT_NE(std::find(journal.begin(), journal.end(), "start input " + tapId), journal.end());
    EXPECT_NE(std::find(journal.begin(), journal.end(), "start output " + feedId), journal.end());
    ASSERT_EQ(sim->inputCycle(ramp(240)), 0);
    EXPECT_EQ(speakerPackets().size(), 1u);
    receive(std::vector<int16_t>(1440, 100));
    const auto played = sim->pullOutput(240);
    ASSERT_TRUE(played);
    EXPECT_EQ(played->front(), 100.0f / 32768.0f);
    // The application never stopped listening: the phone is not asked twice.
    EXPECT_EQ(micRequests(), std::vector<bool>{true});
    const auto lines = logs.lines();
    ASSERT_EQ(lines.size(), linesBefore + 1);
    EXPECT_NE(lines.back().find("The sound server restarted: sound and microphone reconnected"),
              std::string::npos);

    // Once is enough, and the user's devices (not ours) are what comes back at the end.
    ASSERT_TRUE(ticker->fire());
    EXPECT_EQ(logs.lines().size(), linesBefore + 1);
    EXPECT_EQ(sim->liveInputUnits(), 1);
    bridge->stop();
    settle();
    EXPECT_EQ(sim->defaultUID(AudioDefault::output), "sim.speakers");
    EXPECT_EQ(sim->defaultUID(AudioDefault::input), "sim.microphone");
    EXPECT_EQ(store->getString(kSavedInput), "sim.microphone");
}

TEST_F(AudioBridgeTest, ServerAwayWaitsAndARecorderLostWithItEndsTheRequest) {
    bridge->start(false, true);
    settle();
    sim->setRunning("Tarvello Microphone_UID", true);
    ASSERT_TRUE(ticker->fire());
    ASSERT_EQ(sim->liveOutputUnits(), 1);

    sim->serverDown = true;
    sim->restartServer();
    ASSERT_TRUE(ticker->fire());
    EXPECT_FALSE(logs.contains("The sound server restarted"));
    EXPECT_EQ(micRequests(), std::vector<bool>{true});

    sim->serverDown = false;
    ASSERT_TRUE(ticker->fire());
    EXPECT_EQ(logs.count("The sound server restarted: sound and microphone reconnected"), 1);
    EXPECT_EQ(micRequests(), (std::vector<bool>{true, false}));
    EXPECT_EQ(logs.count("Microphone no longer in use"), 1);
    EXPECT_EQ(sim->liveOutputUnits(), 0);
    EXPECT_EQ(sim->defaultUID(AudioDefault::input), "Tarvello Microphone_UID");

    // A new recorder on the new server is heard as before.
    sim->setRunning("Tarvello Microphone_UID", true);
    ASSERT_TRUE(ticker->fire());
    EXPECT_EQ(micRequests(), (std::vector<bool>{true, false, true}));
    EXPECT_EQ(sim->liveOutputUnits(), 1);
}

TEST_F(AudioBridgeTest, DevicesGoneAfterARestartEndTheRequestAndStayQuiet) {
    bridge->start(true, true);
    settle();
    sim->setRunning("Tarvello Microphone_UID", true);
    ASSERT_TRUE(ticker->fire());
    sim->restartServer();
    for (const char* uid : {"Tarvello Speakers_UID", "Tarvello Speakers_2_UID", "Tarvello Microphone_UID",
                            "Tarvello Microphone_2_UID"})
        sim->removeDevice(uid);
    ASSERT_TRUE(ticker->fire());
    EXPECT_EQ(micRequests(), (std::vector<bool>{true, false}));
    EXPECT_EQ(sim->liveInputUnits(), 0);
    EXPECT_EQ(sim->liveOutputUnits(), 0);
    EXPECT_EQ(sim->defaultUID(AudioDefault::output), "sim.speakers");
    EXPECT_FALSE(logs.contains("not installed"));
}

// ---------------------------------------------------------------------------------
// Installer

TEST_F(AudioBridgeTest, InstallCreatesMissingDevicesAndReportsFailures) {
    makeBridge(std::make_shared<SimAudio>(false));
    EXPECT_FALSE(audioInstalled(*sim));
    EXPECT_TRUE(audioPluginsPresent(*sim));
    sim->setInstallFailure("no sound server: Connection refused");
    EXPECT_FALSE(installAudio(*sim));
    EXPECT_EQ(logs.count("Audio install cancelled: no sound server: Connection refused"), 1);
    sim->setInstallFailure("");
    EXPECT_TRUE(installAudio(*sim));
    EXPECT_TRUE(audioInstalled(*sim));

    sim->installable = false;
    EXPECT_FALSE(audioPluginsPresent(*sim));
    EXPECT_TRUE(installAudio(*sim));  // still installed from before
    EXPECT_EQ(logs.count("Audio devices are not bundled in this build"), 1);
    sim->removeDevice("Tarvello Microphone_UID");
    EXPECT_FALSE(audioInstalled(*sim));
}

}  // namespace
}  // namespace tarvello::test
