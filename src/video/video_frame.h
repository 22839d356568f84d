#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace tarvello {

// One captured picture in NV12, video range ('420v'): a full-resolution luma plane
// followed by an interleaved half-resolution CbCr plane. Frames are immutable once
// delivered and shared by pointer, so capture can keep its last frame for re-sending.
struct VideoFrame {
    int width = 0;
    int height = 0;
    int strideY = 0;
    int strideUV = 0;
    std::vector<uint8_t> y;   // strideY * height bytes
    std::vector<uint8_t> uv;  // strideUV * (height / 2) bytes
    double presentationTime = 0;  // seconds of uptime

    static std::shared_ptr<VideoFrame> make(int width, int height) {
        auto f = std::make_shared<VideoFrame>();
        f->width = width;
        f->height = height;
        f->strideY = width;
        f->strideUV = width;
        f->y.assign(size_t(width) * size_t(height), 16);
        f->uv.assign(size_t(width) * size_t(height / 2), 128);
        return f;
    }
};

using VideoFramePtr = std::shared_ptr<const VideoFrame>;

}  // namespace tarvello
