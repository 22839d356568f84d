// The camera extension's feed parser over fuzzer-built streams (garbage, headers of
// every kind, pictures of the right length or not) cut at fuzzer-chosen read sizes.
// An independent walk over the same bytes says where each picture or refusal must
// come; pictures must arrive intact and the reader's buffer must never be empty.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "camera/feed_parser.h"
#include "fuzz_check.h"
#include "protocol/camera_feed.h"

using namespace tarvello;
using camera::FeedParser;

namespace {

constexpr size_t kMaxStream = size_t(6) << 20;

uint32_t be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

void put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) out.push_back(uint8_t(v >> s));
}

// What a header at p promises: the picture's size, or nothing for one to refuse.
std::optional<size_t> expectedPictureBytes(const uint8_t* p) {
    const uint32_t stride = be32(p + 12);
    if (be32(p) != 0x5443464d || be32(p + 4) != 1280 || be32(p + 8) != 720) return std::nullopt;
    if (stride < 1280 || stride > 5120 || stride % 2 != 0) return std::nullopt;
    return size_t(stride) * 720 + size_t(stride) * 360;
}

std::vector<uint8_t> buildStream(FuzzedDataProvider& fdp) {
    std::vector<uint8_t> s;
    while (fdp.remaining_bytes() > 0 && s.size() < kMaxStream) {
        switch (fdp.ConsumeIntegralInRange<int>(0, 3)) {
            case 0: {  // raw bytes, such as a torn or hostile header
                const auto raw = fdp.ConsumeBytes<uint8_t>(fdp.ConsumeIntegralInRange<size_t>(1, 40));
                s.insert(s.end(), raw.begin(), raw.end());
                break;
            }
            default: {  // a header, mostly valid, and about a picture's worth of bytes
                static constexpr uint32_t strides[] = {1280, 1282, 1344, 2560, 5120,
                                                       5122, 1279, 1281, 0,    0xffffffff};
                const uint32_t stride = fdp.ConsumeBool() ? strides[fdp.ConsumeIntegralInRange<size_t>(0, 9)]
                                                          : fdp.ConsumeIntegral<uint32_t>();
                put32(s,
                      fdp.ConsumeIntegralInRange<int>(0, 15) ? 0x5443464d : fdp.ConsumeIntegral<uint32_t>());
                put32(s, fdp.ConsumeIntegralInRange<int>(0, 15) ? 1280 : fdp.ConsumeIntegral<uint32_t>());
                put32(s, fdp.ConsumeIntegralInRange<int>(0, 15) ? 720 : fdp.ConsumeIntegral<uint32_t>());
                put32(s, stride);
                put32(s, fdp.ConsumeIntegral<uint32_t>());
                size_t body = size_t(std::clamp<uint32_t>(stride, 1280, 5120)) * 1080;
                if (fdp.ConsumeIntegralInRange<int>(0, 7) == 0)
                    body -= std::min(body, fdp.ConsumeIntegral<uint16_t>() + size_t(1));
                const uint8_t seed = fdp.ConsumeIntegral<uint8_t>();
                const size_t at = s.size();
                s.resize(at + body);
                for (size_t i = 0; i < body; i += 4096) s[at + i] = uint8_t(seed + i / 4096);
                break;
            }
        }
    }
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider fdp(data, size);
    const bool smallReads = fdp.ConsumeBool();
    const size_t readSize = smallReads ? fdp.ConsumeIntegralInRange<size_t>(1, 64)
                                       : fdp.ConsumeIntegralInRange<size_t>(1, 1u << 21);
    const std::vector<uint8_t> stream = buildStream(fdp);

    FeedParser parser;
    size_t pos = 0;             // bytes handed to the parser
    size_t message = 0;         // where the current header starts
    std::optional<size_t> end;  // where the current picture ends, once its header is read
    size_t pictures = 0;
    while (pos < stream.size()) {
        const std::span<uint8_t> into = parser.nextRead();
        FUZZ_CHECK(!into.empty());
        const size_t n = std::min({into.size(), readSize, stream.size() - pos});
        std::memcpy(into.data(), stream.data() + pos, n);
        pos += n;
        const FeedParser::Result r = parser.advance(n);

        if (!end && pos - message >= camerafeed::kHeaderSize) {
            FUZZ_CHECK(pos - message == camerafeed::kHeaderSize);  // no read crosses a header's end
            const auto bytes = expectedPictureBytes(stream.data() + message);
            if (!bytes) {
                FUZZ_CHECK(r == FeedParser::Result::badHeader);
                FUZZ_CHECK(!parser.midPicture());
                message = pos;  // as a client that reconnects and starts over
                continue;
            }
            end = message + camerafeed::kHeaderSize + *bytes;
        }
        if (end && pos == *end) {
            FUZZ_CHECK(r == FeedParser::Result::picture);
            FUZZ_CHECK(!parser.midPicture());
            const auto& h = parser.header();
            FUZZ_CHECK(h.sequence == be32(stream.data() + message + 16));
            FUZZ_CHECK(h.stride == be32(stream.data() + message + 12));
            const auto picture = parser.picture();
            FUZZ_CHECK(picture.size() == *end - message - camerafeed::kHeaderSize);
            FUZZ_CHECK(std::memcmp(picture.data(), stream.data() + message + camerafeed::kHeaderSize,
                                   picture.size()) == 0);
            if (++pictures % 2 == 0) {
                std::vector<uint8_t> spare;
                parser.swapPicture(spare);  // the extension's zero-copy hand-over
            }
            message = pos;
            end.reset();
            continue;
        }
        FUZZ_CHECK(!end || pos < *end);  // no read crosses a picture's end
        FUZZ_CHECK(r == FeedParser::Result::needMore);
        FUZZ_CHECK(parser.midPicture() == (pos > message));
    }
    parser.reset();
    FUZZ_CHECK(!parser.midPicture());
    return 0;
}
