#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/capture.h"
#include "platform/cursor.h"
#include "platform/display.h"
#include "platform/host.h"
#include "platform/input.h"
#include "platform/platform.h"

namespace tarvello {

class Logind;
class SettingsStore;

// Whether `display` (empty: DISPLAY) names a running X server other than one of the
// private servers this program starts; otherwise `why` says what is missing.
bool x11SessionReachable(std::string& why);
bool x11SessionReachable(const std::string& display, std::string& why);

struct X11DesktopOptions {
    // True: the phone shows the primary monitor, letterboxed. False: the screen grows by a
    // monitor of the phone's size to the right of the others, lit on a spare output where
    // the server has one; where the server cannot grow, or would keep the pointer off the
    // new area, the session mirrors instead.
    bool mirror = true;
    // When set, asked as each session starts instead of `mirror`.
    std::function<bool()> mirrorNow;
    std::string display;                   // empty: DISPLAY
    std::shared_ptr<SettingsStore> store;  // keeps what a grown screen was; empty: the shared settings
    std::shared_ptr<Logind> logind;        // the lock state; empty: the system bus's login manager
};

// The facilities of one X desktop in use. The display facility starts the session in
// createVirtualDisplay (finds the primary monitor, or grows the screen and declares the
// new monitor) and ends it in removeVirtualDisplay, putting the screen back; capture,
// input and cursor follow that session's area. The lock state is the login manager's
// hint for the user's session.
using X11Desktop = DesktopFacilities;

// Also puts back a screen that a run ended without restoring (see restoreX11Screen).
X11Desktop makeX11Desktop(X11DesktopOptions options = {});

// Puts back the screen size of a screen this program grew, removes the monitor it
// declared there and puts out the output it lit, when `store` says a run left it so.
// False when nothing was left.
bool restoreX11Screen(SettingsStore& store);

}  // namespace tarvello
