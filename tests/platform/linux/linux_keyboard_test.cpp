// The phone's keyboard typing into a GTK application on a private Xvfb, as a user
// would see it: what ends up in the entry and the text view.
#include <atomic>

#include "gtk_fixture.h"
#include "input/injector.h"
#include "platform/linux/linux_input.h"
#include "support/eventually.h"
#include "support/manual_ticker.h"
#include "support/require.h"
#include "x_test_support.h"

namespace tarvello::test {
namespace {

constexpr uint16_t kA = 0x04, kC = 0x06, kV = 0x19, kY = 0x1C, kZ = 0x1D, k2 = 0x1F, kBackspace = 0x2A,
                   kCapsLock = 0x39, kRight = 0x4F, kNumLock = 0x53, kKeypad1 = 0x59, kKeypadDecimal = 0x63,
                   kLeftShift = 0xE1, kLeftCommand = 0xE3;

class KeyboardTest : public XDisplayTest {
protected:
    void SetUp() override {
        if (auto why = GtkFixture::missing(); !why.empty()) TARVELLO_SKIP_MISSING(why);
        if (auto why = missingTools(); !why.empty()) TARVELLO_SKIP_MISSING(why);
        sessionCommand = prelude() + fixture.command();
        id = makeDisplay(1000, 1000, 2.0);
        ASSERT_NE(id, 0u);
        ASSERT_EQ(fixture.readLine(), "ready");
        LinuxInput::Options o;
        o.commandKey = [this] { return commandKey.load(); };
        input = std::make_shared<LinuxInput>(facility, o);
        InjectorOptions io;
        io.preferences = std::make_shared<MemoryPreferenceDomains>();
        io.ticker = std::make_shared<ManualTicker<MomentumTicker>>();
        injector = std::make_unique<Injector>(input, facility, io);
        injector->setTargetDisplay(id);
    }
    void TearDown() override {
        injector.reset();
        input.reset();
        XDisplayTest::TearDown();
    }

    // Shell commands run in the session before the fixture starts.
    virtual std::string prelude() const { return {}; }
    virtual std::string missingTools() const { return {}; }

    void tap(uint16_t usage) {
        injector->key(usage, true);
        injector->key(usage, false);
    }
    void chord(uint16_t modifier, uint16_t usage) {
        injector->key(modifier, true);
        tap(usage);
        injector->key(modifier, false);
    }
    // Empties the widget and gives it the keyboard focus.
    void use(const std::string& widget, const std::string& text = {}) {
        ASSERT_EQ(fixture.ask("set " + widget + " " + text), "ok");
        ASSERT_EQ(fixture.ask("focus " + widget), "ok");
    }
    // Waits until the widget holds `json` (its content as a JSON string).
    bool holds(const std::string& widget, const std::string& json) {
        last = {};
        return eventually([&] {
            last = fixture.ask("read " + widget);
            return last == "text " + json;
        });
    }

    GtkFixture fixture{"typing_fixture.py"};
    uint32_t id = 0;
    std::atomic<CommandKey> commandKey{CommandKey::control};
    std::shared_ptr<LinuxInput> input;
    std::unique_ptr<Injector> injector;
    std::string last;  // what the widget held when holds() gave up
};

TEST_F(KeyboardTest, CommandShortcutsDoWhatControlDoes) {
    use("entry", "Hello world");
    chord(kLeftCommand, kA);  // select all
    tap(kBackspace);
    EXPECT_TRUE(holds("entry", R"("")")) << last;

    use("entry", "abc");
    chord(kLeftCommand, kA);
    chord(kLeftCommand, kC);  // copy
    tap(kRight);
    chord(kLeftCommand, kV);  // paste
    EXPECT_TRUE(holds("entry", R"("abcabc")")) << last;
}

TEST_F(KeyboardTest, KeypadTypesDigitsUntilNumLockIsTurnedOff) {
    use("entry");
    tap(kKeypad1);
    tap(kKeypadDecimal);
    EXPECT_TRUE(holds("entry", R"("1.")")) << last;
    // Num Lock off: keypad 1 is End, which types nothing.
    tap(kNumLock);
    tap(kKeypad1);
    injector->typeText("x");
    EXPECT_TRUE(holds("entry", R"("1.x")")) << last;
}

TEST_F(KeyboardTest, TextArrivesAsSentWhateverCapsLockSays) {
    use("entry");
    tap(kCapsLock);
    injector->typeText("ab");
    tap(kA);  // a key, unlike text, obeys Caps Lock
    tap(kCapsLock);
    injector->typeText("Cd");
    EXPECT_TRUE(holds("entry", R"("abACd")")) << last;
}

TEST_F(KeyboardTest, CrLfInTextIsOneLineBreak) {
    use("text");
    injector->typeText("a\r\nb");
    injector->typeText("\rc\n");
    EXPECT_TRUE(holds("text", R"("a\nb\nc\n")")) << last;
}

// The computer's layout decides what each key types, as for a physical keyboard.
class GermanKeyboardTest : public KeyboardTest {
protected:
    std::string prelude() const override { return "setxkbmap -layout de && "; }
    std::string missingTools() const override {
        if (findOnPath("setxkbmap").empty()) return "setxkbmap (x11-xkb-utils) is not installed";
        if (access("/usr/share/X11/xkb/symbols/de", R_OK) != 0) return "xkb-data is not installed";
        return {};
    }
};

TEST_F(GermanKeyboardTest, KeysTypeWhatTheLayoutPutsAtTheirPosition) {
    use("entry");
    tap(kY);
    tap(kZ);
    chord(kLeftShift, k2);
    tap(kKeypadDecimal);        // the German decimal separator
    injector->typeText("yz@");  // text stays what was sent
    EXPECT_TRUE(holds("entry", R"("zy\",yz@")")) << last;
}

}  // namespace
}  // namespace tarvello::test
