#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/video_frame.h"
#include "platform/audio.h"

namespace tarvello {

// An element of the accessibility tree. Each back-end hands out its own kind; the text
// watcher only compares them and passes them back to the facility that made them.
class AxElement {
public:
    virtual ~AxElement() = default;
    // The same element of the same application (not merely an equal-looking one).
    virtual bool sameAs(const AxElement& other) const = 0;
};
using AxElementRef = std::shared_ptr<AxElement>;

// A rectangle in the global display space (points, origin at the main display's top left).
struct AxRect {
    double x = 0, y = 0, width = 0, height = 0;
};

struct AxTextRange {
    int64_t location = 0, length = 0;
};

// Reads the focused element and its text selection from the system's accessibility
// interface. Called on the text watcher's queue only, one call at a time. Every call is
// bounded (a tenth of a second or so per element); a call that times out answers nothing,
// and interrupted() then stays true until the next ready(), so a poll can end at once
// instead of waiting on the same unresponsive application again.
class AccessibilityFacility {
public:
    virtual ~AccessibilityFacility() = default;
    // Begins a poll for the session shown on `display`: false while the accessibility
    // interface cannot be used (no permission, nothing to connect to); nothing else is
    // called in that poll then.
    virtual bool ready(uint32_t display) = 0;
    // True once a call of this poll has timed out.
    virtual bool interrupted() = 0;
    // The process id of the frontmost application, if any.
    virtual std::optional<int32_t> frontmostProcess() = 0;
    // Asks application `pid` to expose its whole tree (toolkits that do so only on demand).
    virtual void requestEnhanced(int32_t pid) = 0;
    // The focused element of application `pid`; without a pid, the system-wide one.
    virtual AxElementRef focusedElement(std::optional<int32_t> pid) = 0;
    // The element's role, in the back-end's own names; nothing when unreadable.
    virtual std::optional<std::string> role(const AxElement& element) = 0;
    // Whether the element is a password field, when the back-end tells it apart from its role.
    virtual bool secure(const AxElement& element) = 0;
    // The element's editable flag; false when unreadable.
    virtual bool editable(const AxElement& element) = 0;
    // The selected character range (length 0: a caret); nothing when unreadable.
    virtual std::optional<AxTextRange> selectedRange(const AxElement& element) = 0;
    // The screen rectangle of character `index`; nothing when unreadable.
    virtual std::optional<AxRect> characterBounds(const AxElement& element, int64_t index) = 0;
    // The bounds of `display` in the same space as characterBounds; nothing when unknown.
    virtual std::optional<AxRect> displayBounds(uint32_t display) = 0;
};

// What the camera-use poll reads from the camera device.
struct CameraUse {
    std::optional<bool> inUse;      // the camera-in-use value, when the device offers it
    bool runningSomewhere = false;  // some reader streams the camera
};

// The virtual camera the phone's pictures go to, published by the separate camera
// extension, and the extension's activation.
//
// Device and sink calls come on the camera queue ("tarvello.camera"): findDevice,
// then readUse on each poll, and openSink ... pushPicture ... closeSink while an
// application uses the camera. Pictures are 1280 x 720 NV12 (video range).
class CameraFacility {
public:
    virtual ~CameraFacility() = default;

    // True when the camera device exists (the extension can be reached).
    virtual bool findDevice() = 0;
    virtual CameraUse readUse() = 0;
    // Starts feeding the device; false with the status text when it cannot.
    virtual bool openSink(std::string& error) = 0;
    virtual void closeSink() = 0;
    // True when the open sink takes one more picture now; the caller converts a
    // picture only then, so a slow reader costs no conversion work.
    virtual bool sinkHasRoom() = 0;
    // Hands over one picture; the facility keeps the pointer until it is sent.
    virtual void pushPicture(std::shared_ptr<const VideoFrame> picture) = 0;

    // Installs and starts (or stops and removes) the extension. Called from any thread;
    // `done` runs once, on another thread, with no text on success or the reason.
    virtual void submitRequest(bool activate, std::function<void(std::optional<std::string> error)> done) = 0;
};

}  // namespace tarvello
