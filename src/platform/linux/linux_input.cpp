#include "platform/linux/linux_input.h"

#include <X11/keysym.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <tuple>
#include <utility>

#include "base/log.h"
#include "base/settings.h"
#include "dispatch/serial_queue.h"
#include "platform/key_codes.h"

namespace tarvello {

namespace {

struct KeyCodeSym {
    uint16_t keyCode;
    uint32_t keysym;
};

// Every virtual key code of the key table, by its key's position on a US layout.
// clang-format off
constexpr KeyCodeSym kKeySyms[] = {
    {0, XK_a},             {1, XK_s},             {2, XK_d},             {3, XK_f},
    {4, XK_h},             {5, XK_g},             {6, XK_z},             {7, XK_x},
    {8, XK_c},             {9, XK_v},             {10, XK_less},         {11, XK_b},
    {12, XK_q},            {13, XK_w},            {14, XK_e},            {15, XK_r},
    {16, XK_y},            {17, XK_t},            {18, XK_1},            {19, XK_2},
    {20, XK_3},            {21, XK_4},            {22, XK_6},            {23, XK_5},
    {24, XK_equal},        {25, XK_9},            {26, XK_7},            {27, XK_minus},
    {28, XK_8},            {29, XK_0},            {30, XK_bracketright}, {31, XK_o},
    {32, XK_u},            {33, XK_bracketleft},  {34, XK_i},            {35, XK_p},
    {36, XK_Return},       {37, XK_l},            {38, XK_j},            {39, XK_apostrophe},
    {40, XK_k},            {41, XK_semicolon},    {42, XK_backslash},    {43, XK_comma},
    {44, XK_slash},        {45, XK_n},            {46, XK_m},            {47, XK_period},
    {48, XK_Tab},          {49, XK_space},        {50, XK_grave},        {51, XK_BackSpace},
    {53, XK_Escape},       {54, XK_Super_R},      {55, XK_Super_L},      {56, XK_Shift_L},
    {57, XK_Caps_Lock},    {58, XK_Alt_L},        {59, XK_Control_L},    {60, XK_Shift_R},
    {61, XK_Alt_R},        {62, XK_Control_R},    {65, XK_KP_Decimal},   {67, XK_KP_Multiply},
    {69, XK_KP_Add},       {71, XK_Num_Lock},     {75, XK_KP_Divide},    {76, XK_KP_Enter},
    {78, XK_KP_Subtract},  {82, XK_KP_0},         {83, XK_KP_1},         {84, XK_KP_2},
    {85, XK_KP_3},         {86, XK_KP_4},         {87, XK_KP_5},         {88, XK_KP_6},
    {89, XK_KP_7},         {91, XK_KP_8},         {92, XK_KP_9},         {96, XK_F5},
    {97, XK_F6},           {98, XK_F7},           {99, XK_F3},           {100, XK_F8},
    {101, XK_F9},          {103, XK_F11},         {109, XK_F10},         {111, XK_F12},
    {114, XK_Insert},      {115, XK_Home},        {116, XK_Prior},       {117, XK_Delete},
    {118, XK_F4},          {119, XK_End},         {120, XK_F2},          {121, XK_Next},
    {122, XK_F1},          {123, XK_Left},        {124, XK_Right},       {125, XK_Down},
    {126, XK_Up},
};
// clang-format on

constexpr std::array<uint32_t, 128> kKeySymByCode = [] {
    std::array<uint32_t, 128> table{};
    for (const auto& k : kKeySyms) table[k.keyCode] = k.keysym;
    return table;
}();

// The flag each modifier key code stands for.
constexpr std::pair<uint16_t, uint64_t> kModifierKeyCodes[] = {
    {59, EventFlags::control}, {62, EventFlags::control},   {56, EventFlags::shift},
    {60, EventFlags::shift},   {58, EventFlags::alternate}, {61, EventFlags::alternate},
    {55, EventFlags::command}, {54, EventFlags::command},
};

// The key pressed for a flag that an event carries but no held modifier provides
// (key chords); pressed in this order, released in reverse.
constexpr std::pair<uint64_t, uint16_t> kChordModifiers[] = {
    {EventFlags::control, 59},
    {EventFlags::alternate, 58},
    {EventFlags::shift, 56},
    {EventFlags::command, 55},
};

constexpr uint16_t kLeftCommand = 55, kRightCommand = 54, kLeftControl = 59, kRightControl = 62;
constexpr uint16_t kNumLock = 71;

// Keypad keys that type a digit or the decimal separator only while Num Lock is on.
constexpr bool numLockDependent(uint16_t keyCode) {
    return keyCode == 65 || (keyCode >= 82 && keyCode <= 89) || keyCode == 91 || keyCode == 92;
}

// The flags as the display sees them.
uint64_t displayFlags(uint64_t flags, bool commandIsControl) {
    if (!commandIsControl || !(flags & EventFlags::command)) return flags;
    return (flags & ~EventFlags::command) | EventFlags::control;
}

// The gesture chords for switching spaces become Control+Alt+Left/Right, which most X
// desktops bind to switching workspaces. The numeric-pad and secondary-function flags
// mark them: a key from the phone's keyboard never carries those.
constexpr uint64_t kSpaceChordFlags = EventFlags::control | EventFlags::numericPad | EventFlags::secondaryFn;
constexpr uint64_t kWorkspaceFlags = EventFlags::control | EventFlags::alternate;

uint64_t desktopFlags(uint16_t keyCode, uint64_t flags) {
    if (flags == kSpaceChordFlags && (keyCode == 123 || keyCode == 124)) return kWorkspaceFlags;
    return flags;
}

std::optional<uint64_t> modifierFlagOf(uint16_t keyCode) {
    for (const auto& [code, flag] : kModifierKeyCodes) {
        if (code == keyCode) return flag;
    }
    return std::nullopt;
}

constexpr unsigned kWheelUp = 4, kWheelDown = 5, kWheelLeft = 6, kWheelRight = 7;

int capSteps(double steps, double& remainder) {
    if (std::fabs(steps) > LinuxInput::kMaxStepsPerEvent) {
        steps = std::copysign(double(LinuxInput::kMaxStepsPerEvent), steps);
        remainder = 0;
    }
    return int(steps);
}

// Whole steps in `remainder + delta`; the rest stays in `remainder`. Turning back drops
// what was carried the other way, so a reversal answers as promptly as a start.
int wheelSteps(double& remainder, double delta, double perStep) {
    if (!std::isfinite(delta)) return 0;
    if (delta != 0 && remainder != 0 && (delta > 0) != (remainder > 0)) remainder = 0;
    const double total = remainder + delta;
    const double steps = std::trunc(total / perStep);
    remainder = total - steps * perStep;
    return capSteps(steps, remainder);
}

// Wheel steps for scrolling: a step goes out once the motion is half a step past the
// last one, so a short drag already moves the content and the content stays within
// half a step of the finger. The remainder may then run against the motion; it is
// dropped when the motion itself turns back, so a wobble of the finger does not
// scroll back.
int scrollSteps(LinuxInput::WheelAxis& axis, double delta, double perStep) {
    if (!std::isfinite(delta)) return 0;
    if (delta != 0) {
        const int direction = delta > 0 ? 1 : -1;
        if (axis.direction != 0 && direction != axis.direction) axis.remainder = 0;
        axis.direction = direction;
    }
    const double total = axis.remainder + delta;
    const double steps = std::round(total / perStep);
    axis.remainder = total - steps * perStep;
    return capSteps(steps, axis.remainder);
}

// Root pixel of an offset in points; the small bias keeps exact pixel edges from
// rounding down a pixel.
int toPixel(double points, double scale, int size) {
    const double px = std::floor(points * scale + 1e-6);
    return int(std::clamp(px, 0.0, double(size - 1)));
}

std::u32string toCodePoints(const std::u16string& units) {
    std::u32string out;
    out.reserve(units.size());
    for (size_t i = 0; i < units.size(); ++i) {
        const char16_t u = units[i];
        if (u >= 0xD800 && u < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] < 0xE000) {
            out.push_back(0x10000 + ((char32_t(u) - 0xD800) << 10) + (char32_t(units[i + 1]) - 0xDC00));
            ++i;
        } else if (u >= 0xD800 && u < 0xE000) {
            out.push_back(0xFFFD);
        } else {
            out.push_back(u);
        }
    }
    return out;
}

const char* gestureName(GestureSubtype subtype) {
    switch (subtype) {
        case GestureSubtype::rotate: return "rotate";
        case GestureSubtype::smartMagnify: return "smart zoom";
        case GestureSubtype::magnify: return "magnify";
        case GestureSubtype::none: break;
    }
    return "without a subtype";
}

}  // namespace

std::optional<uint32_t> keysymForKeyCode(uint16_t keyCode) {
    if (keyCode >= kKeySymByCode.size() || kKeySymByCode[keyCode] == 0) return std::nullopt;
    return kKeySymByCode[keyCode];
}

std::optional<uint32_t> keysymForCharacter(char32_t c) {
    if (c == U'\n' || c == U'\r') return XK_Return;
    if (c == U'\t') return XK_Tab;
    if (c < 0x20 || (c >= 0x7F && c < 0xA0) || (c >= 0xD800 && c < 0xE000) || c > 0x10FFFF)
        return std::nullopt;
    // Latin-1 keysyms are their code points; everything else has the Unicode keysym.
    if (c < 0x100) return uint32_t(c);
    return 0x01000000u | uint32_t(c);
}

// ---------------------------------------------------------------------------------

LinuxInput::LinuxInput(std::shared_ptr<const DisplayFacility> displays, Options options)
    : LinuxInput(
          [displays = std::move(displays)]() -> std::optional<DisplayInfo> {
              for (auto& d : displays->displays()) {
                  if (!d.connection.empty()) return d;
              }
              return std::nullopt;
          },
          std::move(options)) {}

LinuxInput::LinuxInput(SessionDisplay sessionDisplay, Options options)
    : sessionDisplay_(std::move(sessionDisplay)),
      connect_(std::move(options.connect)),
      clock_(options.clock ? std::move(options.clock) : defaultClock()),
      defer_(std::move(options.defer)),
      commandKey_(std::move(options.commandKey)),
      desktopOrigin_(std::move(options.desktopOrigin)) {
    if (!connect_) {
        connect_ = [](const std::string& name, std::string& error) -> std::unique_ptr<XInputConnection> {
            return XTestConnection::open(name, error);
        };
    }
    if (!commandKey_) {
        commandKey_ = [] {
            return Settings::shared().commandKey() == "super" ? CommandKey::super : CommandKey::control;
        };
    }
}

LinuxInput::~LinuxInput() {
    // The restore timer reaches into this object: it must be gone first.
    if (timerQueue_) timerQueue_->stop();
    std::lock_guard lock(mutex_);
    closeConnection();
}

std::optional<LinuxInput::Geometry> LinuxInput::geometry(std::string& name) const {
    const auto info = sessionDisplay_();
    if (!info || info->connection.empty()) return std::nullopt;
    const DisplayRect& b = info->bounds;
    if (!std::isfinite(b.x) || !std::isfinite(b.y) || !(b.width > 0) || !(b.height > 0) ||
        !std::isfinite(b.width) || !std::isfinite(b.height) || info->pixelWidth < 1 ||
        info->pixelHeight < 1) {
        return std::nullopt;
    }
    name = info->connection;
    Geometry g{b, info->pixelWidth, info->pixelHeight, info->pixelWidth / b.width,
               info->pixelHeight / b.height};
    if (desktopOrigin_) std::tie(g.originX, g.originY) = desktopOrigin_();
    return g;
}

XInputConnection* LinuxInput::connection(const std::string& name) {
    if (connection_ && connectionName_ == name && connection_->alive()) return connection_.get();
    closeConnection();
    const double now = clock_->uptime();
    if (failedName_ == name && now - failedAt_ < kReopenInterval) return nullptr;
    std::string error;
    auto c = connect_(name, error);
    if (!c) {
        if (failedName_ != name) log("Input injection unavailable on " + name + ": " + error);
        failedName_ = name;
        failedAt_ = now;
        return nullptr;
    }
    failedName_.clear();
    connection_ = std::move(c);
    connectionName_ = name;
    log("Input injection on " + name + " through XTEST");
    return connection_.get();
}

void LinuxInput::closeConnection() {
    if (connection_ && connection_->alive()) {
        // Leave the old display as it was: nothing pressed on our behalf, no borrowed keycodes.
        for (const auto& [key, modifiers] : chordModifiers_) {
            connection_->key(key, false);
            for (auto m : modifiers) connection_->key(m, false);
        }
        std::set<uint8_t> held;
        for (const auto& [keyCode, m] : heldModifiers_) held.insert(m.keycode);
        for (const auto code : held) connection_->key(code, false);
        restoreBindings(*connection_, 0);
        connection_->flush();
    }
    connection_.reset();
    connectionName_.clear();
    resetSession();
}

void LinuxInput::resetSession() {
    heldModifiers_.clear();
    chordModifiers_.clear();
    bindings_.clear();
    lastMotion_.reset();
    wheelX_ = wheelY_ = {};
    magnifyRemainder_ = 0;
    reportedGestures_.clear();
    noSpareReported_ = false;
    numLockPressed_ = false;
}

uint64_t LinuxInput::heldFlags() const {
    uint64_t flags = 0;
    for (const auto& [keyCode, m] : heldModifiers_) flags |= m.flag;
    return flags;
}

bool LinuxInput::post(const InputEvent& e) {
    std::lock_guard lock(mutex_);
    std::string name;
    const auto g = geometry(name);
    if (!g) return false;
    XInputConnection* c = connection(name);
    if (!c) return false;
    c->flush();  // a keymap change announced since the last event applies to this one
    bool ok = false;
    switch (e.type) {
        case InputEventType::keyDown:
        case InputEventType::keyUp:
            if (e.text.empty()) {
                ok = postKey(*c, e);
            } else {
                // Each character goes down and up with the key-down; the key-up has nothing left to do.
                ok = e.type == InputEventType::keyUp || typeText(*c, e.text);
            }
            break;
        case InputEventType::flagsChanged: ok = postModifier(*c, e); break;
        case InputEventType::mouseMoved:
        case InputEventType::leftMouseDragged:
        case InputEventType::rightMouseDragged:
        case InputEventType::otherMouseDragged: ok = postMotion(*c, *g, e.location); break;
        case InputEventType::leftMouseDown:
        case InputEventType::leftMouseUp:
        case InputEventType::rightMouseDown:
        case InputEventType::rightMouseUp:
        case InputEventType::otherMouseDown:
        case InputEventType::otherMouseUp: ok = postButton(*c, e); break;
        case InputEventType::scrollWheel: ok = postScroll(*c, e); break;
        case InputEventType::gesture: ok = postGesture(*c, e); break;
    }
    c->flush();
    return ok && c->alive();
}

std::optional<Point> LinuxInput::pointerLocation() {
    std::lock_guard lock(mutex_);
    std::string name;
    const auto g = geometry(name);
    if (!g) return std::nullopt;
    XInputConnection* c = connection(name);
    if (!c) return std::nullopt;
    // Asking the server would hold every move up for a round trip. Only we move this
    // display's pointer, so it is where we put it, at the point we put it at, whose
    // fraction of a pixel keeps slow relative motion adding up.
    const bool sharedPointer = bool(desktopOrigin_);
    if (!sharedPointer && lastMotion_ && lastMotion_->geometry == *g) return lastMotion_->point;
    const auto p = c->pointer();
    if (!p) return std::nullopt;
    if (sharedPointer && lastMotion_ && lastMotion_->geometry == *g &&
        toPixel(lastMotion_->point.x - g->bounds.x, g->scaleX, g->pixelWidth) + g->originX == p->first &&
        toPixel(lastMotion_->point.y - g->bounds.y, g->scaleY, g->pixelHeight) + g->originY == p->second) {
        return lastMotion_->point;  // still where we put it: keep the fraction of a pixel
    }
    const Point at{g->bounds.x + (p->first - g->originX) / g->scaleX,
                   g->bounds.y + (p->second - g->originY) / g->scaleY};
    lastMotion_ = Motion{at, *g};
    return at;
}

// ---------------------------------------------------------------------------------
// Keys

uint8_t LinuxInput::keycodeAt(XInputConnection& c, uint16_t keyCode) {
    // X servers number keys as evdev does, plus 8.
    if (const auto evdev = evdevKeyCode(keyCode); evdev && *evdev + 8 <= 255) {
        if (c.mapped(uint8_t(*evdev + 8))) return uint8_t(*evdev + 8);
    }
    // A server that numbers them some other way: the key with the US layout's symbol.
    const auto keysym = keysymForKeyCode(keyCode);
    return keysym ? c.keycodeOf(*keysym, false) : 0;
}

bool LinuxInput::commandIsControl() const {
    return commandKey_() == CommandKey::control;
}

bool LinuxInput::postKey(XInputConnection& c, const InputEvent& e) {
    const uint8_t code = keycodeAt(c, e.keyCode);
    if (!code) return false;
    if (e.type == InputEventType::keyUp) {
        c.key(code, false);
        if (auto it = chordModifiers_.find(code); it != chordModifiers_.end()) {
            for (auto m = it->second.rbegin(); m != it->second.rend(); ++m) c.key(*m, false);
            chordModifiers_.erase(it);
        }
        return true;
    }
    if (e.keyCode == kNumLock) numLockPressed_ = true;
    // The phone's keypad types digits: unless the user has taken Num Lock in hand, it
    // is on for them.
    if (numLockDependent(e.keyCode) && !numLockPressed_) c.setLock(XInputConnection::Lock::num, true);
    // A chord's flags come without its modifiers being held: press them around the key.
    if (!chordModifiers_.contains(code)) {
        uint64_t flags = desktopFlags(e.keyCode, e.flags);
        if (flags & EventFlags::command) flags = displayFlags(flags, commandIsControl());
        const uint64_t missing = flags & ~heldFlags();
        std::vector<uint8_t> pressed;
        for (const auto& [flag, keyCode] : kChordModifiers) {
            if (!(missing & flag)) continue;
            const uint8_t m = keycodeAt(c, keyCode);
            if (m && std::find(pressed.begin(), pressed.end(), m) == pressed.end()) {
                c.key(m, true);
                pressed.push_back(m);
            }
        }
        if (!pressed.empty()) chordModifiers_[code] = std::move(pressed);
    }
    c.key(code, true);
    return true;
}

bool LinuxInput::postModifier(XInputConnection& c, const InputEvent& e) {
    auto flag = modifierFlagOf(e.keyCode);
    if (!flag) return false;
    auto sharedBy = [&](uint8_t code) {
        return std::any_of(heldModifiers_.begin(), heldModifiers_.end(),
                           [&](const auto& held) { return held.second.keycode == code; });
    };
    if (!e.down) {
        // The key that went down, whatever the setting says by now.
        const auto it = heldModifiers_.find(e.keyCode);
        if (it == heldModifiers_.end()) return true;
        const uint8_t code = it->second.keycode;
        heldModifiers_.erase(it);
        // Command and Control may be the same key: it stays down while either is held.
        if (!sharedBy(code)) c.key(code, false);
        return true;
    }
    uint16_t keyCode = e.keyCode;
    if ((keyCode == kLeftCommand || keyCode == kRightCommand) && commandIsControl()) {
        keyCode = keyCode == kLeftCommand ? kLeftControl : kRightControl;
        flag = EventFlags::control;
    }
    const uint8_t code = keycodeAt(c, keyCode);
    if (!code) return false;
    if (heldModifiers_.contains(e.keyCode)) return true;
    if (!sharedBy(code)) c.key(code, true);
    heldModifiers_[e.keyCode] = HeldModifier{code, *flag};
    return true;
}

// ---------------------------------------------------------------------------------
// Text

bool LinuxInput::typeText(XInputConnection& c, const std::u16string& text) {
    // Plain keys type their first-group symbol only while that group is active; Caps
    // Lock would turn the case of letters, so it is let go while the text is typed.
    const auto state = c.keyboardState();
    const bool capsLock = state && state->capsLock;
    const bool plainKeys = heldFlags() == 0 && (!state || state->group == 0);
    if (capsLock) c.setLock(XInputConnection::Lock::caps, false);
    bool ok = true;
    for (const char32_t ch : toCodePoints(text)) ok = typeCharacter(c, ch, plainKeys) && ok;
    if (capsLock) c.setLock(XInputConnection::Lock::caps, true);
    scheduleRestore(kBindingHold);
    return ok;
}

bool LinuxInput::typeCharacter(XInputConnection& c, char32_t ch, bool plainKeys) {
    const auto keysym = keysymForCharacter(ch);
    if (!keysym) return true;  // a control character with no key: nothing to type
    // A key that types the character by itself is used as it is, unless a held modifier
    // would change what it types; a borrowed keycode carries the symbol at every level.
    uint8_t code = plainKeys ? c.keycodeOf(*keysym, true) : 0;
    if (!code) code = bindingFor(c, *keysym);
    if (!code) return false;
    c.key(code, true);
    c.key(code, false);
    return true;
}

uint8_t LinuxInput::bindingFor(XInputConnection& c, uint32_t keysym) {
    const double now = clock_->uptime();
    for (auto& b : bindings_) {
        if (b.keysym == keysym) {
            b.lastUse = now;
            return b.keycode;
        }
    }
    uint8_t code = 0;
    for (const uint8_t spare : c.spareKeycodes()) {
        const bool taken = std::any_of(bindings_.begin(), bindings_.end(),
                                       [&](const Binding& b) { return b.keycode == spare; });
        if (!taken) {
            code = spare;
            break;
        }
    }
    if (!code) {
        if (bindings_.empty()) {
            if (!noSpareReported_) log("No spare keycode on " + connectionName_ + ": text cannot be typed");
            noSpareReported_ = true;
            return 0;
        }
        // All borrowed: the one unused longest is the least likely still to be read.
        const auto lru =
            std::min_element(bindings_.begin(), bindings_.end(),
                             [](const Binding& a, const Binding& b) { return a.lastUse < b.lastUse; });
        code = lru->keycode;
        bindings_.erase(lru);
    }
    if (!c.bind(code, keysym)) {
        c.bind(code, 0);
        return 0;
    }
    bindings_.push_back({code, keysym, now});
    return code;
}

void LinuxInput::scheduleRestore(double seconds) {
    if (restoreScheduled_ || bindings_.empty()) return;
    restoreScheduled_ = true;
    auto fn = [this] { restoreIdleBindings(); };
    if (defer_) {
        defer_(seconds, std::move(fn));
        return;
    }
    if (!timerQueue_) timerQueue_ = std::make_unique<SerialQueue>("tarvello.input.keymap");
    timerQueue_->after(seconds, std::move(fn));
}

void LinuxInput::restoreIdleBindings() {
    std::lock_guard lock(mutex_);
    restoreScheduled_ = false;
    if (!connection_ || !connection_->alive()) {
        bindings_.clear();
        return;
    }
    restoreBindings(*connection_, kBindingHold);
    connection_->flush();
    if (bindings_.empty()) return;
    double oldest = bindings_.front().lastUse;
    for (const auto& b : bindings_) oldest = std::min(oldest, b.lastUse);
    scheduleRestore(std::max(0.05, oldest + kBindingHold - clock_->uptime()));
}

void LinuxInput::restoreBindings(XInputConnection& c, double idleFor) {
    const double now = clock_->uptime();
    std::erase_if(bindings_, [&](const Binding& b) {
        if (now - b.lastUse < idleFor) return false;
        c.bind(b.keycode, 0);
        return true;
    });
}

// ---------------------------------------------------------------------------------
// Pointer and wheel

bool LinuxInput::postMotion(XInputConnection& c, const Geometry& g, Point p) {
    if (!std::isfinite(p.x) || !std::isfinite(p.y)) return false;
    const int x = toPixel(p.x - g.bounds.x, g.scaleX, g.pixelWidth);
    const int y = toPixel(p.y - g.bounds.y, g.scaleY, g.pixelHeight);
    c.motion(g.originX + x, g.originY + y);
    lastMotion_ = Motion{p, g};
    return true;
}

bool LinuxInput::postButton(XInputConnection& c, const InputEvent& e) {
    const bool down = e.type == InputEventType::leftMouseDown || e.type == InputEventType::rightMouseDown ||
                      e.type == InputEventType::otherMouseDown;
    unsigned button = 1;
    switch (e.mouseButton) {
        case MouseButton::left: button = 1; break;
        case MouseButton::right: button = 3; break;
        case MouseButton::center: button = 2; break;
    }
    // Click counting is the X client's business: it times the presses itself.
    c.button(button, down);
    return true;
}

void LinuxInput::clickWheel(XInputConnection& c, int steps, unsigned positive, unsigned negative) {
    const unsigned button = steps > 0 ? positive : negative;
    for (int i = 0; i < std::abs(steps); ++i) {
        c.button(button, true);
        c.button(button, false);
    }
}

bool LinuxInput::postScroll(XInputConnection& c, const InputEvent& e) {
    if (e.scrollPhase == ScrollEventPhase::began) wheelX_ = wheelY_ = {};
    // Momentum events take the same path and keep the remainder of the gesture they follow.
    clickWheel(c, scrollSteps(wheelY_, e.wheel1, kPointsPerWheelStep), kWheelUp, kWheelDown);
    clickWheel(c, scrollSteps(wheelX_, e.wheel2, kPointsPerWheelStep), kWheelLeft, kWheelRight);
    return true;
}

bool LinuxInput::postGesture(XInputConnection& c, const InputEvent& e) {
    if (e.gestureSubtype != GestureSubtype::magnify) {
        if (reportedGestures_.insert(e.gestureSubtype).second) {
            log(std::string("Gesture ") + gestureName(e.gestureSubtype) + " is not supported on X displays");
        }
        return false;
    }
    // Pinching zooms the way X clients zoom: Control with the wheel.
    if (e.gesturePhase == GesturePhase::began) magnifyRemainder_ = 0;
    const int steps = wheelSteps(magnifyRemainder_, e.magnification, kMagnificationPerStep);
    if (steps == 0) return true;
    uint8_t control = 0;
    if (!(heldFlags() & EventFlags::control)) {
        control = keycodeAt(c, kLeftControl);
        if (control) c.key(control, true);
    }
    clickWheel(c, steps, kWheelUp, kWheelDown);
    if (control) c.key(control, false);
    return true;
}

}  // namespace tarvello
