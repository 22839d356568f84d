#include "base/child_process.h"
#include "base/settings.h"
#ifdef TARVELLO_HAVE_ATSPI
#include "platform/linux/linux_accessibility.h"
#endif
#ifdef TARVELLO_HAVE_PULSE
#include "platform/linux/linux_audio.h"
#else
#include "platform/sim/sim_audio.h"
#endif
#include "platform/linux/display_mode.h"
#include "platform/linux/linux_camera.h"
#include "platform/linux/linux_capture.h"
#include "platform/linux/linux_cursor.h"
#ifdef TARVELLO_HAVE_GNOME
#include "platform/linux/gnome/desktop_switch.h"
#include "platform/linux/gnome/gnome_backend.h"
#endif
#include "base/log.h"
#include "platform/linux/linux_desktop.h"
#include "platform/linux/linux_display.h"
#include "platform/linux/linux_host.h"
#include "platform/linux/linux_input.h"
#include "platform/linux/linux_lid.h"
#include "platform/linux/linux_power.h"
#include "platform/linux/linux_processes.h"
#include "platform/linux/logind.h"
#include "platform/linux/session_command.h"
#include "platform/linux/x11_desktop.h"
#include "platform/platform.h"
#include "platform/preference_domains.h"

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

namespace {
Platform finish(Platform& p) {
    // No trackpad, dock or window-manager preference files on Linux: gestures take their defaults.
    p.preferences = std::make_shared<MemoryPreferenceDomains>();
    p.camera = makeSystemCamera();
    // No dock on an X desktop: gestures that would tell one take their fallbacks.
    p.dock = nullptr;
    p.workspace = nullptr;
    return std::move(p);
}
}  // namespace

void repairDisplayLayout() {
#ifdef TARVELLO_HAVE_GNOME
    std::string error;
    if (!gnome::restoreSavedLayout({}, error))
        log("The monitor layout a previous run changed is not restored yet: " + error);
#endif
}

Platform makeLinuxPlatform() {
    LinuxDisplay::Options options;
    options.sessionCommand = [] { return Settings::shared().d().getString(SettingsKey::sessionCommand); };
    auto display = std::make_shared<LinuxDisplay>(std::move(options));

    Platform p;
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
    LinuxAccessibility::Options ax;
#ifdef TARVELLO_HAVE_GNOME
    // Set as each session's desktop is chosen, before its text watch starts.
    ax.onUserDesktop = [] { return currentDisplay().kind == DesktopKind::gnomeWayland; };
#endif
    p.accessibility = std::make_shared<LinuxAccessibility>(display, std::move(ax));
#endif
    // Asked whatever the setting, so a desktop that is there can be chosen for a later session.
    const SessionFacts facts = probeSession("auto");
    const auto startup = resolveDisplay(Settings::shared().display(), facts);
    setCurrentDisplay(startup);
    log(startup.logLine);
    if (startup.kind == DesktopKind::x11Session) {
        // Chosen once, at start-up: the user's X server is reached with the user's own
        // credentials, which a private server started later in this process replaces.
        X11DesktopOptions x11;
        // Asked again as each session starts: a changed setting applies from the next one.
        x11.mirrorNow = [] { return Settings::shared().mirrorMac(); };
        x11.logind = logind;
        auto desktop = makeX11Desktop(std::move(x11));
        p.useDesktop(desktop);
        p.desktop = std::make_shared<LinuxDesktop>(std::shared_ptr<const DisplayFacility>(desktop.display));
        return finish(p);
    }
    // Workspaces and show-desktop through the private desktop's window manager.
    p.desktop = std::make_shared<LinuxDesktop>(std::shared_ptr<const DisplayFacility>(display));
#ifdef TARVELLO_HAVE_GNOME
    if (facts.gnomeUnavailable || facts.sessionType == "x11") return finish(p);
    // Mutter's sessions carry no window-manager hints of the X kind: gestures take the keys.
    p.desktop = nullptr;
    gnome::GnomeOptions gnomeOptions;
    gnomeOptions.logind = logind;
    gnomeOptions.mirrorNow = [] { return Settings::shared().mirrorMac(); };
    auto gnomeDesktop = gnome::makeGnomeBackend(gnomeOptions);
    gnome::DesktopSwitchOptions choice;
    choice.startsOnDesktop = startup.kind == DesktopKind::gnomeWayland;
    // Resolved again as each session starts: a changed setting applies from the next one.
    choice.wantsDesktop = [] {
        const std::string now = Settings::shared().display();
        auto resolved = resolveDisplay(now, probeSession(now));
        if (resolved.logLine != currentDisplay().logLine) log(resolved.logLine);
        setCurrentDisplay(resolved);
        return resolved.kind == DesktopKind::gnomeWayland;
    };
    choice.refusal = gnomeDesktop.lastError;
    choice.chosen = [refusal = gnomeDesktop.lastError](bool desktop) {
        if (desktop || currentDisplay().kind != DesktopKind::gnomeWayland) return;
        setCurrentDisplay(
            {DesktopKind::privateDesktop, "Display: " + describeDesktop(DesktopKind::privateDesktop) +
                                              " (your GNOME desktop refused: " + refusal() + ")"});
    };
    p.useDesktop(gnome::makeDesktopSwitch(gnomeDesktop, p.desktopFacilities(), std::move(choice)));
#endif
    return finish(p);
}

}  // namespace tarvello
