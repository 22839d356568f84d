#include "platform/linux/frame_pool.h"

namespace tarvello {

namespace {
constexpr int kAlign = 64;
}  // namespace

std::unique_ptr<VideoFrame> newCaptureFrame(int width, int height) {
    auto f = std::make_unique<VideoFrame>();
    f->width = width;
    f->height = height;
    const int stride = (width + kAlign - 1) / kAlign * kAlign;
    f->strideY = stride;
    f->strideUV = stride;
    f->y.assign(size_t(stride) * size_t(height) + kAlign, 16);
    f->uv.assign(size_t(stride) * size_t(height / 2) + kAlign, 128);
    return f;
}

FramePool::FramePool(int width, int height, int limit, std::function<void()> returned)
    : width_(width), height_(height), limit_(limit), returned_(std::move(returned)) {}

std::shared_ptr<VideoFrame> FramePool::acquire() {
    std::unique_ptr<VideoFrame> frame;
    {
        std::lock_guard lock(mutex_);
        if (outstanding_ >= limit_) return nullptr;
        ++outstanding_;
        if (!free_.empty()) {
            frame = std::move(free_.back());
            free_.pop_back();
        }
    }
    if (!frame) frame = newCaptureFrame(width_, height_);
    return std::shared_ptr<VideoFrame>(frame.release(),
                                       [pool = shared_from_this()](VideoFrame* f) { pool->giveBack(f); });
}

void FramePool::giveBack(VideoFrame* f) {
    std::unique_ptr<VideoFrame> owned(f);
    bool wasFull = false;
    {
        std::lock_guard lock(mutex_);
        wasFull = outstanding_ >= limit_;
        --outstanding_;
        free_.push_back(std::move(owned));
    }
    if (wasFull && returned_) returned_();
}

}  // namespace tarvello
