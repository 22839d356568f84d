// gtest first: Xlib's macros (None, Bool) break its templates.
#include <gtest/gtest.h>
// clang-format off
#include <X11/extensions/scrnsaver.h>
// clang-format on

#include <chrono>
#include <filesystem>
#include <thread>

#include "fake_logind.h"
#include "platform/linux/linux_host.h"
#include "platform/linux/linux_lid.h"
#include "platform/linux/linux_power.h"
#include "platform/linux/logind.h"
#include "x_test_support.h"

namespace tarvello::test {
namespace {

constexpr const char* kName = "Tarvello: keeps this computer unlocked for the iPhone";

// A bus address nobody listens on, in a directory of the test's own.
class AbsentBus {
public:
    AbsentBus() {
        std::string tmpl = std::filesystem::temp_directory_path().string() + "/tarvello-nobus-XXXXXX";
        if (mkdtemp(tmpl.data())) dir_ = tmpl;
    }
    ~AbsentBus() {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    std::string socketPath() const { return dir_ + "/bus"; }
    std::string address() const { return "unix:path=" + socketPath(); }

private:
    std::string dir_;
};

// ---- The idle inhibitor ----

TEST(LinuxPower, AssertionIsAnIdleInhibitorHeldUntilReleased) {
    FakeLogind bus;
    ASSERT_TRUE(bus.running());
    LogCapture logs;
    {
        LinuxPower power(std::make_shared<Logind>(bus.address()), nullptr);
        const uint32_t first = power.createAssertion(kName);
        ASSERT_NE(first, 0u);
        const auto calls = bus.inhibitCalls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].what, "idle");
        EXPECT_EQ(calls[0].who, "Tarvello");
        EXPECT_EQ(calls[0].why, kName);
        EXPECT_EQ(calls[0].mode, "block");
        EXPECT_EQ(bus.waitOpenLocks(1), 1);

        const uint32_t second = power.createAssertion(kName);
        EXPECT_NE(second, 0u);
        EXPECT_NE(second, first);
        EXPECT_EQ(bus.waitOpenLocks(2), 2);

        power.releaseAssertion(first);
        EXPECT_EQ(bus.waitOpenLocks(1), 1);
        power.releaseAssertion(first);  // twice: nothing more
        power.releaseAssertion(12345);  // unknown: ignored
        EXPECT_EQ(bus.waitOpenLocks(1), 1);
    }
    // What is still held goes with the facility.
    EXPECT_EQ(bus.waitOpenLocks(0), 0);
    EXPECT_FALSE(logs.contains("Keep-awake unavailable"));
}

TEST(LinuxPower, WithoutABusFailsLoggingOnceAndTriesAgainEachTime) {
    AbsentBus absent;
    LogCapture logs;
    LinuxPower power(std::make_shared<Logind>(absent.address()), nullptr);
    EXPECT_EQ(power.createAssertion(kName), 0u);
    EXPECT_EQ(power.createAssertion(kName), 0u);
    EXPECT_EQ(logs.count("Keep-awake unavailable: no system bus"), 1);

    // The bus appears: the next trigger finds it.
    FakeLogind bus(absent.socketPath());
    ASSERT_TRUE(bus.running());
    const uint32_t id = power.createAssertion(kName);
    EXPECT_NE(id, 0u);
    EXPECT_EQ(bus.waitOpenLocks(1), 1);
    EXPECT_EQ(logs.count("Keep-awake unavailable"), 1);
    power.releaseAssertion(id);
    EXPECT_EQ(bus.waitOpenLocks(0), 0);
}

TEST(LinuxPower, ABusWithoutLoginManagerFailsWithTheBussReason) {
    FakeLogind bus({}, false);
    ASSERT_TRUE(bus.running());
    LogCapture logs;
    LinuxPower power(std::make_shared<Logind>(bus.address()), nullptr);
    EXPECT_EQ(power.createAssertion(kName), 0u);
    EXPECT_TRUE(logs.contains("org.freedesktop.login1")) << "the reason names what is missing";

    LinuxPower none(nullptr, nullptr);
    EXPECT_EQ(none.createAssertion(kName), 0u);
    EXPECT_TRUE(logs.contains("Keep-awake unavailable: no login manager"));
}

// ---- The lid hold ----

TEST(LinuxLid, HoldIsOneLidSwitchInhibitorTakenOnceAndLetGo) {
    FakeLogind bus;
    ASSERT_TRUE(bus.running());
    LogCapture logs;
    {
        LinuxLid lid(std::make_shared<Logind>(bus.address()));
        EXPECT_FALSE(lid.held());
        EXPECT_TRUE(lid.hold(true));
        EXPECT_TRUE(lid.hold(true));  // already held: no second lock
        EXPECT_TRUE(lid.held());
        const auto calls = bus.inhibitCalls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].what, "handle-lid-switch");
        EXPECT_EQ(calls[0].who, "Tarvello");
        EXPECT_EQ(calls[0].mode, "block");
        EXPECT_EQ(bus.waitOpenLocks(1), 1);

        EXPECT_FALSE(lid.hold(false));
        EXPECT_FALSE(lid.held());
        EXPECT_EQ(bus.waitOpenLocks(0), 0);

        EXPECT_TRUE(lid.hold(true));
        EXPECT_EQ(bus.waitOpenLocks(1), 1);
    }
    // Held no longer than its owner.
    EXPECT_EQ(bus.waitOpenLocks(0), 0);
}

TEST(LinuxLid, RefusedHoldReadsBackOffWithTheReason) {
    AbsentBus absent;
    LogCapture logs;
    LinuxLid lid(std::make_shared<Logind>(absent.address()));
    EXPECT_FALSE(lid.hold(true));
    EXPECT_FALSE(lid.held());
    EXPECT_TRUE(logs.contains("Could not keep this computer awake with the lid closed: no system bus"))
        << "the log tells why";

    LinuxLid none(nullptr);
    EXPECT_FALSE(none.hold(true));
}

// ---- The lock state ----

TEST(LinuxLockState, FollowsTheSessionsLockedHint) {
    FakeLogind bus;
    ASSERT_TRUE(bus.running());
    LogCapture logs;
    auto displays = std::make_shared<LinuxDisplay>();
    LinuxHost host(displays, true, std::make_shared<Logind>(bus.address()));

    // No session: unlocked, and said once.
    EXPECT_FALSE(host.sessionLocked());
    EXPECT_FALSE(host.sessionLocked());
    EXPECT_EQ(logs.count("Lock state unavailable (counted as unlocked): No session"), 1);

    bus.setSession(true);
    EXPECT_TRUE(host.sessionLocked());
    bus.setSession(false);
    EXPECT_FALSE(host.sessionLocked());
    // A new outage is reported again.
    bus.setSession(std::nullopt);
    EXPECT_FALSE(host.sessionLocked());
    EXPECT_EQ(logs.count("Lock state unavailable"), 2);
}

TEST(LinuxLockState, WithoutABusCountsAsUnlocked) {
    AbsentBus absent;
    LogCapture logs;
    LinuxHost host(std::make_shared<LinuxDisplay>(), true, std::make_shared<Logind>(absent.address()));
    EXPECT_FALSE(host.sessionLocked());
    EXPECT_FALSE(host.sessionLocked());
    EXPECT_EQ(logs.count("Lock state unavailable (counted as unlocked): no system bus"), 1);
}

// ---- The session display ----

// The display's screen saver, set to start after one idle second, as a client of its own
// sees it. A suspended saver never starts; that is the only trace a suspension leaves.
class ScreenSaverProbe {
public:
    explicit ScreenSaverProbe(const std::string& display) {
        std::string error;
        x_ = XConnection::open(display, error);
        EXPECT_TRUE(x_) << error;
        if (x_) XSetScreenSaver(x_->get(), 1, 1, DontPreferBlanking, AllowExposures);
    }

    // Turns the saver off and restarts the idle time.
    void reset() {
        if (!x_) return;
        XForceScreenSaver(x_->get(), ScreenSaverReset);
        XSync(x_->get(), False);
    }

    bool on() {
        if (!x_) return false;
        XScreenSaverInfo* info = XScreenSaverAllocInfo();
        const bool active = XScreenSaverQueryInfo(x_->get(), DefaultRootWindow(x_->get()), info) &&
                            info->state == ScreenSaverOn;
        XFree(info);
        return active;
    }

    // After a reset: true when the saver starts (bounded wait).
    bool starts() {
        reset();
        for (int i = 0; i < 500; ++i) {
            if (on()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // After a reset: true when the saver is still off well past its one second.
    bool staysOff() {
        reset();
        std::this_thread::sleep_for(std::chrono::milliseconds(1800));
        return !on();
    }

private:
    std::unique_ptr<XConnection> x_;
};

using LinuxPowerDisplayTest = XDisplayTest;

TEST_F(LinuxPowerDisplayTest, HeldAssertionSuspendsTheCoveredDisplaysScreenSaver) {
    const uint32_t id = makeDisplay(640, 480, 2.0);
    ASSERT_NE(id, 0u);
    ScreenSaverProbe saver(connectionName());
    FakeLogind bus;
    ASSERT_TRUE(bus.running());
    auto power = std::make_unique<LinuxPower>(std::make_shared<Logind>(bus.address()), facility);

    // Covering alone holds nothing.
    power->coverDisplay(id);
    EXPECT_TRUE(saver.starts());
    // The assertion holds the covered display.
    const uint32_t assertion = power->createAssertion(kName);
    ASSERT_NE(assertion, 0u);
    EXPECT_TRUE(saver.staysOff());
    // Released, the display is let go.
    power->releaseAssertion(assertion);
    EXPECT_TRUE(saver.starts());
    // Held again, then the facility ends with its assertion: let go as well.
    ASSERT_NE(power->createAssertion(kName), 0u);
    power.reset();
    EXPECT_TRUE(saver.starts());
}

TEST_F(LinuxPowerDisplayTest, TheHoldMovesToADisplayRebuiltUnderTheSameName) {
    ASSERT_NE(makeDisplay(640, 480, 2.0), 0u);
    const std::string name = connectionName();
    FakeLogind bus;
    ASSERT_TRUE(bus.running());
    LinuxPower power(std::make_shared<Logind>(bus.address()), facility);
    power.coverDisplay(display->displayID());
    ASSERT_NE(power.createAssertion(kName), 0u);

    // The session's display is made again; the freed display number is taken again.
    display->teardown();
    ASSERT_TRUE(display->create(640, 480, 60, 2.0, false));
    ASSERT_EQ(connectionName(), name);
    power.coverDisplay(display->displayID());
    ScreenSaverProbe saver(name);
    EXPECT_TRUE(saver.staysOff());
}

TEST_F(LinuxPowerDisplayTest, DisplayHoldLastsAsLongAsItsObject) {
    ASSERT_NE(makeDisplay(640, 480, 2.0), 0u);
    const std::string name = connectionName();
    ScreenSaverProbe saver(name);
    std::string error;
    auto hold = DisplayAwake::hold(name, error);
    ASSERT_TRUE(hold) << error;
    EXPECT_EQ(hold->name(), name);
    EXPECT_TRUE(saver.staysOff());
    hold.reset();
    EXPECT_TRUE(saver.starts());

    EXPECT_FALSE(DisplayAwake::hold(":9999", error));
    EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace tarvello::test
