#include "camera/camera_bridge.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>

#include "base/settings.h"
#include "base/settings_store.h"
#include "camera_test_support.h"
#include "platform/sim/sim_platform.h"
#include "support/eventually.h"
#include "support/log_capture.h"

namespace tarvello {
namespace {

class CameraBridgeTest : public ::testing::Test {
protected:
    void SetUp() override {
        Settings::useStore(store);
        camera->present = true;
        bridge = CameraBridge::create(camera, clock);
        bridge->onCameraRequest = [this](bool wanted) {
            std::lock_guard lock(mutex);
            requests.push_back(wanted);
        };
    }
    void TearDown() override { bridge->shutdown(); }

    std::vector<bool> requestsSoFar() {
        std::lock_guard lock(mutex);
        return requests;
    }
    bool waitForRequests(size_t n) {
        return test::eventually([&] { return requestsSoFar().size() >= n; });
    }
    void send(const Bytes& frame, uint32_t frameId) {
        for (const Bytes& d : test::cameraDatagrams(frame, frameId)) {
            auto h = VideoPacketHeader::decode(d);
            bridge->receivePacket(*h, std::span(d).subspan(Pontel::headerSize));
        }
    }

    std::shared_ptr<MemoryStore> store = std::make_shared<MemoryStore>();
    std::shared_ptr<SimCamera> camera = std::make_shared<SimCamera>();
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    std::shared_ptr<CameraBridge> bridge;
    test::LogCapture logs;
    std::mutex mutex;
    std::vector<bool> requests;
};

TEST_F(CameraBridgeTest, InUseValueDecidesOnceSeen) {
    camera->running = true;  // running somewhere stays on throughout
    camera->used = true;
    bridge->start();
    ASSERT_TRUE(waitForRequests(1));
    EXPECT_TRUE(logs.contains("An app is using the camera: using the iPhone camera"));
    EXPECT_TRUE(camera->sinkOpen);
    // Once the in-use value has read "1", it alone ends watching.
    camera->used = false;
    ASSERT_TRUE(waitForRequests(2));
    EXPECT_EQ(requestsSoFar(), (std::vector<bool>{true, false}));
    EXPECT_TRUE(logs.contains("Camera no longer in use"));
    EXPECT_FALSE(camera->sinkOpen);
}

TEST_F(CameraBridgeTest, RunningSomewhereDecidesUntilTheValueIsSeen) {
    camera->hasUseValue = false;
    camera->running = true;
    bridge->start();
    ASSERT_TRUE(waitForRequests(1));
    camera->running = false;
    ASSERT_TRUE(waitForRequests(2));
    EXPECT_EQ(requestsSoFar(), (std::vector<bool>{true, false}));
}

TEST_F(CameraBridgeTest, NoDeviceMeansNothingHappens) {
    camera->present = false;
    camera->used = true;
    bridge->start();
    EXPECT_FALSE(test::eventually([&] { return !requestsSoFar().empty(); }, 0.5));
    camera->present = true;  // the extension came up: found on a later poll
    ASSERT_TRUE(waitForRequests(1));
}

TEST_F(CameraBridgeTest, SinkUnavailableStillAsksThePhone) {
    camera->sinkAvailable = false;
    camera->used = true;
    bridge->start();
    ASSERT_TRUE(waitForRequests(1));
    EXPECT_TRUE(logs.contains("Camera sink unavailable (-1)"));
    EXPECT_TRUE(logs.contains("Camera: could not open Tarvello Camera's input"));
}

TEST_F(CameraBridgeTest, StopLeavesWatchingAndClosesTheSink) {
    camera->used = true;
    bridge->start();
    ASSERT_TRUE(waitForRequests(1));
    bridge->stop();
    ASSERT_TRUE(waitForRequests(2));
    EXPECT_TRUE(test::eventually([&] { return !camera->sinkOpen; }));
    EXPECT_FALSE(logs.contains("Camera no longer in use"));  // only the poll says that
}

TEST_F(CameraBridgeTest, PacketsWhileNotWatchingAreOnlyCounted) {
    const auto frames = test::encodeKnownPicture(640, 360, 1);
    ASSERT_FALSE(frames.empty());
    send(frames[0], 1);
    const auto s = bridge->stats();
    EXPECT_GT(s.packets, 0);
    EXPECT_EQ(s.frames, 0);
    EXPECT_EQ(s.decoded, 0);
}

TEST_F(CameraBridgeTest, HevcFramesReachTheSinkLetterboxed) {
    const auto frames = test::encodeKnownPicture(640, 480, 3);
    ASSERT_EQ(frames.size(), 3u);
    camera->used = true;
    camera->capacity = 10;
    bridge->start();
    ASSERT_TRUE(waitForRequests(1));
    for (uint32_t i = 0; i < 3; ++i) send(frames[i], 100 + i);
    const auto s = bridge->stats();
    EXPECT_EQ(s.frames, 3);
    EXPECT_EQ(s.decoded, 3);
    EXPECT_EQ(s.sent, 3);
    EXPECT_EQ(s.decoderCreations, 1);
    const auto pictures = camera->takePictures();
    ASSERT_EQ(pictures.size(), 3u);
    const VideoFrame& p = *pictures.back();
    ASSERT_EQ(p.width, 1280);
    ASSERT_EQ(p.height, 720);
    // 640 x 480 fills the height: 960 wide, bars of 160 on each side.
    auto y = [&](int x, int row) { return int(p.y[size_t(row) * size_t(p.strideY) + size_t(x)]); };
    EXPECT_EQ(y(100, 360), 16);
    EXPECT_NEAR(y(300, 360), 200, 8);
    EXPECT_NEAR(y(980, 360), 50, 8);
    EXPECT_EQ(y(1200, 360), 16);
}

TEST_F(CameraBridgeTest, FullSinkCostsNoConversionAndNewParameterSetsRebuildTheDecoder) {
    const auto small = test::encodeKnownPicture(320, 240, 2);
    const auto large = test::encodeKnownPicture(480, 360, 1);
    ASSERT_EQ(small.size(), 2u);
    ASSERT_EQ(large.size(), 1u);
    camera->used = true;
    camera->capacity = 1;
    bridge->start();
    ASSERT_TRUE(waitForRequests(1));
    send(small[0], 1);
    send(small[1], 2);
    send(small[0], 3);  // the same parameter sets again
    auto s = bridge->stats();
    EXPECT_EQ(s.decoded, 3);
    EXPECT_EQ(s.sent, 1);  // the sink holds one picture and nobody took it
    EXPECT_EQ(s.decoderCreations, 1);
    send(large[0], 4);  // another SPS
    s = bridge->stats();
    EXPECT_EQ(s.decoderCreations, 2);
    EXPECT_EQ(s.decoded, 4);
}

TEST_F(CameraBridgeTest, OversizedPicturesAreRefusedAndTheStreamGoesOn) {
    const auto huge = test::encodeKnownPicture(4104, 16, 1);  // wider than 4096
    const auto fine = test::encodeKnownPicture(320, 240, 1);
    ASSERT_EQ(huge.size(), 1u);
    ASSERT_EQ(fine.size(), 1u);
    camera->used = true;
    camera->capacity = 10;
    bridge->start();
    ASSERT_TRUE(waitForRequests(1));
    send(huge[0], 1);
    auto s = bridge->stats();
    EXPECT_EQ(s.frames, 1);
    EXPECT_EQ(s.decoded, 0);
    EXPECT_TRUE(camera->takePictures().empty());
    send(fine[0], 2);
    s = bridge->stats();
    EXPECT_EQ(s.decoded, 1);
    EXPECT_EQ(camera->takePictures().size(), 1u);
}

TEST_F(CameraBridgeTest, StatisticsLineAtMostEveryFiveSeconds) {
    const Bytes payload(10, 0);
    VideoPacketHeader h;
    h.fragCount = 2;
    for (int i = 0; i < 3; ++i) bridge->receivePacket(h, payload);
    bridge->stats();
    EXPECT_EQ(logs.count("Camera: "), 1);
    EXPECT_TRUE(
        logs.contains("Camera: 1 packets, 0 frames, 0 decoded, 0 sent to Tarvello Camera (sink closed)"));
    clock->advance(5.0);
    bridge->receivePacket(h, payload);
    bridge->stats();
    EXPECT_EQ(logs.count("Camera: "), 1);
    clock->advance(0.01);
    bridge->receivePacket(h, payload);
    bridge->stats();
    EXPECT_TRUE(logs.contains("Camera: 5 packets, 0 frames"));
}

// ---- Activation ----

TEST_F(CameraBridgeTest, ActivationOutcomesReachLogSettingsAndCompletion) {
    std::promise<std::optional<std::string>> installed;
    bridge->activate([&](std::optional<std::string> e) { installed.set_value(e); });
    EXPECT_EQ(installed.get_future().get(), std::nullopt);
    EXPECT_TRUE(logs.contains("Camera extension installed"));
    EXPECT_EQ(store->getBool(SettingsKey::cameraActivated), true);

    camera->setRequestError("Cannot start tarvello-camera");
    std::promise<std::optional<std::string>> failed;
    bridge->deactivate([&](std::optional<std::string> e) { failed.set_value(e); });
    EXPECT_EQ(failed.get_future().get(), std::optional<std::string>("Cannot start tarvello-camera"));
    EXPECT_TRUE(logs.contains("Camera extension failed: Cannot start tarvello-camera"));
    EXPECT_EQ(store->getBool(SettingsKey::cameraActivated), true);  // only a finish changes it

    // A failed removal leaves nothing behind: the next activation is an activation.
    camera->setRequestError(std::nullopt);
    std::promise<std::optional<std::string>> again;
    bridge->activate([&](std::optional<std::string> e) { again.set_value(e); });
    EXPECT_EQ(again.get_future().get(), std::nullopt);
    EXPECT_FALSE(logs.contains("Camera extension removed"));
    EXPECT_EQ(store->getBool(SettingsKey::cameraActivated), true);
    EXPECT_EQ(camera->requests(), (std::vector<bool>{true, false, true}));

    std::promise<std::optional<std::string>> removed;
    bridge->deactivate([&](std::optional<std::string> e) { removed.set_value(e); });
    EXPECT_EQ(removed.get_future().get(), std::nullopt);
    EXPECT_TRUE(logs.contains("Camera extension removed"));
    EXPECT_EQ(store->getBool(SettingsKey::cameraActivated), false);
}

// Activation requests the test finishes by hand, in the order it chooses.
class HeldCamera final : public CameraFacility {
public:
    bool findDevice() override { return false; }
    CameraUse readUse() override { return {}; }
    bool openSink(std::string&) override { return false; }
    void closeSink() override {}
    bool sinkHasRoom() override { return false; }
    void pushPicture(std::shared_ptr<const VideoFrame>) override {}
    void submitRequest(bool, std::function<void(std::optional<std::string>)> done) override {
        std::lock_guard lock(mutex);
        held.push_back(std::move(done));
    }
    size_t count() {
        std::lock_guard lock(mutex);
        return held.size();
    }
    void finish(size_t i) {
        std::function<void(std::optional<std::string>)> done;
        {
            std::lock_guard lock(mutex);
            done = held.at(i);
        }
        done(std::nullopt);
    }
    std::mutex mutex;
    std::vector<std::function<void(std::optional<std::string>)>> held;
};

TEST_F(CameraBridgeTest, AReplacedCompletionHearsOnlyItsOwnRequestsOutcome) {
    auto held = std::make_shared<HeldCamera>();
    auto heldBridge = CameraBridge::create(held, clock);
    // Install pressed while a removal is still under way.
    std::atomic<int> removalAnswers{0};
    std::promise<std::optional<bool>> activatedWhenAnswered;
    std::atomic<bool> answered{false};
    heldBridge->deactivate([&](std::optional<std::string>) { removalAnswers++; });
    heldBridge->activate([&](std::optional<std::string> e) {
        answered = true;
        activatedWhenAnswered.set_value(e ? std::nullopt : store->getBool(SettingsKey::cameraActivated));
    });
    ASSERT_TRUE(test::eventually([&] { return held->count() == 2; }));

    held->finish(0);
    heldBridge->stats();  // after the removal's finish
    EXPECT_EQ(store->getBool(SettingsKey::cameraActivated), false);
    EXPECT_FALSE(answered.load()) << "the installation was answered by the removal's outcome";
    held->finish(1);
    EXPECT_EQ(activatedWhenAnswered.get_future().get(), std::optional<bool>(true));
    EXPECT_EQ(removalAnswers.load(), 0);
    heldBridge->shutdown();
}

TEST_F(CameraBridgeTest, ActivateIfNeededAtLaunch) {
    camera->present = false;
    bridge->activateIfNeeded();
    bridge->stats();  // after the queued work
    EXPECT_TRUE(camera->requests().empty());
    camera->present = true;  // installed by an earlier copy
    bridge->activateIfNeeded();
    ASSERT_TRUE(test::eventually([&] { return logs.contains("Camera extension installed"); }));
    EXPECT_EQ(store->getBool(SettingsKey::cameraActivated), true);
    camera->present = false;
    bridge->activateIfNeeded();  // activated before: asked again
    ASSERT_TRUE(test::eventually([&] { return camera->requests().size() == 2; }));
}

}  // namespace
}  // namespace tarvello
