#pragma once

#include <memory>
#include <string>

#include "platform/capture.h"
#include "platform/display.h"
#include "platform/host.h"
#include "platform/input.h"
#include "platform/session_services.h"

namespace tarvello {

// The set of back-ends the process runs on, chosen once at start-up.
struct Platform {
    std::string name;
    std::shared_ptr<DisplayFacility> display;
    std::shared_ptr<CaptureFacility> capture;
    std::shared_ptr<InputFacility> input;
    std::shared_ptr<HostFacility> host;
    std::shared_ptr<AccessibilityFacility> accessibility;
    std::shared_ptr<CursorFacility> cursor;
    std::shared_ptr<AudioFacility> audio;
    std::shared_ptr<CameraFacility> camera;
};

// In-memory stand-ins: runs anywhere, draws a moving test picture.
Platform makeSimPlatform();

// The factory lives beside the stand-ins until the Linux back-ends join it.

// Chooses the back-end set by name ("sim"); returns nothing for an unknown or
// unavailable name, with the reason in `error`.
std::optional<Platform> makePlatform(const std::string& name, std::string& error);

}  // namespace tarvello
