#include "server/batch_sender.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <map>

namespace tarvello {
namespace {

// A connected pair of UDP sockets on loopback.
struct UdpPair {
    UdpPair() {
        rx = socket(AF_INET, SOCK_DGRAM, 0);
        tx = socket(AF_INET, SOCK_DGRAM, 0);
        int big = 8 << 20;
        setsockopt(rx, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
        addr.sin_family = AF_INET;
        inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
        bind(rx, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        socklen_t len = sizeof addr;
        getsockname(rx, reinterpret_cast<sockaddr*>(&addr), &len);
    }
    ~UdpPair() {
        close(rx);
        close(tx);
    }
    std::vector<Bytes> drain() {
        std::vector<Bytes> out;
        pollfd p{rx, POLLIN, 0};
        while (poll(&p, 1, 200) > 0) {
            Bytes b(2000);
            ssize_t n = recv(rx, b.data(), b.size(), 0);
            if (n < 0) break;
            b.resize(size_t(n));
            out.push_back(std::move(b));
        }
        return out;
    }
    int rx = -1, tx = -1;
    sockaddr_in addr{};
};

class BatchSenderSizes : public ::testing::TestWithParam<std::tuple<size_t, bool>> {};

TEST_P(BatchSenderSizes, FragmentsArriveWholeAndInOrder) {
    const auto [n, segmented] = GetParam();
    Bytes frame(n);
    for (size_t i = 0; i < n; ++i) frame[i] = static_cast<uint8_t>(i * 7 + i / 251);
    UdpPair pair;
    BatchSender sender;
    if (!segmented) sender.disableSegmentation();
    VideoPacketHeader h;
    h.frameId = 41;
    h.flags = VideoPacketHeader::keyframe;
    h.codec = 2;
    h.timestampMs = 0x01020304;
    const int expected = fragmentCount(n);
    EXPECT_EQ(sender.sendFrame(pair.tx, reinterpret_cast<sockaddr*>(&pair.addr), sizeof pair.addr, frame, h),
              expected);
    auto got = pair.drain();
    ASSERT_EQ(got.size(), size_t(expected));
    Bytes joined;
    for (size_t i = 0; i < got.size(); ++i) {
        ASSERT_LE(got[i].size(), size_t(Pontel::maxDatagram));
        auto hdr = VideoPacketHeader::decode(got[i]);
        ASSERT_TRUE(hdr);
        EXPECT_EQ(hdr->frameId, 41u);
        EXPECT_EQ(hdr->fragIndex, i);
        EXPECT_EQ(hdr->fragCount, expected);
        EXPECT_TRUE(hdr->isKeyframe());
        EXPECT_EQ(hdr->timestampMs, 0x01020304u);
        joined.insert(joined.end(), got[i].begin() + Pontel::headerSize, got[i].end());
    }
    EXPECT_EQ(joined, frame);
}

// Both the offloaded path and the one-datagram-per-message path, around the fragment
// boundary and past one 64 KB super-datagram.
INSTANTIATE_TEST_SUITE_P(Sizes, BatchSenderSizes,
                         ::testing::Combine(::testing::Values(size_t(1), size_t(1183), size_t(1184),
                                                              size_t(1185), size_t(2368), size_t(54 * 1184),
                                                              size_t(54 * 1184 + 1), size_t(167'000),
                                                              size_t(1184 * 1100)),
                                            ::testing::Bool()));

TEST(BatchSender, EmptyFrameSendsNothing) {
    UdpPair pair;
    BatchSender sender;
    EXPECT_EQ(sender.sendFrame(pair.tx, reinterpret_cast<sockaddr*>(&pair.addr), sizeof pair.addr, {}, {}),
              0);
    EXPECT_TRUE(pair.drain().empty());
}

}  // namespace
}  // namespace tarvello
