#pragma once

#include <functional>
#include <memory>
#include <string>

#include "video/video_frame.h"

namespace tarvello {

struct CaptureConfig {
    uint32_t display = 0;
    int width = 0, height = 0;  // output size in pixels
    int fps = 60;
    bool showsCursor = false;
};

// A stream of frames of one display. start() and stop() are called on the capture
// queue; frames are delivered there too, through `onFrame`, until stop() returns.
// The source never keeps more than three frames alive that it handed out.
class CaptureSource {
public:
    using FrameHandler = std::function<void(VideoFramePtr)>;
    virtual ~CaptureSource() = default;
    // Returns an error description on failure, empty on success.
    virtual std::string start(const CaptureConfig& config, FrameHandler onFrame) = 0;
    virtual void stop() = 0;
};

// Makes capture sources; the capture component owns the one it runs.
class CaptureFacility {
public:
    virtual ~CaptureFacility() = default;
    // `queue` is the capture queue the source must deliver on.
    virtual std::unique_ptr<CaptureSource> makeSource(class Queue& queue) = 0;
};

}  // namespace tarvello
