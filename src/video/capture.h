#pragma once

#include <functional>
#include <memory>
#include <string>

#include "dispatch/serial_queue.h"
#include "platform/capture.h"

namespace tarvello {

// Captures the session display and hands frames to `onFrame` on the capture queue
// ("pontel.capture"). Public operations return at once and run on that queue. Keeps the
// last frame so a still screen can still be encoded again (repeatLastFrame).
class Capture : public std::enable_shared_from_this<Capture> {
public:
    using Completion = std::function<void(const std::string& error)>;  // empty error: done

    struct Options {
        // The display may appear a little after it was made: it is looked up this many
        // times, this far apart, before start gives up.
        int lookupAttempts = 20;
        double lookupInterval = 0.1;
    };

    static std::shared_ptr<Capture> create(std::shared_ptr<CaptureFacility> facility);
    static std::shared_ptr<Capture> create(std::shared_ptr<CaptureFacility> facility, Options options);
    ~Capture();

    // Set before the first start; called on the capture queue.
    std::function<void(VideoFramePtr)> onFrame;
    // The running stream ended by itself (its display or X server went away), not by a
    // stop or a later start. Set before the first start; called on the capture queue.
    std::function<void(const std::string& reason)> onLost;

    // Stops any running stream, then captures config.display once it is listed. The
    // completion runs on the capture queue with the error, or empty once frames flow.
    // A later start or stop cancels a start still looking for its display (its
    // completion then reports "Capture start cancelled").
    void start(const CaptureConfig& config, Completion completion);
    // Stops the stream and forgets the last frame; the completion gets the stop's error.
    void stop(Completion completion = {});
    // Hands the last frame out again, 1 ms after the last time handed out.
    void repeatLastFrame();
    // Stops everything and the queue; the object does nothing afterwards. Not from the queue.
    void shutdown();

    Queue& queue() { return queue_; }

private:
    Capture(std::shared_ptr<CaptureFacility> facility, Options options);
    void lookUp(uint64_t generation, CaptureConfig config, int attempt);
    void run(uint64_t generation, const CaptureConfig& config, int attempt);
    void deliver(uint64_t generation, std::shared_ptr<VideoFrame> frame, FrameStatus status);
    // Hands the error (empty: started) to the start waiting for it, if any.
    void finish(const std::string& error);
    std::string stopSource();

    SerialQueue queue_{"pontel.capture"};
    std::shared_ptr<CaptureFacility> facility_;
    Options options_;
    // Everything below is confined to queue_.
    std::unique_ptr<CaptureSource> source_;
    uint64_t generation_ = 0;  // bumped by every start and stop
    TimerHandle retry_;
    Completion pending_;  // of the start still looking for its display
    VideoFramePtr lastFrame_;
    double lastPTS_ = 0;
};

}  // namespace tarvello
