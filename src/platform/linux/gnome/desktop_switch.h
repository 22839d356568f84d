#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/capture.h"
#include "platform/cursor.h"
#include "platform/display.h"
#include "platform/host.h"
#include "platform/input.h"
#include "platform/platform.h"

namespace tarvello::gnome {

struct DesktopSwitchOptions {
    // Asked as each session's display is made: true to try the user's desktop first.
    std::function<bool()> wantsDesktop;
    // Why the user's desktop refused the last display; called right after a refusal.
    std::function<std::string()> refusal;
    // Told which desktop the session got: true for the user's own.
    std::function<void(bool desktop)> chosen;
    bool startsOnDesktop = false;  // which one answers before the first session
};

// Facilities that serve each session from the user's desktop or, when that is not
// wanted or refuses, from the private one. The choice is made in createVirtualDisplay
// and holds until the next one; every other call goes to the chosen desktop.
DesktopFacilities makeDesktopSwitch(DesktopFacilities desktop, DesktopFacilities privateDesktop,
                                    DesktopSwitchOptions options);

}  // namespace tarvello::gnome
