#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tarvello {

// The focused text element as the accessibility back-end sees it. Called on the
// text watcher's queue.
struct FocusedText {
    bool isTextInput = false;
    // Selection bounds as fractions of the display, when text is selected.
    std::optional<std::array<float, 5>> selection;  // startX, startY, endX, endY, height
};
class AccessibilityFacility {
public:
    virtual ~AccessibilityFacility() = default;
    virtual std::optional<FocusedText> focused(uint32_t display) = 0;
};

// The current pointer image (RGBA, straight alpha) and its hot spot. Main queue.
struct CursorImage {
    int width = 0, height = 0;
    int hotX = 0, hotY = 0;
    std::vector<uint8_t> rgba;
    uint64_t serial = 0;
};
class CursorFacility {
public:
    virtual ~CursorFacility() = default;
    virtual std::optional<CursorImage> current() = 0;
};

// Sound out and microphone in. Called on the audio queue; the speaker callback
// arrives on the back-end's real-time thread with 240 stereo float frames.
class AudioFacility {
public:
    using SpeakerHandler = std::function<void(std::span<const float> interleavedStereo)>;
    virtual ~AudioFacility() = default;
    virtual bool startSpeakerTap(SpeakerHandler handler) = 0;
    virtual void stopSpeakerTap() = 0;
    virtual bool startMicFeed() = 0;
    virtual void stopMicFeed() = 0;
    virtual void pushMic(std::span<const int16_t> samples) = 0;
    virtual bool micInUse() = 0;
};

// The virtual camera device the phone's pictures go to. Camera queue.
class CameraFacility {
public:
    virtual ~CameraFacility() = default;
    virtual bool inUse() = 0;
    virtual void pushEncodedFrame(std::span<const uint8_t> lengthPrefixedHevc) = 0;
};

}  // namespace tarvello
