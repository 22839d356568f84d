#pragma once

#include <optional>
#include <string>

namespace tarvello {

// The desktop a session shows on the phone.
enum class DesktopKind { gnomeWayland, x11Session, privateDesktop };

// What is known about the graphical session this process runs in. The reachability
// fields hold nothing when that desktop can be served, else why not; a probe that was
// not needed keeps its default.
struct SessionFacts {
    std::string sessionType;      // XDG_SESSION_TYPE
    std::string currentDesktop;   // XDG_CURRENT_DESKTOP
    bool waylandDisplay = false;  // WAYLAND_DISPLAY is set
    bool x11Display = false;      // DISPLAY is set
    std::optional<std::string> gnomeUnavailable = std::string("not probed");
    std::optional<std::string> x11SessionUnavailable = std::string("not probed");
};

struct DisplayResolution {
    DesktopKind kind = DesktopKind::privateDesktop;
    std::string logLine;  // "Display: ..." with the reason
};

// Chooses the desktop for the `display` setting ("auto", "desktop", "private"; anything
// else reads as "auto"): GNOME on Wayland, then an X11 session, then the private one.
DisplayResolution resolveDisplay(const std::string& setting, const SessionFacts& facts);

// Reads the environment and asks only the buses `setting` needs. `busAddress` empty:
// DBUS_SESSION_BUS_ADDRESS.
SessionFacts probeSession(const std::string& setting, const std::string& busAddress = {});

// The desktop the current or last session showed, for the menu and the set-up window:
// what start-up resolved until a session starts. Thread-safe.
DisplayResolution currentDisplay();
void setCurrentDisplay(DisplayResolution resolution);

// The short name the menu shows: "your GNOME desktop (Wayland)", "a private desktop".
std::string describeDesktop(DesktopKind kind);

}  // namespace tarvello
