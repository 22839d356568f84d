#pragma once

#include <functional>
#include <memory>
#include <string>

#include "dispatch/serial_queue.h"
#include "platform/capture.h"

namespace tarvello {

// Captures the session display and hands frames to `onFrame` on the capture queue
// ("pontel.capture"). Public operations return at once and run on that queue.
class Capture : public std::enable_shared_from_this<Capture> {
public:
    using Completion = std::function<void(const std::string& error)>;  // empty error: started

    static std::shared_ptr<Capture> create(std::shared_ptr<CaptureFacility> facility);
    ~Capture();

    // Set once before the first start; called on the capture queue.
    std::function<void(VideoFramePtr)> onFrame;

    // Replaces a running capture. The completion runs on the capture queue.
    void start(const CaptureConfig& config, Completion completion);
    void stop();
    // Hands the last frame out again, so a still screen still yields a keyframe.
    void repeatLastFrame();
    void shutdown();

    Queue& queue() { return queue_; }

private:
    explicit Capture(std::shared_ptr<CaptureFacility> facility);
    void deliver(VideoFramePtr frame);

    SerialQueue queue_{"pontel.capture"};
    std::shared_ptr<CaptureFacility> facility_;
    std::unique_ptr<CaptureSource> source_;
    VideoFramePtr last_;
};

}  // namespace tarvello
