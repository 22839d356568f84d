#pragma once

#include <X11/Xlib.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace tarvello {

// Prepares Xlib once per process: thread support, and error handlers that report
// instead of ending the process (Xlib's defaults exit on any protocol error or lost
// connection).
void initXlib();

// From now on every connection this process opens presents processCookie(), so the
// private X servers started with that cookie admit it (and no other local user). Called
// by the process that starts servers; their other clients use XAUTHORITY.
void presentProcessCookie();

// The MIT-MAGIC-COOKIE-1 secret of this process, drawn once from getrandom(2).
const std::array<uint8_t, 16>& processCookie();

// Writes an authority file granting processCookie() for display `displayNumber` (any
// display when negative), readable by its owner only.
bool writeXAuthority(const std::string& path, int displayNumber, std::string& error);

// Opening a connection, closing one and ending a server this process started go one
// at a time under this lock, for two reasons. Xlib ends the whole process when a server
// goes away in the middle of XOpenDisplay, before a handler of ours can be set on the
// new connection: whoever ends a server holds the lock until it is gone, so an open
// either completes first or finds no server. And libXext keeps per-process records of
// displays that are not safe to change from two threads at once (see x11.cpp).
std::mutex& connectionsLock();

// One open connection, closed on destruction. A lost connection (the server went away)
// is remembered instead of ending the process; Xlib calls on it then do nothing and
// wait for nothing, closing included, on any thread.
class XConnection {
public:
    static std::unique_ptr<XConnection> open(const std::string& name, std::string& error);
    ~XConnection();
    XConnection(const XConnection&) = delete;
    XConnection& operator=(const XConnection&) = delete;

    Display* get() const { return display_; }
    // Also looks at the socket: a server that has hung up is taken as lost before any
    // Xlib call runs into it. Call it before each run of calls.
    bool lost() const;
    const std::string& name() const { return name_; }

private:
    XConnection(Display* display, std::string name);
    static void onLost(Display* display, void* self);
    void markLost() const;
    Display* display_;
    std::string name_;
    mutable std::atomic<bool> lost_{false};
};

// Runs fn, syncs, and returns the code of the first X error it caused on `display`
// (0 when none). Errors caught here are not logged. Not reentrant on one thread.
int trapXErrors(Display* display, const std::function<void()>& fn);

}  // namespace tarvello
