#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "dispatch/clock.h"
#include "dispatch/serial_queue.h"
#include "platform/platform.h"
#include "protocol/byte_codec.h"
#include "protocol/messages.h"
#include "server/server_status.h"
#include "server/session_desktop.h"
#include "video/encoder.h"

namespace tarvello {

class Injector;
class VirtualDisplay;
class Capture;
class TextWatcher;
class CursorWatcher;
class AudioBridge;
class CameraBridge;

// What a session needs of the connection that drives it. Called on the server queue.
class SessionLink {
public:
    virtual ~SessionLink() = default;
    // To the authenticated phone; dropped when there is none.
    virtual void sendToPhone(Bytes frame) = 0;
    // Ends the phone's connection with a refusal the phone shows.
    virtual void refusePhone(const std::string& reason) = 0;
    // Closes the phone's connection without a word; the session ends after it.
    virtual void closePhone() = 0;
    virtual bool phoneConnected() const = 0;
    // The session's picture is ready at this size: the phone may be told it is accepted.
    virtual void sessionReady(int width, int height, VideoCodec codec) = 0;
    // The session ended: no video registration may match any more.
    virtual void sessionEnded() = 0;
    virtual void reportStatus(const std::function<void(ServerStatus&)>& change) = 0;
};

// One phone's session on this computer: the display made for it, the components that
// serve it (capture and encoder, input, watchers, sound and camera), the keep-awake
// hold and the lock poll. Every method but the accessors, `encoder()` and `shutdown()`
// runs on the server queue it was given.
class Session : public std::enable_shared_from_this<Session> {
public:
    struct Options {
        std::shared_ptr<Clock> clock;
        std::vector<Encoder::Row> encoderRows;    // empty: the default candidate table
        Encoder::Output encoderOutput;            // called on the encoder's thread
        std::shared_ptr<SessionDesktop> desktop;  // empty: the desktop is left alone
        double resizeInterval = 0.25;
    };

    static std::shared_ptr<Session> create(Platform platform, Queue& queue, SessionLink& link,
                                           Options options);
    ~Session();

    // Made once; safe to use from any queue (each serializes itself).
    Injector& injector() { return *injector_; }
    Capture& capture() { return *capture_; }
    TextWatcher& textWatcher() { return *textWatcher_; }
    CursorWatcher& cursorWatcher() { return *cursorWatcher_; }
    AudioBridge& audio() { return *audio_; }
    std::shared_ptr<CameraBridge> camera() const { return camera_; }
    std::shared_ptr<Encoder> encoder();

    // Makes (or remakes, at a new size) the session's display and starts serving it.
    void start(int width, int height, int refreshRate);
    // Starts again at the same size when a phone is connected (settings changed).
    void restart();
    // A rotation's burst of sizes: the first goes at once, the rest collapse into the last.
    void requestResize(int width, int height);
    void end();
    // The phone left: the session waits `delay` seconds for it to come back, then ends.
    void endAfter(double delay);
    bool endPending() const { return teardown_.active(); }
    // A new phone connection: its first lock status is sent whatever the last one was.
    void phoneChanged() { macStatus_.reset(); }

    // `throttled`: the phone's own requests are, at most one per 0.1 s.
    void forceKeyframe(bool throttled = true);
    void adaptBitrate(const StatsMsg& stats);
    void handleUiScale(float scale);
    void pollLockAndStatus();
    // Tells the phone which gestures work here; unless `always`, only when that changed
    // (a window manager came, went or was replaced).
    void sendGestureConfig(bool always);
    void stageManagerChanged();
    void showDockChanged();
    void keepUnlockedChanged();

    struct Snapshot {
        int pixelW = 0, pixelH = 0, fps = 0;
        int64_t bitrate = 0;
        bool endPending = false;
    };
    Snapshot snapshot() const { return {pixelW_, pixelH_, fps_, bitrate_, teardown_.active()}; }

    // Ends what runs on the server queue; then, off it, shutdown() ends the rest.
    void stop();
    void shutdown();

private:
    Session(Platform platform, Queue& queue, SessionLink& link, Options options);
    void continueStart(uint64_t generation, bool created, uint32_t sessionDisplay);
    void captureStarted(uint64_t generation, const std::string& error);
    void captureLost(const std::string& reason);
    MacStatus lockStatus();
    void applyKeepAwake(bool on);
    double now() const { return options_.clock->uptime(); }

    Platform platform_;
    Queue& queue_;
    SessionLink& link_;
    Options options_;

    std::unique_ptr<Injector> injector_;
    std::unique_ptr<VirtualDisplay> display_;  // main queue only
    std::shared_ptr<Capture> capture_;
    std::shared_ptr<TextWatcher> textWatcher_;
    std::shared_ptr<CursorWatcher> cursorWatcher_;
    std::shared_ptr<AudioBridge> audio_;
    std::shared_ptr<CameraBridge> camera_;
    std::mutex encoderMutex_;  // guards creation only; the encoder locks itself
    std::shared_ptr<Encoder> encoder_;

    // ---- owned by the server queue ----
    int pixelW_ = 0, pixelH_ = 0;
    int fps_ = 60;
    int64_t bitrate_ = 20'000'000;
    bool active_ = false;
    // Written on the server queue only; read on the main queue to skip a display nobody waits for.
    std::atomic<uint64_t> generation_{0};
    uint64_t capturedGeneration_ = 0;  // the start whose capture runs
    double lastDisplayLoss_ = -1e300;
    double lastResize_ = -1e300;
    std::optional<std::pair<int, int>> pendingResize_;
    TimerHandle resizeWork_;
    TimerHandle teardown_;
    uint32_t sleepAssertion_ = 0;  // 0: none held
    double lastKeyframeRequest_ = 0;
    std::optional<MacStatus> macStatus_;
    bool lockedFlag_ = false;
    GestureConfig sentGestures_;
};

}  // namespace tarvello
