#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "base/video_frame.h"

namespace tarvello {

// An NV12 frame whose strides are aligned and planes padded: the scaler's vector code
// writes whole blocks, past the end of a line that is not a multiple of the block and
// past the last line.
std::unique_ptr<VideoFrame> newCaptureFrame(int width, int height);

// Output frames of a capture source, at most `limit` handed out at once. A frame comes
// back when its last holder lets go (on whatever thread that is) and is then reused;
// `returned`, when set, runs after a frame came back to a pool that was full.
class FramePool : public std::enable_shared_from_this<FramePool> {
public:
    FramePool(int width, int height, int limit, std::function<void()> returned = {});

    // A frame, or null while `limit` are out.
    std::shared_ptr<VideoFrame> acquire();

private:
    void giveBack(VideoFrame* f);

    const int width_, height_, limit_;
    const std::function<void()> returned_;
    std::mutex mutex_;
    int outstanding_ = 0;
    std::vector<std::unique_ptr<VideoFrame>> free_;
};

}  // namespace tarvello
