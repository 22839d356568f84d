#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/video_frame.h"
#include "protocol/byte_codec.h"
#include "protocol/messages.h"

namespace tarvello {

// Compresses captured NV12 frames to HEVC or H.264 with libavcodec, tuned for
// interactive latency: no B-frames, keyframes only on demand, a bitrate ceiling of
// 1.5 × the target over one second. Each encoded frame leaves as length-prefixed
// NAL units, keyframes starting with their parameter sets; SEI, access unit
// delimiters and filler are left out, as the phone's decoder needs none of them.
//
// Threads: configure, setBitrate and teardown come from the server's queues, encode
// from the capture queue, possibly at the same time; one mutex guards the session.
// `output` runs on the thread of the call that produced the frame (encode, or the
// flush in configure and teardown) while that mutex is held, so it must only hand the
// bytes on (the server posts them to its video queue) and never call back into the
// Encoder. It receives the source frame's stage stamps with encodeStart and encoded
// filled in.
class Encoder {
public:
    using Output = std::function<void(Bytes bytes, bool isKeyframe, VideoCodec codec, FrameTimes times)>;

    // One candidate libavcodec encoder. `lowLatency` names the row as running
    // low-latency settings in the log line; on VAAPI and Quick Sync it also selects
    // low_power. The software and nvenc rows always run their low-latency settings.
    // `hardware` rows need a device.
    struct Row {
        std::string encoderName;
        VideoCodec codec;
        bool lowLatency;
        bool hardware;
        // libx264 and libx265 only, for weighing other settings against ours: a preset
        // instead of ours, and "key=value:..." parameters applied after ours.
        std::string preset = {};
        std::string params = {};
    };
    // Hardware rows (nvenc, VAAPI, Quick Sync; HEVC before H.264), then libx264,
    // then libx265.
    static const std::vector<Row>& defaultRows();

    explicit Encoder(Output output, std::vector<Row> rows = defaultRows());
    ~Encoder();  // flushes and closes the session
    Encoder(const Encoder&) = delete;
    Encoder& operator=(const Encoder&) = delete;

    // Drops any session after flushing it, then opens the first row that works.
    // False, without trying any row, for a size that is not positive, not even (NV12
    // has one chroma sample per 2 × 2 pixels) or beyond 32-bit signed, and for a
    // non-positive frame rate or bitrate.
    bool configure(int64_t width, int64_t height, int fps, int64_t bitrate);

    // Encodes one frame and hands its output on before returning (the encoders run
    // without delay). Without a session nothing happens. Frames of another size than
    // the session's are dropped: capture follows the display size and the server
    // reconfigures on a resize, so only a frame or two around the switch are lost.
    void encode(const VideoFramePtr& frame);

    // Changes the target of a running session. Encoders that can be retuned between
    // frames (libx264, nvenc) take it at the next frame; the others take it at the
    // next forced keyframe, where the session is reopened at no extra cost since the
    // frame is an IDR anyway. Without a session, or with the current value: nothing.
    void setBitrate(int64_t bitsPerSecond);

    // Hands out any pending frames and drops the session.
    void teardown();

    // The next encoded frame is a keyframe; set again by configure.
    std::atomic<bool> forceKeyframe{true};

    VideoCodec codec() const;
    bool hasSession() const;
    int64_t width() const;
    int64_t height() const;
    int fps() const;
    int64_t bitrate() const;

private:
    struct Session;

    void closeLocked();
    void drainLocked(Session& s);

    const Output output_;
    const std::vector<Row> rows_;
    mutable std::mutex mutex_;
    std::unique_ptr<Session> session_;
    VideoCodec codec_ = VideoCodec::hevc;
    int64_t width_ = 0;
    int64_t height_ = 0;
    int fps_ = 60;
    int64_t bitrate_ = 25'000'000;
};

}  // namespace tarvello
