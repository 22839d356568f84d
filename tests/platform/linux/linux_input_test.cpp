// The injector over XTest on a private Xvfb, seen by a client window of the test's own.
#include "platform/linux/linux_input.h"

#include <X11/keysym.h>
#include <signal.h>

#include <atomic>
#include <thread>

#include "input/injector.h"
#include "support/manual_ticker.h"
#include "x_test_support.h"
#include "x_test_window.h"

namespace tarvello::test {
namespace {

class XInputTest : public XDisplayTest {
protected:
    void SetUp() override {
        // 640 × 480 pixels at scale 2: a display of 320 × 240 points.
        id = makeDisplay(640, 480, 2.0);
        ASSERT_NE(id, 0u);
        LinuxInput::Options o;
        o.clock = clock;
        o.defer = [this](double, std::function<void()> fn) {
            std::lock_guard lock(deferredMutex);
            deferred.push_back(std::move(fn));
        };
        o.commandKey = [this] { return commandKey.load(); };
        input = std::make_shared<LinuxInput>(facility, o);
        InjectorOptions io;
        io.clock = clock;
        io.preferences = std::make_shared<MemoryPreferenceDomains>();
        io.ticker = std::make_shared<ManualTicker<MomentumTicker>>();
        injector = std::make_unique<Injector>(input, facility, io);
        injector->setTargetDisplay(id);
        window = std::make_unique<XTestWindow>(connect());
        ASSERT_TRUE(window->ready());
    }
    void TearDown() override {
        injector.reset();
        input.reset();
        window.reset();
        XDisplayTest::TearDown();
    }

    void runDeferred() {
        std::vector<std::function<void()>> due;
        {
            std::lock_guard lock(deferredMutex);
            due.swap(deferred);
        }
        for (auto& fn : due) fn();
    }

    // The whole keyboard map, to compare before and after borrowing keycodes.
    std::vector<KeySym> keymap() {
        Display* d = window->display();
        int min = 0, max = 0, per = 0;
        XDisplayKeycodes(d, &min, &max);
        KeySym* syms = XGetKeyboardMapping(d, KeyCode(min), max - min + 1, &per);
        std::vector<KeySym> out(syms, syms + (max - min + 1) * per);
        XFree(syms);
        return out;
    }

    uint32_t id = 0;
    std::atomic<CommandKey> commandKey{CommandKey::super};
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    std::mutex deferredMutex;
    std::vector<std::function<void()>> deferred;
    std::shared_ptr<LinuxInput> input;
    std::unique_ptr<Injector> injector;
    std::unique_ptr<XTestWindow> window;
};

constexpr unsigned kModifierMask = ShiftMask | ControlMask | Mod1Mask | Mod4Mask;

TEST_F(XInputTest, KeyPressesArriveWithTheirKeysymAndModifierState) {
    struct Case {
        uint16_t modifier;  // HID usage, 0 for none
        uint16_t key;
        KeySym keysym;
        unsigned state;
    };
    const Case cases[] = {
        {0, 0x04, XK_a, 0},
        {0xE1, 0x04, XK_A, ShiftMask},       // left Shift
        {0xE5, 0x1E, XK_exclam, ShiftMask},  // right Shift + 1
        {0xE0, 0x04, XK_a, ControlMask},     // left Control
        {0xE2, 0x04, XK_a, Mod1Mask},        // left Option: Alt
        {0xE6, 0x2C, XK_space, Mod1Mask},    // right Option
        {0xE3, 0x04, XK_a, Mod4Mask},        // left Command: Super, as set
        {0xE7, 0x28, XK_Return, Mod4Mask},   // right Command + Return
        {0, 0x50, XK_Left, 0},
        {0, 0x3A, XK_F1, 0},
        {0, 0x2F, XK_bracketleft, 0},
    };
    for (const auto& c : cases) {
        if (c.modifier) injector->key(c.modifier, true);
        injector->key(c.key, true);
        injector->key(c.key, false);
        if (c.modifier) injector->key(c.modifier, false);
    }
    const size_t releases = std::size(cases) + 7;  // the modifiers' own
    ASSERT_TRUE(window->waitForCount(KeyRelease, releases));
    std::vector<SeenEvent> keys;
    for (const auto& e : window->of(KeyPress)) {
        if (!IsModifierKey(e.keysym)) keys.push_back(e);
    }
    ASSERT_EQ(keys.size(), std::size(cases));
    for (size_t i = 0; i < keys.size(); ++i) {
        EXPECT_EQ(keys[i].keysym, cases[i].keysym) << "case " << i;
        EXPECT_EQ(keys[i].state & kModifierMask, cases[i].state) << "case " << i;
    }
    EXPECT_TRUE(inputIdle(window->display()));
}

TEST_F(XInputTest, CommandIsControlWhenSetSo) {
    commandKey = CommandKey::control;
    injector->key(0xE3, true);  // left Command
    injector->key(0x06, true);  // C
    injector->key(0x06, false);
    injector->key(0xE3, false);
    injector->key(0xE7, true);  // right Command
    injector->key(0x19, true);  // V
    injector->key(0x19, false);
    injector->key(0xE7, false);
    ASSERT_TRUE(window->waitForCount(KeyRelease, 4));
    std::vector<std::pair<KeySym, unsigned>> seen;
    for (const auto& e : window->of(KeyPress)) seen.emplace_back(e.keysym, e.state & kModifierMask);
    EXPECT_EQ(seen, (std::vector<std::pair<KeySym, unsigned>>{
                        {XK_Control_L, 0}, {XK_c, ControlMask}, {XK_Control_R, 0}, {XK_v, ControlMask}}));
}

TEST_F(XInputTest, KeysFollowAKeymapAnotherClientChanges) {
    injector->key(0x14, true);  // Q
    injector->key(0x14, false);
    ASSERT_TRUE(window->waitForCount(KeyRelease, 1));

    // Another client moves q onto the key that was F12, as a layout switch would.
    Display* d = window->display();
    const KeyCode oldQ = XKeysymToKeycode(d, XK_q), f12 = XKeysymToKeycode(d, XK_F12);
    int per = 0;
    XFree(XGetKeyboardMapping(d, oldQ, 1, &per));
    std::vector<KeySym> none(size_t(per), NoSymbol), q(size_t(per), XK_q);
    XChangeKeyboardMapping(d, oldQ, per, none.data(), 1);
    XChangeKeyboardMapping(d, f12, per, q.data(), 1);
    XSync(d, False);
    // A round trip on the input's own connection brings the server's notice in.
    input->pointerLocation();

    injector->key(0x14, true);
    injector->key(0x14, false);
    ASSERT_TRUE(window->waitForCount(KeyRelease, 2));
    const auto presses = window->of(KeyPress);
    ASSERT_EQ(presses.size(), 2u);
    EXPECT_EQ(presses[0].keycode, oldQ);
    EXPECT_EQ(presses[1].keycode, f12);
    EXPECT_EQ(presses[1].keysym, XK_q);
}

TEST_F(XInputTest, ChordsHoldTheirModifiersOnlyAroundTheKey) {
    injector->gesture(GestureAction::lookUp, ScrollPhase::changed, 0);  // Control + Command + D
    ASSERT_TRUE(window->waitForCount(KeyRelease, 3));
    bool found = false;
    for (const auto& e : window->of(KeyPress)) {
        if (e.keysym != XK_d) continue;
        found = true;
        EXPECT_EQ(e.state & kModifierMask, unsigned(ControlMask | Mod4Mask));
    }
    EXPECT_TRUE(found);
    EXPECT_TRUE(eventually([&] { return inputIdle(window->display()); }));
}

TEST_F(XInputTest, TextArrivesAsItsCharactersAndTheKeymapIsRestoredAfterwards) {
    const auto before = keymap();
    const std::u32string expected = U"héllo ✓ 😀";
    injector->typeText("h\xC3\xA9llo \xE2\x9C\x93 \xF0\x9F\x98\x80");
    ASSERT_TRUE(window->waitForCount(KeyRelease, expected.size()));
    EXPECT_EQ(window->typed(), expected);
    EXPECT_NE(keymap(), before);  // still lent out: a slow client may yet read it

    clock->advance(LinuxInput::kBindingHold);
    runDeferred();
    EXPECT_EQ(keymap(), before);
    EXPECT_TRUE(inputIdle(window->display()));
}

TEST_F(XInputTest, AClientReadingEachKeyAsItComesSeesEveryBorrowedKeycode) {
    // Each binding reaches the client as a mapping change after it has read its map.
    injector->typeText("a");
    ASSERT_TRUE(window->waitForCount(KeyRelease, 1));
    injector->typeText("\xC3\xA9");
    ASSERT_TRUE(window->waitForCount(KeyRelease, 2));
    injector->typeText("\xE2\x9C\x93");
    ASSERT_TRUE(window->waitForCount(KeyRelease, 3));
    EXPECT_EQ(window->typed(), U"a\u00e9\u2713");
}

TEST_F(XInputTest, TextIgnoresHeldModifiersAndTypesUppercaseAsSuch) {
    injector->key(0xE1, true);  // Shift held while text arrives
    injector->typeText("aB!");
    injector->key(0xE1, false);
    injector->typeText("Zz");
    ASSERT_TRUE(window->waitForCount(KeyRelease, 6));
    std::u32string typed;
    for (const auto& e : window->of(KeyPress)) {
        if (!IsModifierKey(e.keysym)) typed.push_back(characterOf(e.keysym));
    }
    EXPECT_EQ(typed, U"aB!Zz");
}

TEST_F(XInputTest, ThePointerLandsOnTheRootPixelsOfThePoints) {
    injector->mouseAbs(0.5, 0.25);  // (160, 60) points
    ASSERT_TRUE(window->waitFor([](const std::vector<SeenEvent>& all) {
        return !all.empty() && all.back().type == MotionNotify && all.back().rootX == 320 &&
               all.back().rootY == 120;
    }));
    EXPECT_EQ(input->pointerLocation(), (Point{160, 60}));

    injector->mouseRel(10.25, -5);  // (170.25, 55) points
    ASSERT_TRUE(window->waitFor([](const std::vector<SeenEvent>& all) {
        return !all.empty() && all.back().type == MotionNotify && all.back().rootX == 340 &&
               all.back().rootY == 110;
    }));
    EXPECT_EQ(input->pointerLocation(), (Point{170.25, 55}));

    // Beyond the edge it stops on the last point: its first pixel.
    injector->mouseAbs(1.5, -0.2);
    ASSERT_TRUE(window->waitFor([](const std::vector<SeenEvent>& all) {
        return !all.empty() && all.back().type == MotionNotify && all.back().rootX == 638 &&
               all.back().rootY == 0;
    }));
}

TEST_F(XInputTest, ButtonsArriveAsXButtonsOneThreeTwoWhereThePointerIs) {
    injector->mouseAbs(0.25, 0.5);  // (80, 120) points: pixel (160, 240)
    for (uint8_t b : {0, 1, 2}) {
        injector->button(b, true);
        injector->button(b, false);
    }
    ASSERT_TRUE(window->waitForCount(ButtonRelease, 3));
    const auto presses = window->of(ButtonPress);
    ASSERT_EQ(presses.size(), 3u);
    EXPECT_EQ(presses[0].button, 1u);
    EXPECT_EQ(presses[1].button, 3u);
    EXPECT_EQ(presses[2].button, 2u);
    for (const auto& p : presses) {
        EXPECT_EQ(p.rootX, 160);
        EXPECT_EQ(p.rootY, 240);
    }
}

TEST_F(XInputTest, WheelStepsArriveAsButtonsWithTheRemainderCarried) {
    injector->scroll(ScrollPhase::wheel, 0, 30);
    injector->scroll(ScrollPhase::wheel, 0, 30);    // 60: one step up, 12 carried
    injector->scroll(ScrollPhase::wheel, 0, -100);  // turning back: two steps down
    injector->scroll(ScrollPhase::wheel, -60, 0);   // one step right
    injector->scroll(ScrollPhase::wheel, 50, 0);    // turning back: one step left
    ASSERT_TRUE(window->waitForCount(ButtonRelease, 5));
    std::vector<unsigned> buttons;
    for (const auto& e : window->of(ButtonPress)) buttons.push_back(e.button);
    EXPECT_EQ(buttons, (std::vector<unsigned>{4, 5, 5, 7, 6}));
}

TEST_F(XInputTest, PinchZoomsWithControlAndTheWheel) {
    injector->gesture(GestureAction::magnify, ScrollPhase::began, 0.25f);
    injector->gesture(GestureAction::magnify, ScrollPhase::changed, -0.3f);
    ASSERT_TRUE(window->waitForCount(ButtonRelease, 5));
    std::vector<unsigned> buttons;
    for (const auto& e : window->of(ButtonPress)) {
        buttons.push_back(e.button);
        EXPECT_EQ(e.state & kModifierMask, unsigned(ControlMask));
    }
    EXPECT_EQ(buttons, (std::vector<unsigned>{4, 4, 5, 5, 5}));
    EXPECT_TRUE(eventually([&] { return inputIdle(window->display()); }));
}

TEST_F(XInputTest, NothingStaysPressedAfterReleaseAll) {
    injector->key(0xE1, true);  // left Shift
    injector->key(0xE4, true);  // right Control
    injector->key(0xE3, true);  // left Command
    injector->key(0x04, true);  // A
    injector->key(0x50, true);  // left arrow
    injector->button(1, true);
    injector->button(2, true);
    ASSERT_TRUE(eventually([&] {
        Window root = 0, child = 0;
        int rx = 0, ry = 0, wx = 0, wy = 0;
        unsigned mask = 0;
        XQueryPointer(window->display(), DefaultRootWindow(window->display()), &root, &child, &rx, &ry, &wx,
                      &wy, &mask);
        const unsigned all = ShiftMask | ControlMask | Mod4Mask | Button2Mask | Button3Mask;
        return (mask & all) == all;
    }));
    EXPECT_FALSE(inputIdle(window->display()));

    injector->releaseAll();
    EXPECT_TRUE(eventually([&] { return inputIdle(window->display()); }));
}

// The server queue, the momentum queue and the keymap timer all reach the connection; a
// session display that ends under them must be let go on whichever comes next, and
// its successor used.
TEST_F(XInputTest, ADisplayThatDiesUnderUseIsLetGoOnAnyThreadAndItsSuccessorUsed) {
    InputEvent motion;
    motion.location = {40, 30};
    ASSERT_TRUE(input->post(motion));
    const int server = facility->serverProcess(id);
    ASSERT_GT(server, 0);
    ASSERT_EQ(kill(server, SIGKILL), 0);
    ASSERT_TRUE(eventually([&] { return processGone(server) || !input->post(motion); }));

    auto done = std::make_shared<std::atomic<int>>(0);
    std::thread([input = input, motion, done] {
        input->post(motion);
        ++*done;
    }).detach();
    std::thread([input = input, done] {
        input->pointerLocation();
        ++*done;
    }).detach();
    ASSERT_TRUE(eventually([&] { return done->load() == 2; }, 20));

    window.reset();
    display->teardown();
    ASSERT_TRUE(display->create(640, 480, 60, 2.0, false));
    clock->advance(LinuxInput::kReopenInterval);
    EXPECT_TRUE(input->post(motion));
    const auto at = input->pointerLocation();
    ASSERT_TRUE(at);
    EXPECT_DOUBLE_EQ(at->x, 40);
    EXPECT_DOUBLE_EQ(at->y, 30);
}

}  // namespace
}  // namespace tarvello::test
