#include "video/cursor_watcher.h"

#include <gtest/gtest.h>
#include <png.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/sim/sim_platform.h"

namespace tarvello::test {
namespace {

struct Handed {
    Bytes png;
    float hotX, hotY, width, height;
};

CursorImage arrow(int w = 16, int h = 24, int hotX = 2, int hotY = 3, double scale = 1.0,
                  uint8_t shade = 200) {
    CursorImage c;
    c.width = w;
    c.height = h;
    c.hotX = hotX;
    c.hotY = hotY;
    c.scale = scale;
    c.rgba.assign(size_t(w) * size_t(h) * 4, shade);
    return c;
}

// The watcher on a queue of the test's own, with a PNG encoder that returns a file of a
// chosen size (0: libpng's real one).
class CursorWatcherTest : public ::testing::Test {
protected:
    void SetUp() override { make(); }

    void TearDown() override {
        if (watcher) watcher->stop();
        queue.sync([] {});
        watcher.reset();
    }

    void make(bool realPng = false) {
        CursorWatcher::Encoder encoder;
        if (!realPng) {
            encoder = [this](int, int, std::span<const uint8_t>) {
                encodes++;
                return Bytes(pngSize.load(), 0x89);
            };
        }
        watcher = CursorWatcher::create(cursor, encoder, &queue);
        watcher->onCursor = [this](Bytes png, float hx, float hy, float w, float h) {
            std::lock_guard lock(mutex);
            handed.push_back({std::move(png), hx, hy, w, h});
        };
    }

    // Waits until `n` more polls have run on the queue.
    void waitPolls(int n) {
        const int target = cursor->reads.load() + n;
        for (int i = 0; i < 2000 && cursor->reads.load() < target; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ASSERT_GE(cursor->reads.load(), target);
        queue.sync([] {});
    }

    size_t calls() {
        std::lock_guard lock(mutex);
        return handed.size();
    }

    Handed last() {
        std::lock_guard lock(mutex);
        return handed.back();
    }

    SerialQueue queue{"test.cursor"};
    std::shared_ptr<SimCursor> cursor = std::make_shared<SimCursor>();
    std::atomic<size_t> pngSize{1000};
    std::atomic<int> encodes{0};
    std::mutex mutex;
    std::vector<Handed> handed;
    std::shared_ptr<CursorWatcher> watcher;
};

TEST_F(CursorWatcherTest, SteadyCursorIsHandedOutOncePerStartOrReset) {
    cursor->set(arrow());
    watcher->start();
    watcher->reset();  // what the server does at every session start
    waitPolls(4);
    EXPECT_EQ(calls(), 1u);

    watcher->reset();
    waitPolls(3);
    EXPECT_EQ(calls(), 2u);

    // Starting a running watcher keeps its memory.
    watcher->start();
    waitPolls(3);
    EXPECT_EQ(calls(), 2u);

    // Stopped, nothing is polled; started again, the cursor goes out again.
    watcher->stop();
    queue.sync([] {});
    const int reads = cursor->reads.load();
    watcher->reset();
    queue.sync([] {});
    EXPECT_EQ(cursor->reads.load(), reads);
    watcher->start();
    waitPolls(3);
    EXPECT_EQ(calls(), 3u);
}

TEST_F(CursorWatcherTest, HotSpotOrPictureChangeCountsAndSizesAreInPoints) {
    cursor->set(arrow(32, 48, 4, 6, 2.0));
    watcher->start();
    waitPolls(2);
    ASSERT_EQ(calls(), 1u);
    auto h = last();
    EXPECT_FLOAT_EQ(h.hotX, 2.0f);
    EXPECT_FLOAT_EQ(h.hotY, 3.0f);
    EXPECT_FLOAT_EQ(h.width, 16.0f);
    EXPECT_FLOAT_EQ(h.height, 24.0f);

    // Same picture, another hot spot.
    cursor->set(arrow(32, 48, 5, 6, 2.0));
    waitPolls(2);
    ASSERT_EQ(calls(), 2u);
    EXPECT_FLOAT_EQ(last().hotX, 2.5f);

    // Same hot spot, another picture; then the same bytes at another shape.
    cursor->set(arrow(32, 48, 5, 6, 2.0, 10));
    waitPolls(2);
    EXPECT_EQ(calls(), 3u);
    auto reshaped = arrow(48, 32, 5, 6, 2.0, 10);
    cursor->set(reshaped);
    waitPolls(2);
    EXPECT_EQ(calls(), 4u);
    EXPECT_FLOAT_EQ(last().width, 24.0f);
    waitPolls(2);
    EXPECT_EQ(calls(), 4u);
}

TEST_F(CursorWatcherTest, PngOf59999BytesGoesOutAnd60000DoesNot) {
    pngSize = 59'999;
    cursor->set(arrow());
    watcher->start();
    waitPolls(2);
    ASSERT_EQ(calls(), 1u);
    EXPECT_EQ(last().png.size(), 59'999u);

    pngSize = 60'000;
    cursor->set(arrow(16, 24, 1, 1));
    waitPolls(2);
    EXPECT_EQ(calls(), 1u);
    // Not retried while it stays the same: one encoding only.
    const int encoded = encodes.load();
    waitPolls(3);
    EXPECT_EQ(encodes.load(), encoded);

    // reset() tries it again; now it fits.
    pngSize = 59'999;
    watcher->reset();
    waitPolls(2);
    EXPECT_EQ(calls(), 2u);
}

TEST_F(CursorWatcherTest, MissingOrMalformedPicturesAreSkipped) {
    watcher->start();
    waitPolls(2);  // no cursor at all
    auto shortPixels = arrow();
    shortPixels.rgba.resize(shortPixels.rgba.size() - 1);
    cursor->set(shortPixels);
    waitPolls(2);
    cursor->set(arrow(0, 24));
    waitPolls(2);
    auto noScale = arrow();
    noScale.scale = 0;
    cursor->set(noScale);
    waitPolls(2);
    EXPECT_EQ(encodes.load(), 0);
    EXPECT_EQ(calls(), 0u);

    pngSize = 0;  // the encoder fails: nothing handed out, not retried
    cursor->set(arrow());
    waitPolls(3);
    EXPECT_EQ(encodes.load(), 1);
    EXPECT_EQ(calls(), 0u);
}

TEST_F(CursorWatcherTest, RealPngCarriesThePicture) {
    watcher.reset();
    make(true);
    CursorImage c = arrow(5, 3, 1, 1);
    for (size_t i = 0; i < c.rgba.size(); ++i) c.rgba[i] = uint8_t(i * 7);
    cursor->set(c);
    watcher->start();
    waitPolls(2);
    ASSERT_EQ(calls(), 1u);
    const Bytes png = last().png;

    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_memory(&image, png.data(), png.size()));
    image.format = PNG_FORMAT_RGBA;
    Bytes pixels(PNG_IMAGE_SIZE(image));
    ASSERT_TRUE(png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr));
    EXPECT_EQ(image.width, 5u);
    EXPECT_EQ(image.height, 3u);
    EXPECT_EQ(pixels, c.rgba);
}

}  // namespace
}  // namespace tarvello::test
