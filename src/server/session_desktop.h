#pragma once

namespace tarvello {

// What the desktop around a session does while a phone is connected (window
// arrangement, a dock shown for the session). The server decides when; whoever owns
// those desktop features decides how. Calls come from the server's queue and must not
// block.
class SessionDesktop {
public:
    virtual ~SessionDesktop() = default;
    // Turns on what is true; never turns anything off.
    virtual void arrangeForSession(bool stageManager, bool showDock) = 0;
    // Puts back what the session changed.
    virtual void restoreAfterSession() = 0;
};

}  // namespace tarvello
