// Desktop gestures on a private Xvfb: bare, and under openbox (an EWMH window manager
// with four workspaces by default) until it has gone.
// clang-format off
// gtest first: Xlib's macros (None, Bool) break its headers.
#include <gtest/gtest.h>
#include "platform/linux/linux_desktop.h"
#include <X11/Xatom.h>
#include <X11/Xlib.h>
// clang-format on

#include <atomic>
#include <filesystem>

#include "base/child_process.h"
#include "input/injector.h"
#include "platform/linux/x11.h"
#include "platform/linux/xvfb_server.h"
#include "platform/platform.h"
#include "platform/sim/sim_platform.h"
#include "support/eventually.h"
#include "support/require.h"
#include "x_test_support.h"

namespace tarvello::test {
namespace {

class LinuxDesktopTest : public ::testing::Test {
protected:
    void SetUp() override {
        XvfbServer::Options options;
        options.executable = findOnPath("Xvfb");
        if (options.executable.empty()) TARVELLO_SKIP_MISSING("Xvfb is not installed");
        options.width = 640;
        options.height = 480;
        std::string error;
        server = XvfbServer::start(options, error);
        ASSERT_TRUE(server) << error;
        x = XConnection::open(server->name(), error);
        ASSERT_TRUE(x) << error;
        desktop = std::make_shared<LinuxDesktop>([name = server->name()] { return std::optional(name); });
        InjectorOptions o;
        o.clock = std::make_shared<ManualClock>(0.0);
        o.preferences = std::make_shared<MemoryPreferenceDomains>();
        o.desktop = desktop;
        injector =
            std::make_unique<Injector>(std::make_shared<SimInput>(), std::make_shared<SimDisplay>(), o);
    }

    void TearDown() override {
        injector.reset();
        desktop.reset();
        x.reset();
        server.reset();
    }

    std::unique_ptr<XvfbServer> server;
    std::unique_ptr<XConnection> x;
    std::shared_ptr<LinuxDesktop> desktop;
    std::unique_ptr<Injector> injector;
};

TEST_F(LinuxDesktopTest, ABareServerOffersOnlyWhatNeedsNoWindowManager) {
    EXPECT_FALSE(desktop->can(GestureAction::spaceLeft));
    EXPECT_FALSE(desktop->can(GestureAction::showDesktop));
    EXPECT_FALSE(desktop->perform(GestureAction::spaceRight));
    // Pinch zoom is Control + wheel and right click is the phone's: both work anywhere.
    EXPECT_EQ(injector->currentGestureConfig(),
              GestureConfig::pinchZoom | GestureConfig::twoFingerRightClick);
}

// The session's own window manager, started with its display.
class LinuxDesktopSessionTest : public XDisplayTest {
protected:
    void SetUp() override {
        if (findOnPath("openbox").empty()) TARVELLO_SKIP_MISSING("openbox is not installed");
        if (!linuxPlatformAvailable()) TARVELLO_SKIP_MISSING("Xvfb is not installed");
        home = makeScratchDirectory("tarvello-wm-test");
        sessionCommand = "XDG_CONFIG_HOME=" + home + " exec openbox --sm-disable";
        ASSERT_NE(makeDisplay(640, 480, 1.0), 0u);
        x = connect();
        ASSERT_TRUE(x);
        desktop = std::make_shared<LinuxDesktop>(facility);
        InjectorOptions o;
        o.clock = std::make_shared<ManualClock>(0.0);
        o.preferences = std::make_shared<MemoryPreferenceDomains>();
        o.desktop = desktop;
        injector =
            std::make_unique<Injector>(std::make_shared<SimInput>(), std::make_shared<SimDisplay>(), o);
    }
    void TearDown() override {
        if (desktop) desktop->watch({});
        injector.reset();
        desktop.reset();
        x.reset();
        XDisplayTest::TearDown();
        if (!home.empty()) std::filesystem::remove_all(home);
    }

    std::optional<unsigned long> rootCardinal(const char* name) {
        Display* d = x->get();
        Atom type = None;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        std::optional<unsigned long> out;
        if (XGetWindowProperty(d, DefaultRootWindow(d), XInternAtom(d, name, False), 0, 1, False, XA_CARDINAL,
                               &type, &format, &count, &after, &data) == Success &&
            data && count == 1) {
            out = reinterpret_cast<unsigned long*>(data)[0];
        }
        if (data) XFree(data);
        return out;
    }
    std::string workspace() { return std::to_string(rootCardinal("_NET_CURRENT_DESKTOP").value_or(999)); }
    void swipe(GestureAction a) { injector->gesture(a, ScrollPhase::changed, 0); }

    std::string home;
    std::unique_ptr<XConnection> x;
    std::shared_ptr<LinuxDesktop> desktop;
    std::unique_ptr<Injector> injector;
};

TEST_F(LinuxDesktopSessionTest, SwipesSwitchWorkspacesAndTheOfferFollowsTheWindowManager) {
    std::atomic<int> changes{0};
    desktop->watch([&] { ++changes; });
    ASSERT_TRUE(eventually([&] { return changes.load() >= 1; })) << "the watch never looked";
    ASSERT_TRUE(eventually([&] { return desktop->can(GestureAction::spaceRight); }));
    const GestureConfig offered = injector->currentGestureConfig();
    EXPECT_TRUE(offered.contains(GestureConfig::threeFingerSwipeSpaces |
                                 GestureConfig::fourFingerSwipeSpaces | GestureConfig::spreadDesktop));
    EXPECT_FALSE(offered.contains(GestureConfig::threeFingerMissionControl));

    // A manager announces itself before its event loop runs and drops what it is sent
    // meanwhile: swipe until the first one takes.
    ASSERT_TRUE(eventually([&] { return rootCardinal("_NET_CURRENT_DESKTOP") == 0ul; }));
    ASSERT_TRUE(eventually([&] {
        if (rootCardinal("_NET_CURRENT_DESKTOP") == 1ul) return true;
        swipe(GestureAction::spaceRight);
        return false;
    })) << workspace();
    swipe(GestureAction::spaceRight);
    EXPECT_TRUE(eventually([&] { return rootCardinal("_NET_CURRENT_DESKTOP") == 2ul; })) << workspace();
    swipe(GestureAction::spaceLeft);
    EXPECT_TRUE(eventually([&] { return rootCardinal("_NET_CURRENT_DESKTOP") == 1ul; })) << workspace();
    swipe(GestureAction::showDesktop);
    EXPECT_TRUE(eventually([&] { return rootCardinal("_NET_SHOWING_DESKTOP") == 1ul; }));

    // Gone, it leaves its properties on the root behind: they no longer count.
    const auto pid = [&]() -> std::optional<unsigned long> {
        Display* d = x->get();
        Atom type = None;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        std::optional<unsigned long> out;
        if (XGetWindowProperty(d, DefaultRootWindow(d), XInternAtom(d, "_OPENBOX_PID", False), 0, 1, False,
                               XA_CARDINAL, &type, &format, &count, &after, &data) == Success &&
            data && count == 1) {
            out = reinterpret_cast<unsigned long*>(data)[0];
        }
        if (data) XFree(data);
        return out;
    }();
    ASSERT_TRUE(pid) << "openbox names no process";
    const int running = changes.load();
    ASSERT_EQ(kill(pid_t(*pid), SIGTERM), 0);
    EXPECT_TRUE(eventually([&] { return changes.load() > running; })) << "no word of the manager's end";
    EXPECT_TRUE(eventually([&] { return !desktop->can(GestureAction::spaceLeft); }));
    EXPECT_EQ(injector->currentGestureConfig(),
              GestureConfig::pinchZoom | GestureConfig::twoFingerRightClick);
}

}  // namespace
}  // namespace tarvello::test
