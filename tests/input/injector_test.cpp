#include "input/injector.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <set>
#include <thread>
#include <tuple>

#include "platform/key_codes.h"
#include "platform/sim/sim_dock.h"
#include "platform/sim/sim_platform.h"
#include "support/log_capture.h"
#include "support/manual_ticker.h"

namespace tarvello::test {
namespace {

constexpr uint16_t kA = 0x04, kLeftControl = 0xE0, kLeftShift = 0xE1, kRightOption = 0xE6,
                   kRightCommand = 0xE7;
constexpr uint64_t kShift = 0x20000, kControl = 0x40000, kOption = 0x80000, kCommand = 0x100000;

using KeyRow = std::tuple<InputEventType, int, uint64_t>;
constexpr auto kFlagsChanged = InputEventType::flagsChanged, kKeyDown = InputEventType::keyDown,
               kKeyUp = InputEventType::keyUp;

// The message's payload: a built message without its length and type bytes.
Bytes payloadOf(const Bytes& message) {
    return Bytes(message.begin() + 3, message.end());
}

class InjectorTest : public ::testing::Test {
protected:
    void SetUp() override {
        injector = std::make_unique<Injector>(
            input, displays, InjectorOptions{clock, prefs, dock, workspace, ticker, nullptr});
        injector->onCursor = [this](float x, float y) { cursors.push_back({x, y}); };
        injector->onLeftUp = [this] { ++leftUps; };
    }

    void send(const Bytes& message) {
        injector->handle(static_cast<MsgType>(message.at(2)), payloadOf(message));
    }
    void press(uint16_t usage) { send(buildKey(usage, true)); }
    void release(uint16_t usage) { send(buildKey(usage, false)); }
    std::vector<InputEvent> events() const { return input->events(); }
    // (type, key code, flags) of each event.
    std::vector<KeyRow> keyRows() const {
        std::vector<KeyRow> out;
        for (const auto& e : input->events()) out.emplace_back(e.type, e.keyCode, e.flags);
        return out;
    }

    std::vector<InputEvent> momentumEvents() const {
        std::vector<InputEvent> out;
        for (const auto& e : input->events()) {
            if (e.momentumPhase != MomentumPhase::none) out.push_back(e);
        }
        return out;
    }

    // One timer firing, after the asynchronous hand-off to the momentum queue.
    bool fireMomentum() {
        injector->momentumQueue().sync([] {});
        return ticker->fire();
    }
    // Fires every 1/120 s of test time until the run ends; returns the firings after the first.
    int runMomentum(int maxSteps = 100000) {
        if (!fireMomentum()) return 0;
        int steps = 0;
        while (ticker->running() && steps < maxSteps) {
            clock->advance(1.0 / 120);
            ticker->fire();
            ++steps;
        }
        return steps;
    }

    std::shared_ptr<SimInput> input = std::make_shared<SimInput>();
    std::shared_ptr<SimDisplay> displays = std::make_shared<SimDisplay>();
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(0.0);
    std::shared_ptr<MemoryPreferenceDomains> prefs = std::make_shared<MemoryPreferenceDomains>();
    std::shared_ptr<SimDock> dock = std::make_shared<SimDock>();
    std::shared_ptr<SimWorkspace> workspace = std::make_shared<SimWorkspace>();
    std::shared_ptr<ManualTicker<MomentumTicker>> ticker = std::make_shared<ManualTicker<MomentumTicker>>();
    std::unique_ptr<Injector> injector;
    std::vector<std::pair<float, float>> cursors;
    int leftUps = 0;
};

// ---- Keys ----

TEST(HidKeyCodes, TableIsSortedAndComplete) {
    // Lookup is a binary search: an unsorted table would lose keys.
    for (const auto& e : hidKeyCodes) EXPECT_EQ(hidKeyCode(e.usage), e.keyCode) << e.usage;
    for (uint16_t usage : {0x00, 0x03, 0x46, 0x47, 0x48, 0x65, 0xDF, 0xE8, 0x104}) {
        EXPECT_FALSE(hidKeyCode(usage)) << usage;
    }
    EXPECT_EQ(hidKeyCode(0x53), 71);  // Num Lock, outside the common table
    // Every handled key has a position on a Linux keyboard, each its own but for the
    // two usages that share the backslash key.
    std::set<uint16_t> positions;
    for (const auto& e : hidKeyCodes) {
        const auto evdev = evdevKeyCode(e.keyCode);
        ASSERT_TRUE(evdev) << e.usage;
        if (e.usage != 0x32) {
            EXPECT_TRUE(positions.insert(*evdev).second) << e.usage;
        }
    }
    EXPECT_EQ(evdevKeyCode(71), 69);
    EXPECT_EQ(evdevKeyCode(*hidKeyCode(0x1C)), 21);  // Y
    EXPECT_EQ(evdevKeyCode(*hidKeyCode(0x64)), 86);  // the ISO key beside left Shift
    EXPECT_FALSE(evdevKeyCode(52));
    EXPECT_FALSE(evdevKeyCode(0xFFFF));
    int modifiers = 0;
    for (uint16_t usage = 0; usage < 0x200; ++usage) modifiers += modifierFlag(usage).has_value();
    EXPECT_EQ(modifiers, 8);
}

TEST_F(InjectorTest, KeyShiftFlagsOnKeysAndOnItsOwnFlagsChanged) {
    press(kLeftShift);
    press(kA);
    release(kA);
    release(kLeftShift);
    EXPECT_EQ(keyRows(), (std::vector<KeyRow>{{kFlagsChanged, 56, kShift},
                                              {kKeyDown, 0, kShift},
                                              {kKeyUp, 0, kShift},
                                              {kFlagsChanged, 56, 0}}));
    const auto ev = events();
    EXPECT_TRUE(ev[0].down);
    EXPECT_FALSE(ev[3].down);
}

TEST_F(InjectorTest, KeyTwoModifiersCombineUntilOneIsReleased) {
    press(kRightCommand);
    press(kRightOption);
    press(kA);
    release(kA);
    release(kRightOption);
    EXPECT_EQ(keyRows(), (std::vector<KeyRow>{{kFlagsChanged, 54, kCommand},
                                              {kFlagsChanged, 61, kCommand | kOption},
                                              {kKeyDown, 0, kCommand | kOption},
                                              {kKeyUp, 0, kCommand | kOption},
                                              {kFlagsChanged, 61, kCommand}}));
}

TEST_F(InjectorTest, KeyUnhandledUsagesAndShortPayloads) {
    LogCapture logs;
    press(0x46);
    send(Bytes{0, 2, 0x10, 0x01});  // one payload byte: usage 0x100, up
    EXPECT_TRUE(events().empty());
    EXPECT_EQ(logs.count("Unhandled HID key 0x46"), 1);
    EXPECT_EQ(logs.count("Unhandled HID key 0x100"), 1);
    send(Bytes{0, 3, 0x10, 0x00, 0x04});  // no down byte: A up
    press(0x39);                          // Caps Lock is an ordinary key
    EXPECT_EQ(keyRows(), (std::vector<KeyRow>{{kKeyUp, 0, 0}, {kKeyDown, 57, 0}}));
    input->clear();
    injector->releaseAll();  // the unhandled usages were never held
    EXPECT_EQ(events().size(), 1u);
}

// ---- Text ----

struct TextCase {
    std::string utf8;
    std::vector<size_t> chunks;
};

class InjectorTextChunks : public InjectorTest, public ::testing::WithParamInterface<TextCase> {};

TEST_P(InjectorTextChunks, CutsIntoPairsOfAtMostSixteenUnits) {
    const auto& c = GetParam();
    press(kLeftShift);
    input->clear();
    send(buildText(c.utf8));
    const auto ev = events();
    ASSERT_EQ(ev.size(), 2 * c.chunks.size());
    for (size_t i = 0; i < c.chunks.size(); ++i) {
        const auto& down = ev[2 * i];
        const auto& up = ev[2 * i + 1];
        EXPECT_EQ(down.type, InputEventType::keyDown);
        EXPECT_EQ(up.type, InputEventType::keyUp);
        EXPECT_EQ(down.text.size(), c.chunks[i]);
        EXPECT_EQ(up.text, down.text);
        EXPECT_EQ(down.keyCode, 0);
        EXPECT_EQ(down.flags, 0u);  // held Shift does not reach inserted text
        // A chunk never ends in the first half of a pair.
        EXPECT_NE(down.text.back() & 0xFC00, 0xD800);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Injector, InjectorTextChunks,
    ::testing::Values(TextCase{std::string(40, 'x'), {16, 16, 8}},
                      TextCase{std::string(15, 'a') + "\U0001F600b", {15, 3}},  // emoji at unit 16
                      TextCase{std::string(14, 'a') + "\U0001F600", {16}},      // ends whole at 16
                      TextCase{std::string(16, 'a') + "\U0001F600", {16, 2}},
                      TextCase{"a\xFF"
                               "b",
                               {3}},  // invalid byte repaired, not dropped
                      TextCase{"", {}}));

TEST_F(InjectorTest, TextLineBreaksWrittenAsCrLfAreOneBreak) {
    send(buildText("a\r\nb\rc\n\n"));
    send(buildText(std::string(15, 'x') + "\r\ny"));  // the pair would straddle two chunks
    std::vector<std::u16string> downs;
    for (const auto& e : events()) {
        if (e.type == InputEventType::keyDown) downs.push_back(e.text);
    }
    EXPECT_EQ(downs, (std::vector<std::u16string>{u"a\nb\rc\n\n", std::u16string(15, u'x') + u"\n", u"y"}));
}

// ---- Release of everything ----

TEST_F(InjectorTest, ReleaseAllGoesKeysThenModifiersThenButtons) {
    press(kLeftControl);
    press(kA);
    send(buildButton(2, true));
    send(buildButton(0, true));
    input->clear();
    injector->releaseAll();
    const auto ev = events();
    ASSERT_EQ(ev.size(), 4u);
    EXPECT_EQ(ev[0].type, InputEventType::keyUp);
    EXPECT_EQ(ev[0].flags, kControl);  // the key still carries the modifier held with it
    EXPECT_EQ(ev[1].type, InputEventType::flagsChanged);
    EXPECT_EQ(ev[1].keyCode, 59);
    EXPECT_EQ(ev[1].flags, 0u);
    EXPECT_EQ(ev[2].type, InputEventType::leftMouseUp);
    EXPECT_EQ(ev[3].type, InputEventType::otherMouseUp);
    EXPECT_EQ(ev[2].flags | ev[3].flags, 0u);
    EXPECT_EQ(leftUps, 1);
    input->clear();
    send(buildReleaseAll());
    EXPECT_TRUE(events().empty());
}

// ---- Pointer ----

TEST_F(InjectorTest, PointerRelativeMoveStopsAtTheUnionOfDisplays) {
    displays->addPhysicalDisplay(400, 300);  // at x 1920
    input->setPointer(Point{2300, 100});
    send(buildMouseRel(5000, -500));
    auto ev = events();
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].type, InputEventType::mouseMoved);
    EXPECT_EQ(ev[0].location, (Point{2319, 0}));
    EXPECT_EQ(ev[0].deltaX, 5000);
    EXPECT_EQ(ev[0].deltaY, -500);
    EXPECT_EQ(cursors.size(), 1u);
}

TEST_F(InjectorTest, PointerAbsoluteMoveClampsToTheTargetDisplay) {
    injector->setTargetDisplay(displays->addPhysicalDisplay(400, 300));
    input->setPointer(Point{100, 100});
    send(buildMouseAbs(1.5f, -0.2f));
    send(buildMouseAbs(0.25f, 0.5f));
    const auto ev = events();
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0].location, (Point{2319, 0}));
    EXPECT_EQ(ev[0].deltaX, 2320 - 100);  // from the unclamped position
    EXPECT_EQ(ev[0].deltaY, -100);
    EXPECT_EQ(ev[1].location, (Point{2020, 150}));
    ASSERT_EQ(cursors.size(), 2u);
    EXPECT_FLOAT_EQ(cursors[1].first, 0.25f);
    EXPECT_FLOAT_EQ(cursors[1].second, 0.5f);
}

TEST_F(InjectorTest, PointerHostileValuesAreDroppedOrSaturated) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    send(buildMouseRel(nan, 1));
    send(buildMouseRel(1, inf));
    send(buildMouseAbs(nan, 0.5f));
    send(buildMouseAbs(0.5f, -inf));
    EXPECT_TRUE(events().empty());
    send(buildMouseRel(3e38f, -3e38f));
    const auto ev = events();
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].location, (Point{1919, 0}));
    EXPECT_EQ(ev[0].deltaX, std::numeric_limits<int64_t>::max());
    EXPECT_EQ(ev[0].deltaY, std::numeric_limits<int64_t>::min());
}

TEST_F(InjectorTest, PointerGoneTargetOrFailedPostSkipsTheCallbacks) {
    injector->setTargetDisplay(999);
    send(buildMouseAbs(0.5f, 0.5f));  // nowhere to point at
    send(buildMouseRel(10, 10));      // still moves on the union
    EXPECT_EQ(events().size(), 1u);
    injector->setTargetDisplay(0);
    input->failPosts = true;
    send(buildMouseRel(10, 10));
    send(buildButton(0, true));
    send(buildButton(0, false));
    EXPECT_TRUE(cursors.empty());
    EXPECT_EQ(leftUps, 0);
}

struct DragCase {
    std::vector<uint8_t> held;
    InputEventType type;
    MouseButton button;
};

class InjectorDragTypes : public InjectorTest, public ::testing::WithParamInterface<DragCase> {};

TEST_P(InjectorDragTypes, MoveTypeFollowsTheHeldButtons) {
    for (auto b : GetParam().held) send(buildButton(b, true));
    input->clear();
    send(buildMouseRel(3, 4));
    const auto ev = events();
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].type, GetParam().type);
    EXPECT_EQ(ev[0].mouseButton, GetParam().button);
}

INSTANTIATE_TEST_SUITE_P(
    Injector, InjectorDragTypes,
    ::testing::Values(DragCase{{}, InputEventType::mouseMoved, MouseButton::left},
                      DragCase{{1}, InputEventType::rightMouseDragged, MouseButton::right},
                      DragCase{{1, 0}, InputEventType::leftMouseDragged, MouseButton::left},
                      DragCase{{2}, InputEventType::otherMouseDragged, MouseButton::center},
                      DragCase{{2, 1}, InputEventType::rightMouseDragged, MouseButton::right},
                      DragCase{{7}, InputEventType::mouseMoved, MouseButton::left}));

// ---- Clicks ----

TEST_F(InjectorTest, ClickSeriesCountsOneTwoThree) {
    input->setPointer(Point{500, 500});
    for (int i = 0; i < 3; ++i) {
        send(buildButton(0, true));
        send(buildButton(0, false));
        clock->advance(0.3);
    }
    const auto ev = events();
    ASSERT_EQ(ev.size(), 6u);
    const int64_t expected[] = {1, 1, 2, 2, 3, 3};
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(ev[i].type, i % 2 ? InputEventType::leftMouseUp : InputEventType::leftMouseDown);
        EXPECT_EQ(ev[i].clickState, expected[i]) << i;
        EXPECT_EQ(ev[i].location, (Point{500, 500}));
    }
    EXPECT_EQ(leftUps, 3);
}

struct ClickBreak {
    const char* name;
    double dt;
    Point second;
    uint8_t secondButton;
    int64_t count;
};

class InjectorClickBreaks : public InjectorTest, public ::testing::WithParamInterface<ClickBreak> {};

TEST_P(InjectorClickBreaks, SecondPressCount) {
    const auto& c = GetParam();
    input->setPointer(Point{100, 100});
    send(buildButton(0, true));
    send(buildButton(0, false));
    clock->advance(c.dt);
    input->setPointer(c.second);
    send(buildButton(c.secondButton, true));
    const auto ev = events();
    ASSERT_EQ(ev.size(), 3u);
    EXPECT_EQ(ev[2].clickState, c.count);
}

INSTANTIATE_TEST_SUITE_P(Injector, InjectorClickBreaks,
                         ::testing::Values(ClickBreak{"inTime", 0.3, {100, 100}, 0, 2},
                                           ClickBreak{"timeBoundary", 0.4, {100, 100}, 0, 1},
                                           ClickBreak{"nearby", 0.1, {105.5, 94.5}, 0, 2},
                                           ClickBreak{"sixPointsRight", 0.1, {106, 100}, 0, 1},
                                           ClickBreak{"sixPointsUp", 0.1, {100, 94}, 0, 1},
                                           ClickBreak{"otherButton", 0.1, {100, 100}, 1, 1}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(InjectorTest, ClickOtherButtonsMapAndDoNotCallLeftUp) {
    send(buildButton(2, true));
    send(buildButton(2, false));
    send(buildButton(9, true));
    const auto ev = events();
    ASSERT_EQ(ev.size(), 3u);
    EXPECT_EQ(ev[0].type, InputEventType::otherMouseDown);
    EXPECT_EQ(ev[0].mouseButton, MouseButton::center);
    EXPECT_EQ(ev[1].type, InputEventType::otherMouseUp);
    EXPECT_EQ(ev[2].type, InputEventType::leftMouseDown);
    EXPECT_EQ(leftUps, 0);
}

// ---- Scrolling ----

TEST_F(InjectorTest, ScrollPhasesDeltasAndFlags) {
    press(kLeftShift);
    input->clear();
    send(buildScroll(1.5f, -2.5f, ScrollPhase::wheel));
    send(buildScroll(0, 3, ScrollPhase::began));
    send(buildScroll(0, 4, ScrollPhase::changed));
    send(buildScroll(0, 90, ScrollPhase::ended));               // too slow for momentum
    send(Bytes{0, 10, 0x14, 0, 0, 0, 0, 0x3F, 0x80, 0, 0, 9});  // unknown phase: a wheel step
    const auto ev = events();
    ASSERT_EQ(ev.size(), 5u);
    const ScrollEventPhase phases[] = {ScrollEventPhase::none, ScrollEventPhase::began,
                                       ScrollEventPhase::changed, ScrollEventPhase::ended,
                                       ScrollEventPhase::none};
    const int32_t wheel1[] = {-3, 3, 4, 0, 1};
    for (size_t i = 0; i < ev.size(); ++i) {
        EXPECT_EQ(ev[i].type, InputEventType::scrollWheel);
        EXPECT_EQ(ev[i].scrollPhase, phases[i]) << i;
        EXPECT_EQ(ev[i].wheel1, wheel1[i]) << i;
        EXPECT_EQ(ev[i].momentumPhase, MomentumPhase::none);
        EXPECT_TRUE(ev[i].continuous);
        EXPECT_EQ(ev[i].flags, kShift);
    }
    EXPECT_EQ(ev[0].wheel2, 2);
    EXPECT_EQ(runMomentum(), 0);
    EXPECT_FALSE(ticker->running());
}

TEST_F(InjectorTest, ScrollHostileValues) {
    send(buildScroll(std::numeric_limits<float>::quiet_NaN(), 0, ScrollPhase::wheel));
    send(buildScroll(0, std::numeric_limits<float>::infinity(), ScrollPhase::ended));
    EXPECT_TRUE(events().empty());
    send(buildScroll(-3e38f, 1e20f, ScrollPhase::changed));
    const auto ev = events();
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].wheel1, std::numeric_limits<int32_t>::max());
    EXPECT_EQ(ev[0].wheel2, std::numeric_limits<int32_t>::min());
}

// ---- Momentum ----

TEST_F(InjectorTest, MomentumRunsFromBeginToEndInAboutTwoSeconds) {
    press(kLeftShift);
    send(buildScroll(0, 800, ScrollPhase::ended));
    const double start = clock->uptime();
    runMomentum();
    EXPECT_DOUBLE_EQ(ticker->interval(), 1.0 / 120);
    const auto ev = momentumEvents();
    ASSERT_GT(ev.size(), 200u);
    EXPECT_EQ(ev.front().momentumPhase, MomentumPhase::begin);
    for (size_t i = 1; i + 1 < ev.size(); ++i) ASSERT_EQ(ev[i].momentumPhase, MomentumPhase::continuing) << i;
    EXPECT_EQ(ev.back().momentumPhase, MomentumPhase::end);
    EXPECT_EQ(ev.back().wheel1, 0);
    // 800 × 0.998^t drops below 15 at t ≈ 1.986 s; the next firing ends the run.
    EXPECT_NEAR(clock->uptime() - start, 1.99, 0.01);
    int64_t total = 0;
    for (const auto& e : ev) {
        total += e.wheel1;
        EXPECT_EQ(e.wheel2, 0);
        EXPECT_EQ(e.flags, kShift);  // read by the momentum queue
        EXPECT_EQ(e.scrollPhase, ScrollEventPhase::none);
    }
    // ∫ 800·0.998^(1000t) dt up to the end.
    const double k = -std::log(0.998) * 1000;
    EXPECT_NEAR(double(total), 800 / k * (1 - 15.0 / 800), 6);
}

TEST_F(InjectorTest, MomentumCarriesSubPixelRemainders) {
    // Just above the start threshold every step moves less than a pixel; rounding
    // each step on its own would post a full pixel for each and more than double it.
    send(buildScroll(-110, 0, ScrollPhase::ended));
    runMomentum();
    int64_t total = 0;
    for (const auto& e : momentumEvents()) total += e.wheel2;
    const double k = -std::log(0.998) * 1000;
    EXPECT_NEAR(double(total), -110 / k * (1 - 15.0 / 110), 2);
}

TEST_F(InjectorTest, MomentumUsesMeasuredTimeNotFirings) {
    send(buildScroll(0, 2000, ScrollPhase::ended));
    fireMomentum();
    clock->advance(0.25);  // one late firing stands for 30 missed ones
    ticker->fire();
    const auto ev = momentumEvents();
    ASSERT_EQ(ev.size(), 2u);
    const double k = -std::log(0.998) * 1000;
    EXPECT_NEAR(ev[1].wheel1, 2000 * std::exp(-k * 0.25) * 0.25, 1);
}

TEST_F(InjectorTest, MomentumBeganPostsOneEndBeforeTheNewGesture) {
    send(buildScroll(0, 800, ScrollPhase::ended));
    fireMomentum();
    clock->advance(1.0 / 120);
    ticker->fire();
    input->clear();
    send(buildScroll(0, 5, ScrollPhase::began));
    const auto ev = events();
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0].momentumPhase, MomentumPhase::end);
    EXPECT_EQ(ev[1].scrollPhase, ScrollEventPhase::began);
    EXPECT_FALSE(ticker->running());
}

TEST_F(InjectorTest, MomentumReplacedOrStoppedEarlyPostsNoEnd) {
    send(buildScroll(0, 800, ScrollPhase::ended));
    fireMomentum();
    send(buildScroll(0, -800, ScrollPhase::ended));  // replaces the run
    fireMomentum();
    send(buildScroll(0, 800, ScrollPhase::ended));
    send(buildScroll(0, 5, ScrollPhase::began));  // before the new run posted anything
    EXPECT_FALSE(ticker->running());
    const auto ev = momentumEvents();
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0].momentumPhase, MomentumPhase::begin);
    EXPECT_EQ(ev[1].momentumPhase, MomentumPhase::begin);
    EXPECT_EQ(ev[1].wheel1, 0);
}

TEST_F(InjectorTest, ReleaseAllStopsMomentumAtOnce) {
    send(buildScroll(0, 800, ScrollPhase::ended));
    fireMomentum();
    clock->advance(1.0 / 120);
    ticker->fire();
    injector->releaseAll();  // the phone went away mid-flick
    EXPECT_FALSE(ticker->running());
    const auto ev = momentumEvents();
    ASSERT_FALSE(ev.empty());
    EXPECT_EQ(ev.back().momentumPhase, MomentumPhase::end);
    const size_t posted = input->events().size();
    clock->advance(1.0 / 120);
    ticker->fire();
    EXPECT_EQ(input->events().size(), posted);
}

TEST_F(InjectorTest, MomentumHugeReleaseEndsInBoundedTime) {
    send(buildScroll(3e38f, 3e38f, ScrollPhase::ended));
    const int steps = runMomentum();
    EXPECT_GT(steps, 0);
    EXPECT_LT(steps, 120 * 6);
    EXPECT_EQ(momentumEvents().back().momentumPhase, MomentumPhase::end);
}

TEST(InjectorMomentumTimer, RealTimerRunsOnTheMomentumQueueAndStopsWithTheInjector) {
    auto input = std::make_shared<SimInput>();
    InjectorOptions options;
    options.preferences = std::make_shared<MemoryPreferenceDomains>();
    auto injector = std::make_unique<Injector>(input, std::make_shared<SimDisplay>(), options);
    injector->scroll(ScrollPhase::ended, 0, 5000);
    bool sawMomentum = false;
    for (int i = 0; i < 200 && !sawMomentum; ++i) {
        for (const auto& e : input->events()) sawMomentum |= e.momentumPhase == MomentumPhase::begin;
        if (!sawMomentum) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(sawMomentum);
    injector.reset();  // must not leave a timer firing into a destroyed injector
    const auto count = input->events().size();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(input->events().size(), count);
}

// ---- Gestures ----

struct ChordCase {
    GestureAction action;
    uint16_t keyCode;
    uint64_t flags;
};

class InjectorGestureChords : public InjectorTest, public ::testing::WithParamInterface<ChordCase> {};

TEST_P(InjectorGestureChords, PostsADownUpPairWithItsFlags) {
    dock->available = false;
    press(kLeftShift);
    input->clear();
    send(buildGesture(GetParam().action, 0, ScrollPhase::changed));
    const auto ev = events();
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0].type, InputEventType::keyDown);
    EXPECT_EQ(ev[1].type, InputEventType::keyUp);
    for (const auto& e : ev) {
        EXPECT_EQ(e.keyCode, GetParam().keyCode);
        EXPECT_EQ(e.flags, GetParam().flags);  // the chord's own, not the held Shift
        EXPECT_EQ(e.tap, EventTap::hid);
    }
}

INSTANTIATE_TEST_SUITE_P(Injector, InjectorGestureChords,
                         ::testing::Values(ChordCase{GestureAction::spaceLeft, 123, 0xA40000},
                                           ChordCase{GestureAction::spaceRight, 124, 0xA40000},
                                           ChordCase{GestureAction::missionControl, 126, 0xA40000},
                                           ChordCase{GestureAction::appExpose, 125, 0xA40000},
                                           ChordCase{GestureAction::lookUp, 2, 0x140000}));

TEST_F(InjectorTest, GestureDockNotificationsAndTheirFallbacks) {
    send(buildGesture(GestureAction::missionControl, 0, ScrollPhase::changed));
    send(buildGesture(GestureAction::appExpose, 0, ScrollPhase::changed));
    send(buildGesture(GestureAction::showDesktop, 0, ScrollPhase::changed));
    EXPECT_TRUE(events().empty());
    EXPECT_EQ(dock->sent(),
              (std::vector<std::string>{"com.apple.expose.awake", "com.apple.expose.front.awake",
                                        "com.apple.showdesktop.awake"}));
    dock->available = false;
    send(buildGesture(GestureAction::showDesktop, 0, ScrollPhase::changed));
    EXPECT_TRUE(events().empty());
}

TEST_F(InjectorTest, GestureLaunchpadProcedure) {
    send(buildGesture(GestureAction::launchpad, 0, ScrollPhase::changed));
    EXPECT_EQ(dock->sent(), std::vector<std::string>{"com.apple.launchpad.toggle"});
    workspace->addFile("/System/Applications/Launchpad.app");
    send(buildGesture(GestureAction::launchpad, 0, ScrollPhase::changed));
    workspace->addFile("/System/Applications/Apps.app");
    send(buildGesture(GestureAction::launchpad, 0, ScrollPhase::changed));
    EXPECT_EQ(workspace->opened(), (std::vector<std::string>{"/System/Applications/Launchpad.app",
                                                             "/System/Applications/Apps.app"}));
    EXPECT_EQ(dock->sent().size(), 1u);  // no notification once an app opens
    EXPECT_TRUE(events().empty());
}

TEST_F(InjectorTest, GestureEventsGoToTheSessionTapWithoutFlags) {
    press(kRightCommand);
    input->clear();
    send(buildGesture(GestureAction::smartZoom, 7, ScrollPhase::began));
    send(buildGesture(GestureAction::magnify, 0.25f, ScrollPhase::began));
    send(buildGesture(GestureAction::rotate, -12.5f, ScrollPhase::wheel));
    send(buildGesture(GestureAction::magnify, 0.5f, ScrollPhase::ended));
    send(Bytes{0, 7, 0x16, 10, 0x3F, 0x80, 0, 0, 9});  // unknown phase counts as changed
    const auto ev = events();
    ASSERT_EQ(ev.size(), 5u);
    for (const auto& e : ev) {
        EXPECT_EQ(e.type, InputEventType::gesture);
        EXPECT_EQ(e.tap, EventTap::session);
        EXPECT_EQ(e.flags, 0u);
    }
    const GestureSubtype subtypes[] = {GestureSubtype::smartMagnify, GestureSubtype::magnify,
                                       GestureSubtype::rotate, GestureSubtype::magnify,
                                       GestureSubtype::rotate};
    const GesturePhase phases[] = {GesturePhase::none, GesturePhase::began, GesturePhase::changed,
                                   GesturePhase::ended, GesturePhase::changed};
    for (size_t i = 0; i < ev.size(); ++i) {
        EXPECT_EQ(ev[i].gestureSubtype, subtypes[i]) << i;
        EXPECT_EQ(ev[i].gesturePhase, phases[i]) << i;
    }
    EXPECT_DOUBLE_EQ(ev[1].magnification, 0.25);
    EXPECT_DOUBLE_EQ(ev[2].rotation, -12.5);
    EXPECT_DOUBLE_EQ(ev[4].rotation, 1.0);
}

TEST_F(InjectorTest, GestureUnknownActionsAndHostileValuesDoNothing) {
    send(Bytes{0, 7, 0x16, 0, 0, 0, 0, 0, 2});
    send(Bytes{0, 7, 0x16, 11, 0, 0, 0, 0, 2});
    send(buildGesture(GestureAction::magnify, std::numeric_limits<float>::quiet_NaN(), ScrollPhase::changed));
    send(buildGesture(GestureAction::rotate, std::numeric_limits<float>::infinity(), ScrollPhase::changed));
    send(buildGesture(GestureAction::rotate, 3e38f, ScrollPhase::changed));
    send(buildPing(1));  // not an input message
    EXPECT_TRUE(events().empty());
    EXPECT_TRUE(dock->sent().empty());
    // The value of a one-shot action does not matter.
    send(buildGesture(GestureAction::spaceLeft, std::numeric_limits<float>::quiet_NaN(),
                      ScrollPhase::changed));
    EXPECT_EQ(events().size(), 2u);
}

// ---- Gesture configuration ----

struct Pref {
    const char* domain;
    const char* key;
    nlohmann::json value;
};

struct ConfigCase {
    const char* name;
    std::vector<Pref> prefs;
    uint32_t expected;
};

class InjectorGestureConfig : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(InjectorGestureConfig, ReadsThePreferenceDomains) {
    MemoryPreferenceDomains prefs;
    for (const auto& p : GetParam().prefs) prefs.set(p.domain, p.key, p.value);
    EXPECT_EQ(readGestureConfig(prefs).rawValue, GetParam().expected)
        << std::hex << readGestureConfig(prefs).rawValue;
}

constexpr const char* kPad = PreferenceDomain::trackpad;
constexpr const char* kBtPad = PreferenceDomain::bluetoothTrackpad;
constexpr const char* kDock = PreferenceDomain::dock;

INSTANTIATE_TEST_SUITE_P(
    Injector, InjectorGestureConfig,
    ::testing::Values(
        ConfigCase{"nothingStored", {}, 0xF6F},
        ConfigCase{"threeFingerDrag", {{kPad, "TrackpadThreeFingerDrag", 1}}, 0x1F6A},
        ConfigCase{"stringSkippedForSecondDomain",
                   {{kPad, "TrackpadThreeFingerDrag", "1"}, {kBtPad, "TrackpadThreeFingerDrag", 1}},
                   0x1F6A},
        ConfigCase{"firstDomainWins",
                   {{kPad, "TrackpadThreeFingerDrag", 0}, {kBtPad, "TrackpadThreeFingerDrag", 1}},
                   0xF6F},
        ConfigCase{"missionControlOff", {{kDock, "showMissionControlGestureEnabled", false}}, 0xF63},
        ConfigCase{"missionControlNotABool", {{kDock, "showMissionControlGestureEnabled", 0}}, 0xF6F},
        ConfigCase{"appExposeOn", {{kDock, "showAppExposeGestureEnabled", true}}, 0xF7F},
        ConfigCase{"appExposeNotABool", {{kDock, "showAppExposeGestureEnabled", 1}}, 0xF6F},
        ConfigCase{"pinchOff",
                   {{kPad, "TrackpadFourFingerPinchGesture", 0}, {kPad, "TrackpadFiveFingerPinchGesture", 0}},
                   0xF0F},
        ConfigCase{"fiveFingerPinch",
                   {{kPad, "TrackpadFourFingerPinchGesture", 0}, {kPad, "TrackpadFiveFingerPinchGesture", 2}},
                   0xF6F},
        ConfigCase{
            "launchpadAndDesktopOff",
            {{kDock, "showLaunchpadGestureEnabled", false}, {kDock, "showDesktopGestureEnabled", false}},
            0xF0F},
        ConfigCase{"swipesOff",
                   {{kPad, "TrackpadThreeFingerHorizSwipeGesture", 0},
                    {kPad, "TrackpadFourFingerHorizSwipeGesture", 1},
                    {kPad, "TrackpadThreeFingerVertSwipeGesture", 0},
                    {kPad, "TrackpadFourFingerVertSwipeGesture", 0}},
                   0xF60},
        ConfigCase{"tapLookUpAndOthersOff",
                   {{kPad, "TrackpadThreeFingerTapGesture", 2},
                    {kPad, "TrackpadTwoFingerDoubleTapGesture", 0},
                    {kPad, "TrackpadPinch", 0},
                    {kPad, "TrackpadRotate", 0},
                    {kPad, "TrackpadRightClick", 0}},
                   0x06F | 0x80}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(InjectorTest, GestureConfigComesFromTheInjectorsDomains) {
    EXPECT_EQ(injector->currentGestureConfig().rawValue, 0xF6Fu);
    prefs->set(kPad, "TrackpadThreeFingerDrag", 1);
    EXPECT_EQ(injector->currentGestureConfig().rawValue, 0x1F6Au);
}

// A desktop that can do what the test says and records what it was asked to do.
class RecordingDesktop final : public DesktopActions {
public:
    bool can(GestureAction a) override { return able.contains(a); }
    bool perform(GestureAction a) override {
        performed.push_back(a);
        return able.contains(a);
    }
    void watch(std::function<void()>) override {}
    std::set<GestureAction> able;
    std::vector<GestureAction> performed;
};

class InjectorDesktopTest : public InjectorTest {
protected:
    void SetUp() override {
        InjectorTest::SetUp();
        desktop = std::make_shared<RecordingDesktop>();
        injector = std::make_unique<Injector>(
            input, displays, InjectorOptions{clock, prefs, dock, workspace, ticker, desktop});
    }
    std::shared_ptr<RecordingDesktop> desktop;
};

TEST_F(InjectorDesktopTest, DesktopGesturesGoToTheDesktopAndNeverBecomeKeys) {
    desktop->able = {GestureAction::spaceLeft, GestureAction::spaceRight, GestureAction::showDesktop};
    for (auto a : {GestureAction::spaceRight, GestureAction::spaceLeft, GestureAction::showDesktop,
                   GestureAction::missionControl, GestureAction::appExpose, GestureAction::launchpad,
                   GestureAction::lookUp}) {
        send(buildGesture(a, 0, ScrollPhase::changed));
    }
    // What the desktop cannot do is not even asked for, and nothing reaches the application.
    EXPECT_EQ(desktop->performed,
              (std::vector<GestureAction>{GestureAction::spaceRight, GestureAction::spaceLeft,
                                          GestureAction::showDesktop}));
    EXPECT_TRUE(events().empty());
    EXPECT_TRUE(dock->sent().empty());
    EXPECT_TRUE(workspace->opened().empty());
}

TEST_F(InjectorDesktopTest, PointerGesturesPostOnlyWhatTheDesktopCarries) {
    desktop->able = {GestureAction::magnify};
    send(buildGesture(GestureAction::magnify, 0.2f, ScrollPhase::changed));
    send(buildGesture(GestureAction::rotate, 10, ScrollPhase::changed));
    send(buildGesture(GestureAction::smartZoom, 0, ScrollPhase::changed));
    ASSERT_EQ(events().size(), 1u);
    EXPECT_EQ(events()[0].gestureSubtype, GestureSubtype::magnify);
    EXPECT_TRUE(desktop->performed.empty());
}

TEST_F(InjectorDesktopTest, GestureConfigOffersOnlyWhatTheDesktopCanDo) {
    // Nothing the desktop does: the phone keeps only what it handles itself.
    EXPECT_EQ(injector->currentGestureConfig(), GestureConfig::twoFingerRightClick);
    desktop->able = {GestureAction::spaceLeft, GestureAction::spaceRight, GestureAction::magnify};
    EXPECT_EQ(injector->currentGestureConfig(),
              GestureConfig::threeFingerSwipeSpaces | GestureConfig::fourFingerSwipeSpaces |
                  GestureConfig::pinchZoom | GestureConfig::twoFingerRightClick);
    desktop->able.insert(GestureAction::showDesktop);
    EXPECT_TRUE(injector->currentGestureConfig().contains(GestureConfig::spreadDesktop));
    // The preferences still count: a gesture turned off there stays off.
    prefs->set(kPad, "TrackpadFourFingerHorizSwipeGesture", 0);
    EXPECT_FALSE(injector->currentGestureConfig().contains(GestureConfig::fourFingerSwipeSpaces));
}

}  // namespace
}  // namespace tarvello::test
