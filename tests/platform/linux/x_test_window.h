#pragma once

#include <gtest/gtest.h>
// After gtest: Xlib's None and Status macros would break its headers.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/x11.h"
#include "support/eventually.h"

namespace tarvello::test {

// One input event as a client saw it. Keysyms are looked up when the event is read,
// the way a toolkit reads them, with the keyboard map of that moment.
struct SeenEvent {
    int type = 0;  // KeyPress, KeyRelease, ButtonPress, ButtonRelease, MotionNotify
    KeySym keysym = NoSymbol;
    unsigned keycode = 0;
    unsigned state = 0;
    unsigned button = 0;
    int rootX = 0, rootY = 0;
};

// The character a keysym types: Latin-1 keysyms are their code points, Unicode keysyms
// carry theirs; 0 for anything else.
inline char32_t characterOf(KeySym keysym) {
    if ((keysym >= 0x20 && keysym <= 0x7E) || (keysym >= 0xA0 && keysym <= 0xFF)) return char32_t(keysym);
    if ((keysym & 0xFF000000) == 0x01000000) return char32_t(keysym & 0x00FFFFFF);
    return 0;
}

// A client window over the whole screen that holds the keyboard focus and records the
// keys, buttons and motion that reach it. No window manager runs, so nothing else
// takes the focus.
class XTestWindow {
public:
    explicit XTestWindow(std::unique_ptr<XConnection> x) : x_(std::move(x)) {
        Display* d = x_->get();
        const int screen = DefaultScreen(d);
        XSetWindowAttributes a{};
        a.event_mask = KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask |
                       PointerMotionMask | StructureNotifyMask;
        a.override_redirect = True;
        window_ = XCreateWindow(d, RootWindow(d, screen), 0, 0, unsigned(DisplayWidth(d, screen)),
                                unsigned(DisplayHeight(d, screen)), 0, CopyFromParent, InputOutput,
                                CopyFromParent, CWEventMask | CWOverrideRedirect, &a);
        // Toolkits read the keyboard map at start-up, before any key arrives; from then on
        // the server tells them of every change. Reading it only at the first key press
        // can miss a change made while the map is being read.
        XKeysymToKeycode(d, XK_a);
        XMapWindow(d, window_);
        XFlush(d);
        mapped_ = waitFor([this](const std::vector<SeenEvent>&) { return mappedSeen_; });
        if (mapped_) {
            XSetInputFocus(d, window_, RevertToPointerRoot, CurrentTime);
            XSync(d, False);
        }
    }
    ~XTestWindow() {
        XDestroyWindow(x_->get(), window_);
        XSync(x_->get(), False);
    }
    XTestWindow(const XTestWindow&) = delete;
    XTestWindow& operator=(const XTestWindow&) = delete;

    bool ready() const { return mapped_; }
    Display* display() const { return x_->get(); }

    // Reads events until `done` holds for everything seen so far, or the (generous)
    // timeout passes; the timeout only keeps a failing test from hanging.
    bool waitFor(const std::function<bool(const std::vector<SeenEvent>&)>& done, double timeout = 10) {
        Display* d = x_->get();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
        for (;;) {
            while (XPending(d) > 0) read();
            if (done(seen_)) return true;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd p{ConnectionNumber(d), POLLIN, 0};
            poll(&p, 1, int(std::min<long long>(left.count(), 50)));
        }
    }
    // Waits until `n` events of `type` have arrived.
    bool waitForCount(int type, size_t n, double timeout = 10) {
        return waitFor([&](const std::vector<SeenEvent>& all) { return count(all, type) >= n; }, timeout);
    }

    static size_t count(const std::vector<SeenEvent>& all, int type) {
        size_t n = 0;
        for (const auto& e : all) n += e.type == type;
        return n;
    }
    std::vector<SeenEvent> of(int type) const {
        std::vector<SeenEvent> out;
        for (const auto& e : seen_) {
            if (e.type == type) out.push_back(e);
        }
        return out;
    }
    // The characters of the key presses seen, in order.
    std::u32string typed() const {
        std::u32string out;
        for (const auto& e : of(KeyPress)) {
            if (char32_t c = characterOf(e.keysym)) out.push_back(c);
        }
        return out;
    }
    const std::vector<SeenEvent>& seen() const { return seen_; }
    void clear() { seen_.clear(); }

private:
    void read() {
        Display* d = x_->get();
        XEvent ev;
        XNextEvent(d, &ev);
        SeenEvent s;
        s.type = ev.type;
        switch (ev.type) {
            case MapNotify: mappedSeen_ = true; return;
            case MappingNotify: XRefreshKeyboardMapping(&ev.xmapping); return;
            case KeyPress:
            case KeyRelease: {
                char text[32];
                XLookupString(&ev.xkey, text, sizeof text, &s.keysym, nullptr);
                s.keycode = ev.xkey.keycode;
                s.state = ev.xkey.state;
                s.rootX = ev.xkey.x_root;
                s.rootY = ev.xkey.y_root;
                break;
            }
            case ButtonPress:
            case ButtonRelease:
                s.button = ev.xbutton.button;
                s.state = ev.xbutton.state;
                s.rootX = ev.xbutton.x_root;
                s.rootY = ev.xbutton.y_root;
                break;
            case MotionNotify:
                s.state = ev.xmotion.state;
                s.rootX = ev.xmotion.x_root;
                s.rootY = ev.xmotion.y_root;
                break;
            default: return;
        }
        seen_.push_back(s);
    }

    std::unique_ptr<XConnection> x_;
    Window window_ = 0;
    bool mapped_ = false;
    bool mappedSeen_ = false;
    std::vector<SeenEvent> seen_;
};

// True when no key is down and no pointer button or modifier is held on `d`.
inline bool inputIdle(Display* d) {
    char keys[32] = {};
    XQueryKeymap(d, keys);
    for (char k : keys) {
        if (k) return false;
    }
    Window root = 0, child = 0;
    int rx = 0, ry = 0, wx = 0, wy = 0;
    unsigned mask = 0;
    XQueryPointer(d, DefaultRootWindow(d), &root, &child, &rx, &ry, &wx, &wy, &mask);
    const unsigned held = ShiftMask | ControlMask | Mod1Mask | Mod4Mask | Button1Mask | Button2Mask |
                          Button3Mask | Button4Mask | Button5Mask;
    return (mask & held) == 0;
}

}  // namespace tarvello::test
