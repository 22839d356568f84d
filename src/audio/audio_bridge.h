#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <span>

#include "dispatch/serial_queue.h"
#include "platform/session_services.h"
#include "protocol/byte_codec.h"

namespace tarvello {

// Carries the computer's sound to the phone in 960-byte packets and the phone's
// microphone samples to the virtual microphone. Start and stop run on "tarvello.audio".
// Device switching and the jitter buffer come with the full audio work.
class AudioBridge : public std::enable_shared_from_this<AudioBridge> {
public:
    static std::shared_ptr<AudioBridge> create(std::shared_ptr<AudioFacility> audio);
    ~AudioBridge();

    // Called on the back-end's real-time thread with one 960-byte packet.
    std::function<void(Bytes packet)> onSpeakerPacket;
    std::function<void(bool wanted)> onMicRequest;

    void start(bool sound, bool mic);
    void stop();
    // Phone microphone payload: signed 16-bit little-endian mono; an odd byte is ignored.
    void receiveMic(std::span<const uint8_t> payload);
    void shutdown();

    // Float samples to the wire's 16-bit form: clamped, NaN as full scale, truncated.
    static int16_t toPcm16(float v);

private:
    explicit AudioBridge(std::shared_ptr<AudioFacility> audio) : audio_(std::move(audio)) {}
    void poll();

    SerialQueue queue_{"tarvello.audio"};
    std::shared_ptr<AudioFacility> audio_;
    TimerHandle pollTimer_;
    std::atomic<bool> micOn_{false};
    std::optional<bool> lastMicUse_;
};

}  // namespace tarvello
