#include "platform/linux/xtest_connection.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>

#include "platform/linux/x11.h"

namespace tarvello {

std::unique_ptr<XTestConnection> XTestConnection::open(const std::string& name, std::string& error) {
    auto x = XConnection::open(name, error);
    if (!x) return nullptr;
    int event = 0, errorBase = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(x->get(), &event, &errorBase, &major, &minor)) {
        error = "XTEST is missing on " + name;
        return nullptr;
    }
    // Synthetic input must get through while some client holds a grab (an open menu).
    XTestGrabControl(x->get(), True);
    std::unique_ptr<XTestConnection> c(new XTestConnection(std::move(x)));
    // Xlib takes up the keyboard extension on connecting, and the server then reports
    // keymap changes to it only when asked: a layout the session sets later must not
    // leave our table behind.
    int opcode = 0, xkbError = 0;
    int xkbMajor = XkbMajorVersion, xkbMinor = XkbMinorVersion;
    if (XkbQueryExtension(c->x_->get(), &opcode, &c->xkbEventBase_, &xkbError, &xkbMajor, &xkbMinor)) {
        XkbSelectEventDetails(c->x_->get(), XkbUseCoreKbd, XkbMapNotify, XkbKeySymsMask, XkbKeySymsMask);
        XkbSelectEventDetails(c->x_->get(), XkbUseCoreKbd, XkbNewKeyboardNotify, XkbNKN_KeycodesMask,
                              XkbNKN_KeycodesMask);
    } else {
        c->xkbEventBase_ = -1;
    }
    c->loadKeymap();
    return c;
}

XTestConnection::XTestConnection(std::unique_ptr<XConnection> x) : x_(std::move(x)) {
    XDisplayKeycodes(x_->get(), &minKeycode_, &maxKeycode_);
}

XTestConnection::~XTestConnection() = default;

void XTestConnection::loadKeymap() {
    Display* d = x_->get();
    const int count = maxKeycode_ - minKeycode_ + 1;
    int per = 0;
    KeySym* syms = XGetKeyboardMapping(d, KeyCode(minKeycode_), count, &per);
    if (!syms || per < 1) {
        if (syms) XFree(syms);
        return;
    }
    const bool first = unshifted_.empty() && anywhere_.empty() && spare_.empty();
    perKeycode_ = per;
    auto at = [&](int code, int column) { return syms[(code - minKeycode_) * per + column]; };
    if (first) {
        for (int code = minKeycode_; code <= maxKeycode_; ++code) {
            bool empty = true;
            for (int j = 0; j < per && empty; ++j) empty = at(code, j) == NoSymbol;
            if (empty) spare_.push_back(uint8_t(code));
        }
    }
    unshifted_.clear();
    anywhere_.clear();
    mapped_.reset();
    // Column by column, as Xlib's own lookup does, so an unshifted position wins.
    for (int j = 0; j < per; ++j) {
        for (int code = minKeycode_; code <= maxKeycode_; ++code) {
            const KeySym ks = at(code, j);
            if (ks == NoSymbol || std::find(spare_.begin(), spare_.end(), code) != spare_.end()) continue;
            if (j == 0) unshifted_.try_emplace(uint32_t(ks), uint8_t(code));
            anywhere_.try_emplace(uint32_t(ks), uint8_t(code));
            mapped_.set(size_t(code));
        }
    }
    XFree(syms);
    numLockMask_ = xkbEventBase_ >= 0 ? XkbKeysymToModifiers(d, XK_Num_Lock) : 0;
}

void XTestConnection::drainEvents() {
    // Mapping changes reach every client; unread, they would pile up for the connection's life.
    Display* d = x_->get();
    bool reload = false;
    auto foreign = [&](int first, int count) {
        return !(count == 1 && std::find(spare_.begin(), spare_.end(), first) != spare_.end());
    };
    while (!x_->lost() && XPending(d) > 0) {
        XEvent ev;
        XNextEvent(d, &ev);
        if (ev.type == MappingNotify) {
            XRefreshKeyboardMapping(&ev.xmapping);
            if (ev.xmapping.request == MappingKeyboard &&
                foreign(ev.xmapping.first_keycode, ev.xmapping.count)) {
                reload = true;
            }
        } else if (xkbEventBase_ >= 0 && ev.type == xkbEventBase_) {
            const auto& xkb = reinterpret_cast<const XkbEvent&>(ev);
            if (xkb.any.xkb_type == XkbNewKeyboardNotify) reload = true;
            if (xkb.any.xkb_type == XkbMapNotify && foreign(xkb.map.first_key_sym, xkb.map.num_key_syms)) {
                reload = true;
            }
        }
    }
    if (reload && !x_->lost()) loadKeymap();
}

bool XTestConnection::alive() {
    return !x_->lost();
}

std::optional<std::pair<int, int>> XTestConnection::pointer() {
    if (x_->lost()) return std::nullopt;
    Display* d = x_->get();
    Window root = 0, child = 0;
    int rootX = 0, rootY = 0, winX = 0, winY = 0;
    unsigned mask = 0;
    if (!XQueryPointer(d, DefaultRootWindow(d), &root, &child, &rootX, &rootY, &winX, &winY, &mask)) {
        return std::nullopt;
    }
    if (x_->lost()) return std::nullopt;
    return std::pair{rootX, rootY};
}

void XTestConnection::motion(int x, int y) {
    if (x_->lost()) return;
    XTestFakeMotionEvent(x_->get(), DefaultScreen(x_->get()), x, y, CurrentTime);
}

void XTestConnection::button(unsigned b, bool down) {
    if (x_->lost()) return;
    XTestFakeButtonEvent(x_->get(), b, down ? True : False, CurrentTime);
}

void XTestConnection::key(uint8_t keycode, bool down) {
    if (x_->lost()) return;
    XTestFakeKeyEvent(x_->get(), keycode, down ? True : False, CurrentTime);
}

uint8_t XTestConnection::keycodeOf(uint32_t keysym, bool unshiftedOnly) {
    const auto& table = unshiftedOnly ? unshifted_ : anywhere_;
    const auto it = table.find(keysym);
    return it == table.end() ? 0 : it->second;
}

std::optional<XInputConnection::KeyboardState> XTestConnection::keyboardState() {
    if (x_->lost() || xkbEventBase_ < 0) return std::nullopt;
    XkbStateRec state{};
    if (XkbGetState(x_->get(), XkbUseCoreKbd, &state) != Success || x_->lost()) return std::nullopt;
    return KeyboardState{(state.locked_mods & LockMask) != 0, int(state.group)};
}

void XTestConnection::setLock(Lock lock, bool on) {
    if (x_->lost() || xkbEventBase_ < 0) return;
    const unsigned mask = lock == Lock::caps ? unsigned(LockMask) : numLockMask_;
    if (mask) XkbLockModifiers(x_->get(), XkbUseCoreKbd, mask, on ? mask : 0);
}

bool XTestConnection::bind(uint8_t keycode, uint32_t keysym) {
    if (x_->lost()) return false;
    Display* d = x_->get();
    std::vector<KeySym> syms(static_cast<size_t>(perKeycode_), static_cast<KeySym>(keysym));
    const int error =
        trapXErrors(d, [&] { XChangeKeyboardMapping(d, keycode, perKeycode_, syms.data(), 1); });
    drainEvents();
    return error == 0 && !x_->lost();
}

void XTestConnection::flush() {
    if (!x_->lost()) drainEvents();
}

}  // namespace tarvello
