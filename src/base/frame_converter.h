#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "base/video_frame.h"

struct SwsContext;

namespace tarvello {

// Byte order of a 32-bit RGB pixel in memory, the fourth byte unused.
enum class RgbLayout {
    bgrx,  // an X server of this machine's (little-endian) byte order
    xrgb,  // a big-endian server
};

// Turns screen images into NV12 frames of another size: BT.601 video range, as the
// phone's decoder assumes for untagged streams, scaled bilinearly. The colour is
// converted at the screen's size, where it is cheapest, and only then is NV12 scaled.
// One owner calls it; it keeps its scratch planes between calls.
class FrameConverter {
public:
    // Null when a size is below 2 × 2, or the output size is odd.
    static std::unique_ptr<FrameConverter> create(int srcWidth, int srcHeight, RgbLayout layout, int width,
                                                  int height);
    ~FrameConverter();
    FrameConverter(const FrameConverter&) = delete;
    FrameConverter& operator=(const FrameConverter&) = delete;

    // Writes `out`, whose size must be the output size. Its planes need 64 bytes of
    // slack past their last row: the scaler writes whole vector blocks.
    bool convert(const uint8_t* src, int srcStride, VideoFrame& out);

private:
    FrameConverter() = default;

    int srcWidth_ = 0, srcHeight_ = 0, width_ = 0, height_ = 0;
    RgbLayout layout_ = RgbLayout::bgrx;
    std::vector<uint8_t> argb_;  // a big-endian image in little-endian order
    int planeStride_ = 0;
    std::vector<uint8_t> y_, uv_;  // NV12 at the screen's size, when scaling
    SwsContext* sws_ = nullptr;
};

}  // namespace tarvello
