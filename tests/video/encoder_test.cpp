#include "video/encoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/log.h"
#include "base/test_pattern.h"
#include "video/nal.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

namespace tarvello {

void PrintTo(const Encoder::Row& row, std::ostream* os) {
    *os << row.encoderName;
}

namespace {

using enum VideoCodec;

const Encoder::Row x264Row{"libx264", h264, true, false};
const Encoder::Row x265Row{"libx265", hevc, true, false};

struct Output {
    Bytes bytes;
    bool key;
    VideoCodec codec;
    FrameTimes times;
};

// Collects what an encoder hands out; the handler may run on any thread.
struct Recorder {
    std::mutex mutex;
    std::vector<Output> outputs;

    Encoder::Output handler() {
        return [this](Bytes bytes, bool key, VideoCodec codec, FrameTimes times) {
            std::lock_guard lock(mutex);
            outputs.push_back({std::move(bytes), key, codec, times});
        };
    }
    std::vector<Output> take() {
        std::lock_guard lock(mutex);
        return std::exchange(outputs, {});
    }
};

// The log lines written while it lives, without their time prefix.
class LogCapture {
public:
    LogCapture()
        : id_(addLogListener([this](const std::string& line) {
              std::lock_guard lock(mutex_);
              lines_.push_back(line.substr(std::min(line.size(), line.find("  ") + 2)));
          })) {}
    ~LogCapture() { removeLogListener(id_); }
    std::vector<std::string> lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
    const int id_;
};

VideoFramePtr patternFrame(int w, int h, uint64_t index) {
    auto f = VideoFrame::make(w, h);
    drawTestPattern(*f, index);
    return f;
}

std::vector<int> nalTypes(VideoCodec codec, const Bytes& frame) {
    std::vector<int> types;
    for (ByteSpan nal : splitLengthPrefixed(frame)) types.push_back(nalUnitType(codec, nal));
    return types;
}

// Nothing but 4-byte length-prefixed units, none holding a start code (emulation
// prevention keeps 00 00 0x, x ≤ 2, out of every unit).
::testing::AssertionResult wellFormed(const Bytes& frame) {
    size_t covered = 0;
    for (ByteSpan nal : splitLengthPrefixed(frame)) {
        covered += 4 + nal.size();
        for (size_t i = 0; i + 2 < nal.size(); ++i)
            if (nal[i] == 0 && nal[i + 1] == 0 && nal[i + 2] <= 2)
                return ::testing::AssertionFailure() << "start code inside a unit at " << i;
    }
    if (frame.empty() || covered != frame.size())
        return ::testing::AssertionFailure() << "prefixes cover " << covered << " of " << frame.size();
    return ::testing::AssertionSuccess();
}

struct Picture {
    int width, height;
    uint64_t index;
};

// Decodes with libavcodec's own decoder; `errors` counts refused packets.
std::vector<Picture> decodeAll(VideoCodec codec, const std::vector<Output>& frames, int* errors) {
    std::vector<Picture> pictures;
    const AVCodec* dec = avcodec_find_decoder(codec == hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264);
    AVCodecContext* ctx = avcodec_alloc_context3(dec);
    *errors = avcodec_open2(ctx, dec, nullptr) < 0 ? 1 : 0;
    AVPacket* pkt = av_packet_alloc();
    AVFrame* pic = av_frame_alloc();
    auto receive = [&] {
        while (avcodec_receive_frame(ctx, pic) == 0) {
            pictures.push_back(
                {pic->width, pic->height,
                 readTestPatternIndex(pic->data[0], pic->linesize[0], pic->width, pic->height)});
            av_frame_unref(pic);
        }
    };
    for (const Output& o : frames) {
        Bytes annexB;
        for (ByteSpan nal : splitLengthPrefixed(o.bytes)) {
            annexB.insert(annexB.end(), {0, 0, 0, 1});
            annexB.insert(annexB.end(), nal.begin(), nal.end());
        }
        av_new_packet(pkt, int(annexB.size()));
        std::copy(annexB.begin(), annexB.end(), pkt->data);
        if (avcodec_send_packet(ctx, pkt) < 0) ++*errors;
        av_packet_unref(pkt);
        receive();
    }
    avcodec_send_packet(ctx, nullptr);
    receive();
    av_frame_free(&pic);
    av_packet_free(&pkt);
    avcodec_free_context(&ctx);
    return pictures;
}

size_t totalBytes(const std::vector<Output>& outs, size_t from, size_t to) {
    size_t n = 0;
    for (size_t i = from; i < std::min(to, outs.size()); ++i) n += outs[i].bytes.size();
    return n;
}

class EncoderTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { av_log_set_level(AV_LOG_ERROR); }
};

// ---- Behaviour shared by both software codecs ----

class EncoderCodecTest : public EncoderTest, public ::testing::WithParamInterface<Encoder::Row> {};

TEST_P(EncoderCodecTest, ParameterSetsLeadTheFirstAndForcedKeyframesOnly) {
    const VideoCodec codec = GetParam().codec;
    Recorder rec;
    Encoder enc(rec.handler(), {GetParam()});
    ASSERT_TRUE(enc.configure(320, 240, 30, 2'000'000));
    EXPECT_EQ(enc.codec(), codec);
    for (uint64_t i = 0; i < 6; ++i) {
        if (i == 3) {
            enc.forceKeyframe = true;
            enc.forceKeyframe = true;  // twice: still one keyframe
        }
        enc.encode(patternFrame(320, 240, i));
    }

    const auto outs = rec.take();
    ASSERT_EQ(outs.size(), 6u);
    const auto sets = codec == hevc ? std::vector<int>{32, 33, 34} : std::vector<int>{7, 8};
    for (size_t i = 0; i < outs.size(); ++i) {
        SCOPED_TRACE(i);
        const bool key = i == 0 || i == 3;
        EXPECT_EQ(outs[i].key, key);
        EXPECT_EQ(outs[i].codec, codec);
        EXPECT_TRUE(wellFormed(outs[i].bytes));
        const auto types = nalTypes(codec, outs[i].bytes);
        const auto lead = std::find_if(types.begin(), types.end(), [&](int t) {
            return std::find(sets.begin(), sets.end(), t) == sets.end();
        });
        // The sets, in order and once, then slices only: SEI and delimiters are dropped.
        EXPECT_EQ(std::vector<int>(types.begin(), lead), key ? sets : std::vector<int>{});
        ASSERT_NE(lead, types.end());
        for (auto t = lead; t != types.end(); ++t) EXPECT_LT(*t, codec == hevc ? 32 : 6);
        EXPECT_EQ(isKeyframeSlice(codec, splitLengthPrefixed(outs[i].bytes)[size_t(lead - types.begin())]),
                  key);
    }
}

TEST_P(EncoderCodecTest, OutputDecodesToTheFramesThatWentIn) {
    const VideoCodec codec = GetParam().codec;
    Recorder rec;
    Encoder enc(rec.handler(), {GetParam()});
    ASSERT_TRUE(enc.configure(320, 240, 30, 4'000'000));
    for (uint64_t i = 0; i < 6; ++i) enc.encode(patternFrame(320, 240, i));
    // A new size starts over with a keyframe that a running decoder follows.
    ASSERT_TRUE(enc.configure(256, 144, 30, 4'000'000));
    enc.encode(patternFrame(320, 240, 99));  // the old size is dropped
    for (uint64_t i = 6; i < 9; ++i) enc.encode(patternFrame(256, 144, i));

    const auto outs = rec.take();
    ASSERT_EQ(outs.size(), 9u);
    EXPECT_TRUE(outs[6].key);
    int errors = 0;
    const auto pictures = decodeAll(codec, outs, &errors);
    EXPECT_EQ(errors, 0);
    ASSERT_EQ(pictures.size(), 9u);
    for (size_t i = 0; i < pictures.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(pictures[i].width, i < 6 ? 320 : 256);
        EXPECT_EQ(pictures[i].height, i < 6 ? 240 : 144);
        EXPECT_EQ(pictures[i].index, i);
    }
}

INSTANTIATE_TEST_SUITE_P(Software, EncoderCodecTest, ::testing::Values(x264Row, x265Row),
                         [](const auto& p) { return p.param.encoderName; });

// ---- Configuration ----

TEST_F(EncoderTest, RowsFallThroughToTheFirstThatOpens) {
    Recorder rec;
    // A name that exists but makes the other codec fails its row too.
    Encoder enc(rec.handler(),
                {{"no_such_encoder", hevc, true, true}, {"libx264", hevc, true, false}, x264Row});
    {
        LogCapture log;
        ASSERT_TRUE(enc.configure(320, 240, 30, 2'500'000));
        EXPECT_EQ(log.lines(), std::vector<std::string>{"Encoder H.264 low-latency 320\u00D7240 @30 2 Mb/s"});
    }
    EXPECT_EQ(enc.codec(), h264);

    // A row without low-latency settings says so by leaving the word out.
    Encoder plain(rec.handler(), {{"libx264", h264, false, false}});
    LogCapture log;
    ASSERT_TRUE(plain.configure(1178, 2556, 120, 25'000'000));
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Encoder H.264 1178\u00D72556 @120 25 Mb/s"});
}

TEST_F(EncoderTest, AllRowsFailingReportsNoEncoder) {
    Recorder rec;
    Encoder enc(rec.handler(), {{"no_such_encoder", hevc, true, true}, {"libx264", hevc, true, false}});
    LogCapture log;
    EXPECT_FALSE(enc.configure(320, 240, 30, 2'000'000));
    EXPECT_EQ(log.lines(), std::vector<std::string>{"No hardware encoder available"});
    EXPECT_FALSE(enc.hasSession());
    enc.encode(patternFrame(320, 240, 0));
    EXPECT_TRUE(rec.take().empty());
}

TEST_F(EncoderTest, UnusableSizesAreRejectedBeforeAnyRowIsTried) {
    Recorder rec;
    Encoder enc(rec.handler(), {x264Row});
    ASSERT_TRUE(enc.configure(320, 240, 30, 2'000'000));
    constexpr int64_t big = int64_t(1) << 31;
    const struct {
        int64_t w, h;
        int fps;
        int64_t bitrate;
    } cases[] = {{big, 240, 30, 1}, {320, big * 2, 30, 1}, {-320, 240, 30, 1}, {320, 0, 30, 1},
                 {321, 240, 30, 1}, {320, 241, 30, 1},     {320, 240, 0, 1},   {320, 240, 30, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
        LogCapture log;
        EXPECT_FALSE(enc.configure(c.w, c.h, c.fps, c.bitrate));
        EXPECT_TRUE(log.lines().empty());  // a row tried would have logged either way
        EXPECT_FALSE(enc.hasSession());    // and the previous session is gone
    }
}

TEST_F(EncoderTest, EachOutputCarriesTheStampsOfItsOwnFrame) {
    Recorder rec;
    Encoder enc(rec.handler(), {x264Row});
    ASSERT_TRUE(enc.configure(320, 240, 30, 2'000'000));
    for (int i = 1; i <= 3; ++i) {
        auto f = VideoFrame::make(320, 240);
        drawTestPattern(*f, uint64_t(i));
        f->times.grabStart = i * 10.0;  // a mark of which frame it was
        f->times.grabbed = i * 10.0 + 1;
        f->times.converted = i * 10.0 + 2;
        const double before = monotonicSeconds();
        enc.encode(f);
        const double after = monotonicSeconds();
        auto outs = rec.take();
        ASSERT_EQ(outs.size(), 1u);
        const FrameTimes& t = outs[0].times;
        EXPECT_EQ(t.grabStart, i * 10.0);
        EXPECT_EQ(t.grabbed, i * 10.0 + 1);
        EXPECT_EQ(t.converted, i * 10.0 + 2);
        EXPECT_GE(t.encodeStart, before);
        EXPECT_GE(t.encoded, t.encodeStart);
        EXPECT_LE(t.encoded, after);
    }
}

TEST_F(EncoderTest, WithoutASessionNothingHappens) {
    Recorder rec;
    Encoder enc(rec.handler(), {x264Row});
    enc.encode(patternFrame(320, 240, 0));
    enc.setBitrate(1'000'000);
    EXPECT_EQ(enc.bitrate(), 25'000'000);  // not even stored

    ASSERT_TRUE(enc.configure(320, 240, 30, 2'000'000));
    enc.encode(patternFrame(320, 240, 0));
    enc.teardown();
    EXPECT_FALSE(enc.hasSession());
    enc.encode(patternFrame(320, 240, 1));
    enc.setBitrate(1'000'000);
    EXPECT_EQ(enc.bitrate(), 2'000'000);
    EXPECT_EQ(rec.take().size(), 1u);
}

TEST_F(EncoderTest, DroppedFramesLeaveTheForcedKeyframeForTheNext) {
    Recorder rec;
    Encoder enc(rec.handler(), {x264Row});
    ASSERT_TRUE(enc.configure(320, 240, 30, 2'000'000));
    enc.encode(patternFrame(256, 144, 0));
    auto broken = VideoFrame::make(320, 240);
    broken->uv.resize(10);  // planes shorter than the size claims
    enc.encode(broken);
    EXPECT_TRUE(rec.take().empty());
    enc.encode(patternFrame(320, 240, 0));
    const auto outs = rec.take();
    ASSERT_EQ(outs.size(), 1u);
    EXPECT_TRUE(outs[0].key);
}

// ---- Bitrate ----

// Encodes `frames` pictures, switching to `second` before frame `switchAt` and
// forcing a keyframe at `forceAt`.
std::vector<Output> encodeWithRateChange(const Encoder::Row& row, int64_t first, int64_t second, int frames,
                                         int switchAt, int forceAt) {
    Recorder rec;
    Encoder enc(rec.handler(), {row});
    if (!enc.configure(320, 240, 30, first)) return {};
    for (int i = 0; i < frames; ++i) {
        if (i == switchAt) enc.setBitrate(second);
        if (i == forceAt) enc.forceKeyframe = true;
        enc.encode(patternFrame(320, 240, uint64_t(i)));
    }
    return rec.take();
}

TEST_F(EncoderTest, SetBitrateRetunesX264WithoutAKeyframe) {
    const auto outs = encodeWithRateChange(x264Row, 3'000'000, 150'000, 80, 40, -1);
    ASSERT_EQ(outs.size(), 80u);
    for (size_t i = 1; i < outs.size(); ++i) EXPECT_FALSE(outs[i].key) << i;
    // Settled windows, away from the first keyframe and the switch. A twentieth of the
    // rate meets the codec's coarsest quantiser on this picture: a third is what shows.
    const size_t before = totalBytes(outs, 20, 40), after = totalBytes(outs, 60, 80);
    EXPECT_LT(after * 3, before) << before << " then " << after;
}

TEST_F(EncoderTest, SetBitrateReachesX265AtTheNextForcedKeyframe) {
    const auto outs = encodeWithRateChange(x265Row, 3'000'000, 150'000, 90, 30, 60);
    ASSERT_EQ(outs.size(), 90u);
    for (size_t i = 1; i < outs.size(); ++i) EXPECT_EQ(outs[i].key, i == 60) << i;
    const size_t before = totalBytes(outs, 10, 30), waiting = totalBytes(outs, 40, 60),
                 after = totalBytes(outs, 70, 90);
    EXPECT_GT(waiting * 2, before) << before << " then " << waiting;
    EXPECT_LT(after * 4, before) << before << " then " << after;
}

TEST_F(EncoderTest, SetBitrateWithTheCurrentValueChangesNothing) {
    for (const auto& row : {x264Row, x265Row}) {
        SCOPED_TRACE(row.encoderName);
        // Retuning or reopening would restart rate control and change the bytes.
        const auto plain = encodeWithRateChange(row, 2'000'000, 2'000'000, 12, -1, 6);
        const auto same = encodeWithRateChange(row, 2'000'000, 2'000'000, 12, 3, 6);
        ASSERT_EQ(plain.size(), 12u);
        ASSERT_EQ(same.size(), 12u);
        for (size_t i = 0; i < plain.size(); ++i) EXPECT_EQ(plain[i].bytes, same[i].bytes) << i;
    }
}

// ---- Threads ----

TEST_F(EncoderTest, ConfigureAndRetuneWhileCaptureEncodes) {
    Recorder rec;
    Encoder enc(rec.handler(), {x264Row});
    ASSERT_TRUE(enc.configure(320, 240, 30, 2'000'000));
    std::atomic<bool> done{false};
    std::thread capture([&] {
        for (uint64_t i = 0; i < 60; ++i) enc.encode(patternFrame(i % 2 ? 256 : 320, i % 2 ? 144 : 240, i));
        done = true;
    });
    for (int i = 0; !done; ++i) {
        if (i % 3 == 0) enc.configure(i % 2 ? 256 : 320, i % 2 ? 144 : 240, 30, 2'000'000);
        if (i % 3 == 1) enc.setBitrate(1'000'000 + i * 1000);
        if (i % 3 == 2) enc.forceKeyframe = true;
        std::this_thread::yield();
    }
    capture.join();
    enc.teardown();

    const auto outs = rec.take();
    ASSERT_FALSE(outs.empty());
    EXPECT_TRUE(outs[0].key);
    for (const auto& o : outs) EXPECT_TRUE(wellFormed(o.bytes));
    // Each session's frames follow its own keyframe, so one decoder takes them all.
    int errors = 0;
    EXPECT_EQ(decodeAll(h264, outs, &errors).size(), outs.size());
    EXPECT_EQ(errors, 0);
}

// ---- Hardware rows ----

class HardwareRowTest : public EncoderTest, public ::testing::WithParamInterface<Encoder::Row> {};

TEST_P(HardwareRowTest, OpensAndEncodesOrFailsCleanly) {
    Recorder rec;
    Encoder enc(rec.handler(), {GetParam()});
    LogCapture log;
    if (!enc.configure(320, 240, 30, 2'000'000)) {
        EXPECT_FALSE(enc.hasSession());
        // libavcodec's own account of the failed probe may come first, through our log.
        std::vector<std::string> ours;
        for (const auto& l : log.lines())
            if (l.rfind("libav: ", 0) != 0) ours.push_back(l);
        EXPECT_EQ(ours, std::vector<std::string>{"No hardware encoder available"});
        enc.encode(patternFrame(320, 240, 0));
        EXPECT_TRUE(rec.take().empty());
        GTEST_SKIP() << GetParam().encoderName << ": no device here";
    }
    for (uint64_t i = 0; i < 3; ++i) enc.encode(patternFrame(320, 240, i));
    enc.teardown();
    const auto outs = rec.take();
    ASSERT_EQ(outs.size(), 3u);
    EXPECT_TRUE(outs[0].key);
    for (const auto& o : outs) EXPECT_TRUE(wellFormed(o.bytes));
    int errors = 0;
    EXPECT_EQ(decodeAll(GetParam().codec, outs, &errors).size(), 3u);
    EXPECT_EQ(errors, 0);
}

std::vector<Encoder::Row> hardwareRows() {
    std::vector<Encoder::Row> rows;
    std::copy_if(Encoder::defaultRows().begin(), Encoder::defaultRows().end(), std::back_inserter(rows),
                 [](const Encoder::Row& r) { return r.hardware; });
    return rows;
}

INSTANTIATE_TEST_SUITE_P(Default, HardwareRowTest, ::testing::ValuesIn(hardwareRows()), [](const auto& p) {
    return p.param.encoderName + (p.param.lowLatency ? "_lowLatency" : "");
});

}  // namespace
}  // namespace tarvello
