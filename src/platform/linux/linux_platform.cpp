#include "app/settings.h"
#include "platform/linux/child_process.h"
#include "platform/linux/linux_capture.h"
#include "platform/linux/linux_display.h"
#include "platform/linux/linux_host.h"
#include "platform/linux/session_command.h"
#include "platform/platform.h"

namespace tarvello {

bool linuxPlatformAvailable() {
    return !findOnPath("Xvfb").empty();
}

Platform makeLinuxPlatform() {
    LinuxDisplay::Options options;
    options.sessionCommand = [] { return Settings::shared().d().getString(SettingsKey::sessionCommand); };
    auto display = std::make_shared<LinuxDisplay>(std::move(options));

    // Input, accessibility, cursor, audio and camera: the stand-ins until their back-ends exist.
    Platform p = makeSimPlatform();
    p.name = "linux";
    p.display = display;
    p.capture = std::make_shared<LinuxCapture>(display);
    p.host = std::make_shared<LinuxHost>(display, linuxPlatformAvailable());
    // No dock on an X desktop: gestures that would tell one take their fallbacks.
    p.dock = nullptr;
    p.workspace = nullptr;
    return p;
}

}  // namespace tarvello
