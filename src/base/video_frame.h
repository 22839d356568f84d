#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

namespace tarvello {

// Seconds of CLOCK_MONOTONIC: the clock the time probe draws and the peer reads.
inline double monotonicSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// When a frame passed each stage on its way out, in monotonicSeconds(); 0 where that
// stage did not stamp it (a source without the stage, a repeated frame). The stamps
// travel with the frame, so timing the path needs no shared state between its threads.
struct FrameTimes {
    double grabStart = 0;    // capture began reading the screen
    double grabbed = 0;      // the screen image is in memory, cursor drawn
    double converted = 0;    // scaled and converted to NV12
    double encodeStart = 0;  // handed to the encoder
    double encoded = 0;      // its compressed bytes handed on
};

// One captured picture in NV12, video range ('420v'): a full-resolution luma plane
// followed by an interleaved half-resolution CbCr plane. Frames are immutable once
// delivered and shared by pointer, so capture can keep its last frame for re-sending.
struct VideoFrame {
    int width = 0;
    int height = 0;
    int strideY = 0;
    int strideUV = 0;
    std::vector<uint8_t> y;       // strideY * height bytes
    std::vector<uint8_t> uv;      // strideUV * (height / 2) bytes
    double presentationTime = 0;  // seconds of uptime
    FrameTimes times;

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
