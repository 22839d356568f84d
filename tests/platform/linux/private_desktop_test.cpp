// The private desktop holds the user's applications: it lives as long as the process,
// and every rebuild of the session's display takes it over in place.
#include <X11/Xatom.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include "platform/linux/session_command.h"
#include "support/eventually.h"
#include "support/server_fixture.h"
#include "x_test_support.h"

namespace tarvello::test {
namespace {

// True once `d`, open since before the change, has been told its root is w × h.
bool toldRootSize(Display* d, int w, int h) {
    return eventually([&] {
        while (XPending(d) > 0) {
            XEvent e;
            XNextEvent(d, &e);
            if (e.type == ConfigureNotify && e.xconfigure.window == DefaultRootWindow(d) &&
                e.xconfigure.width == w && e.xconfigure.height == h) {
                return true;
            }
        }
        return false;
    });
}

// True once the child `pid` has ended, reaped or not.
bool exited(int pid) {
    siginfo_t info{};
    return waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == pid;
}

std::unique_ptr<XConnection> watchRoot(const std::string& name) {
    std::string error;
    auto x = XConnection::open(name, error);
    EXPECT_TRUE(x) << error;
    if (x) {
        XSelectInput(x->get(), DefaultRootWindow(x->get()), StructureNotifyMask);
        XSync(x->get(), False);
    }
    return x;
}

std::string resources(Display* d) {
    Atom type = None;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(d, DefaultRootWindow(d), XA_RESOURCE_MANAGER, 0, 1024, False, XA_STRING, &type,
                           &format, &items, &after, &data) != Success ||
        !data) {
        return {};
    }
    std::string text(reinterpret_cast<char*>(data), items);
    XFree(data);
    return text;
}

class PrivateDesktopTest : public XDisplayTest {
protected:
    void SetUp() override { sessionCommand = "exec sleep 600"; }
    int server() const { return facility->serverProcess(display->displayID()); }
    int session() const { return facility->sessionProcess(display->displayID()); }
};

TEST_F(PrivateDesktopTest, RotationChangesTheScreenInPlaceAndTellsTheClients) {
    ASSERT_NE(makeDisplay(240, 320, 2.0), 0u);
    const int xserver = server(), app = session();
    ASSERT_GT(app, 0);
    auto client = watchRoot(connectionName());
    ASSERT_TRUE(client);

    ASSERT_TRUE(display->create(320, 240, 60, 2.0, false));
    EXPECT_TRUE(toldRootSize(client->get(), 320, 240));
    EXPECT_EQ(server(), xserver);
    EXPECT_EQ(session(), app);
    EXPECT_FALSE(processGone(app));
    EXPECT_TRUE(logs.contains("Active mode (ok): 160×120 points, 320×240 px"));

    ASSERT_TRUE(display->create(240, 320, 60, 2.0, false));
    EXPECT_TRUE(toldRootSize(client->get(), 240, 320));
    // A size no mode of the server had before: made for it.
    ASSERT_TRUE(display->create(1178, 2556, 60, 2.5, false));
    EXPECT_TRUE(toldRootSize(client->get(), 1178, 2556));
    EXPECT_EQ(server(), xserver);
    EXPECT_FALSE(processGone(app));
    EXPECT_FALSE(client->lost());
}

TEST_F(PrivateDesktopTest, TextSizeChangesTheDensityInPlace) {
    ASSERT_NE(makeDisplay(240, 320, 2.0), 0u);
    const int xserver = server(), app = session();
    auto client = connect();
    ASSERT_TRUE(client);
    EXPECT_NE(resources(client->get()).find("Xft.dpi:\t192"), std::string::npos);

    ASSERT_TRUE(display->create(240, 320, 60, 1.5, false));
    EXPECT_EQ(server(), xserver);
    EXPECT_EQ(session(), app);
    EXPECT_FALSE(processGone(app));
    EXPECT_NE(resources(client->get()).find("Xft.dpi:\t144"), std::string::npos);
    const auto mode = facility->currentMode(display->displayID());
    ASSERT_TRUE(mode);
    EXPECT_EQ(mode->width, 160);
    EXPECT_EQ(mode->pixelWidth, 240);
    // A fresh client reads the density from the screen too: 240 px at 144 dpi are 42 mm.
    auto fresh = connect();
    ASSERT_TRUE(fresh);
    EXPECT_EQ(DisplayWidthMM(fresh->get(), DefaultScreen(fresh->get())), 42);
}

TEST_F(PrivateDesktopTest, AServerThatDiedIsReplacedNotReused) {
    ASSERT_NE(makeDisplay(240, 320, 2.0), 0u);
    const int xserver = server();
    display->teardown();
    ASSERT_EQ(kill(xserver, SIGTERM), 0);
    ASSERT_TRUE(eventually([&] { return exited(xserver); }));
    ASSERT_TRUE(display->create(240, 320, 60, 2.0, false));
    EXPECT_NE(server(), xserver);
    EXPECT_TRUE(logs.contains("has gone: making a new one"));
    EXPECT_NE(connectionName(), "");
}

TEST(XvfbFallback, KeepsTheDesktopForItsOwnSizeOnly) {
    LogCapture logs;
    LinuxDisplay::Options options;
    options.xvncPath = "";
    options.sessionCommand = [] { return std::optional<std::string>("exec sleep 600"); };
    auto facility = std::make_shared<LinuxDisplay>(options);
    EXPECT_TRUE(logs.contains("Xvnc not found: private desktops run on Xvfb"));
    VirtualDisplay display(facility);

    ASSERT_TRUE(display.create(320, 240, 60, 2.0, false));
    const int server = facility->serverProcess(display.displayID());
    const int session = facility->sessionProcess(display.displayID());
    ASSERT_GT(session, 0);
    ASSERT_TRUE(display.create(320, 240, 60, 1.5, false));
    EXPECT_EQ(facility->serverProcess(display.displayID()), server);
    EXPECT_EQ(facility->sessionProcess(display.displayID()), session);

    ASSERT_TRUE(display.create(240, 320, 60, 1.5, false));
    EXPECT_NE(facility->serverProcess(display.displayID()), server);
    EXPECT_TRUE(processGone(server));
    EXPECT_TRUE(processGone(session));
    EXPECT_TRUE(logs.contains(
        "cannot become 240×320 (Xvfb cannot change its screen from 320×240): making a new one"));
}

// The whole server on the Linux back-ends: each way a session is rebuilt or ended keeps
// the same X server and the same applications on it.
class PrivateDesktopServerTest : public ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        store->setString(SettingsKey::sessionCommand, "exec sleep 600");
        options.teardownDelay = 0.3;
        platform = makeLinuxPlatform();
        platform.preferences = std::make_shared<MemoryPreferenceDomains>();
        platform.host = host;
        displays = std::dynamic_pointer_cast<LinuxDisplay>(platform.display);
        ASSERT_TRUE(displays);
        server = Server::create(platform, options);
        ASSERT_TRUE(server->start());
    }

    // Waits for the n-th capture of the session's display to start.
    bool captured(int n) { return logs.waitFor("Capture started on display", n, 20); }
    int xServer() const { return displays->serverProcess(displays->mainDisplay()); }
    int app() const { return displays->sessionProcess(displays->mainDisplay()); }
    std::string name() const { return displays->connection(displays->mainDisplay()); }

    std::shared_ptr<SimHost> host = std::make_shared<SimHost>();
    std::shared_ptr<LinuxDisplay> displays;
};

TEST_F(PrivateDesktopServerTest, TheApplicationsOutliveReconnectsRotationTextSizeAndLock) {
    auto phone = acceptedPhone(240, 320);
    ASSERT_TRUE(captured(1));
    const int xserver = xServer(), session = app();
    ASSERT_GT(xserver, 0);
    ASSERT_GT(session, 0);
    auto client = watchRoot(name());
    ASSERT_TRUE(client);
    auto same = [&](const char* step) {
        EXPECT_EQ(xServer(), xserver) << step;
        EXPECT_EQ(app(), session) << step;
        EXPECT_FALSE(processGone(session)) << step;
    };

    // Back within the grace period.
    phone.reset();
    phone = acceptedPhone(240, 320);
    ASSERT_TRUE(captured(2));
    same("reconnect within the grace period");

    // Back after it: the session ended, the desktop stayed.
    phone.reset();
    ASSERT_TRUE(logs.waitFor("Session ended"));
    EXPECT_TRUE(eventually([&] { return displays->displays().empty(); }));
    EXPECT_FALSE(processGone(session));
    EXPECT_FALSE(processGone(xserver));
    phone = acceptedPhone(240, 320);
    ASSERT_TRUE(captured(3));
    same("reconnect after the grace period");

    ASSERT_TRUE(phone->sendRaw(buildResize(320, 240)));
    ASSERT_TRUE(captured(4));
    EXPECT_TRUE(toldRootSize(client->get(), 320, 240));
    same("landscape");
    ASSERT_TRUE(phone->sendRaw(buildResize(240, 320)));
    ASSERT_TRUE(captured(5));
    EXPECT_TRUE(toldRootSize(client->get(), 240, 320));
    same("portrait again");

    ASSERT_TRUE(phone->sendRaw(buildUiScale(1.5f)));
    ASSERT_TRUE(logs.waitFor("Active mode (ok): 160×212 points, 240×320 px"));
    ASSERT_TRUE(captured(6));
    EXPECT_NE(resources(client->get()).find("Xft.dpi:\t144"), std::string::npos);
    same("text size");

    host->locked = true;
    ASSERT_TRUE(logs.waitFor("Mac session locked"));
    host->locked = false;
    ASSERT_TRUE(logs.waitFor("Mac session unlocked"));
    ASSERT_TRUE(captured(7));
    same("unlock");

    // Only the end of the process ends the desktop.
    client.reset();
    phone.reset();
    server->stop();
    server.reset();
    displays.reset();
    platform = Platform{};
    EXPECT_TRUE(processGone(session));
    EXPECT_TRUE(processGone(xserver));
}

}  // namespace
}  // namespace tarvello::test
