#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/video_frame.h"

namespace tarvello {

class Queue;

struct CaptureConfig {
    uint32_t display = 0;
    int width = 0, height = 0;  // output size in pixels
    int fps = 60;               // at most this many frames per second
    bool showsCursor = false;
};

// What a sample from the source says about the screen. Only complete samples carry a
// picture worth showing.
enum class FrameStatus { complete, idle, blank, suspended, started, stopped };

struct CaptureHandlers {
    // A sample; `frame` is the source's to give away (the receiver may set its time).
    std::function<void(std::shared_ptr<VideoFrame> frame, FrameStatus status)> onFrame;
    // The stream ended by itself (display gone, server died), with the reason.
    std::function<void(const std::string& error)> onStopped;
};

// How a start ended: callers tell "try again shortly" (the display is still coming up, or
// its server went away and may be back) from "not as things stand" (an extension or pixel
// format missing), which no retry mends.
struct StartResult {
    enum class Kind { ok, tryAgain, permanent };
    Kind kind = Kind::ok;
    std::string reason;

    static StartResult ok() { return {}; }
    static StartResult tryAgain(std::string reason) { return {Kind::tryAgain, std::move(reason)}; }
    static StartResult permanent(std::string reason) { return {Kind::permanent, std::move(reason)}; }
    bool succeeded() const { return kind == Kind::ok; }
};

// A stream of frames of one display, scaled to the configured size, NV12 video range.
// start() and stop() are called on the capture queue and the handlers run there too,
// never after stop() returns. A source never keeps more than three frames alive that it
// handed out: when three are still held it waits before grabbing another.
class CaptureSource {
public:
    virtual ~CaptureSource() = default;
    virtual StartResult start(const CaptureConfig& config, CaptureHandlers handlers) = 0;
    // Returns an error description when the stream could not be stopped cleanly.
    virtual std::string stop() = 0;
};

// Lists what can be captured and makes capture sources; the capture component owns the
// source it runs. Called on the capture queue.
class CaptureFacility {
public:
    virtual ~CaptureFacility() = default;
    // The ids of the displays that can be captured now; an error description in `error`
    // when the query itself failed.
    virtual std::vector<uint32_t> shareableDisplays(std::string& error) = 0;
    // `queue` is the capture queue the source delivers on.
    virtual std::unique_ptr<CaptureSource> makeSource(Queue& queue) = 0;
};

}  // namespace tarvello
