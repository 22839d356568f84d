#include "platform/linux/x11.h"

#include <X11/extensions/Xge.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string_view>

#include "base/log.h"

// The display's flags and internal lock, for extension writers; its min and max macros
// would shadow the standard ones.
#include <X11/Xlibint.h>
#undef min
#undef max

namespace tarvello {

namespace {

constexpr char kCookieName[] = "MIT-MAGIC-COOKIE-1";

struct Trap {
    Display* display = nullptr;
    int code = 0;
};
thread_local Trap* currentTrap = nullptr;

int onXError(Display* display, XErrorEvent* event) {
    if (currentTrap && currentTrap->display == display) {
        if (currentTrap->code == 0) currentTrap->code = event->error_code;
        return 0;
    }
    char text[128] = {};
    XGetErrorText(display, event->error_code, text, sizeof text);
    log("X error on " + std::string(DisplayString(display)) + ": " + text + " (request " +
        std::to_string(event->request_code) + "." + std::to_string(event->minor_code) + ")");
    return 0;
}

// Called before the per-connection exit handler; the connection is reported there.
int onXIOError(Display*) {
    return 0;
}

void appendField(std::string& out, std::string_view field) {
    out.push_back(char(field.size() >> 8));
    out.push_back(char(field.size() & 0xFF));
    out.append(field);
}

}  // namespace

const std::array<uint8_t, 16>& processCookie() {
    static const std::array<uint8_t, 16> cookie = [] {
        std::array<uint8_t, 16> c{};
        size_t got = 0;
        while (got < c.size()) {
            const ssize_t n = getrandom(c.data() + got, c.size() - got, 0);
            if (n > 0) got += size_t(n);
        }
        return c;
    }();
    return cookie;
}

void initXlib() {
    static std::once_flag once;
    std::call_once(once, [] {
        XInitThreads();
        XSetErrorHandler(onXError);
        XSetIOErrorHandler(onXIOError);
    });
}

void presentProcessCookie() {
    static std::once_flag once;
    std::call_once(once, [] {
        initXlib();
        const auto& cookie = processCookie();
        XSetAuthorization(const_cast<char*>(kCookieName), int(sizeof kCookieName - 1),
                          reinterpret_cast<char*>(const_cast<uint8_t*>(cookie.data())), int(cookie.size()));
    });
}

bool writeXAuthority(const std::string& path, int displayNumber, std::string& error) {
    // One entry in the Xauthority layout: family, address, display number, name, data.
    std::string entry;
    constexpr uint16_t familyWild = 0xFFFF;
    entry.push_back(char(familyWild >> 8));
    entry.push_back(char(familyWild & 0xFF));
    appendField(entry, "");
    appendField(entry, displayNumber >= 0 ? std::to_string(displayNumber) : std::string());
    appendField(entry, kCookieName);
    const auto& cookie = processCookie();
    appendField(entry, std::string_view(reinterpret_cast<const char*>(cookie.data()), cookie.size()));

    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "Cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    const bool ok = ::write(fd, entry.data(), entry.size()) == ssize_t(entry.size());
    if (!ok) error = "Cannot write " + path + ": " + std::strerror(errno);
    ::close(fd);
    return ok;
}

// libXext keeps the Generic Event Extension's displays in one process-wide record that
// it makes on the first registration and frees, unlocked, when the last registered
// display closes; every extension built on libXext (MIT-SHM, XTEST, DPMS, the screen
// saver) registers its display there on first use, from whatever thread uses it. So
// each connection registers while it opens, under connectionsLock() like every close:
// the record then never goes while another thread's connection is registered in it.
std::mutex& connectionsLock() {
    static std::mutex lock;
    return lock;
}

std::unique_ptr<XConnection> XConnection::open(const std::string& name, std::string& error) {
    initXlib();
    std::lock_guard oneAtATime(connectionsLock());
    Display* d = XOpenDisplay(name.c_str());
    if (!d) {
        error = "Cannot open X display " + name;
        return nullptr;
    }
    // Our exit handler is in place before the first request of ours.
    std::unique_ptr<XConnection> connection(new XConnection(d, name));
    int event = 0, errorBase = 0;
    XGEQueryExtension(d, &event, &errorBase);
    return connection;
}

XConnection::XConnection(Display* display, std::string name) : display_(display), name_(std::move(name)) {
    XSetIOErrorExitHandler(display_, &XConnection::onLost, this);
}

XConnection::~XConnection() {
    // A dead connection is marked so before closing: Xlib then frees it without a
    // request or a wait.
    lost();
    std::lock_guard oneAtATime(connectionsLock());
    XCloseDisplay(display_);
}

bool XConnection::lost() const {
    if (lost_.load()) return true;
    pollfd p{ConnectionNumber(display_), POLLRDHUP, 0};
    if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL))) markLost();
    return lost_.load();
}

// The flag Xlib sets itself on an I/O error: every later call returns at once instead
// of writing to or reading from the socket.
void XConnection::markLost() const {
    LockDisplay(display_);
    display_->flags = display_->flags | XlibDisplayIOError;
    UnlockDisplay(display_);
    lost_.store(true);
}

// Xlib expects this handler not to return. Before calling it, it drops the display's
// internal lock that the failing call holds and takes the user lock (XLockDisplay) for
// this thread, so that no other thread gets in while the process ends. Returning with
// both left so, the failing call would later unlock a mutex it no longer holds, and
// every other thread would wait on the user lock forever, closing included. Undo both.
void XConnection::onLost(Display* display, void* self) {
    static_cast<XConnection*>(self)->lost_.store(true);
    XUnlockDisplay(display);
    LockDisplay(display);
}

int trapXErrors(Display* display, const std::function<void()>& fn) {
    Trap trap{display, 0};
    Trap* previous = currentTrap;
    currentTrap = &trap;
    fn();
    XSync(display, False);
    currentTrap = previous;
    return trap.code;
}

}  // namespace tarvello
