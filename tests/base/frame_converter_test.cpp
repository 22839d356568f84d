#include "base/frame_converter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

namespace tarvello::test {
namespace {

struct Rgb {
    int r, g, b;
};

// BT.601 video range, from the standard's formulas.
struct Ycc {
    int y, cb, cr;
    static Ycc of(Rgb c) {
        return {int(std::lround(16 + (65.481 * c.r + 128.553 * c.g + 24.966 * c.b) / 255)),
                int(std::lround(128 + (-37.797 * c.r - 74.203 * c.g + 112.0 * c.b) / 255)),
                int(std::lround(128 + (112.0 * c.r - 93.786 * c.g - 18.214 * c.b) / 255))};
    }
};

// A screen image whose pixel (x, y) has the colour paint(x, y), in `layout`'s byte order.
template <class Paint>
std::vector<uint8_t> screen(int w, int h, RgbLayout layout, Paint paint) {
    std::vector<uint8_t> img(size_t(w) * 4 * size_t(h));
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const Rgb c = paint(x, y);
            uint8_t* p = &img[(size_t(y) * size_t(w) + size_t(x)) * 4];
            if (layout == RgbLayout::bgrx) {
                p[0] = uint8_t(c.b), p[1] = uint8_t(c.g), p[2] = uint8_t(c.r), p[3] = 0xEE;
            } else {
                p[0] = 0xEE, p[1] = uint8_t(c.r), p[2] = uint8_t(c.g), p[3] = uint8_t(c.b);
            }
        }
    }
    return img;
}

// A frame laid out as capture's pool lays it out: aligned strides, padded planes.
VideoFrame paddedFrame(int w, int h) {
    VideoFrame f;
    f.width = w;
    f.height = h;
    f.strideY = f.strideUV = (w + 63) / 64 * 64;
    f.y.assign(size_t(f.strideY) * size_t(h) + 64, 0);
    f.uv.assign(size_t(f.strideUV) * size_t(h / 2) + 64, 0);
    return f;
}

Ycc at(const VideoFrame& f, int x, int y) {
    const uint8_t* uv = &f.uv[size_t(y / 2) * size_t(f.strideUV) + size_t(x / 2) * 2];
    return {f.y[size_t(y) * size_t(f.strideY) + size_t(x)], uv[0], uv[1]};
}

void expectColour(const VideoFrame& f, int x, int y, Rgb c) {
    const Ycc want = Ycc::of(c), got = at(f, x, y);
    EXPECT_NEAR(got.y, want.y, 2) << "Y at " << x << "," << y;
    EXPECT_NEAR(got.cb, want.cb, 2) << "Cb at " << x << "," << y;
    EXPECT_NEAR(got.cr, want.cr, 2) << "Cr at " << x << "," << y;
}

struct Geometry {
    const char* name;
    int srcW, srcH, outW, outH;
    RgbLayout layout;
};

class FrameConverterGeometry : public ::testing::TestWithParam<Geometry> {};

TEST_P(FrameConverterGeometry, PureColoursComeOutAsVideoRangeBt601) {
    const Geometry g = GetParam();
    auto converter = FrameConverter::create(g.srcW, g.srcH, g.layout, g.outW, g.outH);
    ASSERT_TRUE(converter);
    for (Rgb c : {Rgb{255, 0, 0}, Rgb{0, 255, 0}, Rgb{0, 0, 255}, Rgb{255, 255, 255}, Rgb{0, 0, 0},
                  Rgb{128, 64, 200}}) {
        const auto img = screen(g.srcW, g.srcH, g.layout, [c](int, int) { return c; });
        VideoFrame f = paddedFrame(g.outW, g.outH);
        ASSERT_TRUE(converter->convert(img.data(), g.srcW * 4, f));
        for (auto [x, y] : {std::pair{0, 0}, {g.outW - 1, g.outH - 1}, {g.outW / 2, g.outH / 3}})
            expectColour(f, x, y, c);
    }
}

TEST_P(FrameConverterGeometry, KeepsLeftRightAndTopBottom) {
    const Geometry g = GetParam();
    auto converter = FrameConverter::create(g.srcW, g.srcH, g.layout, g.outW, g.outH);
    ASSERT_TRUE(converter);
    const Rgb red{255, 0, 0}, blue{0, 0, 255}, green{0, 255, 0}, white{255, 255, 255};
    // Quadrants: red, blue on top; green, white below.
    const auto img = screen(g.srcW, g.srcH, g.layout, [&](int x, int y) {
        if (y < g.srcH / 2) return x < g.srcW / 2 ? red : blue;
        return x < g.srcW / 2 ? green : white;
    });
    VideoFrame f = paddedFrame(g.outW, g.outH);
    ASSERT_TRUE(converter->convert(img.data(), g.srcW * 4, f));
    // Sample the middle of each quadrant, away from the blurred seams.
    expectColour(f, g.outW / 4, g.outH / 4, red);
    expectColour(f, g.outW * 3 / 4, g.outH / 4, blue);
    expectColour(f, g.outW / 4, g.outH * 3 / 4, green);
    expectColour(f, g.outW * 3 / 4, g.outH * 3 / 4, white);
}

INSTANTIATE_TEST_SUITE_P(Sizes, FrameConverterGeometry,
                         ::testing::Values(Geometry{"same", 64, 48, 64, 48, RgbLayout::bgrx},
                                           Geometry{"up", 94, 204, 118, 256,
                                                    RgbLayout::bgrx},  // the scale-2.5 ratio
                                           Geometry{"down", 160, 120, 80, 60, RgbLayout::bgrx},
                                           Geometry{"oddScreen", 95, 75, 64, 48, RgbLayout::bgrx},
                                           Geometry{"bigEndianSame", 64, 48, 64, 48, RgbLayout::xrgb},
                                           Geometry{"bigEndianUp", 94, 204, 118, 256, RgbLayout::xrgb}),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(FrameConverter, RefusesWhatItCannotWrite) {
    EXPECT_FALSE(FrameConverter::create(1, 10, RgbLayout::bgrx, 10, 10));
    EXPECT_FALSE(FrameConverter::create(10, 10, RgbLayout::bgrx, 11, 10));
    EXPECT_FALSE(FrameConverter::create(10, 10, RgbLayout::bgrx, 10, 0));

    auto converter = FrameConverter::create(32, 32, RgbLayout::bgrx, 64, 64);
    ASSERT_TRUE(converter);
    const auto img = screen(32, 32, RgbLayout::bgrx, [](int, int) { return Rgb{1, 2, 3}; });
    VideoFrame wrongSize = paddedFrame(32, 32);
    EXPECT_FALSE(converter->convert(img.data(), 32 * 4, wrongSize));
    VideoFrame unpadded = *VideoFrame::make(64, 64);
    EXPECT_FALSE(converter->convert(img.data(), 32 * 4, unpadded));
    VideoFrame right = paddedFrame(64, 64);
    EXPECT_FALSE(converter->convert(img.data(), 31 * 4, right));
    EXPECT_FALSE(converter->convert(nullptr, 32 * 4, right));
    EXPECT_TRUE(converter->convert(img.data(), 32 * 4, right));
}

}  // namespace
}  // namespace tarvello::test
