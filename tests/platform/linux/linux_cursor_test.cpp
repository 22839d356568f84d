// gtest first: Xlib's macros (None, Bool) break its templates.
#include <gtest/gtest.h>
// clang-format off
#include <X11/Xlib.h>
// clang-format on
#include <png.h>

#include <cstring>

#include "platform/linux/linux_capture.h"
#include "platform/linux/linux_cursor.h"
#include "platform/linux/linux_display.h"
#include "platform/linux/x11.h"
#include "support/server_fixture.h"

namespace tarvello::test {
namespace {

// ---- Pixel conversion ----

TEST(CursorPixels, PremultipliedArgbBecomesStraightRgba) {
    const unsigned long argb[] = {
        0xFF102030ul,                   // opaque: unchanged
        0x80400000ul,                   // half-covered dark red: colour restored
        0x00FFFFFFul,                   // transparent: colour dropped
        0x01010101ul,                   // barely there: full colour
        0xAB00000000ul | 0xFFFFFFFFul,  // bits above the low 32 ignored
    };
    const auto rgba = straightRgbaFromArgb(argb, 5);
    EXPECT_EQ(rgba, (std::vector<uint8_t>{0x10, 0x20, 0x30, 0xFF,  //
                                          0x80, 0x00, 0x00, 0x80,  //
                                          0x00, 0x00, 0x00, 0x00,  //
                                          0xFF, 0xFF, 0xFF, 0x01,  //
                                          0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(LinuxCursor, NothingWithoutADisplay) {
    LinuxCursor cursor(std::make_shared<LinuxDisplay>());
    EXPECT_FALSE(cursor.current());
}

// ---- Against a real session display ----

struct Decoded {
    int width = 0, height = 0;
    Bytes rgba;
};

std::optional<Decoded> decodePng(const Bytes& png) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, png.data(), png.size())) return std::nullopt;
    image.format = PNG_FORMAT_RGBA;
    Decoded d;
    d.width = int(image.width);
    d.height = int(image.height);
    d.rgba.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, d.rgba.data(), 0, nullptr)) return std::nullopt;
    return d;
}

// A server whose displays are private Xvfb servers, captured for real, with the XFixes
// cursor; everything else is the stand-ins.
class XCursorServerTest : public ServerTest {
protected:
    void startLinuxServer() {
        LinuxDisplay::Options o;
        o.sessionCommand = [] { return std::optional<std::string>(std::string()); };  // no session
        displays = std::make_shared<LinuxDisplay>(o);
        platform = makeSimPlatform(sim);
        platform.display = displays;
        platform.capture = std::make_shared<LinuxCapture>(displays);
        platform.cursor = std::make_shared<LinuxCursor>(displays);
        server = Server::create(platform, options);
        ASSERT_TRUE(server->start());
    }

    void TearDown() override {
        ServerTest::TearDown();
        displays.reset();
    }

    std::shared_ptr<LinuxDisplay> displays;
};

TEST_F(XCursorServerTest, CursorDefinedOnAWindowArrivesAsCursorImage) {
    startLinuxServer();
    auto p = acceptedPhone(320, 240);
    const std::string name = displays->connection(displays->mainDisplay());
    ASSERT_FALSE(name.empty());

    std::string error;
    auto x = XConnection::open(name, error);
    ASSERT_TRUE(x) << error;
    Display* d = x->get();
    const Window root = DefaultRootWindow(d);
    const Window win = XCreateSimpleWindow(d, root, 0, 0, 200, 150, 0, 0, 0);

    // 16 × 16: left half foreground, right half background, bottom row transparent;
    // hot spot (3, 5).
    constexpr int kSide = 16, kHotX = 3, kHotY = 5;
    constexpr float kScale = 2.5f;
    unsigned char source[kSide * kSide / 8], mask[kSide * kSide / 8];
    for (int row = 0; row < kSide; ++row) {
        source[row * 2] = 0xFF;  // bits are least significant first: columns 0 to 7
        source[row * 2 + 1] = 0x00;
        mask[row * 2] = mask[row * 2 + 1] = row == kSide - 1 ? 0x00 : 0xFF;
    }
    const Pixmap sourceMap = XCreateBitmapFromData(d, win, reinterpret_cast<char*>(source), kSide, kSide);
    const Pixmap maskMap = XCreateBitmapFromData(d, win, reinterpret_cast<char*>(mask), kSide, kSide);
    XColor red{}, blue{};
    red.red = 0xFFFF;
    blue.blue = 0xFFFF;
    const Cursor cursor = XCreatePixmapCursor(d, sourceMap, maskMap, &red, &blue, kHotX, kHotY);
    XDefineCursor(d, win, cursor);
    XMapRaised(d, win);
    XWarpPointer(d, None, win, 0, 0, 0, 0, 50, 40);
    XSync(d, False);

    // The root's cursor goes out first; the window's follows once the watcher sees it.
    std::optional<CursorImageMsg> found;
    for (int i = 0; i < 20 && !found; ++i) {
        auto f = p->waitFor(MsgType::cursorImage);
        if (!f) break;
        auto msg = decodeCursorImage(f->payload);
        if (msg.hotX == kHotX / kScale && msg.hotY == kHotY / kScale) found = msg;
    }
    ASSERT_TRUE(found) << "no cursorImage with the window's hot spot";
    // The display is drawn at the phone's pixels, 2.5 to a point (the default text
    // size): the picture is in pixels, the sizes in points.
    EXPECT_FLOAT_EQ(found->width, kSide / kScale);
    EXPECT_FLOAT_EQ(found->height, kSide / kScale);
    auto png = decodePng(found->png);
    ASSERT_TRUE(png);
    EXPECT_EQ(png->width, kSide);
    EXPECT_EQ(png->height, kSide);
    auto pixel = [&](int px, int py) {
        const size_t i = (size_t(py) * size_t(png->width) + size_t(px)) * 4;
        return std::vector<uint8_t>(png->rgba.begin() + std::ptrdiff_t(i),
                                    png->rgba.begin() + std::ptrdiff_t(i + 4));
    };
    EXPECT_EQ(pixel(0, 0), (std::vector<uint8_t>{0xFF, 0x00, 0x00, 0xFF}));
    EXPECT_EQ(pixel(15, 0), (std::vector<uint8_t>{0x00, 0x00, 0xFF, 0xFF}));
    EXPECT_EQ(pixel(0, 15)[3], 0x00);

    XFreeCursor(d, cursor);
    XFreePixmap(d, sourceMap);
    XFreePixmap(d, maskMap);
    XDestroyWindow(d, win);
    XSync(d, False);
}

}  // namespace
}  // namespace tarvello::test
