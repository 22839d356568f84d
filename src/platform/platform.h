#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/capture.h"
#include "platform/cursor.h"
#include "platform/desktop_actions.h"
#include "platform/display.h"
#include "platform/dock.h"
#include "platform/host.h"
#include "platform/input.h"
#include "platform/lid.h"
#include "platform/power.h"
#include "platform/preference_domains.h"
#include "platform/processes.h"
#include "platform/session_services.h"

namespace tarvello {

// The facilities that follow the desktop a session shows: its monitor, its picture, its
// input, its cursor and its lock state.
struct DesktopFacilities {
    std::shared_ptr<DisplayFacility> display;
    std::shared_ptr<CaptureFacility> capture;
    std::shared_ptr<InputFacility> input;
    std::shared_ptr<CursorFacility> cursor;
    std::shared_ptr<HostFacility> host;
};

// The set of back-ends the process runs on, chosen once at start-up.
struct Platform {
    std::string name;
    std::shared_ptr<DisplayFacility> display;
    std::shared_ptr<CaptureFacility> capture;
    std::shared_ptr<InputFacility> input;
    std::shared_ptr<HostFacility> host;
    std::shared_ptr<PowerFacility> power;
    std::shared_ptr<ProcessFacility> processes;
    std::shared_ptr<AccessibilityFacility> accessibility;
    std::shared_ptr<CursorFacility> cursor;
    std::shared_ptr<AudioFacility> audio;
    std::shared_ptr<CameraFacility> camera;
    std::shared_ptr<LidFacility> lid;  // empty: no lid to hold here
    // Trackpad, dock and window-manager preferences the gesture set is read from.
    std::shared_ptr<PreferenceDomains> preferences;
    std::shared_ptr<DockFacility> dock;            // empty: gestures take their fallbacks
    std::shared_ptr<WorkspaceFacility> workspace;  // empty: no applications can be found
    std::shared_ptr<DesktopActions> desktop;
    DesktopFacilities desktopFacilities() const { return {display, capture, input, cursor, host}; }
    void useDesktop(const DesktopFacilities& d) {
        display = d.display;
        capture = d.capture;
        input = d.input;
        cursor = d.cursor;
        host = d.host;
    }  // empty: the dock and key chords serve gestures
};

// In-memory stand-ins: runs anywhere, draws a moving test picture.
Platform makeSimPlatform();

// The Linux back-ends (builds with X11 only): each session shows the user's GNOME desktop through
// Mutter's remote desktop, or a private Xvfb server, as the display setting resolves then;
// on Xvfb input goes through XTEST; accessibility is AT-SPI where the build has it, the camera goes
// to the tarvello-camera extension, keep-awake and the lid hold are login-manager inhibitors.
Platform makeLinuxPlatform();

// This machine's sound devices (the PulseAudio back-end where the build has it), for
// work that needs no session: the audio installer and the restore at launch and exit.
std::shared_ptr<AudioFacility> makeSystemAudio();

// This machine's camera extension (the tarvello-camera back-end where the build has
// it), for work that needs no session: activation and removal.
std::shared_ptr<CameraFacility> makeSystemCamera();

// Puts back the monitor layout a run that ended without restoring left changed. Meant
// for start-up, by the copy that serves.
void repairDisplayLayout();

// True when this build has the X11 back-ends and an Xvfb executable is on PATH.
bool linuxPlatformAvailable();

// The facilities a platform must set; empty when all are (lid, dock and workspace may be
// empty by design). A platform missing one does not start.
std::vector<std::string> missingFacilities(const Platform& platform);
// Chooses the back-end set by name ("linux", "sim"); returns nothing for an unknown or
// unavailable name, with the reason in `error`.
std::optional<Platform> makePlatform(const std::string& name, std::string& error);

}  // namespace tarvello
