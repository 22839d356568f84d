#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "dispatch/serial_queue.h"
#include "platform/audio.h"
#include "protocol/byte_codec.h"

namespace tarvello {

// Drives the microphone-use poll. start() and stop() are called on the audio queue,
// except that shutdown calls stop() once that queue has stopped.
class AudioPollTicker {
public:
    virtual ~AudioPollTicker() = default;
    // Runs `tick` on `queue` at once and then every `interval` seconds until stop();
    // replaces any earlier run.
    virtual void start(Queue& queue, double interval, std::function<void()> tick) = 0;
    virtual void stop() = 0;
};

struct AudioBridgeOptions {
    std::shared_ptr<AudioPollTicker> ticker;  // empty: a timer on the audio queue
};

// Carries the computer's sound to the phone and the phone's microphone to recording
// applications through the four virtual devices, switching the system defaults to them
// while it runs and back afterwards (the replaced devices are remembered in the
// settings under "audio.saved.<decimal selector>"). When the sound server restarts
// during a session, the next poll finds the new connection and sets up again.
//
// start() and stop() return at once; their work and the 300 ms poll (of the sound
// server's connection and of the microphone's use) run on "tarvello.audio", where
// onMicRequest is called. onSpeakerPacket is called on the tap unit's real-time thread.
// receiveMic() may be called from any thread. Set the callbacks before the first
// start(). The bridge reads and writes the remembered devices through Settings::shared().
class AudioBridge : public std::enable_shared_from_this<AudioBridge> {
public:
    static constexpr size_t packetSamples = 480;    // 240 stereo frames, 5 ms
    static constexpr size_t micCapacity = 5760;     // 120 ms
    static constexpr size_t micPrimeLevel = 1440;   // 30 ms
    static constexpr size_t captureScratch = 8192;  // floats, 4096 stereo frames
    static constexpr double pollInterval = 0.3;

    static std::shared_ptr<AudioBridge> create(std::shared_ptr<AudioFacility> audio,
                                               AudioBridgeOptions options = {});
    ~AudioBridge();
    AudioBridge(const AudioBridge&) = delete;
    AudioBridge& operator=(const AudioBridge&) = delete;

    // Each 960-byte packet: 480 signed 16-bit little-endian samples, left/right.
    std::function<void(Bytes packet)> onSpeakerPacket;
    // True when an application starts recording from the microphone, false when it stops.
    std::function<void(bool wanted)> onMicRequest;

    void start(bool speaker, bool mic);
    void stop();
    // Signed 16-bit little-endian mono samples from the phone; a trailing odd byte is
    // ignored. Never blocks but on the microphone lock.
    void receiveMic(std::span<const uint8_t> payload);
    // Lets queued start/stop work finish, stops the queue and disposes of any unit still
    // open. Idempotent. Called on the audio queue itself it cannot wait for that queue.
    void shutdown();

    // Puts back the user's defaults where ours are set (see the class comment). Any thread.
    static void restoreDefaultDevices(AudioFacility& audio);

    // A float sample in the wire's form: clamped to ±1 (NaN counts as 1), × 32767,
    // truncated toward zero.
    static int16_t toPcm16(float v);

    // The feed's real-time path, exposed so tests can drive the jitter buffer directly.
    int feedRender(std::span<float> out);
    // Samples waiting for the feed, and whether it is playing them.
    size_t micBuffered() const;
    bool micPrimed() const;
    size_t pendingSpeakerSamples() const { return pendingCount_; }

    Queue& queue() { return queue_; }

private:
    AudioBridge(std::shared_ptr<AudioFacility> audio, AudioBridgeOptions options);

    int tapCycle(AudioInputUnit& unit, uint32_t frames);
    void startOnQueue(bool speaker, bool mic);
    void stopOnQueue();
    void connectDevices(bool announce);
    bool connectSpeaker(bool announce);
    bool connectMicrophone();
    void saveDefault(AudioDefault which);
    void startTap(AudioDeviceId tapSide);
    void stopTap();
    void tick();
    void reconnect();
    void pollMic(bool feedLost);
    void startFeed();
    void stopFeed();

    SerialQueue queue_{"tarvello.audio"};
    std::shared_ptr<AudioFacility> audio_;
    std::shared_ptr<AudioPollTicker> ticker_;

    // Audio queue only (and shutdown, once that queue has stopped).
    bool running_ = false;
    bool speakerAsked_ = false, micAsked_ = false;
    bool speakerOn_ = false, micOn_ = false;  // set up on the current connection
    AudioDeviceId microphone_ = 0;
    std::optional<uint64_t> connection_;
    bool micWanted_ = false;
    std::unique_ptr<AudioInputUnit> tapUnit_;
    std::unique_ptr<AudioOutputUnit> feedUnit_;
    std::once_flag shutdownOnce_;

    // The tap's real-time thread only, apart from tapLive_.
    std::atomic<bool> tapLive_{false};
    std::vector<float> captureBuffer_;
    std::array<int16_t, packetSamples> pending_{};
    size_t pendingCount_ = 0;

    // Guarded by micLock_: a ring of the newest micCapacity samples.
    mutable std::mutex micLock_;
    std::array<float, micCapacity> micRing_{};
    size_t micHead_ = 0;  // oldest sample
    size_t micCount_ = 0;
    bool micPrimed_ = false;
};

}  // namespace tarvello
