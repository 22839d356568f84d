#include "camera/camera_picture.h"

#include <gtest/gtest.h>

#include "video/nal.h"

namespace tarvello {
namespace {

Bytes nal(uint8_t type, std::initializer_list<uint8_t> body) {
    Bytes b{uint8_t(type << 1), 1};
    b.insert(b.end(), body);
    return b;
}

Bytes prefixed(const std::vector<Bytes>& units) {
    Bytes out;
    for (const auto& u : units) appendLengthPrefixed(out, u);
    return out;
}

TEST(CameraAccessUnit, ParameterSetsAreSeparatedFromPictureData) {
    const Bytes vps = nal(32, {1}), sps = nal(33, {2, 2}), pps = nal(34, {3}), slice = nal(19, {9, 9, 9, 9});
    const AccessUnit au = splitAccessUnit(prefixed({vps, sps, pps, slice}));
    ASSERT_EQ(au.parameterSets.size(), 3u);
    EXPECT_EQ(au.parameterSets[0], vps);
    EXPECT_EQ(au.parameterSets[1], sps);
    EXPECT_EQ(au.parameterSets[2], pps);
    EXPECT_EQ(au.pictureData.size(), 4 + slice.size());
    EXPECT_EQ(au.pictureData, prefixed({slice}));
    EXPECT_TRUE(describesFormat(au.parameterSets));
    EXPECT_FALSE(describesFormat({vps, sps}));
}

TEST(CameraAccessUnit, TruncatedUnitEndsParsingKeepingWhatCameBefore) {
    Bytes data = prefixed({nal(32, {1}), nal(1, {5, 5})});
    data.insert(data.end(), {0, 0, 0, 50, 1, 2});  // claims 50 bytes, has 2
    const AccessUnit au = splitAccessUnit(data);
    EXPECT_EQ(au.parameterSets.size(), 1u);
    EXPECT_EQ(au.pictureData, prefixed({nal(1, {5, 5})}));
    EXPECT_TRUE(splitAccessUnit(Bytes{0, 0}).pictureData.empty());
}

TEST(CameraLetterbox, FitKeepsAspectWithEvenCentredRects) {
    struct Case {
        int w, h;
        Letterboxer::Rect want;
    };
    for (const Case& c : {Case{1920, 1080, {0, 0, 1280, 720}}, Case{1280, 720, {0, 0, 1280, 720}},
                          Case{1080, 1920, {438, 0, 404, 720}}, Case{640, 640, {280, 0, 720, 720}},
                          Case{4000, 1000, {0, 200, 1280, 320}}}) {
        const auto r = Letterboxer::fit(c.w, c.h);
        EXPECT_EQ(r.x, c.want.x) << c.w << "x" << c.h;
        EXPECT_EQ(r.y, c.want.y) << c.w << "x" << c.h;
        EXPECT_EQ(r.width, c.want.width) << c.w << "x" << c.h;
        EXPECT_EQ(r.height, c.want.height) << c.w << "x" << c.h;
    }
}

TEST(CameraLetterbox, PortraitPictureGetsBlackBarsBesideIt) {
    // A portrait 1080 x 1920 picture of bright luma and a distinctive chroma.
    auto src = VideoFrame::make(1080, 1920);
    std::fill(src->y.begin(), src->y.end(), 180);
    for (size_t i = 0; i + 1 < src->uv.size(); i += 2) {
        src->uv[i] = 90;
        src->uv[i + 1] = 200;
    }
    Letterboxer box;
    auto out = box.convert(*src);
    ASSERT_TRUE(out);
    ASSERT_EQ(out->width, 1280);
    ASSERT_EQ(out->height, 720);
    const auto r = Letterboxer::fit(1080, 1920);
    auto y = [&](int x, int row) { return out->y[size_t(row) * size_t(out->strideY) + size_t(x)]; };
    auto cb = [&](int x, int row) {
        return out->uv[size_t(row / 2) * size_t(out->strideUV) + size_t(x & ~1)];
    };
    for (int row : {0, 360, 719}) {
        EXPECT_EQ(y(0, row), 16);
        EXPECT_EQ(y(r.x - 1, row), 16);
        EXPECT_NEAR(y(r.x + 2, row), 180, 2);
        EXPECT_NEAR(y(640, row), 180, 2);
        EXPECT_NEAR(y(r.x + r.width - 3, row), 180, 2);
        EXPECT_EQ(y(r.x + r.width, row), 16);
        EXPECT_EQ(y(1279, row), 16);
        EXPECT_EQ(cb(0, row), 128);
        EXPECT_NEAR(cb(640, row), 90, 2);
    }
}

TEST(CameraLetterbox, WidePictureFillsTheFrameAndPoolFramesAreReused) {
    auto src = VideoFrame::make(1920, 1080);
    std::fill(src->y.begin(), src->y.end(), 100);
    Letterboxer box;
    const VideoFrame* first = nullptr;
    {
        auto out = box.convert(*src);
        ASSERT_TRUE(out);
        first = out.get();
        EXPECT_NEAR(out->y[0], 100, 2);
        EXPECT_NEAR(out->y[size_t(719) * 1280 + 1279], 100, 2);
    }
    auto again = box.convert(*src);
    EXPECT_EQ(again.get(), first);  // nobody held the first one any more
    auto third = box.convert(*src);
    EXPECT_NE(third.get(), again.get());  // `again` is still held
    EXPECT_FALSE(box.convert(VideoFrame{}));
}

}  // namespace
}  // namespace tarvello
