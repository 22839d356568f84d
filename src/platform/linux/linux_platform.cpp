#include "app/settings.h"
#include "platform/linux/child_process.h"
#ifdef TARVELLO_HAVE_ATSPI
#include "platform/linux/linux_accessibility.h"
#endif
#ifdef TARVELLO_HAVE_PULSE
#include "platform/linux/linux_audio.h"
#else
#include "platform/sim/sim_audio.h"
#endif
#include "platform/linux/linux_camera.h"
#include "platform/linux/linux_capture.h"
#include "platform/linux/linux_cursor.h"
#include "platform/linux/linux_desktop.h"
#include "platform/linux/linux_display.h"
#include "platform/linux/linux_host.h"
#include "platform/linux/linux_input.h"
#include "platform/linux/linux_lid.h"
#include "platform/linux/linux_power.h"
#include "platform/linux/linux_processes.h"
#include "platform/linux/logind.h"
#include "platform/linux/session_command.h"
#include "platform/platform.h"

namespace tarvello {

bool linuxPlatformAvailable() {
    return !findOnPath("Xvfb").empty();
}

std::shared_ptr<AudioFacility> makeSystemAudio() {
#ifdef TARVELLO_HAVE_PULSE
    return std::make_shared<LinuxAudio>();
#else
    // No sound server client in this build: no devices, and none can be made.
    auto audio = std::make_shared<SimAudio>(false);
    audio->installable = false;
    return audio;
#endif
}

std::shared_ptr<CameraFacility> makeSystemCamera() {
    return std::make_shared<LinuxCamera>();
}

Platform makeLinuxPlatform() {
    LinuxDisplay::Options options;
    options.sessionCommand = [] { return Settings::shared().d().getString(SettingsKey::sessionCommand); };
    auto display = std::make_shared<LinuxDisplay>(std::move(options));

    // Accessibility: the stand-in in builds without AT-SPI.
    Platform p = makeSimPlatform();
    p.name = "linux";
    p.display = display;
    p.capture = std::make_shared<LinuxCapture>(display);
    p.input = std::make_shared<LinuxInput>(display);
    auto logind = std::make_shared<Logind>();
    p.host = std::make_shared<LinuxHost>(display, linuxPlatformAvailable(), logind);
    p.power = std::make_shared<LinuxPower>(logind, display);
    p.lid = std::make_shared<LinuxLid>(logind);
    p.processes = std::make_shared<LinuxProcesses>();
    p.cursor = std::make_shared<LinuxCursor>(display);
    p.audio = makeSystemAudio();
#ifdef TARVELLO_HAVE_ATSPI
    p.accessibility = std::make_shared<LinuxAccessibility>(display);
#endif
    p.camera = makeSystemCamera();
    // No dock on an X desktop: gestures that would tell one take their fallbacks.
    p.dock = nullptr;
    p.workspace = nullptr;
    p.desktop = std::make_shared<LinuxDesktop>(display);
    return p;
}

}  // namespace tarvello
