#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "camera/feed_parser.h"
#include "camera/output_schedule.h"
#include "camera/peer_credentials.h"
#include "camera/picture_layout.h"
#include "protocol/camera_feed.h"

namespace tarvello::camera {
namespace {

// ---- Placeholder and layouts ----

TEST(CameraPlaceholder, Nv12IsFlatDarkBlueIncludingPadding) {
    const PictureGeometry g{PixelLayout::nv12, 1280, 720, 1296};
    const auto p = makePlaceholder(g);
    ASSERT_EQ(p.size(), size_t(1296) * 720 * 3 / 2);
    const size_t luma = size_t(1296) * 720;
    EXPECT_TRUE(std::all_of(p.begin(), p.begin() + luma, [](uint8_t b) { return b == 60; }));
    for (size_t i = luma; i < p.size(); i += 2) {
        ASSERT_EQ(p[i], 150) << i;
        ASSERT_EQ(p[i + 1], 118) << i;
    }
}

TEST(CameraPlaceholder, I420HasSeparateCbAndCrPlanes) {
    const PictureGeometry g{PixelLayout::i420, 1280, 720, 1280};
    const auto p = makePlaceholder(g);
    const size_t luma = 1280 * 720, plane = 640 * 360;
    ASSERT_EQ(p.size(), luma + 2 * plane);
    EXPECT_EQ(std::count(p.begin(), p.begin() + luma, 60), long(luma));
    EXPECT_EQ(std::count(p.begin() + luma, p.begin() + luma + plane, 150), long(plane));
    EXPECT_EQ(std::count(p.begin() + luma + plane, p.end(), 118), long(plane));
}

TEST(CameraPictureCopy, Nv12IntoEitherLayout) {
    // 4 x 2 NV12 with source stride 6: luma 1..8, one chroma row (Cb, Cr) pairs.
    const std::vector<uint8_t> src = {1, 2, 3, 4, 0, 0, 5, 6, 7, 8, 0, 0, 10, 20, 11, 21, 0, 0};
    std::vector<uint8_t> nv12(4 * 2 * 3 / 2);
    ASSERT_TRUE(copyNv12Into(src, 6, {PixelLayout::nv12, 4, 2, 4}, nv12));
    EXPECT_EQ(nv12, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 10, 20, 11, 21}));
    std::vector<uint8_t> i420(12);
    ASSERT_TRUE(copyNv12Into(src, 6, {PixelLayout::i420, 4, 2, 4}, i420));
    EXPECT_EQ(i420, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 10, 11, 20, 21}));
    std::vector<uint8_t> tooSmall(11);
    EXPECT_FALSE(copyNv12Into(src, 6, {PixelLayout::nv12, 4, 2, 4}, tooSmall));
    EXPECT_FALSE(copyNv12Into(std::span(src).first(10), 6, {PixelLayout::nv12, 4, 2, 4}, nv12));
}

// ---- Schedule ----

TEST(CameraOutputSchedule, PlaceholderOnlyWhileReadAndNoLivePictureForHalfASecond) {
    OutputSchedule s;
    const double t = 100.0;
    EXPECT_FALSE(s.placeholderDue(t));  // nobody reads
    EXPECT_FALSE(s.livePicture(t));     // consumed and dropped
    EXPECT_TRUE(s.setStreaming(true));
    EXPECT_FALSE(s.setStreaming(true));  // no change, nothing to announce
    // The picture dropped while unused does not count as live: the first tick sends the placeholder.
    EXPECT_TRUE(s.placeholderDue(t + 0.01));
    EXPECT_TRUE(s.livePicture(t + 1.0));
    EXPECT_FALSE(s.placeholderDue(t + 1.0));
    EXPECT_FALSE(s.placeholderDue(t + 1.5));  // exactly 0.5 s: still live
    EXPECT_TRUE(s.placeholderDue(t + 1.501));
    EXPECT_TRUE(s.livePicture(t + 1.6));  // a live picture resets the timer
    EXPECT_FALSE(s.placeholderDue(t + 2.0));
    EXPECT_TRUE(s.setStreaming(false));
    EXPECT_FALSE(s.placeholderDue(t + 10.0));
}

// ---- Feed parser ----

std::vector<uint8_t> feedPicture(uint32_t stride, uint32_t sequence, uint8_t fill) {
    camerafeed::FeedHeader h;
    h.stride = stride;
    h.sequence = sequence;
    const auto head = camerafeed::encodeHeader(h);
    std::vector<uint8_t> out(head.begin(), head.end());
    out.resize(out.size() + h.pictureBytes(), fill);
    return out;
}

// Feeds `bytes` to the parser in reads of at most `chunk` bytes; returns the results.
std::vector<FeedParser::Result> feed(FeedParser& p, const std::vector<uint8_t>& bytes, size_t chunk,
                                     std::vector<uint32_t>* sequences = nullptr) {
    std::vector<FeedParser::Result> results;
    size_t at = 0;
    while (at < bytes.size()) {
        auto into = p.nextRead();
        const size_t n = std::min({into.size(), chunk, bytes.size() - at});
        std::memcpy(into.data(), bytes.data() + at, n);
        at += n;
        const auto r = p.advance(n);
        if (r != FeedParser::Result::needMore) results.push_back(r);
        if (r == FeedParser::Result::picture && sequences) {
            sequences->push_back(p.header().sequence);
            EXPECT_EQ(p.picture().size(), p.header().pictureBytes());
        }
        if (r == FeedParser::Result::badHeader) break;
    }
    return results;
}

TEST(CameraFeedParser, PicturesSurviveAnySplitOfTheStream) {
    auto stream = feedPicture(1280, 1, 0x11);
    const auto second = feedPicture(1344, 2, 0x22);
    stream.insert(stream.end(), second.begin(), second.end());
    for (size_t chunk : {size_t(1), size_t(7), size_t(20), size_t(65536), stream.size()}) {
        FeedParser p;
        std::vector<uint32_t> seqs;
        const auto results = feed(p, stream, chunk, &seqs);
        EXPECT_EQ(results.size(), 2u) << chunk;
        EXPECT_EQ(seqs, (std::vector<uint32_t>{1, 2})) << chunk;
        EXPECT_FALSE(p.midPicture());
    }
}

TEST(CameraFeedParser, PictureBytesArriveIntact) {
    auto stream = feedPicture(1280, 9, 0);
    for (size_t i = camerafeed::kHeaderSize; i < stream.size(); ++i) stream[i] = uint8_t(i * 31);
    FeedParser p;
    ASSERT_EQ(feed(p, stream, 4096).size(), 1u);
    EXPECT_TRUE(std::equal(p.picture().begin(), p.picture().end(), stream.begin() + camerafeed::kHeaderSize));
    std::vector<uint8_t> spare;
    p.swapPicture(spare);
    EXPECT_EQ(spare.size(), stream.size() - camerafeed::kHeaderSize);
}

TEST(CameraFeedParser, BadHeadersAreRefused) {
    struct Case {
        const char* name;
        size_t field;  // which 4-byte field to overwrite
        uint32_t value;
    };
    for (const Case& c :
         {Case{"magic", 0, 0x12345678}, Case{"width", 1, 1920}, Case{"height", 2, 1080},
          Case{"narrowStride", 3, 640}, Case{"hugeStride", 3, 0x7fffffff}, Case{"oddStride", 3, 1281}}) {
        auto stream = feedPicture(1280, 1, 0);
        for (int b = 0; b < 4; ++b) stream[c.field * 4 + size_t(b)] = uint8_t(c.value >> (24 - 8 * b));
        FeedParser p;
        const auto results = feed(p, stream, 3);
        ASSERT_EQ(results.size(), 1u) << c.name;
        EXPECT_EQ(results[0], FeedParser::Result::badHeader) << c.name;
    }
}

TEST(CameraFeedParser, AClientVanishingMidPictureLeavesNothingBehind) {
    const auto picture = feedPicture(1280, 1, 0x33);
    FeedParser p;
    feed(p, std::vector<uint8_t>(picture.begin(), picture.begin() + 5000), 1000);
    EXPECT_TRUE(p.midPicture());
    p.reset();  // the client went away
    EXPECT_FALSE(p.midPicture());
    std::vector<uint32_t> seqs;
    auto next = feedPicture(1280, 7, 0x44);
    EXPECT_EQ(feed(p, next, 100000, &seqs).size(), 1u);
    EXPECT_EQ(seqs, std::vector<uint32_t>{7});
}

TEST(CameraFeedClient, OnlyTheSameUserMayFeedTheCamera) {
    const uid_t self = getuid();
    EXPECT_TRUE(mayFeed(self, self));
    EXPECT_FALSE(mayFeed(self + 1, self));
    EXPECT_FALSE(mayFeed(uid_t(0), uid_t(1000)));  // not even root
    EXPECT_FALSE(mayFeed(std::nullopt, self));     // credentials unknown
}

TEST(CameraFeedClient, TheKernelsCredentialsNameTheConnectingUser) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    EXPECT_EQ(peerUid(fds[0]), getuid());
    EXPECT_TRUE(mayFeed(peerUid(fds[0]), getuid()));
    close(fds[0]);
    close(fds[1]);
    // Not a socket: no credentials, so no feeding.
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    EXPECT_FALSE(peerUid(p[0]).has_value());
    close(p[0]);
    close(p[1]);
}

}  // namespace
}  // namespace tarvello::camera
