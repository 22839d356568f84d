#pragma once

#include <memory>
#include <span>
#include <vector>

#include "base/video_frame.h"
#include "protocol/byte_codec.h"

struct SwsContext;

namespace tarvello {

// One reassembled camera frame taken apart: the HEVC parameter sets (VPS, SPS, PPS,
// in stream order, without length prefixes) and the rest, still length-prefixed.
struct AccessUnit {
    std::vector<Bytes> parameterSets;
    Bytes pictureData;
};
AccessUnit splitAccessUnit(std::span<const uint8_t> lengthPrefixedFrame);

// True when the sets hold at least one VPS, SPS and PPS: enough to start a decoder.
bool describesFormat(const std::vector<Bytes>& parameterSets);

// Fits pictures of any size into the camera's 1280 x 720 NV12 picture, keeping the
// aspect ratio, centred between black bars. Output frames come from a small pool and
// are reused once nobody holds them any more. One owner calls it.
class Letterboxer {
public:
    static constexpr int kWidth = 1280;
    static constexpr int kHeight = 720;

    struct Rect {
        int x = 0, y = 0, width = 0, height = 0;
    };
    // Where a width x height picture lands: even offsets and sizes, so chroma lines up.
    static Rect fit(int width, int height);

    Letterboxer() = default;
    ~Letterboxer();
    Letterboxer(const Letterboxer&) = delete;
    Letterboxer& operator=(const Letterboxer&) = delete;

    // Null when the picture is empty or the scaler fails.
    std::shared_ptr<VideoFrame> convert(const VideoFrame& nv12);

private:
    std::shared_ptr<VideoFrame> take();

    SwsContext* sws_ = nullptr;
    int srcWidth_ = 0, srcHeight_ = 0;
    Rect rect_;
    std::vector<uint8_t> scaledY_, scaledUV_;
    std::vector<std::shared_ptr<VideoFrame>> pool_;
};

}  // namespace tarvello
