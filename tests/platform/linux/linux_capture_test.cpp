#include "platform/linux/linux_capture.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <mutex>

#include "base/time_pattern.h"
#include "dispatch/clock.h"
#include "video/capture.h"
#include "x_test_support.h"

namespace tarvello::test {
namespace {

// The display is drawn at the phone's 1178 × 2556 (text scale 2.5) and captured as it is.
constexpr int kOutW = 1178, kOutH = 2556;

class XCaptureTest : public XDisplayTest {
protected:
    void SetUp() override {
        id = makeDisplay(kOutW, kOutH, 2.5);
        ASSERT_NE(id, 0u);
        capture = Capture::create(std::make_shared<LinuxCapture>(facility));
        capture->onFrame = [this](VideoFramePtr f) {
            std::lock_guard lock(mutex);
            times.push_back(f->presentationTime);
            if (keepFrames) held.push_back(f);
            last = std::move(f);
            cv.notify_all();
        };
        x = connect();
        ASSERT_TRUE(x);
    }
    void TearDown() override {
        capture->shutdown();
        x.reset();
        XDisplayTest::TearDown();
    }

    std::string start(int fps = 30, bool cursor = false) {
        std::promise<std::string> done;
        capture->start({id, kOutW, kOutH, fps, cursor}, [&](const std::string& e) { done.set_value(e); });
        return done.get_future().get();
    }
    size_t count() {
        std::lock_guard lock(mutex);
        return times.size();
    }
    bool waitForFrames(size_t n, double timeout = 10) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, std::chrono::duration<double>(timeout), [&] { return times.size() >= n; });
    }
    // Waits (bounded) for a frame that satisfies `test`.
    bool waitForFrame(const std::function<bool(const VideoFrame&)>& test, double timeout = 10) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, std::chrono::duration<double>(timeout), [&] { return last && test(*last); });
    }
    VideoFramePtr lastFrame() {
        std::lock_guard lock(mutex);
        return last;
    }

    uint32_t id = 0;
    std::shared_ptr<Capture> capture;
    std::unique_ptr<XConnection> x;
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<double> times;
    std::vector<VideoFramePtr> held;
    VideoFramePtr last;
    bool keepFrames = false;
};

struct YCbCr {
    int y, cb, cr;
};

YCbCr sample(const VideoFrame& f, int ox, int oy) {
    const size_t c = size_t(oy / 2) * size_t(f.strideUV) + size_t(ox / 2) * 2;
    return {f.y[size_t(oy) * size_t(f.strideY) + size_t(ox)], f.uv[c], f.uv[c + 1]};
}

TEST_F(XCaptureTest, AFrameOnlyWhenSomethingChanged) {
    ASSERT_EQ(start(), "");
    EXPECT_TRUE(logs.contains("Capture started on display " + std::to_string(id) + " (1178×2556 @30)"));
    // The screen as it is, once.
    ASSERT_TRUE(waitForFrames(1));
    auto first = lastFrame();
    EXPECT_EQ(first->width, kOutW);
    EXPECT_EQ(first->height, kOutH);
    EXPECT_EQ(sample(*first, 100, 100).y, 16);

    // Still screen: several frame intervals pass without a frame.
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(count(), 1u);

    fillRect(x->get(), 0xFFFFFF, 50, 50, 100, 100);
    ASSERT_TRUE(waitForFrames(2));
    EXPECT_EQ(sample(*lastFrame(), 100, 100).y, 235);
}

TEST_F(XCaptureTest, EveryScreenPixelIsOneFramePixel) {
    ASSERT_EQ(start(), "");
    ASSERT_TRUE(waitForFrames(1));
    // One-pixel stripes survive only a copy: any scaling would blend neighbours.
    for (int col = 0; col < 64; col += 2) fillRect(x->get(), 0xFFFFFF, 300 + col, 400, 1, 32);
    fillRect(x->get(), 0xFFFFFF, kOutW - 1, kOutH - 1, 1, 1);
    // The corner is drawn last: a frame that shows it shows every stripe, not a grab taken
    // while they were still being drawn.
    ASSERT_TRUE(waitForFrame([](const VideoFrame& f) { return sample(f, kOutW - 1, kOutH - 1).y == 235; }));
    const auto f = lastFrame();
    ASSERT_EQ(f->width, kOutW);
    ASSERT_EQ(f->height, kOutH);
    for (int col = 0; col < 64; ++col) {
        EXPECT_EQ(sample(*f, 300 + col, 410).y, col % 2 == 0 ? 235 : 16) << col;
    }
    EXPECT_EQ(sample(*f, 299, 410).y, 16);
    EXPECT_EQ(sample(*f, kOutW - 1, kOutH - 1).y, 235);
    EXPECT_EQ(sample(*f, kOutW - 2, kOutH - 1).y, 16);
}

TEST_F(XCaptureTest, PureColoursComeOutInVideoRange) {
    ASSERT_EQ(start(), "");
    ASSERT_TRUE(waitForFrames(1));
    struct Case {
        unsigned long rgb;
        int x, y;
        YCbCr expected;  // BT.601, video range
    };
    const Case cases[] = {{0xFF0000, 40, 40, {81, 90, 240}},
                          {0x00FF00, 300, 40, {145, 54, 34}},
                          {0x0000FF, 40, 300, {41, 240, 110}},
                          {0xFFFFFF, 300, 300, {235, 128, 128}},
                          {0x808080, 560, 40, {126, 128, 128}}};
    for (const auto& c : cases) fillRect(x->get(), c.rgb, c.x, c.y, 200, 200);
    ASSERT_TRUE(waitForFrame([&](const VideoFrame& f) {
        for (const auto& c : cases) {
            if (std::abs(sample(f, c.x + 100, c.y + 100).y - c.expected.y) > 2) return false;
        }
        return true;
    }));
    const auto f = lastFrame();
    for (const auto& c : cases) {
        const auto got = sample(*f, c.x + 100, c.y + 100);
        EXPECT_NEAR(got.y, c.expected.y, 2) << std::hex << c.rgb;
        EXPECT_NEAR(got.cb, c.expected.cb, 2) << std::hex << c.rgb;
        EXPECT_NEAR(got.cr, c.expected.cr, 2) << std::hex << c.rgb;
    }
}

TEST_F(XCaptureTest, RepeatedFramesAreOneMillisecondApart) {
    ASSERT_EQ(start(), "");
    ASSERT_TRUE(waitForFrames(1));
    const double t = lastFrame()->presentationTime;
    for (int i = 0; i < 3; ++i) capture->repeatLastFrame();
    ASSERT_TRUE(waitForFrames(4));
    std::lock_guard lock(mutex);
    for (int i = 1; i <= 3; ++i) EXPECT_NEAR(times[size_t(i)], t + 0.001 * i, 1e-9);
}

TEST_F(XCaptureTest, NeverMoreThanThreeFramesHeldDownstream) {
    keepFrames = true;
    ASSERT_EQ(start(60), "");
    for (int i = 0; i < 40; ++i) {
        fillRect(x->get(), (i % 2) ? 0xFF0000 : 0x0000FF, 0, 0, 300, 300);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    capture->queue().sync([] {});
    EXPECT_EQ(count(), 3u);

    // Letting go lets the next change through.
    {
        std::lock_guard lock(mutex);
        keepFrames = false;
        held.clear();
        last.reset();
    }
    fillRect(x->get(), 0x00FF00, 0, 0, 300, 300);
    EXPECT_TRUE(waitForFrames(4));
}

TEST_F(XCaptureTest, FramesAreAtLeastOneIntervalApart) {
    ASSERT_EQ(start(10), "");
    for (int i = 0; i < 30; ++i) {
        fillRect(x->get(), (i % 2) ? 0xFF0000 : 0x0000FF, 0, 0, 300, 300);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(waitForFrames(3));
    std::lock_guard lock(mutex);
    for (size_t i = 1; i < times.size(); ++i) EXPECT_GE(times[i] - times[i - 1], 0.1 - 1e-3) << i;
}

TEST_F(XCaptureTest, TheCursorIsDrawnOnlyWhenAskedAndFollowsThePointer) {
    // The server's root cursor sits at the pointer: no client draws it into the screen.
    XWarpPointer(x->get(), None, DefaultRootWindow(x->get()), 0, 0, 0, 0, 200, 200);
    XSync(x->get(), False);
    auto brightest = [](const VideoFrame& f, int bx, int by) {
        int best = 0;
        for (int dy = -12; dy <= 12; ++dy) {
            for (int dx = -12; dx <= 12; ++dx) best = std::max(best, sample(f, bx + dx, by + dy).y);
        }
        return best;
    };

    ASSERT_EQ(start(30, false), "");
    ASSERT_TRUE(waitForFrames(1));
    EXPECT_EQ(brightest(*lastFrame(), 200, 200), 16);

    ASSERT_EQ(start(30, true), "");
    ASSERT_TRUE(waitForFrame([&](const VideoFrame& f) { return brightest(f, 200, 200) > 100; }));

    // Moving the pointer damages nothing, yet a frame shows the cursor at its new place.
    XWarpPointer(x->get(), None, DefaultRootWindow(x->get()), 0, 0, 0, 0, 500, 600);
    XSync(x->get(), False);
    EXPECT_TRUE(waitForFrame(
        [&](const VideoFrame& f) { return brightest(f, 500, 600) > 100 && brightest(f, 200, 200) == 16; }));
}

TEST_F(XCaptureTest, AServerGoneUnderTheStreamOnlyStopsIt) {
    ASSERT_EQ(start(), "");
    ASSERT_TRUE(waitForFrames(1));
    const std::string name = connectionName();
    x.reset();
    ASSERT_EQ(kill(facility->serverProcess(id), SIGTERM), 0);
    EXPECT_TRUE(logs.waitFor("Capture stopped: Lost the connection to display " + name));
    std::promise<std::string> stopped;
    capture->stop([&](const std::string& e) { stopped.set_value(e); });
    EXPECT_EQ(stopped.get_future().get(), "");
}

// The probe draws the time; what comes out of capture reads back as a time between the
// moment capture started and the moment the frame arrived.
class XTimeProbeTest : public XCaptureTest {
protected:
    void SetUp() override {
        sessionCommand = std::string(TARVELLO_SERVER_PATH) + " --time-probe";
        XCaptureTest::SetUp();
    }
};

TEST_F(XTimeProbeTest, CapturedFramesCarryTheProbeTime) {
    const SystemClock clock;
    const uint32_t before = uptimeMs32(clock);
    ASSERT_EQ(start(60), "");
    std::optional<uint32_t> seen;
    EXPECT_TRUE(waitForFrame([&](const VideoFrame& f) {
        seen = readTimePattern(f.y.data(), f.strideY, f.width, f.height);
        return seen && *seen > before;
    }));
    const uint32_t after = uptimeMs32(clock);
    ASSERT_TRUE(seen);
    EXPECT_GT(*seen, before);
    EXPECT_LE(*seen, after);
}

TEST_F(XCaptureTest, ADisplayThatIsGoneIsNotFound) {
    display->teardown();
    Capture::Options fast;
    fast.lookupInterval = 0.001;
    auto quick = Capture::create(std::make_shared<LinuxCapture>(facility), fast);
    std::promise<std::string> done;
    quick->start({id, 640, 480, 30, false}, [&](const std::string& e) { done.set_value(e); });
    EXPECT_EQ(done.get_future().get(), "Display " + std::to_string(id) + " not found for capture");
    quick->shutdown();
}

}  // namespace
}  // namespace tarvello::test
