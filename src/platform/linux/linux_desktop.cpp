#include "platform/linux/linux_desktop.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "base/log.h"
#include "platform/linux/x11.h"

namespace tarvello {

namespace {

// A read state stays good this long without a watcher to say it changed.
constexpr double kStateLifetime = 0.25;
// The watcher looks again this often: the session display may have been replaced.
constexpr int kWatchPollMs = 1000;

std::vector<unsigned long> property(Display* d, Window w, const char* name, Atom type, long maxItems) {
    Atom actual = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::vector<unsigned long> out;
    const Atom atom = XInternAtom(d, name, False);
    if (XGetWindowProperty(d, w, atom, 0, maxItems, False, type, &actual, &format, &count, &after, &data) ==
            Success &&
        data && actual == type && format == 32) {
        const auto* items = reinterpret_cast<unsigned long*>(data);
        out.assign(items, items + count);
    }
    if (data) XFree(data);
    return out;
}

std::optional<unsigned long> single(Display* d, Window w, const char* name, Atom type) {
    const auto v = property(d, w, name, type, 1);
    if (v.size() != 1) return std::nullopt;
    return v[0];
}

// The window manager's check window, when one runs: the root names it and it names
// itself. A manager that died leaves the root's property behind, naming a window
// that is gone.
std::optional<Window> managerWindow(Display* d) {
    const auto check = single(d, DefaultRootWindow(d), "_NET_SUPPORTING_WM_CHECK", XA_WINDOW);
    if (!check || *check == None) return std::nullopt;
    std::optional<unsigned long> self;
    trapXErrors(d, [&] { self = single(d, Window(*check), "_NET_SUPPORTING_WM_CHECK", XA_WINDOW); });
    if (self != check) return std::nullopt;
    return Window(*check);
}

void sendToRoot(Display* d, const char* message, long value) {
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = DefaultRootWindow(d);
    e.xclient.message_type = XInternAtom(d, message, False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = value;
    e.xclient.data.l[1] = CurrentTime;
    XSendEvent(d, DefaultRootWindow(d), False, SubstructureNotifyMask | SubstructureRedirectMask, &e);
    XFlush(d);
}

}  // namespace

LinuxDesktop::LinuxDesktop(std::shared_ptr<const DisplayFacility> displays)
    : LinuxDesktop([displays = std::move(displays)]() -> std::optional<std::string> {
          for (const auto& d : displays->displays()) {
              if (!d.connection.empty()) return d.connection;
          }
          return std::nullopt;
      }) {}

LinuxDesktop::LinuxDesktop(SessionDisplay sessionDisplay, std::shared_ptr<Clock> clock)
    : sessionDisplay_(std::move(sessionDisplay)), clock_(clock ? std::move(clock) : defaultClock()) {}

LinuxDesktop::~LinuxDesktop() {
    std::lock_guard lock(watchMutex_);
    stopWatch();
}

XConnection* LinuxDesktop::connection() {
    const auto name = sessionDisplay_();
    if (!name) {
        x_.reset();
        return nullptr;
    }
    if (x_ && x_->name() == *name && !x_->lost()) return x_.get();
    x_.reset();
    cached_.reset();
    std::string error;
    x_ = XConnection::open(*name, error);
    return x_.get();
}

LinuxDesktop::State LinuxDesktop::read(XConnection& x) {
    State s;
    if (x.lost()) return s;
    Display* d = x.get();
    if (!managerWindow(d)) return s;
    const Window root = DefaultRootWindow(d);
    const auto supported = property(d, root, "_NET_SUPPORTED", XA_ATOM, 1024);
    auto announces = [&](const char* name) {
        const Atom a = XInternAtom(d, name, False);
        return std::find(supported.begin(), supported.end(), a) != supported.end();
    };
    const auto count = single(d, root, "_NET_NUMBER_OF_DESKTOPS", XA_CARDINAL);
    s.workspaces = announces("_NET_CURRENT_DESKTOP") && count && *count > 1;
    s.showDesktop = announces("_NET_SHOWING_DESKTOP");
    return s;
}

LinuxDesktop::State LinuxDesktop::state() {
    std::lock_guard lock(mutex_);
    XConnection* x = connection();
    if (!x) return {};
    const double now = clock_->uptime();
    if (!cached_ || now - cachedAt_ >= kStateLifetime) {
        cached_ = read(*x);
        cachedAt_ = now;
    }
    return *cached_;
}

bool LinuxDesktop::can(GestureAction action) {
    switch (action) {
        case GestureAction::spaceLeft:
        case GestureAction::spaceRight: return state().workspaces;
        case GestureAction::showDesktop: return state().showDesktop;
        case GestureAction::magnify: return true;
        case GestureAction::missionControl:
        case GestureAction::appExpose:
        case GestureAction::launchpad:
        case GestureAction::lookUp:
        case GestureAction::smartZoom:
        case GestureAction::rotate: return false;
    }
    return false;
}

bool LinuxDesktop::perform(GestureAction action) {
    std::lock_guard lock(mutex_);
    XConnection* x = connection();
    if (!x || x->lost()) return false;
    Display* d = x->get();
    const Window root = DefaultRootWindow(d);
    const State s = read(*x);
    cached_ = s;
    cachedAt_ = clock_->uptime();
    switch (action) {
        case GestureAction::spaceLeft:
        case GestureAction::spaceRight: {
            if (!s.workspaces) return false;
            const auto count = single(d, root, "_NET_NUMBER_OF_DESKTOPS", XA_CARDINAL).value_or(1);
            const auto current = single(d, root, "_NET_CURRENT_DESKTOP", XA_CARDINAL).value_or(0);
            // Swiping stops at the first and the last workspace, as it does on a trackpad.
            const bool left = action == GestureAction::spaceLeft;
            if (left ? current == 0 : current + 1 >= count) return true;
            sendToRoot(d, "_NET_CURRENT_DESKTOP", long(left ? current - 1 : current + 1));
            return true;
        }
        case GestureAction::showDesktop: {
            if (!s.showDesktop) return false;
            const bool showing = single(d, root, "_NET_SHOWING_DESKTOP", XA_CARDINAL).value_or(0) != 0;
            sendToRoot(d, "_NET_SHOWING_DESKTOP", showing ? 0 : 1);
            return true;
        }
        default: return false;
    }
}

void LinuxDesktop::stopWatch() {
    if (!watcher_.joinable()) return;
    const uint64_t one = 1;
    while (::write(wake_, &one, sizeof one) < 0 && errno == EINTR) {
    }
    watcher_.join();
    ::close(wake_);
    wake_ = -1;
}

void LinuxDesktop::watch(std::function<void()> changed) {
    std::lock_guard lock(watchMutex_);
    stopWatch();
    if (!changed) return;
    wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_ < 0) {
        log("Desktop changes are not watched: no eventfd");
        return;
    }
    watcher_ = std::thread([this, onChange = std::move(changed), wake = wake_] {
        std::unique_ptr<XConnection> x;
        std::optional<State> last;
        Window watchedManager = None;
        for (;;) {
            const auto name = sessionDisplay_();
            if (x && (!name || x->name() != *name || x->lost())) x.reset();
            if (!x && name) {
                std::string error;
                x = XConnection::open(*name, error);
                watchedManager = None;
                if (x) XSelectInput(x->get(), DefaultRootWindow(x->get()), PropertyChangeMask);
            }
            State now;
            if (x) {
                Display* d = x->get();
                while (XPending(d) > 0) {
                    XEvent e;
                    XNextEvent(d, &e);
                }
                now = read(*x);
                // The manager's own window going away is how a manager that dies shows.
                if (const auto manager = managerWindow(d); manager && *manager != watchedManager) {
                    watchedManager = *manager;
                    trapXErrors(d, [&] { XSelectInput(d, watchedManager, StructureNotifyMask); });
                }
            }
            // The first look too: the session may have been told before the manager came.
            if (!last || *last != now) {
                {
                    std::lock_guard l(mutex_);
                    cached_.reset();
                }
                onChange();
            }
            last = now;
            // Events the reads above took in wait in Xlib's queue, not on the socket.
            if (x && XEventsQueued(x->get(), QueuedAlready) > 0) continue;
            pollfd fds[2] = {{wake, POLLIN, 0}, {x ? ConnectionNumber(x->get()) : -1, POLLIN, 0}};
            if (::poll(fds, 2, kWatchPollMs) > 0 && (fds[0].revents & POLLIN)) return;
        }
    });
}

}  // namespace tarvello
