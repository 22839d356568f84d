#include <gtest/gtest.h>

#include "camera_test_support.h"
#include "video/decoder.h"
#include "video/nal.h"

namespace tarvello {
namespace {

constexpr Decoder::Limits kCameraLimits{4096, 2304};

std::optional<PictureSize> spsSizeOf(const Bytes& frame) {
    for (ByteSpan nal : splitLengthPrefixed(frame)) {
        if (nalUnitType(VideoCodec::hevc, nal) == 33) return hevcSpsPictureSize(nal);
    }
    return std::nullopt;
}

TEST(HevcSps, PictureSizeIsReadAsTheEncoderWroteIt) {
    for (auto [w, h] : {std::pair{320, 240}, std::pair{64, 72}, std::pair{4104, 16}}) {
        const auto frames = test::encodeKnownPicture(w, h, 1);
        ASSERT_EQ(frames.size(), 1u) << w << "x" << h;
        const auto size = spsSizeOf(frames[0]);
        ASSERT_TRUE(size) << w << "x" << h;
        // The coded size is the picture's rounded up to whole coding blocks (of up to 16).
        EXPECT_GE(size->width, uint32_t(w)) << w << "x" << h;
        EXPECT_LT(size->width, uint32_t(w + 16)) << w << "x" << h;
        EXPECT_GE(size->height, uint32_t(h)) << w << "x" << h;
        EXPECT_LT(size->height, uint32_t(h + 16)) << w << "x" << h;
        EXPECT_EQ(size->width % 8, 0u);
        EXPECT_EQ(size->height % 8, 0u);
    }
}

TEST(HevcSps, TruncatedOrForeignUnitsNameNoSize) {
    const auto frames = test::encodeKnownPicture(320, 240, 1);
    ASSERT_EQ(frames.size(), 1u);
    for (ByteSpan nal : splitLengthPrefixed(frames[0])) {
        if (nalUnitType(VideoCodec::hevc, nal) == 33) {
            // Cut before the size fields: every shorter prefix is refused, none read past its end.
            for (size_t n = 0; n < 8; ++n) EXPECT_FALSE(hevcSpsPictureSize(nal.first(n))) << n;
        } else {
            EXPECT_FALSE(hevcSpsPictureSize(nal));
        }
    }
}

TEST(CameraDecoderBounds, PicturesWiderOrTallerThanTheLimitAreRefusedBeforeDecoding) {
    struct Case {
        int width, height;
        bool accepted;
    };
    for (const Case& c :
         {Case{4104, 16, false}, Case{16, 2320, false}, Case{4096, 16, true}, Case{16, 2304, true}}) {
        const auto frames = test::encodeKnownPicture(c.width, c.height, 1);
        ASSERT_EQ(frames.size(), 1u) << c.width << "x" << c.height;
        auto decoder = Decoder::create(VideoCodec::hevc, kCameraLimits);
        ASSERT_TRUE(decoder);
        const auto pictures = decoder->decode(frames[0]);
        if (c.accepted) {
            ASSERT_EQ(pictures.size(), 1u) << c.width << "x" << c.height;
            EXPECT_EQ(pictures[0].width(), c.width);
            EXPECT_EQ(decoder->oversized(), 0u);
        } else {
            EXPECT_TRUE(pictures.empty()) << c.width << "x" << c.height;
            EXPECT_EQ(decoder->oversized(), 1u);
            EXPECT_EQ(decoder->errors(), 1u);
        }
    }
}

TEST(CameraDecoderBounds, DefaultLimitsStillDecodeLargePictures) {
    const auto frames = test::encodeKnownPicture(4104, 16, 1);
    ASSERT_EQ(frames.size(), 1u);
    auto decoder = Decoder::create(VideoCodec::hevc);
    ASSERT_TRUE(decoder);
    EXPECT_EQ(decoder->decode(frames[0]).size(), 1u);
}

}  // namespace
}  // namespace tarvello
