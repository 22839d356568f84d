#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/capture.h"
#include "platform/cursor.h"
#include "platform/display.h"
#include "platform/input.h"

namespace tarvello::gnome {

struct GnomeOptions {
    // True: the phone shows the primary monitor as it is. False: the phone becomes a
    // new monitor of its own size, placed as the main display.
    bool mirror = false;
    std::string busAddress;      // empty: DBUS_SESSION_BUS_ADDRESS
    std::string pipewireSocket;  // absolute path; empty: the user's PipeWire
};

// The facilities of one desktop shared through Mutter's remote desktop. The display
// facility starts the remote desktop session in createVirtualDisplay (the virtual
// monitor, or the recording of the primary one) and ends it in removeVirtualDisplay;
// capture, input and cursor follow that session.
struct GnomeBackend {
    std::shared_ptr<DisplayFacility> display;
    std::shared_ptr<CaptureFacility> capture;
    std::shared_ptr<InputFacility> input;
    std::shared_ptr<CursorFacility> cursor;
};

GnomeBackend makeGnomeBackend(GnomeOptions options = {});

// Evdev code of a virtual key code (input/key_codes.h numbering); nothing when unmapped.
std::optional<uint32_t> evdevKeyForKeyCode(uint16_t keyCode);

// Where a picture of srcW × srcH lands when fitted into dstW × dstH, aspect kept, centred.
struct FitRect {
    int x = 0, y = 0, width = 0, height = 0;
};
FitRect letterbox(int srcW, int srcH, int dstW, int dstH);

}  // namespace tarvello::gnome
