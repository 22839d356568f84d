#include "platform/linux/display_mode.h"

#include <cstdlib>
#include <mutex>

#include "platform/linux/x11_desktop.h"

#ifdef TARVELLO_HAVE_GNOME
#include "platform/linux/gnome/mutter_session.h"
#endif

namespace tarvello {

namespace {

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

bool contains(const std::string& list, const std::string& word) {
    // XDG_CURRENT_DESKTOP is a colon-separated list ("ubuntu:GNOME").
    size_t start = 0;
    while (start <= list.size()) {
        const size_t end = std::min(list.find(':', start), list.size());
        if (list.compare(start, end - start, word) == 0) return true;
        start = end + 1;
    }
    return false;
}

// Why no graphical session of ours is there, in the words of the log line.
std::string whyPrivate(const SessionFacts& f) {
    const bool gnomeWayland = contains(f.currentDesktop, "GNOME") && f.sessionType != "x11";
    if (gnomeWayland && f.gnomeUnavailable)
        return "GNOME's remote desktop is unavailable: " + *f.gnomeUnavailable;
    if (f.sessionType == "x11" && f.x11SessionUnavailable)
        return "the X11 session is unavailable: " + *f.x11SessionUnavailable;
    if (f.waylandDisplay || f.sessionType == "wayland") {
        const std::string name = f.currentDesktop.empty() ? "this compositor" : f.currentDesktop;
        return "no supported graphical session found: " + name + " on Wayland";
    }
    return "no graphical session found";
}

std::mutex currentMutex;
DisplayResolution current;

}  // namespace

std::string describeDesktop(DesktopKind kind) {
    switch (kind) {
        case DesktopKind::gnomeWayland: return "your GNOME desktop (Wayland)";
        case DesktopKind::x11Session: return "your X11 desktop";
        case DesktopKind::privateDesktop: return "a private desktop";
    }
    return "a private desktop";
}

DisplayResolution resolveDisplay(const std::string& setting, const SessionFacts& facts) {
    const auto line = [](DesktopKind k, const std::string& why) {
        return DisplayResolution{k, "Display: " + describeDesktop(k) + (why.empty() ? "" : " (" + why + ")")};
    };
    if (setting == "private") return line(DesktopKind::privateDesktop, "chosen in the settings");
    // Mutter answering on our session bus is the GNOME session itself; only an X11 GNOME
    // session is left out, as it cannot make a monitor for the phone.
    if (!facts.gnomeUnavailable && facts.sessionType != "x11") return line(DesktopKind::gnomeWayland, "");
    if (!facts.x11SessionUnavailable) return line(DesktopKind::x11Session, "");
    const std::string why = whyPrivate(facts);
    if (setting == "desktop") return line(DesktopKind::privateDesktop, "your desktop was chosen, but " + why);
    return line(DesktopKind::privateDesktop, why);
}

SessionFacts probeSession(const std::string& setting, const std::string& busAddress) {
    SessionFacts f;
    f.sessionType = env("XDG_SESSION_TYPE");
    f.currentDesktop = env("XDG_CURRENT_DESKTOP");
    f.waylandDisplay = !env("WAYLAND_DISPLAY").empty();
    f.x11Display = !env("DISPLAY").empty();
    if (setting == "private") return f;
#ifdef TARVELLO_HAVE_GNOME
    f.gnomeUnavailable = gnome::remoteDesktopUnavailable(busAddress);
#else
    (void)busAddress;
    f.gnomeUnavailable = "this build has no PipeWire client";
#endif
    if (!f.gnomeUnavailable) return f;
    // A desktop session says so; a bare DISPLAY may be any X server (a test's, say).
    if (f.sessionType != "x11" && f.currentDesktop.empty()) {
        f.x11SessionUnavailable =
            f.x11Display ? "DISPLAY is set outside a desktop session" : "DISPLAY is not set";
        return f;
    }
    std::string why;
    if (x11SessionReachable(why))
        f.x11SessionUnavailable.reset();
    else
        f.x11SessionUnavailable = why;
    return f;
}

DisplayResolution currentDisplay() {
    std::lock_guard lock(currentMutex);
    return current;
}

void setCurrentDisplay(DisplayResolution resolution) {
    std::lock_guard lock(currentMutex);
    current = std::move(resolution);
}

}  // namespace tarvello
