#include "input/injector.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "base/log.h"
#include "base/text_format.h"
#include "platform/key_codes.h"
#include "protocol/byte_codec.h"

namespace tarvello {

namespace {

constexpr double kClickInterval = 0.4;  // seconds, strict
constexpr double kClickDistance = 6;    // points, strict, per axis
constexpr size_t kMaxActiveDisplays = 16;
constexpr size_t kTextChunkUnits = 16;

constexpr double kMomentumInterval = 1.0 / 120;
constexpr double kMomentumDecayPerMs = 0.998;
constexpr double kMomentumMinStart = 100;  // px/s; slower releases get no momentum
constexpr double kMomentumMinSpeed = 15;   // px/s; below this the run ends
// A flick this fast already scrolls for four seconds; faster values are noise and
// would otherwise scroll for most of a minute.
constexpr double kMomentumMaxSpeed = 50000;
// Far beyond any one step of a real pinch or rotation.
constexpr double kMaxGestureValue = 1e4;

constexpr uint64_t kSpaceChordFlags = EventFlags::control | EventFlags::numericPad | EventFlags::secondaryFn;
constexpr uint64_t kLookUpFlags = EventFlags::control | EventFlags::command;

// Rounds half away from zero and saturates: casting an out-of-range double is undefined.
template <class Int>
Int saturatingRound(double v) {
    if (std::isnan(v)) return 0;
    const double r = std::round(v);
    // The max converts up to 2^(bits-1) exactly, so >= catches everything out of range.
    if (r >= static_cast<double>(std::numeric_limits<Int>::max())) return std::numeric_limits<Int>::max();
    if (r <= static_cast<double>(std::numeric_limits<Int>::min())) return std::numeric_limits<Int>::min();
    return static_cast<Int>(r);
}

// Raise to the minimum first, then lower to the maximum.
double clampLowThenHigh(double v, double lo, double hi) {
    return std::min(std::max(v, lo), hi);
}

bool hasArea(const DisplayRect& r) {
    return std::isfinite(r.x) && std::isfinite(r.y) && std::isfinite(r.width) && std::isfinite(r.height) &&
           r.width > 0 && r.height > 0;
}

std::u16string toUtf16(std::string_view text) {
    const std::string valid =
        repairUtf8(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
    std::u16string out;
    out.reserve(valid.size());
    size_t i = 0;
    while (i < valid.size()) {
        const auto c = static_cast<uint8_t>(valid[i]);
        const size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        uint32_t cp = len == 1 ? c : len == 2 ? (c & 0x1Fu) : len == 3 ? (c & 0x0Fu) : (c & 0x07u);
        for (size_t j = 1; j < len && i + j < valid.size(); ++j) {
            cp = (cp << 6) | (static_cast<uint8_t>(valid[i + j]) & 0x3Fu);
        }
        i += len;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

struct ButtonTypes {
    InputEventType down, up;
    MouseButton mouseButton;
};

ButtonTypes buttonTypes(uint8_t b) {
    switch (b) {
        case 1: return {InputEventType::rightMouseDown, InputEventType::rightMouseUp, MouseButton::right};
        case 2: return {InputEventType::otherMouseDown, InputEventType::otherMouseUp, MouseButton::center};
        default: return {InputEventType::leftMouseDown, InputEventType::leftMouseUp, MouseButton::left};
    }
}

class QueueMomentumTicker final : public MomentumTicker {
public:
    void start(Queue& queue, double interval, std::function<void()> step) override {
        timer_.cancel();
        timer_ = queue.every(0, interval, std::move(step));
    }
    void stop() override {
        timer_.cancel();
        timer_ = {};
    }

private:
    TimerHandle timer_;
};

std::shared_ptr<PreferenceDomains> defaultPreferences() {
    if (auto dir = defaultPreferenceDomainsDirectory())
        return std::make_shared<JsonFilePreferenceDomains>(*dir);
    return std::make_shared<MemoryPreferenceDomains>();
}

}  // namespace

// ---------------------------------------------------------------------------------
// Construction and decoding

Injector::Injector(std::shared_ptr<InputFacility> input, std::shared_ptr<DisplayFacility> displays,
                   InjectorOptions options)
    : input_(std::move(input)),
      displays_(std::move(displays)),
      clock_(options.clock ? std::move(options.clock) : defaultClock()),
      preferences_(options.preferences ? std::move(options.preferences) : defaultPreferences()),
      dock_(std::move(options.dock)),
      workspace_(std::move(options.workspace)),
      ticker_(options.ticker ? std::move(options.ticker) : std::make_shared<QueueMomentumTicker>()),
      desktop_(std::move(options.desktop)) {
    targetDisplay_ = displays_->mainDisplay();
}

Injector::~Injector() {
    // Momentum work captures `this`: nothing may run on that queue once members go.
    momentumQueue_.stop();
    ticker_->stop();
}

void Injector::handle(MsgType type, std::span<const uint8_t> p) {
    switch (type) {
        case MsgType::key: {
            const auto m = decodeKey(p);
            key(m.usage, m.down);
            break;
        }
        case MsgType::mouseRel: {
            const auto m = decodeMouseRel(p);
            mouseRel(m.dx, m.dy);
            break;
        }
        case MsgType::mouseAbs: {
            const auto m = decodeMouseAbs(p);
            mouseAbs(m.x, m.y);
            break;
        }
        case MsgType::button: {
            const auto m = decodeButton(p);
            button(m.button, m.down);
            break;
        }
        case MsgType::scroll: {
            const auto m = decodeScroll(p);
            scroll(m.phase, m.dx, m.dy);
            break;
        }
        case MsgType::text: typeText(decodeText(p)); break;
        case MsgType::gesture:
            if (const auto m = decodeGesture(p)) gesture(m->action, m->phase, m->value);
            break;
        case MsgType::releaseAll: releaseAll(); break;
        default: break;
    }
}

void Injector::setTargetDisplay(uint32_t display) {
    targetDisplay_ = display ? display : displays_->mainDisplay();
}

// ---------------------------------------------------------------------------------
// Keyboard and text

void Injector::updateFlags() {
    uint64_t flags = 0;
    for (auto usage : heldModifiers_) flags |= modifierFlag(usage).value_or(0);
    flags_.store(flags, std::memory_order_release);
}

void Injector::key(uint16_t usage, bool down) {
    const auto code = hidKeyCode(usage);
    if (!code) {
        log("Unhandled HID key 0x" + formatHex(usage));
        return;
    }
    InputEvent e;
    e.keyCode = *code;
    e.down = down;
    if (modifierFlag(usage)) {
        if (down) {
            heldModifiers_.insert(usage);
        } else {
            heldModifiers_.erase(usage);
        }
        updateFlags();
        e.type = InputEventType::flagsChanged;
    } else {
        if (down) {
            heldKeys_.insert(usage);
        } else {
            heldKeys_.erase(usage);
        }
        e.type = down ? InputEventType::keyDown : InputEventType::keyUp;
    }
    e.flags = currentFlags();
    input_->post(e);
}

void Injector::typeText(std::string_view utf8) {
    std::u16string units;
    {
        // A line break written as CR LF is one Return, not two.
        const std::u16string all = toUtf16(utf8);
        units.reserve(all.size());
        for (size_t k = 0; k < all.size(); ++k) {
            if (!(all[k] == u'\r' && k + 1 < all.size() && all[k + 1] == u'\n')) units.push_back(all[k]);
        }
    }
    size_t i = 0;
    while (i < units.size()) {
        size_t len = std::min(kTextChunkUnits, units.size() - i);
        const bool stopsEarly = i + len < units.size();
        if (len == kTextChunkUnits && stopsEarly && (units[i + len - 1] & 0xFC00) == 0xD800) --len;
        InputEvent e;
        e.type = InputEventType::keyDown;
        e.down = true;
        e.text = units.substr(i, len);
        input_->post(e);
        e.type = InputEventType::keyUp;
        e.down = false;
        input_->post(e);
        i += len;
    }
}

void Injector::releaseAll() {
    // Scrolling on by itself after the phone is gone would be input nobody gave.
    momentumQueue_.sync([this] { stopMomentum(); });
    for (auto usage : std::set(heldKeys_)) key(usage, false);
    for (auto usage : std::set(heldModifiers_)) key(usage, false);
    for (auto b : std::set(heldButtons_)) buttonUp(b);
}

// ---------------------------------------------------------------------------------
// Pointer and buttons

Point Injector::pointer() const {
    const auto p = input_->pointerLocation();
    if (!p || !std::isfinite(p->x) || !std::isfinite(p->y)) return {};
    return *p;
}

DisplayRect Injector::targetBounds() const {
    for (const auto& d : displays_->displays()) {
        if (d.id == targetDisplay_) return d.bounds;
    }
    return {};
}

void Injector::mouseRel(double dx, double dy) {
    if (!std::isfinite(dx) || !std::isfinite(dy)) return;
    const Point at = pointer();
    bool any = false;
    double minX = 0, minY = 0, maxX = 0, maxY = 0;
    const auto list = displays_->displays();
    for (size_t i = 0; i < list.size() && i < kMaxActiveDisplays; ++i) {
        const auto& b = list[i].bounds;
        if (!hasArea(b)) continue;
        if (!any) {
            minX = b.x, minY = b.y, maxX = b.x + b.width, maxY = b.y + b.height;
            any = true;
        } else {
            minX = std::min(minX, b.x), minY = std::min(minY, b.y);
            maxX = std::max(maxX, b.x + b.width), maxY = std::max(maxY, b.y + b.height);
        }
    }
    if (!any) return;  // no display to move on
    moveTo(clampLowThenHigh(at.x + dx, minX, maxX - 1), clampLowThenHigh(at.y + dy, minY, maxY - 1), dx, dy);
}

void Injector::mouseAbs(double x, double y) {
    if (!std::isfinite(x) || !std::isfinite(y)) return;
    const DisplayRect b = targetBounds();
    if (!hasArea(b)) return;  // the target display is gone: there is nowhere to point at
    const Point at = pointer();
    const double fx = x < 0 ? 0 : x >= 1 ? 1 : x;
    const double fy = y < 0 ? 0 : y >= 1 ? 1 : y;
    const double px = b.x + fx * b.width;
    const double py = b.y + fy * b.height;
    moveTo(clampLowThenHigh(px, b.x, b.x + b.width - 1), clampLowThenHigh(py, b.y, b.y + b.height - 1),
           px - at.x, py - at.y);
}

void Injector::moveTo(double x, double y, double dx, double dy) {
    InputEvent e;
    if (heldButtons_.contains(0)) {
        e.type = InputEventType::leftMouseDragged;
        e.mouseButton = MouseButton::left;
    } else if (heldButtons_.contains(1)) {
        e.type = InputEventType::rightMouseDragged;
        e.mouseButton = MouseButton::right;
    } else if (heldButtons_.contains(2)) {
        e.type = InputEventType::otherMouseDragged;
        e.mouseButton = MouseButton::center;
    } else {
        e.type = InputEventType::mouseMoved;
        e.mouseButton = MouseButton::left;
    }
    e.location = {x, y};
    e.deltaX = saturatingRound<int64_t>(dx);
    e.deltaY = saturatingRound<int64_t>(dy);
    e.flags = currentFlags();
    if (!input_->post(e)) return;
    const DisplayRect b = targetBounds();
    if (hasArea(b) && onCursor) {
        onCursor(static_cast<float>((x - b.x) / b.width), static_cast<float>((y - b.y) / b.height));
    }
}

void Injector::button(uint8_t b, bool down) {
    if (!down) {
        buttonUp(b);
        return;
    }
    const Point at = pointer();
    heldButtons_.insert(b);
    const double now = clock_->uptime();
    const bool series = lastClick_.button == b && now - lastClick_.time < kClickInterval &&
                        std::fabs(at.x - lastClick_.x) < kClickDistance &&
                        std::fabs(at.y - lastClick_.y) < kClickDistance;
    lastClick_ = {b, now, at.x, at.y, series ? lastClick_.count + 1 : 1};
    const auto types = buttonTypes(b);
    InputEvent e;
    e.type = types.down;
    e.mouseButton = types.mouseButton;
    e.location = at;
    e.clickState = lastClick_.count;
    e.flags = currentFlags();
    input_->post(e);
}

void Injector::buttonUp(uint8_t b) {
    const Point at = pointer();
    heldButtons_.erase(b);
    const auto types = buttonTypes(b);
    InputEvent e;
    e.type = types.up;
    e.mouseButton = types.mouseButton;
    e.location = at;
    // The up of a double click reports 2, like the press before it.
    e.clickState = lastClick_.count;
    e.flags = currentFlags();
    if (!input_->post(e)) return;
    if (b == 0 && onLeftUp) onLeftUp();
}

// ---------------------------------------------------------------------------------
// Scrolling and momentum

void Injector::postScroll(ScrollEventPhase phase, double dx, double dy) {
    InputEvent e;
    e.type = InputEventType::scrollWheel;
    e.wheel1 = saturatingRound<int32_t>(dy);
    e.wheel2 = saturatingRound<int32_t>(dx);
    e.continuous = true;
    e.scrollPhase = phase;
    e.flags = currentFlags();
    input_->post(e);
}

void Injector::scroll(ScrollPhase phase, double dx, double dy) {
    if (!std::isfinite(dx) || !std::isfinite(dy)) return;
    switch (phase) {
        case ScrollPhase::wheel: postScroll(ScrollEventPhase::none, dx, dy); break;
        case ScrollPhase::began:
            // The end of a running momentum must reach the system before the new
            // gesture's first event. The momentum queue never waits on this one.
            momentumQueue_.sync([this] { stopMomentum(); });
            postScroll(ScrollEventPhase::began, dx, dy);
            break;
        case ScrollPhase::changed: postScroll(ScrollEventPhase::changed, dx, dy); break;
        case ScrollPhase::ended:
            postScroll(ScrollEventPhase::ended, 0, 0);
            momentumQueue_.async([this, dx, dy] { startMomentum(dx, dy); });
            break;
    }
}

void Injector::postMomentum(MomentumPhase phase, double dx, double dy) {
    InputEvent e;
    e.type = InputEventType::scrollWheel;
    e.wheel1 = saturatingRound<int32_t>(dy);
    e.wheel2 = saturatingRound<int32_t>(dx);
    e.continuous = true;
    e.momentumPhase = phase;
    e.flags = currentFlags();
    input_->post(e);
}

void Injector::startMomentum(double vx, double vy) {
    if (momentumRunning_) {
        ticker_->stop();  // replaced without an end event
        momentumRunning_ = false;
    }
    const double speed = std::hypot(vx, vy);
    if (!(speed > kMomentumMinStart)) return;
    if (speed > kMomentumMaxSpeed) {
        vx *= kMomentumMaxSpeed / speed;
        vy *= kMomentumMaxSpeed / speed;
    }
    momentumVelocityX_ = vx;
    momentumVelocityY_ = vy;
    momentumLast_ = clock_->uptime();
    momentumRemainderX_ = momentumRemainderY_ = 0;
    momentumStarted_ = false;
    momentumRunning_ = true;
    ticker_->start(momentumQueue_, kMomentumInterval, [this] { momentumStep(); });
}

void Injector::momentumStep() {
    if (!momentumRunning_) return;
    const double now = clock_->uptime();
    const double dt = std::max(0.0, now - momentumLast_);
    momentumLast_ = now;
    // Measured time, not the nominal period: late firings do not change the distance.
    const double decay = std::pow(kMomentumDecayPerMs, dt * 1000);
    momentumVelocityX_ *= decay;
    momentumVelocityY_ *= decay;
    if (std::hypot(momentumVelocityX_, momentumVelocityY_) < kMomentumMinSpeed) {
        postMomentum(MomentumPhase::end, 0, 0);
        ticker_->stop();
        momentumRunning_ = false;
        return;
    }
    // Sub-pixel motion is carried to later steps instead of being lost.
    const double accX = momentumRemainderX_ + momentumVelocityX_ * dt;
    const double accY = momentumRemainderY_ + momentumVelocityY_ * dt;
    const double rx = std::round(accX), ry = std::round(accY);
    momentumRemainderX_ = accX - rx;
    momentumRemainderY_ = accY - ry;
    postMomentum(momentumStarted_ ? MomentumPhase::continuing : MomentumPhase::begin, rx, ry);
    momentumStarted_ = true;
}

void Injector::stopMomentum() {
    if (!momentumRunning_) return;
    ticker_->stop();
    momentumRunning_ = false;
    if (momentumStarted_) postMomentum(MomentumPhase::end, 0, 0);
}

// ---------------------------------------------------------------------------------
// Gestures

void Injector::chord(uint16_t keyCode, uint64_t flags) {
    InputEvent e;
    e.type = InputEventType::keyDown;
    e.keyCode = keyCode;
    e.down = true;
    e.flags = flags;
    input_->post(e);  // the up goes out even if the down failed, so nothing sticks
    e.type = InputEventType::keyUp;
    e.down = false;
    input_->post(e);
}

bool Injector::notifyDock(const char* name) {
    return dock_ && dock_->sendDockNotification(name);
}

void Injector::launchpad() {
    if (workspace_) {
        for (const char* path : {"/System/Applications/Apps.app", "/System/Applications/Launchpad.app"}) {
            if (workspace_->fileExists(path)) {
                workspace_->openFile(path);
                return;
            }
        }
    }
    notifyDock("com.apple.launchpad.toggle");
}

void Injector::postGestureEvent(GestureSubtype subtype, GesturePhase phase, double magnification,
                                double rotation) {
    InputEvent e;
    e.type = InputEventType::gesture;
    e.tap = EventTap::session;
    e.gestureSubtype = subtype;
    e.gesturePhase = phase;
    e.magnification = magnification;
    e.rotation = rotation;
    input_->post(e);
}

void Injector::gesture(GestureAction action, ScrollPhase phase, double value) {
    const GesturePhase gesturePhase = phase == ScrollPhase::began   ? GesturePhase::began
                                      : phase == ScrollPhase::ended ? GesturePhase::ended
                                                                    : GesturePhase::changed;
    const bool saneValue = std::isfinite(value) && std::fabs(value) <= kMaxGestureValue;
    if (desktop_) {
        switch (action) {
            case GestureAction::magnify:
            case GestureAction::rotate:
            case GestureAction::smartZoom: break;  // pointer gestures: posted below
            default:
                // What the desktop cannot do is dropped: a key chord would land in the
                // focused application instead.
                if (desktop_->can(action)) desktop_->perform(action);
                return;
        }
        if (!desktop_->can(action)) return;
    }
    switch (action) {
        case GestureAction::spaceLeft: chord(123, kSpaceChordFlags); break;
        case GestureAction::spaceRight: chord(124, kSpaceChordFlags); break;
        case GestureAction::missionControl:
            if (!notifyDock("com.apple.expose.awake")) chord(126, kSpaceChordFlags);
            break;
        case GestureAction::appExpose:
            if (!notifyDock("com.apple.expose.front.awake")) chord(125, kSpaceChordFlags);
            break;
        case GestureAction::launchpad: launchpad(); break;
        case GestureAction::showDesktop: notifyDock("com.apple.showdesktop.awake"); break;
        case GestureAction::lookUp: chord(2, kLookUpFlags); break;
        case GestureAction::smartZoom:
            postGestureEvent(GestureSubtype::smartMagnify, GesturePhase::none, 0, 0);
            break;
        case GestureAction::magnify:
            if (saneValue) postGestureEvent(GestureSubtype::magnify, gesturePhase, value, 0);
            break;
        case GestureAction::rotate:
            if (saneValue) postGestureEvent(GestureSubtype::rotate, gesturePhase, 0, value);
            break;
    }
}

// ---------------------------------------------------------------------------------
// Gesture configuration

GestureConfig Injector::currentGestureConfig() const {
    GestureConfig c = readGestureConfig(*preferences_);
    if (!desktop_) return c;
    // The gestures the phone handles itself (right click, drag) need nothing of the desktop.
    const std::pair<GestureConfig, GestureAction> needs[] = {
        {GestureConfig::threeFingerSwipeSpaces, GestureAction::spaceLeft},
        {GestureConfig::fourFingerSwipeSpaces, GestureAction::spaceLeft},
        {GestureConfig::threeFingerMissionControl, GestureAction::missionControl},
        {GestureConfig::fourFingerMissionControl, GestureAction::missionControl},
        {GestureConfig::appExpose, GestureAction::appExpose},
        {GestureConfig::pinchLaunchpad, GestureAction::launchpad},
        {GestureConfig::spreadDesktop, GestureAction::showDesktop},
        {GestureConfig::threeFingerTapLookUp, GestureAction::lookUp},
        {GestureConfig::smartZoom, GestureAction::smartZoom},
        {GestureConfig::pinchZoom, GestureAction::magnify},
        {GestureConfig::rotate, GestureAction::rotate},
    };
    for (const auto& [flag, action] : needs) {
        if (c.contains(flag) && !desktop_->can(action)) c.remove(flag);
    }
    return c;
}

GestureConfig readGestureConfig(const PreferenceDomains& prefs) {
    // The first integer in either trackpad domain; values of other types are skipped.
    auto trackpad = [&](const char* key, int64_t def) -> int64_t {
        for (const char* domain : {PreferenceDomain::trackpad, PreferenceDomain::bluetoothTrackpad}) {
            const auto v = prefs.value(domain, key);
            if (!v || !v->is_number_integer()) continue;
            if (v->is_number_unsigned()) {
                const auto u = v->get<uint64_t>();
                return u > uint64_t(std::numeric_limits<int64_t>::max()) ? std::numeric_limits<int64_t>::max()
                                                                         : int64_t(u);
            }
            return v->get<int64_t>();
        }
        return def;
    };
    // Nothing when missing or not a bool.
    auto dockFlag = [&](const char* key) -> std::optional<bool> {
        const auto v = prefs.value(PreferenceDomain::dock, key);
        if (v && v->is_boolean()) return v->get<bool>();
        return std::nullopt;
    };

    GestureConfig c;
    const int64_t drag = trackpad("TrackpadThreeFingerDrag", 0);
    const bool missionControl = dockFlag("showMissionControlGestureEnabled").value_or(true);
    if (trackpad("TrackpadThreeFingerHorizSwipeGesture", 2) == 2 && drag != 1) {
        c.insert(GestureConfig::threeFingerSwipeSpaces);
    }
    if (trackpad("TrackpadFourFingerHorizSwipeGesture", 2) == 2)
        c.insert(GestureConfig::fourFingerSwipeSpaces);
    if (missionControl) {
        if (drag != 1 && trackpad("TrackpadThreeFingerVertSwipeGesture", 2) == 2) {
            c.insert(GestureConfig::threeFingerMissionControl);
        }
        if (trackpad("TrackpadFourFingerVertSwipeGesture", 2) == 2) {
            c.insert(GestureConfig::fourFingerMissionControl);
        }
    }
    if (dockFlag("showAppExposeGestureEnabled") == true) c.insert(GestureConfig::appExpose);
    const bool pinch = trackpad("TrackpadFourFingerPinchGesture", 2) == 2 ||
                       trackpad("TrackpadFiveFingerPinchGesture", 2) == 2;
    if (pinch) {
        if (dockFlag("showLaunchpadGestureEnabled") != false) c.insert(GestureConfig::pinchLaunchpad);
        if (dockFlag("showDesktopGestureEnabled") != false) c.insert(GestureConfig::spreadDesktop);
    }
    if (trackpad("TrackpadThreeFingerTapGesture", 0) == 2) c.insert(GestureConfig::threeFingerTapLookUp);
    if (trackpad("TrackpadTwoFingerDoubleTapGesture", 1) == 1) c.insert(GestureConfig::smartZoom);
    if (trackpad("TrackpadPinch", 1) == 1) c.insert(GestureConfig::pinchZoom);
    if (trackpad("TrackpadRotate", 1) == 1) c.insert(GestureConfig::rotate);
    if (trackpad("TrackpadRightClick", 1) == 1) c.insert(GestureConfig::twoFingerRightClick);
    if (drag == 1) c.insert(GestureConfig::threeFingerDrag);
    return c;
}

}  // namespace tarvello
