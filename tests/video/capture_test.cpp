#include "video/capture.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <mutex>

#include "platform/sim/sim_platform.h"
#include "support/log_capture.h"

namespace tarvello::test {
namespace {

// Collects what the capture hands out; every wait is bounded.
class FrameSink {
public:
    void operator()(VideoFramePtr frame) {
        std::lock_guard lock(mutex_);
        frames_.push_back(std::move(frame));
        cv_.notify_all();
    }
    bool waitFor(size_t n, double timeout = 10) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::duration<double>(timeout),
                            [&] { return frames_.size() >= n; });
    }
    size_t size() const {
        std::lock_guard lock(mutex_);
        return frames_.size();
    }
    VideoFramePtr at(size_t i) const {
        std::lock_guard lock(mutex_);
        return frames_.at(i);
    }
    VideoFramePtr last() const {
        std::lock_guard lock(mutex_);
        return frames_.back();
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<VideoFramePtr> frames_;
};

class CaptureTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform = makeSimPlatform(sim);
        Capture::Options options;
        options.lookupInterval = 0.002;
        capture = Capture::create(platform.capture, options);
        capture->onFrame = [this](VideoFramePtr f) { sink(std::move(f)); };
    }
    void TearDown() override { capture->shutdown(); }

    std::string start(CaptureConfig config) {
        std::promise<std::string> done;
        capture->start(config, [&](const std::string& e) { done.set_value(e); });
        return done.get_future().get();
    }
    std::string stop() {
        std::promise<std::string> done;
        capture->stop([&](const std::string& e) { done.set_value(e); });
        return done.get_future().get();
    }
    // Everything queued on the capture queue so far has run.
    void flush() {
        capture->queue().sync([] {});
    }

    static CaptureConfig config(uint32_t display = 1) { return {display, 320, 240, 30, false}; }

    SimHandles sim;
    Platform platform;
    std::shared_ptr<Capture> capture;
    FrameSink sink;
    LogCapture logs;
};

// ---- Finding the display ----

TEST_F(CaptureTest, DisplayNeverListedFailsAfterTwentyLookups) {
    EXPECT_EQ(start(config(999)), "Display 999 not found for capture");
    EXPECT_EQ(sim.capture->lookups.load(), 20);
    EXPECT_EQ(sim.capture->starts.load(), 0);
    EXPECT_FALSE(logs.contains("Capture started"));
}

TEST_F(CaptureTest, StartsOnAListedDisplayAtTheRequestedSize) {
    EXPECT_EQ(start(config()), "");
    EXPECT_EQ(sim.capture->lookups.load(), 1);
    EXPECT_TRUE(logs.contains("Capture started on display 1 (320×240 @30)"));
    ASSERT_TRUE(sink.waitFor(2));
    EXPECT_EQ(sink.at(0)->width, 320);
    EXPECT_EQ(sink.at(0)->height, 240);
    EXPECT_LT(sink.at(0)->presentationTime, sink.at(1)->presentationTime);
}

TEST_F(CaptureTest, StopWhileLookingCancelsTheStart) {
    Capture::Options slow;
    slow.lookupInterval = 0.05;
    capture->shutdown();
    capture = Capture::create(platform.capture, slow);
    std::promise<std::string> done;
    capture->start(config(999), [&](const std::string& e) { done.set_value(e); });
    capture->stop();
    EXPECT_EQ(done.get_future().get(), "Capture start cancelled");
    flush();
    EXPECT_LT(sim.capture->lookups.load(), 20);
    EXPECT_EQ(sim.capture->starts.load(), 0);
}

TEST_F(CaptureTest, ASourceThatFailsEndsStartWithItsError) {
    sim.capture->setFailure("no screen");
    EXPECT_EQ(start(config()), "no screen");
    sim.capture->setFailure("");
    EXPECT_EQ(start(config()), "");
    EXPECT_EQ(sim.capture->starts.load(), 2);
}

TEST_F(CaptureTest, ASourceWorthTryingAgainIsTriedUntilItRunsOrTheBudgetIsSpent) {
    // Twice "try again", then it runs: the start succeeds without the caller seeing either.
    sim.capture->failTransiently("server still starting", 2);
    EXPECT_EQ(start(config()), "");
    EXPECT_EQ(sim.capture->starts.load(), 3);
    ASSERT_TRUE(sink.waitFor(1));
    // Never runs: the start fails once the twenty looks are spent, with the source's reason.
    EXPECT_EQ(stop(), "");
    sim.capture->failTransiently("server still starting", 1000);
    EXPECT_EQ(start(config()), "server still starting");
    EXPECT_EQ(sim.capture->starts.load(), 3 + 20);
    // A permanent failure is not tried again.
    sim.capture->failTransiently("", 0);
    sim.capture->setFailure("no DAMAGE extension");
    EXPECT_EQ(start(config()), "no DAMAGE extension");
    EXPECT_EQ(sim.capture->starts.load(), 3 + 20 + 1);
}

// ---- The last frame ----

TEST_F(CaptureTest, RepeatBeforeAnyFrameDoesNothing) {
    sim.capture->still = true;
    EXPECT_EQ(start(config()), "");
    capture->repeatLastFrame();
    flush();
    EXPECT_EQ(sink.size(), 0u);
}

TEST_F(CaptureTest, IdleSamplesAreNotHandedOnNorKept) {
    sim.capture->still = true;
    EXPECT_EQ(start(config()), "");
    // Let the source send idle samples for a few intervals.
    for (int i = 0; i < 5; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        flush();
    }
    capture->repeatLastFrame();
    flush();
    EXPECT_EQ(sink.size(), 0u);
}

TEST_F(CaptureTest, RepeatsAreOneMillisecondApartAndRealFramesNeverGoBack) {
    EXPECT_EQ(start(config()), "");
    ASSERT_TRUE(sink.waitFor(1));
    sim.capture->still = true;
    flush();
    const size_t before = sink.size();
    const double last = sink.last()->presentationTime;
    for (int i = 0; i < 3; ++i) capture->repeatLastFrame();
    ASSERT_TRUE(sink.waitFor(before + 3));
    for (int i = 0; i < 3; ++i) {
        const auto f = sink.at(before + size_t(i));
        EXPECT_NEAR(f->presentationTime, last + 0.001 * (i + 1), 1e-9);
        // The same picture, handed out again.
        EXPECT_EQ(f->y, sink.at(before - 1)->y);
    }

    // Many repeats push the time past the clock; the next real frame still comes after them.
    for (int i = 0; i < 500; ++i) capture->repeatLastFrame();
    ASSERT_TRUE(sink.waitFor(before + 503));
    const double lastRepeat = sink.last()->presentationTime;
    sim.capture->still = false;
    ASSERT_TRUE(sink.waitFor(before + 504));
    EXPECT_GT(sink.at(before + 503)->presentationTime, lastRepeat);
}

TEST_F(CaptureTest, StopForgetsTheLastFrame) {
    EXPECT_EQ(start(config()), "");
    ASSERT_TRUE(sink.waitFor(1));
    EXPECT_EQ(stop(), "");
    const size_t n = sink.size();
    capture->repeatLastFrame();
    flush();
    EXPECT_EQ(sink.size(), n);
}

TEST_F(CaptureTest, AFailedStopKeepsTheLastFrame) {
    EXPECT_EQ(start(config()), "");
    ASSERT_TRUE(sink.waitFor(1));
    sim.capture->setStopFailure("stuck");
    EXPECT_EQ(stop(), "stuck");
    const size_t n = sink.size();
    capture->repeatLastFrame();
    ASSERT_TRUE(sink.waitFor(n + 1));
}

TEST_F(CaptureTest, AStartWhoseStopFailsEndsWithThatError) {
    EXPECT_EQ(start(config()), "");
    sim.capture->setStopFailure("stuck");
    EXPECT_EQ(start(config()), "stuck");
    EXPECT_EQ(sim.capture->starts.load(), 1);
}

TEST_F(CaptureTest, ASecondStartReplacesTheStream) {
    EXPECT_EQ(start(config()), "");
    ASSERT_TRUE(sink.waitFor(1));
    EXPECT_EQ(start({1, 160, 120, 30, false}), "");
    flush();
    const size_t n = sink.size();
    ASSERT_TRUE(sink.waitFor(n + 1));
    EXPECT_EQ(sink.last()->width, 160);
    EXPECT_EQ(logs.count("Capture started on display 1"), 2);
}

TEST_F(CaptureTest, InvalidConfigurationsAreRefused) {
    EXPECT_EQ(start({1, 1, 240, 30, false}), "Invalid capture size 1×240");
    EXPECT_EQ(start({1, 320, 240, 0, false}), "Invalid capture frame rate 0");
    EXPECT_EQ(sim.capture->starts.load(), 0);
}

}  // namespace
}  // namespace tarvello::test
