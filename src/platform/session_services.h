#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/audio.h"

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

// The virtual camera device the phone's pictures go to. Camera queue.
class CameraFacility {
public:
    virtual ~CameraFacility() = default;
    virtual bool inUse() = 0;
    virtual void pushEncodedFrame(std::span<const uint8_t> lengthPrefixedHevc) = 0;
};

}  // namespace tarvello
