#pragma once

#include <functional>

#include "protocol/messages.h"

namespace tarvello {

// The desktop's own answers to the phone's gestures: switching workspaces, showing the
// desktop, the window overview, the application grid, and which of the pointer
// gestures its input path can carry out.
class DesktopActions {
public:
    virtual ~DesktopActions() = default;
    // Whether `action` does something on this desktop as it is now. Any thread.
    virtual bool can(GestureAction action) = 0;
    // Carries `action` out; false when the desktop cannot. Any thread. Pointer
    // gestures (magnify, rotate, smart zoom) go through the input facility instead.
    virtual bool perform(GestureAction action) = 0;
    // `changed` runs, on a thread of the implementation's, whenever what can() answers
    // may have changed (a window manager came, went or was replaced). Replaces an
    // earlier callback; an empty one stops the watch. Returns once the callback in
    // force before is no longer running.
    virtual void watch(std::function<void()> changed) = 0;
};

}  // namespace tarvello
