#include "video/decoder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "video/nal.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

// libx265 leaks a few allocations per encoder it opens; they are not ours to fix.
// LeakSanitizer reads this hook once per test binary.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libx265.so\n";
}

namespace tarvello {
namespace {

// A real encoder from libavcodec, producing one length-prefixed frame per picture.
class TestEncoder {
public:
    TestEncoder(const char* name, int w, int h) : w_(w), h_(h) {
        const AVCodec* codec = avcodec_find_encoder_by_name(name);
        if (!codec) return;
        ctx_ = avcodec_alloc_context3(codec);
        ctx_->width = w;
        ctx_->height = h;
        ctx_->pix_fmt = AV_PIX_FMT_YUV420P;
        ctx_->time_base = AVRational{1, 60};
        ctx_->gop_size = 600;
        ctx_->max_b_frames = 0;
        av_opt_set(ctx_->priv_data, "preset", "ultrafast", 0);
        av_opt_set(ctx_->priv_data, "tune", "zerolatency", 0);
        if (std::string(name) == "libx265") av_opt_set(ctx_->priv_data, "x265-params", "log-level=none", 0);
        if (avcodec_open2(ctx_, codec, nullptr) < 0) avcodec_free_context(&ctx_);
    }
    ~TestEncoder() { avcodec_free_context(&ctx_); }
    bool ok() const { return ctx_ != nullptr; }

    // Left half luma `left`, right half `right`, neutral chroma.
    Bytes encode(uint8_t left, uint8_t right) {
        AVFrame* f = av_frame_alloc();
        f->format = AV_PIX_FMT_YUV420P;
        f->width = w_;
        f->height = h_;
        av_frame_get_buffer(f, 0);
        for (int y = 0; y < h_; ++y)
            for (int x = 0; x < w_; ++x) f->data[0][y * f->linesize[0] + x] = x < w_ / 2 ? left : right;
        for (int p = 1; p < 3; ++p)
            for (int y = 0; y < h_ / 2; ++y)
                std::memset(f->data[p] + y * f->linesize[p], 128, size_t(w_ / 2));
        f->pts = pts_++;
        Bytes out;
        if (avcodec_send_frame(ctx_, f) == 0) {
            AVPacket* pkt = av_packet_alloc();
            while (avcodec_receive_packet(ctx_, pkt) == 0) {
                Bytes part = annexBToLengthPrefixed(ByteSpan(pkt->data, size_t(pkt->size)));
                out.insert(out.end(), part.begin(), part.end());
                av_packet_unref(pkt);
            }
            av_packet_free(&pkt);
        }
        av_frame_free(&f);
        return out;
    }

private:
    int w_, h_;
    int64_t pts_ = 0;
    AVCodecContext* ctx_ = nullptr;
};

struct CodecCase {
    const char* encoder;
    VideoCodec codec;
};

class DecoderTest : public ::testing::TestWithParam<CodecCase> {
protected:
    // The encoders' statistics and the decoder's complaints about garbage are noise here.
    static void SetUpTestSuite() {
        savedLogLevel_ = av_log_get_level();
        av_log_set_level(AV_LOG_QUIET);
    }
    static void TearDownTestSuite() { av_log_set_level(savedLogLevel_); }
    static inline int savedLogLevel_ = 0;
};

TEST_P(DecoderTest, DecodesEachFrameAsItArrivesAndConverts) {
    const int w = 64, h = 48;
    TestEncoder enc(GetParam().encoder, w, h);
    ASSERT_TRUE(enc.ok()) << GetParam().encoder;
    auto dec = Decoder::create(GetParam().codec);
    ASSERT_TRUE(dec);

    for (int i = 0; i < 3; ++i) {
        const Bytes frame = enc.encode(uint8_t(50 + i), 200);
        ASSERT_FALSE(frame.empty());
        auto pictures = dec->decode(frame);
        ASSERT_EQ(pictures.size(), 1u) << "frame " << i;  // no frame of delay
        EXPECT_EQ(pictures[0].width(), w);
        EXPECT_EQ(pictures[0].height(), h);
        EXPECT_EQ(pictures[0].keyframe(), i == 0);
        if (i < 2) continue;

        const Bytes rgb = pictures[0].toRgb24();
        ASSERT_EQ(rgb.size(), size_t(w * h * 3));
        // Video-range luma 52 and 200 expand to about 42 and 214 in full-range RGB.
        const size_t leftPx = (size_t(h / 2) * w + 4) * 3, rightPx = (size_t(h / 2) * w + w - 4) * 3;
        for (int c = 0; c < 3; ++c) {
            EXPECT_NEAR(rgb[leftPx + c], 42, 6);
            EXPECT_NEAR(rgb[rightPx + c], 214, 6);
        }

        const auto luma = pictures[0].luma();
        ASSERT_TRUE(luma);
        ASSERT_GE(luma->stride, w);
        EXPECT_NEAR(luma->data[size_t(h / 2) * size_t(luma->stride) + 4], 52, 4);
        EXPECT_NEAR(luma->data[size_t(h / 2) * size_t(luma->stride) + w - 4], 200, 4);

        auto nv12 = pictures[0].toNv12();
        ASSERT_TRUE(nv12);
        EXPECT_EQ(nv12->width, w);
        EXPECT_EQ(nv12->height, h);
        ASSERT_EQ(nv12->y.size(), size_t(nv12->strideY) * h);
        EXPECT_NEAR(nv12->y[size_t(h / 2) * nv12->strideY + 4], 52, 4);
        EXPECT_NEAR(nv12->y[size_t(h / 2) * nv12->strideY + w - 4], 200, 4);
        EXPECT_NEAR(nv12->uv[size_t(h / 4) * nv12->strideUV + 10], 128, 4);
    }
    EXPECT_EQ(dec->errors(), 0u);
}

TEST_P(DecoderTest, GarbageYieldsNothingAndALaterKeyframeStillDecodes) {
    TestEncoder enc(GetParam().encoder, 64, 48);
    ASSERT_TRUE(enc.ok());
    const Bytes keyframe = enc.encode(80, 160);
    auto dec = Decoder::create(GetParam().codec);
    ASSERT_TRUE(dec);

    std::mt19937 rng(7);
    auto randomBytes = [&](size_t n) {
        Bytes b(n);
        for (auto& v : b) v = uint8_t(rng());
        return b;
    };
    std::vector<Bytes> garbage = {{}, {0, 0, 0}, {0, 0, 0, 9, 1, 2}, randomBytes(3000)};
    for (uint8_t header : {uint8_t(0x65), uint8_t(0x41), uint8_t(0x26), uint8_t(0x02)}) {
        Bytes nal = randomBytes(500);
        nal[0] = header;
        Bytes framed = {0, 0, 0x01, 0xF4};
        framed.insert(framed.end(), nal.begin(), nal.end());
        garbage.push_back(framed);
    }
    Bytes truncatedKey(keyframe.begin(), keyframe.begin() + ptrdiff_t(keyframe.size() / 2));
    garbage.push_back(truncatedKey);
    for (size_t i = 0; i < garbage.size(); ++i) {
        EXPECT_TRUE(dec->decode(garbage[i]).empty()) << "garbage " << i;
    }
    EXPECT_EQ(dec->errors(), garbage.size());

    auto pictures = dec->decode(keyframe);
    ASSERT_EQ(pictures.size(), 1u);
    EXPECT_EQ(pictures[0].width(), 64);
}

TEST_P(DecoderTest, ResetForgetsTheStream) {
    TestEncoder enc(GetParam().encoder, 64, 48);
    ASSERT_TRUE(enc.ok());
    const Bytes first = enc.encode(60, 120);
    const Bytes second = enc.encode(61, 121);
    auto dec = Decoder::create(GetParam().codec);
    ASSERT_TRUE(dec);
    ASSERT_EQ(dec->decode(first).size(), 1u);
    dec->reset();
    EXPECT_TRUE(dec->decode(second).empty());  // its parameter sets and reference are gone
    EXPECT_EQ(dec->decode(first).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Codecs, DecoderTest,
                         ::testing::Values(CodecCase{"libx264", VideoCodec::h264},
                                           CodecCase{"libx265", VideoCodec::hevc}),
                         [](const auto& p) { return p.param.codec == VideoCodec::h264 ? "H264" : "HEVC"; });

TEST(LengthPrefixedToAnnexB, RewritesLengthsAsStartCodes) {
    const Bytes in = {0, 0, 0, 2, 0xAA, 0xBB, 0, 0, 0, 0, 0, 0, 0, 1, 0xCC};
    EXPECT_EQ(*lengthPrefixedToAnnexB(in), (Bytes{0, 0, 0, 1, 0xAA, 0xBB, 0, 0, 0, 1, 0xCC}));
    EXPECT_EQ(*lengthPrefixedToAnnexB({}), Bytes{});
    EXPECT_FALSE(lengthPrefixedToAnnexB(Bytes{0, 0, 0, 2, 0xAA}));        // length past the end
    EXPECT_FALSE(lengthPrefixedToAnnexB(Bytes{0, 0, 0, 1, 0xAA, 0, 0}));  // cut-off prefix
    EXPECT_FALSE(lengthPrefixedToAnnexB(Bytes{0xFF, 0xFF, 0xFF, 0xFF, 1}));
}

}  // namespace
}  // namespace tarvello
