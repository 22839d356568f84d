#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/fit_rect.h"
#include "platform/capture.h"
#include "platform/cursor.h"
#include "platform/display.h"
#include "platform/host.h"
#include "platform/input.h"
#include "platform/platform.h"

namespace tarvello {
class Logind;
class SettingsStore;
}  // namespace tarvello

namespace tarvello::gnome {

// Where the user's monitor layout is kept while a phone monitor changes it.
inline constexpr const char* kSavedLayoutKey = "display.savedLayout";

struct GnomeOptions {
    // True: the phone shows the primary monitor as it is. False: the phone becomes a
    // new monitor of its own size, placed as the main display.
    bool mirror = false;
    // When set, asked as each display is made instead of `mirror`.
    std::function<bool()> mirrorNow;
    std::string busAddress;      // empty: DBUS_SESSION_BUS_ADDRESS
    std::string pipewireSocket;  // absolute path; empty: the user's PipeWire
    // The lock state's source; none: never locked.
    std::shared_ptr<Logind> logind;
    // Keeps the user's layout across a crash; empty: the settings store.
    std::shared_ptr<SettingsStore> store;
};

// The facilities of one desktop shared through Mutter's remote desktop. The display
// facility starts the remote desktop session in createVirtualDisplay (the virtual
// monitor, or the recording of the primary one) and ends it in removeVirtualDisplay;
// capture, input and cursor follow that session.
struct GnomeBackend : DesktopFacilities {
    // Why the last createVirtualDisplay was refused.
    std::function<std::string()> lastError;
};

GnomeBackend makeGnomeBackend(GnomeOptions options = {});

// Puts back the layout a run that ended without restoring left saved; true when nothing
// is left to restore. Meant for start-up, before any session.
bool restoreSavedLayout(const GnomeOptions& options, std::string& error);

// Evdev code of a virtual key code (input/key_codes.h numbering); nothing when unmapped.
std::optional<uint32_t> evdevKeyForKeyCode(uint16_t keyCode);

// The keysym that types a character: the legacy one where X has one, else the Unicode one.
std::optional<uint32_t> keysymForText(char32_t c);

// A display's place in points, the phone's pixels it shows in, and the stream's pixels.
struct Geometry {
    DisplayRect points;
    int phoneW = 0, phoneH = 0, streamW = 0, streamH = 0;
};
// The stream pixel a point of the display shows, through the picture's letterbox;
// clamped to the stream. Nothing while a size is unknown.
std::optional<Point> streamPoint(const Geometry& geometry, Point location);

}  // namespace tarvello::gnome
