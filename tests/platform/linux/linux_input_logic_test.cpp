// LinuxInput's logic against a recording stand-in for the X connection.
#include <X11/keysym.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <map>
#include <set>

#include "platform/key_codes.h"
#include "platform/linux/linux_input.h"
#include "support/log_capture.h"

namespace tarvello::test {
namespace {

// What the fake connections saw; shared so it outlives each connection.
struct FakeServer {
    std::vector<std::string> ops;
    std::vector<std::string> opened;
    std::map<uint32_t, uint8_t> unshifted{
        {XK_a, 38},         {XK_d, 40},        {XK_h, 43},      {XK_l, 46},         {XK_o, 32},
        {XK_space, 65},     {XK_Return, 36},   {XK_Left, 113},  {XK_Right, 114},    {XK_Up, 111},
        {XK_Control_L, 37}, {XK_Shift_L, 50},  {XK_Alt_L, 64},  {XK_Super_L, 133},  {XK_Control_R, 105},
        {XK_Super_R, 134},  {XK_Num_Lock, 77}, {XK_KP_End, 87}, {XK_KP_Delete, 91}, {XK_KP_Enter, 104},
    };
    std::map<uint32_t, uint8_t> shifted{{XK_KP_1, 87}, {XK_A, 38}};
    std::vector<uint8_t> spares{200, 201, 202};
    std::pair<int, int> pointer{0, 0};
    int pointerQueries = 0;
    std::optional<XInputConnection::KeyboardState> state = XInputConnection::KeyboardState{};
    bool alive = true;
    bool refuse = false;

    std::vector<std::string> take() { return std::exchange(ops, {}); }
};

class FakeConnection final : public XInputConnection {
public:
    explicit FakeConnection(FakeServer& s) : s_(s) {}
    bool alive() override { return s_.alive; }
    std::optional<std::pair<int, int>> pointer() override {
        ++s_.pointerQueries;
        return s_.pointer;
    }
    void motion(int x, int y) override { note("motion " + std::to_string(x) + " " + std::to_string(y)); }
    void button(unsigned b, bool down) override {
        note("button " + std::to_string(b) + (down ? " down" : " up"));
    }
    void key(uint8_t code, bool down) override {
        note("key " + std::to_string(code) + (down ? " down" : " up"));
    }
    uint8_t keycodeOf(uint32_t keysym, bool unshiftedOnly) override {
        if (auto it = s_.unshifted.find(keysym); it != s_.unshifted.end()) return it->second;
        if (auto it = s_.shifted.find(keysym); !unshiftedOnly && it != s_.shifted.end()) return it->second;
        return 0;
    }
    bool mapped(uint8_t code) override {
        for (const auto* table : {&s_.unshifted, &s_.shifted}) {
            for (const auto& [sym, at] : *table) {
                if (at == code) return true;
            }
        }
        return false;
    }
    std::vector<uint8_t> spareKeycodes() override { return s_.spares; }
    std::optional<KeyboardState> keyboardState() override { return s_.state; }
    void setLock(Lock lock, bool on) override {
        note(std::string("lock ") + (lock == Lock::caps ? "caps" : "num") + (on ? " on" : " off"));
        if (lock == Lock::caps && s_.state) s_.state->capsLock = on;
    }
    bool bind(uint8_t code, uint32_t keysym) override {
        char hex[16];
        std::snprintf(hex, sizeof hex, "%x", keysym);
        note("bind " + std::to_string(code) + " 0x" + hex);
        return true;
    }
    void flush() override {}

private:
    void note(std::string op) { s_.ops.push_back(std::move(op)); }
    FakeServer& s_;
};

InputEvent keyEvent(InputEventType type, uint16_t code, uint64_t flags = 0, bool down = false) {
    InputEvent e;
    e.type = type;
    e.keyCode = code;
    e.flags = flags;
    e.down = down || type == InputEventType::keyDown;
    return e;
}

InputEvent textEvent(std::u16string text) {
    InputEvent e;
    e.type = InputEventType::keyDown;
    e.down = true;
    e.text = std::move(text);
    return e;
}

InputEvent scrollEvent(int32_t vertical, int32_t horizontal, ScrollEventPhase phase = ScrollEventPhase::none,
                       MomentumPhase momentum = MomentumPhase::none) {
    InputEvent e;
    e.type = InputEventType::scrollWheel;
    e.wheel1 = vertical;
    e.wheel2 = horizontal;
    e.continuous = true;
    e.scrollPhase = phase;
    e.momentumPhase = momentum;
    return e;
}

InputEvent gestureEvent(GestureSubtype subtype, GesturePhase phase, double magnification = 0) {
    InputEvent e;
    e.type = InputEventType::gesture;
    e.tap = EventTap::session;
    e.gestureSubtype = subtype;
    e.gesturePhase = phase;
    e.magnification = magnification;
    return e;
}

using Ops = std::vector<std::string>;

class LinuxInputLogic : public ::testing::Test {
protected:
    void SetUp() override {
        display.connection = ":42";
        display.bounds = {0, 0, 470, 1022};
        display.pixelWidth = 940;
        display.pixelHeight = 2044;
        LinuxInput::Options o;
        o.clock = clock;
        o.connect = [this](const std::string& name, std::string& error) -> std::unique_ptr<XInputConnection> {
            server.opened.push_back(name);
            if (server.refuse) {
                error = "refused";
                return nullptr;
            }
            return std::make_unique<FakeConnection>(server);
        };
        o.defer = [this](double seconds, std::function<void()> fn) {
            deferred.emplace_back(seconds, std::move(fn));
        };
        o.commandKey = [this] { return commandKey; };
        input = std::make_unique<LinuxInput>([this] { return session; }, o);
        session = display;
    }
    void TearDown() override { input.reset(); }

    // Runs the deferred work that is due by now.
    void runDeferred() {
        auto due = std::exchange(deferred, {});
        for (auto& [seconds, fn] : due) fn();
    }

    FakeServer server;
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    DisplayInfo display;
    std::optional<DisplayInfo> session;
    std::vector<std::pair<double, std::function<void()>>> deferred;
    CommandKey commandKey = CommandKey::control;
    std::unique_ptr<LinuxInput> input;
    LogCapture logs;
};

// ---- Key table ----

TEST(LinuxKeysyms, EveryHandledKeyHasTheSymbolOfItsUsLayoutPosition) {
    std::set<uint32_t> seen;
    for (const auto& k : hidKeyCodes) {
        const auto sym = keysymForKeyCode(k.keyCode);
        ASSERT_TRUE(sym) << "usage 0x" << std::hex << k.usage;
        // Backslash and Non-US hash share one key; every other key is its own symbol.
        if (k.usage != 0x32) {
            EXPECT_TRUE(seen.insert(*sym).second) << "usage 0x" << std::hex << k.usage;
        }
    }
    const std::pair<uint16_t, uint32_t> positions[] = {
        {0, XK_a},           {6, XK_z},         {29, XK_0},          {27, XK_minus},     {33, XK_bracketleft},
        {39, XK_apostrophe}, {50, XK_grave},    {10, XK_less},       {51, XK_BackSpace}, {117, XK_Delete},
        {114, XK_Insert},    {116, XK_Prior},   {121, XK_Next},      {122, XK_F1},       {111, XK_F12},
        {82, XK_KP_0},       {76, XK_KP_Enter}, {65, XK_KP_Decimal}, {59, XK_Control_L}, {62, XK_Control_R},
        {58, XK_Alt_L},      {61, XK_Alt_R},    {55, XK_Super_L},    {54, XK_Super_R},   {57, XK_Caps_Lock},
    };
    for (const auto& [code, sym] : positions) EXPECT_EQ(keysymForKeyCode(code), sym) << "key code " << code;
    EXPECT_FALSE(keysymForKeyCode(52));
    EXPECT_FALSE(keysymForKeyCode(127));
    EXPECT_FALSE(keysymForKeyCode(0xFFFF));
}

TEST(LinuxKeysyms, CharactersMapToLatin1OrUnicodeKeysyms) {
    EXPECT_EQ(keysymForCharacter(U'a'), XK_a);
    EXPECT_EQ(keysymForCharacter(U'~'), XK_asciitilde);
    EXPECT_EQ(keysymForCharacter(U'é'), XK_eacute);
    EXPECT_EQ(keysymForCharacter(U'\u00A0'), XK_nobreakspace);
    EXPECT_EQ(keysymForCharacter(U'✓'), 0x1002713u);
    EXPECT_EQ(keysymForCharacter(U'😀'), 0x101F600u);
    EXPECT_EQ(keysymForCharacter(U'\n'), XK_Return);
    EXPECT_EQ(keysymForCharacter(U'\r'), XK_Return);
    EXPECT_EQ(keysymForCharacter(U'\t'), XK_Tab);
    for (char32_t none : {char32_t(0), char32_t(0x1B), char32_t(0x7F), char32_t(0x85), char32_t(0xD800),
                          char32_t(0x110000)}) {
        EXPECT_FALSE(keysymForCharacter(none)) << std::hex << uint32_t(none);
    }
}

// ---- Keys and chords ----

TEST_F(LinuxInputLogic, HeldModifiersArePressedOnceAndCarryTheKeysInBetween) {
    EXPECT_TRUE(input->post(keyEvent(InputEventType::flagsChanged, 56, EventFlags::shift, true)));
    EXPECT_TRUE(input->post(keyEvent(InputEventType::keyDown, 0, EventFlags::shift)));
    EXPECT_TRUE(input->post(keyEvent(InputEventType::keyUp, 0, EventFlags::shift)));
    EXPECT_TRUE(input->post(keyEvent(InputEventType::flagsChanged, 56, 0, false)));
    EXPECT_EQ(server.take(), (Ops{"key 50 down", "key 38 down", "key 38 up", "key 50 up"}));
}

TEST_F(LinuxInputLogic, ChordFlagsPressTheMissingModifiersAroundTheKey) {
    commandKey = CommandKey::super;
    // Look up: Control + Command + D, nothing held.
    input->post(keyEvent(InputEventType::keyDown, 2, EventFlags::control | EventFlags::command));
    input->post(keyEvent(InputEventType::keyUp, 2, EventFlags::control | EventFlags::command));
    EXPECT_EQ(server.take(),
              (Ops{"key 37 down", "key 133 down", "key 40 down", "key 40 up", "key 133 up", "key 37 up"}));

    // With Control already held only Command is added, and Control stays down.
    input->post(keyEvent(InputEventType::flagsChanged, 59, EventFlags::control, true));
    server.take();
    input->post(keyEvent(InputEventType::keyDown, 2, EventFlags::control | EventFlags::command));
    input->post(keyEvent(InputEventType::keyUp, 2, EventFlags::control | EventFlags::command));
    EXPECT_EQ(server.take(), (Ops{"key 133 down", "key 40 down", "key 40 up", "key 133 up"}));
}

TEST_F(LinuxInputLogic, CommandPressesControlOrSuperAsTheSettingSays) {
    // Command + A with Command as Control: select all.
    input->post(keyEvent(InputEventType::flagsChanged, 55, EventFlags::command, true));
    input->post(keyEvent(InputEventType::keyDown, 0, EventFlags::command));
    input->post(keyEvent(InputEventType::keyUp, 0, EventFlags::command));
    input->post(keyEvent(InputEventType::flagsChanged, 55, 0, false));
    EXPECT_EQ(server.take(), (Ops{"key 37 down", "key 38 down", "key 38 up", "key 37 up"}));
    // Right Command is right Control; a chord's Command adds no second Control.
    input->post(keyEvent(InputEventType::flagsChanged, 54, EventFlags::command, true));
    input->post(keyEvent(InputEventType::flagsChanged, 54, 0, false));
    input->post(keyEvent(InputEventType::keyDown, 2, EventFlags::control | EventFlags::command));
    input->post(keyEvent(InputEventType::keyUp, 2, EventFlags::control | EventFlags::command));
    EXPECT_EQ(server.take(),
              (Ops{"key 105 down", "key 105 up", "key 37 down", "key 40 down", "key 40 up", "key 37 up"}));

    commandKey = CommandKey::super;
    input->post(keyEvent(InputEventType::flagsChanged, 55, EventFlags::command, true));
    input->post(keyEvent(InputEventType::flagsChanged, 54, EventFlags::command, true));
    // Changed while held: each key lets go of what it pressed.
    commandKey = CommandKey::control;
    input->post(keyEvent(InputEventType::flagsChanged, 55, EventFlags::command, false));
    input->post(keyEvent(InputEventType::flagsChanged, 54, 0, false));
    EXPECT_EQ(server.take(), (Ops{"key 133 down", "key 134 down", "key 133 up", "key 134 up"}));
}

TEST_F(LinuxInputLogic, ControlAndCommandAsControlShareOneKeyUntilBothAreUp) {
    input->post(keyEvent(InputEventType::flagsChanged, 59, EventFlags::control, true));
    input->post(keyEvent(InputEventType::flagsChanged, 55, EventFlags::control | EventFlags::command, true));
    input->post(keyEvent(InputEventType::flagsChanged, 55, EventFlags::control, false));
    EXPECT_EQ(server.take(), (Ops{"key 37 down"}));  // Control is still held
    input->post(keyEvent(InputEventType::flagsChanged, 59, 0, false));
    EXPECT_EQ(server.take(), (Ops{"key 37 up"}));
    // A release without a press (the session began in between) sends nothing.
    input->post(keyEvent(InputEventType::flagsChanged, 59, 0, false));
    EXPECT_TRUE(server.take().empty());
}

TEST_F(LinuxInputLogic, KeysPressTheKeyAtTheirPositionWhateverItsSymbol) {
    // A German layout: Z where a US keyboard has Y. The phone's Y key presses that key.
    server.unshifted[XK_z] = 29;
    EXPECT_TRUE(input->post(keyEvent(InputEventType::keyDown, 16)));
    // A server numbering keys otherwise: the key carrying the symbol of the US position.
    server.unshifted[XK_F1] = 150;
    EXPECT_TRUE(input->post(keyEvent(InputEventType::keyDown, 122)));
    EXPECT_EQ(server.take(), (Ops{"key 29 down", "key 150 down"}));
}

TEST_F(LinuxInputLogic, SpaceChordsBecomeTheDesktopsWorkspaceSwitch) {
    const uint64_t chord = EventFlags::control | EventFlags::numericPad | EventFlags::secondaryFn;
    input->post(keyEvent(InputEventType::keyDown, 123, chord));
    input->post(keyEvent(InputEventType::keyUp, 123, chord));
    EXPECT_EQ(server.take(),
              (Ops{"key 37 down", "key 64 down", "key 113 down", "key 113 up", "key 64 up", "key 37 up"}));
    input->post(keyEvent(InputEventType::keyDown, 124, chord));
    input->post(keyEvent(InputEventType::keyUp, 124, chord));
    EXPECT_EQ(server.take(),
              (Ops{"key 37 down", "key 64 down", "key 114 down", "key 114 up", "key 64 up", "key 37 up"}));
    // The mission-control fallback has no common counterpart: it stays Control + Up.
    input->post(keyEvent(InputEventType::keyDown, 126, chord));
    input->post(keyEvent(InputEventType::keyUp, 126, chord));
    EXPECT_EQ(server.take(), (Ops{"key 37 down", "key 111 down", "key 111 up", "key 37 up"}));
    // A plain Control + Left from the phone's keyboard is not a workspace switch.
    input->post(keyEvent(InputEventType::flagsChanged, 59, EventFlags::control, true));
    input->post(keyEvent(InputEventType::keyDown, 123, EventFlags::control));
    EXPECT_EQ(server.take(), (Ops{"key 37 down", "key 113 down"}));
}

TEST_F(LinuxInputLogic, KeypadDigitsTurnNumLockOnUntilThePhoneUsesNumLock) {
    EXPECT_TRUE(input->post(keyEvent(InputEventType::keyDown, 83)));  // keypad 1
    EXPECT_TRUE(input->post(keyEvent(InputEventType::keyUp, 83)));
    EXPECT_TRUE(input->post(keyEvent(InputEventType::keyDown, 76)));  // keypad Enter: the same either way
    EXPECT_EQ(server.take(), (Ops{"lock num on", "key 87 down", "key 87 up", "key 104 down"}));
    // The user's own Num Lock: from now on its state is theirs.
    EXPECT_TRUE(input->post(keyEvent(InputEventType::keyDown, 71)));
    EXPECT_TRUE(input->post(keyEvent(InputEventType::keyUp, 71)));
    EXPECT_TRUE(input->post(keyEvent(InputEventType::keyDown, 83)));
    EXPECT_EQ(server.take(), (Ops{"key 77 down", "key 77 up", "key 87 down"}));
    // Until the next session.
    session->connection = ":43";
    input->post(keyEvent(InputEventType::keyDown, 65));  // keypad decimal
    EXPECT_EQ(server.take(), (Ops{"lock num on", "key 91 down"}));
}

TEST_F(LinuxInputLogic, KeysWithoutSymbolOrKeycodeAreNotPosted) {
    EXPECT_FALSE(input->post(keyEvent(InputEventType::keyDown, 52)));
    EXPECT_FALSE(input->post(keyEvent(InputEventType::keyDown, 122)));  // F1: not on the fake keyboard
    EXPECT_FALSE(input->post(keyEvent(InputEventType::flagsChanged, 0, 0, true)));  // not a modifier
    EXPECT_TRUE(server.take().empty());
}

// ---- Text ----

TEST_F(LinuxInputLogic, TextUsesPlainKeysAndBorrowsSpareKeycodesForTheRest) {
    EXPECT_TRUE(input->post(textEvent(u"hé h\n")));
    EXPECT_TRUE(input->post([] {
        auto e = textEvent(u"hé h\n");
        e.type = InputEventType::keyUp;
        e.down = false;
        return e;
    }()));
    EXPECT_EQ(server.take(),
              (Ops{"key 43 down", "key 43 up", "bind 200 0xe9", "key 200 down", "key 200 up", "key 65 down",
                   "key 65 up", "key 43 down", "key 43 up", "key 36 down", "key 36 up"}));
    // A character already bound reuses its keycode without touching the map.
    input->post(textEvent(u"é"));
    EXPECT_EQ(server.take(), (Ops{"key 200 down", "key 200 up"}));
}

TEST_F(LinuxInputLogic, TextIsTypedWithCapsLockLetGoAndPlainKeysOnlyInTheFirstGroup) {
    server.state->capsLock = true;
    EXPECT_TRUE(input->post(textEvent(u"aA")));
    EXPECT_EQ(server.take(), (Ops{"lock caps off", "key 38 down", "key 38 up", "bind 200 0x41",
                                  "key 200 down", "key 200 up", "lock caps on"}));
    // In another group the plain key types that group's symbol.
    server.state = XInputConnection::KeyboardState{false, 1};
    EXPECT_TRUE(input->post(textEvent(u"a")));
    EXPECT_EQ(server.take(), (Ops{"bind 201 0x61", "key 201 down", "key 201 up"}));
    // A server that cannot tell: plain keys, no lock touched.
    server.state.reset();
    EXPECT_TRUE(input->post(textEvent(u"h")));
    EXPECT_EQ(server.take(), (Ops{"key 43 down", "key 43 up"}));
}

TEST_F(LinuxInputLogic, SurrogatePairsTypeOneCharacterAndLoneHalvesTheReplacement) {
    input->post(textEvent(u"\U0001F600✓"));
    input->post(textEvent(std::u16string(1, char16_t(0xD83D))));
    EXPECT_EQ(server.take(),
              (Ops{"bind 200 0x101f600", "key 200 down", "key 200 up", "bind 201 0x1002713", "key 201 down",
                   "key 201 up", "bind 202 0x100fffd", "key 202 down", "key 202 up"}));
}

TEST_F(LinuxInputLogic, HeldModifiersSendEvenPlainCharactersThroughABorrowedKeycode) {
    // With Shift down, the h key would type H.
    input->post(keyEvent(InputEventType::flagsChanged, 56, EventFlags::shift, true));
    server.take();
    input->post(textEvent(u"h"));
    EXPECT_EQ(server.take(), (Ops{"bind 200 0x68", "key 200 down", "key 200 up"}));
}

TEST_F(LinuxInputLogic, BorrowedKeycodesAreRestoredOnlyOnceIdleForTheHoldTime) {
    input->post(textEvent(u"é"));
    clock->advance(1.5);
    input->post(textEvent(u"ü"));
    server.take();
    ASSERT_EQ(deferred.size(), 1u);
    EXPECT_DOUBLE_EQ(deferred[0].first, LinuxInput::kBindingHold);

    // At the first deadline only é has been idle long enough; ü follows later.
    clock->advance(0.5);
    runDeferred();
    EXPECT_EQ(server.take(), (Ops{"bind 200 0x0"}));
    ASSERT_EQ(deferred.size(), 1u);
    EXPECT_NEAR(deferred[0].first, 1.5, 1e-9);
    clock->advance(1.5);
    runDeferred();
    EXPECT_EQ(server.take(), (Ops{"bind 201 0x0"}));
    EXPECT_TRUE(deferred.empty());

    // A restored character binds again.
    input->post(textEvent(u"é"));
    EXPECT_EQ(server.take(), (Ops{"bind 200 0xe9", "key 200 down", "key 200 up"}));
}

TEST_F(LinuxInputLogic, WhenEverySpareIsBorrowedTheLeastRecentlyUsedIsTaken) {
    input->post(textEvent(u"à"));
    clock->advance(0.1);
    input->post(textEvent(u"é"));
    clock->advance(0.1);
    input->post(textEvent(u"ü"));
    clock->advance(0.1);
    input->post(textEvent(u"à"));  // à is fresh again: é is now the oldest
    clock->advance(0.1);
    server.take();
    input->post(textEvent(u"ñ"));
    EXPECT_EQ(server.take(), (Ops{"bind 201 0xf1", "key 201 down", "key 201 up"}));
}

TEST_F(LinuxInputLogic, WithoutSpareKeycodesTextFailsAndIsReportedOnce) {
    server.spares.clear();
    EXPECT_FALSE(input->post(textEvent(u"é")));
    EXPECT_FALSE(input->post(textEvent(u"é")));
    EXPECT_TRUE(input->post(textEvent(u"h")));  // on the keyboard: still typed
    EXPECT_EQ(server.take(), (Ops{"key 43 down", "key 43 up"}));
    EXPECT_EQ(logs.count("No spare keycode on :42: text cannot be typed"), 1);
}

// ---- Pointer and buttons ----

TEST_F(LinuxInputLogic, PointsBecomeRootPixelsClampedToTheScreen) {
    session->bounds = {470, 100, 470, 1022};  // right of another display, lower down
    auto move = [&](double x, double y) {
        InputEvent e;
        e.type = InputEventType::mouseMoved;
        e.location = {x, y};
        return input->post(e);
    };
    EXPECT_TRUE(move(470 + 100.25, 100 + 50.75));
    EXPECT_TRUE(move(470 + 235, 100 + 511));
    EXPECT_TRUE(move(2000, 5000));
    EXPECT_TRUE(move(-5, 99.9));
    EXPECT_FALSE(move(std::nan(""), 10));
    EXPECT_EQ(server.take(), (Ops{"motion 200 101", "motion 470 1022", "motion 939 2043", "motion 0 0"}));
}

TEST_F(LinuxInputLogic, PointerLocationIsWhereTheLastMovePutItWithoutAskingTheServer) {
    // Nothing moved yet on this connection: the server is asked, once.
    server.pointer = {301, 11};
    EXPECT_EQ(input->pointerLocation(), (Point{150.5, 5.5}));
    EXPECT_EQ(input->pointerLocation(), (Point{150.5, 5.5}));
    EXPECT_EQ(server.pointerQueries, 1);

    InputEvent e;
    e.type = InputEventType::leftMouseDragged;
    e.location = {100.3, 50.8};
    input->post(e);
    EXPECT_EQ(input->pointerLocation(), (Point{100.3, 50.8}));  // the fraction of a pixel kept
    EXPECT_EQ(server.pointerQueries, 1);

    // The display changed size: the old point may be off it.
    session->pixelWidth = 470;
    server.pointer = {10, 20};
    EXPECT_EQ(input->pointerLocation(), (Point{10, 10}));
    EXPECT_EQ(server.pointerQueries, 2);
    // A new connection starts from what its server says.
    session->connection = ":43";
    server.pointer = {40, 40};
    EXPECT_EQ(input->pointerLocation(), (Point{40, 20}));
    EXPECT_EQ(server.pointerQueries, 3);
}

// A display that is one area of a desktop in use: its pixels start at the area's origin,
// points off the area stay at its edge, and the pointer is read back because the user
// moves it too.
TEST_F(LinuxInputLogic, ADesktopAreaIsOffsetAndItsPointerReadBack) {
    std::pair<int, int> origin{1280, 40};
    LinuxInput::Options o;
    o.connect = [this](const std::string&, std::string&) -> std::unique_ptr<XInputConnection> {
        return std::make_unique<FakeConnection>(server);
    };
    o.commandKey = [] { return CommandKey::control; };
    o.desktopOrigin = [&origin] { return origin; };
    LinuxInput desktop([this] { return session; }, o);
    auto move = [&](double x, double y) {
        InputEvent e;
        e.type = InputEventType::mouseMoved;
        e.location = {x, y};
        return desktop.post(e);
    };
    EXPECT_TRUE(move(100.25, 50.75));
    EXPECT_TRUE(move(-30, 5000));
    EXPECT_EQ(server.take(), (Ops{"motion 1480 141", "motion 1280 2083"}));

    // Still where it was put: the fraction of a pixel is kept.
    EXPECT_TRUE(move(100.3, 50.8));
    server.pointer = {1480, 141};
    EXPECT_EQ(desktop.pointerLocation(), (Point{100.3, 50.8}));
    // The user moved it.
    server.pointer = {1290, 60};
    EXPECT_EQ(desktop.pointerLocation(), (Point{5, 10}));
    EXPECT_EQ(server.pointerQueries, 2);
    // The area moved: so do the pixels.
    origin = {0, 0};
    EXPECT_TRUE(move(5, 10));
    EXPECT_EQ(server.take().back(), "motion 10 20");
}

// ---- Wheel ----

TEST_F(LinuxInputLogic, WheelDeltasBecomeStepsWithTheRemainderCarried) {
    input->post(scrollEvent(20, 0));
    EXPECT_TRUE(server.take().empty());
    input->post(scrollEvent(10, 0));  // 30: half a step is past, one step up, -18 carried
    EXPECT_EQ(server.take(), (Ops{"button 4 down", "button 4 up"}));
    input->post(scrollEvent(30, 0));  // 12
    EXPECT_TRUE(server.take().empty());
    input->post(scrollEvent(36, 0));  // 48
    EXPECT_EQ(server.take(), (Ops{"button 4 down", "button 4 up"}));
    input->post(scrollEvent(0, -100));  // two steps right, -4 carried
    EXPECT_EQ(server.take(), (Ops{"button 7 down", "button 7 up", "button 7 down", "button 7 up"}));
    input->post(scrollEvent(0, 90));  // turning back drops the -4: two steps left, -6 carried
    EXPECT_EQ(server.take(), (Ops{"button 6 down", "button 6 up", "button 6 down", "button 6 up"}));
    input->post(scrollEvent(0, 6));
    EXPECT_TRUE(server.take().empty());
}

TEST_F(LinuxInputLogic, AShortDragScrollsAndAWobbleBackDoesNot) {
    // Eight small events of a slow 25-point drag: one step, as soon as half a step is past.
    for (int i = 0; i < 5; ++i) input->post(scrollEvent(3, 0));
    EXPECT_TRUE(server.take().empty());
    for (int i = 0; i < 3; ++i) input->post(scrollEvent(3, 0));
    EXPECT_EQ(server.take(), (Ops{"button 4 down", "button 4 up"}));
    // The -24 carried against the motion is no reason to step back when the finger wobbles.
    input->post(scrollEvent(-2, 0));
    input->post(scrollEvent(-20, 0));
    EXPECT_TRUE(server.take().empty());
    input->post(scrollEvent(-3, 0));
    EXPECT_EQ(server.take(), (Ops{"button 5 down", "button 5 up"}));
}

TEST_F(LinuxInputLogic, ANewGestureStartsWithoutTheOldRemainderButMomentumKeepsIt) {
    input->post(scrollEvent(20, 0, ScrollEventPhase::changed));
    input->post(scrollEvent(10, 0, ScrollEventPhase::began));
    EXPECT_TRUE(server.take().empty());
    input->post(scrollEvent(10, 0, ScrollEventPhase::changed));
    input->post(scrollEvent(0, 0, ScrollEventPhase::ended));
    EXPECT_TRUE(server.take().empty());
    input->post(scrollEvent(4, 0, ScrollEventPhase::none, MomentumPhase::begin));  // 10 + 10 + 4
    EXPECT_EQ(server.take(), (Ops{"button 4 down", "button 4 up"}));
}

TEST_F(LinuxInputLogic, AbsurdWheelDeltasAreCappedPerEvent) {
    input->post(scrollEvent(std::numeric_limits<int32_t>::max(), std::numeric_limits<int32_t>::min()));
    const auto ops = server.take();
    EXPECT_EQ(std::count(ops.begin(), ops.end(), "button 4 down"), LinuxInput::kMaxStepsPerEvent);
    EXPECT_EQ(std::count(ops.begin(), ops.end(), "button 7 down"), LinuxInput::kMaxStepsPerEvent);
    // Nothing of it is carried into the next event.
    input->post(scrollEvent(1, 0));
    EXPECT_TRUE(server.take().empty());
}

// ---- Gestures ----

TEST_F(LinuxInputLogic, MagnifyBecomesControlWheelStepsWithTheRemainderCarried) {
    EXPECT_TRUE(input->post(gestureEvent(GestureSubtype::magnify, GesturePhase::began, 0.25)));
    EXPECT_EQ(server.take(), (Ops{"key 37 down", "button 4 down", "button 4 up", "button 4 down",
                                  "button 4 up", "key 37 up"}));
    EXPECT_TRUE(input->post(gestureEvent(GestureSubtype::magnify, GesturePhase::changed, 0.06)));  // 0.11
    EXPECT_EQ(server.take(), (Ops{"key 37 down", "button 4 down", "button 4 up", "key 37 up"}));
    EXPECT_TRUE(input->post(gestureEvent(GestureSubtype::magnify, GesturePhase::changed, -0.05)));
    EXPECT_TRUE(server.take().empty());
    // A new pinch starts from nothing.
    input->post(gestureEvent(GestureSubtype::magnify, GesturePhase::began, -0.12));
    EXPECT_EQ(server.take(), (Ops{"key 37 down", "button 5 down", "button 5 up", "key 37 up"}));
    // Control already held by the phone is not pressed again.
    input->post(keyEvent(InputEventType::flagsChanged, 62, EventFlags::control, true));
    EXPECT_EQ(server.take(), (Ops{"key 105 down"}));
    input->post(gestureEvent(GestureSubtype::magnify, GesturePhase::changed, -0.1));
    EXPECT_EQ(server.take(), (Ops{"button 5 down", "button 5 up"}));
}

TEST_F(LinuxInputLogic, GesturesWithoutCounterpartAreReportedOncePerSession) {
    EXPECT_FALSE(input->post(gestureEvent(GestureSubtype::rotate, GesturePhase::began)));
    EXPECT_FALSE(input->post(gestureEvent(GestureSubtype::rotate, GesturePhase::changed)));
    EXPECT_FALSE(input->post(gestureEvent(GestureSubtype::smartMagnify, GesturePhase::none)));
    EXPECT_TRUE(server.take().empty());
    EXPECT_EQ(logs.count("Gesture rotate is not supported on X displays"), 1);
    EXPECT_EQ(logs.count("Gesture smart zoom is not supported on X displays"), 1);
    session->connection = ":43";  // the next session's display
    input->post(gestureEvent(GestureSubtype::rotate, GesturePhase::began));
    EXPECT_EQ(logs.count("Gesture rotate is not supported on X displays"), 2);
}

// ---- Connection ----

TEST_F(LinuxInputLogic, ConnectsOnFirstUseAndFollowsTheSessionDisplay) {
    EXPECT_TRUE(server.opened.empty());
    input->post(scrollEvent(0, 0));
    input->post(scrollEvent(0, 0));
    EXPECT_EQ(server.opened, (std::vector<std::string>{":42"}));
    EXPECT_TRUE(logs.contains("Input injection on :42 through XTEST"));

    // The old display gets back what was borrowed and held before the switch.
    input->post(keyEvent(InputEventType::flagsChanged, 56, EventFlags::shift, true));
    input->post(textEvent(u"é"));
    server.take();
    session->connection = ":43";
    input->post(scrollEvent(48, 0));
    EXPECT_EQ(server.take(), (Ops{"key 50 up", "bind 200 0x0", "button 4 down", "button 4 up"}));
    EXPECT_EQ(server.opened, (std::vector<std::string>{":42", ":43"}));
    // Nothing is held on the new display: text uses the plain key again.
    input->post(textEvent(u"h"));
    EXPECT_EQ(server.take(), (Ops{"key 43 down", "key 43 up"}));
}

TEST_F(LinuxInputLogic, ALostServerIsReopenedAndAFailedOpenRetriedAfterAPause) {
    input->post(scrollEvent(0, 0));
    server.alive = false;
    server.refuse = true;
    EXPECT_FALSE(input->post(scrollEvent(0, 0)));
    EXPECT_FALSE(input->post(scrollEvent(0, 0)));
    EXPECT_FALSE(input->pointerLocation());
    EXPECT_EQ(server.opened.size(), 2u);  // no second attempt within the pause
    EXPECT_EQ(logs.count("Input injection unavailable on :42: refused"), 1);

    clock->advance(LinuxInput::kReopenInterval);
    server.refuse = false;
    server.alive = true;
    EXPECT_TRUE(input->post(scrollEvent(0, 0)));
    EXPECT_EQ(server.opened.size(), 3u);
}

TEST_F(LinuxInputLogic, WithoutASessionDisplayNothingIsPosted) {
    session.reset();
    EXPECT_FALSE(input->post(scrollEvent(48, 0)));
    EXPECT_FALSE(input->pointerLocation());
    session = display;
    session->pixelWidth = 0;
    EXPECT_FALSE(input->post(scrollEvent(48, 0)));
    EXPECT_TRUE(server.opened.empty());
}

TEST_F(LinuxInputLogic, DestructionRestoresBorrowedKeycodesAndReleasesChordModifiers) {
    input->post(textEvent(u"é"));
    input->post(keyEvent(InputEventType::keyDown, 2, EventFlags::control));
    server.take();
    input.reset();
    EXPECT_EQ(server.take(), (Ops{"key 40 up", "key 37 up", "bind 200 0x0"}));
}

}  // namespace
}  // namespace tarvello::test
