#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "base/child_process.h"
#include "platform/linux/linux_host.h"
#include "platform/linux/session_command.h"
#include "platform/linux/xvfb_server.h"
#include "platform/platform.h"
#include "x_test_support.h"

namespace tarvello::test {
namespace {

bool acceptsTcp(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

int displayNumber(const std::string& name) {
    return std::atoi(name.c_str() + 1);
}

using XvfbDisplayTest = XDisplayTest;

TEST_F(XvfbDisplayTest, ScreenIsThePhonesPixelsAtTheTextScaleDensity) {
    const uint32_t id = makeDisplay(1179, 2556, 2.5, true);
    ASSERT_NE(id, 0u);
    auto x = connect();
    ASSERT_TRUE(x);
    Display* d = x->get();
    EXPECT_EQ(DisplayWidth(d, DefaultScreen(d)), 1178);
    EXPECT_EQ(DisplayHeight(d, DefaultScreen(d)), 2556);
    // 240 dots per inch (2.5 × 96): 1178 px are 125 mm.
    EXPECT_EQ(DisplayWidthMM(d, DefaultScreen(d)), 125);

    const auto mode = facility->currentMode(id);
    ASSERT_TRUE(mode);
    EXPECT_EQ(mode->width, 470);
    EXPECT_EQ(mode->height, 1022);
    EXPECT_EQ(mode->pixelWidth, 1178);
    EXPECT_EQ(mode->pixelHeight, 2556);
    EXPECT_TRUE(logs.contains("Active mode (ok): 470×1022 points, 1178×2556 px"));

    // The private server lists only its own display, which is therefore main; mirroring
    // has nothing to mirror.
    ASSERT_EQ(facility->displays().size(), 1u);
    EXPECT_EQ(facility->mainDisplay(), id);
    EXPECT_EQ(facility->displays()[0].connection, connectionName());
    EXPECT_EQ(facility->displays()[0].bounds.width, 470);
    EXPECT_TRUE(logs.contains("Virtual display set as main: ok"));
    EXPECT_TRUE(logs.contains("Mirroring other displays: ok"));
    EXPECT_EQ(logs.count("No session command for display " + connectionName()), 1);

    EXPECT_FALSE(acceptsTcp(6000 + displayNumber(connectionName())));
    // Xvnc serves as an X server only: no remote viewer can reach its screen.
    EXPECT_FALSE(acceptsTcp(5900 + displayNumber(connectionName())));
}

TEST_F(XvfbDisplayTest, TeardownKeepsTheServerUntilTheFacilityEnds) {
    const uint32_t id = makeDisplay(640, 480, 2.0);
    ASSERT_NE(id, 0u);
    const int server = facility->serverProcess(id);
    ASSERT_GT(server, 0);
    display->teardown();
    EXPECT_TRUE(logs.contains("Private desktop kept for the next session"));
    EXPECT_FALSE(processGone(server));
    EXPECT_TRUE(facility->displays().empty());
    EXPECT_EQ(facility->mainDisplay(), 0u);
    EXPECT_EQ(facility->connection(id), "");

    display.reset();
    facility.reset();
    EXPECT_TRUE(processGone(server));
}

TEST_F(XvfbDisplayTest, SecondCreateTakesOverTheServerAtItsSize) {
    const uint32_t first = makeDisplay(640, 480, 2.0);
    ASSERT_NE(first, 0u);
    const int server = facility->serverProcess(first);
    ASSERT_TRUE(display->create(800, 600, 60, 2.0, false));
    EXPECT_EQ(facility->serverProcess(display->displayID()), server);
    ASSERT_EQ(facility->displays().size(), 1u);
    EXPECT_EQ(facility->displays()[0].pixelWidth, 800);
    auto x = connect();
    ASSERT_TRUE(x);
    EXPECT_EQ(DisplayWidth(x->get(), DefaultScreen(x->get())), 800);
    EXPECT_TRUE(logs.contains("Private desktop " + connectionName() + " reused at 800×600 px, 192 dpi"));
}

TEST_F(XvfbDisplayTest, SessionCommandRunsOnTheDisplayAndOutlivesIt) {
    const std::string dir = makeScratchDirectory("tarvello-session-test");
    ASSERT_FALSE(dir.empty());
    // xdpyinfo only connects with the display's authority: XAUTHORITY must be right.
    sessionCommand = "echo \"$DISPLAY\" > " + dir + "/display; env > " + dir + "/env; xdpyinfo > " + dir +
                     "/info.tmp 2>&1; xprop -root RESOURCE_MANAGER >> " + dir + "/info.tmp; mv " + dir +
                     "/info.tmp " + dir + "/info; exec sleep 60";
    const uint32_t id = makeDisplay(1178, 2556, 2.5);
    ASSERT_NE(id, 0u);
    EXPECT_TRUE(logs.contains("Session command on " + connectionName() + ": echo"));

    const std::string info = waitForFile(dir + "/info");
    EXPECT_EQ(waitForFile(dir + "/display"), connectionName() + "\n");
    EXPECT_NE(info.find("1178x2556 pixels"), std::string::npos) << info;
    // The text scale's density, for the server (millimetres round the figure) and for toolkits.
    EXPECT_NE(info.find("x240 dots per inch"), std::string::npos) << info;
    EXPECT_NE(info.find(R"(Xft.dpi:\t240)"), std::string::npos) << info;  // xprop escapes the tab
    const std::string env = waitForFile(dir + "/env");
    for (const char* line :
         {"GDK_SCALE=2\n", "GDK_DPI_SCALE=0.5\n", "QT_SCALE_FACTOR=2.5\n", "QT_FONT_DPI=96\n"}) {
        EXPECT_NE(env.find(line), std::string::npos) << line;
    }

    const int session = facility->sessionProcess(id);
    ASSERT_GT(session, 0);
    display->teardown();
    EXPECT_FALSE(processGone(session));
    display.reset();
    facility.reset();
    EXPECT_TRUE(processGone(session));
    removeScratchDirectory(dir);
}

// ---- Failures ----

TEST(XvfbServerStart, AServerThatNeverReportsIsAnErrorAndLeavesNothing) {
    XvfbServer::Options o;
    o.executable = "/bin/false";
    o.width = 100;
    o.height = 100;
    std::string error;
    EXPECT_FALSE(XvfbServer::start(o, error));
    EXPECT_EQ(error, "Xvfb did not start");

    o.executable = "";
    EXPECT_FALSE(XvfbServer::start(o, error));
    EXPECT_EQ(error, "Xvfb not found on PATH");
}

TEST(LinuxDisplayFailures, NoXServerMeansNoDisplay) {
    LogCapture logs;
    LinuxDisplay::Options options;
    options.xvfbPath = "/nonexistent/Xvfb";
    options.xvncPath = "";
    auto facility = std::make_shared<LinuxDisplay>(options);
    VirtualDisplay display(facility);
    EXPECT_FALSE(display.create(640, 480, 60, 2.0, false));
    EXPECT_TRUE(logs.contains("Could not create the virtual display"));
    EXPECT_TRUE(facility->displays().empty());
}

TEST(LinuxDisplayFailures, SettingsMustFillTheScreen) {
    LinuxDisplay::Options options;
    options.sessionCommand = [] { return std::optional<std::string>(""); };
    auto facility = std::make_shared<LinuxDisplay>(options);
    VirtualDisplayDescriptor d;
    d.maxPixelsWide = 200;
    d.maxPixelsHigh = 100;
    auto id = facility->createVirtualDisplay(d);
    ASSERT_TRUE(id);
    EXPECT_FALSE(facility->applySettings(*id, {true, {{120, 50, 0, 0, 60}}}));
    EXPECT_FALSE(facility->applySettings(*id, {true, {}}));
    EXPECT_TRUE(facility->applySettings(*id, {true, {{100, 50, 0, 0, 60}}}));
    DisplayConfiguration c;
    c.setMode(*id, {100, 50, 200, 100, 30});  // not one of its modes
    EXPECT_EQ(facility->completeConfiguration(c), 1001);
    DisplayConfiguration unknown;
    unknown.setOrigin(*id + 1, 0, 0);
    EXPECT_EQ(facility->completeConfiguration(unknown), 1001);
}

// ---- What runs on the display ----

class SessionCommandDefault : public ::testing::Test {
protected:
    void SetUp() override {
        dir = makeScratchDirectory("tarvello-path-test");
        ASSERT_FALSE(dir.empty());
        const char* old = std::getenv("PATH");
        savedPath = old ? old : "";
        setenv("PATH", dir.c_str(), 1);
    }
    void TearDown() override {
        setenv("PATH", savedPath.c_str(), 1);
        removeScratchDirectory(dir);
    }
    void install(const std::string& name) {
        const std::string p = dir + "/" + name;
        std::ofstream(p) << "#!/bin/sh\n";
        chmod(p.c_str(), 0755);
    }
    std::string dir, savedPath;
};

TEST_F(SessionCommandDefault, TheSettingWinsThenATerminalUnderAWindowManager) {
    EXPECT_EQ(resolveSessionCommand(std::nullopt), "");
    install("xterm");
    EXPECT_EQ(resolveSessionCommand(std::nullopt), "exec '" + dir + "/xterm' -fa Monospace -fs 10");
    install("x-session-manager");
    EXPECT_EQ(resolveSessionCommand(std::nullopt), "'" + dir + "/x-session-manager'");
    install("x-window-manager");
    EXPECT_EQ(resolveSessionCommand(std::nullopt),
              "'" + dir + "/xterm' -fa Monospace -fs 10 & exec '" + dir + "/x-window-manager'");
    install("matchbox-window-manager");
    EXPECT_EQ(resolveSessionCommand(std::nullopt),
              "'" + dir + "/xterm' -fa Monospace -fs 10 & exec '" + dir + "/matchbox-window-manager'");
    EXPECT_EQ(resolveSessionCommand(std::string("openbox --replace")), "openbox --replace");
    // Set but empty: nothing runs, on purpose.
    EXPECT_EQ(resolveSessionCommand(std::string()), "");
}

TEST(ToolkitScale, TextComesOutAtTheScaleWithWholeNumberWidgetScales) {
    auto value = [](const std::vector<std::string>& env, const std::string& key) {
        for (const auto& e : env) {
            if (e.rfind(key + "=", 0) == 0) return e.substr(key.size() + 1);
        }
        return std::string("unset");
    };
    struct Case {
        double scale;
        const char *gdk, *gdkDpi, *qt, *cursor;
    };
    for (const Case& c : {Case{1.0, "1", "1", "1", "24"}, Case{1.5, "1", "1", "1.5", "36"},
                          Case{2.5, "2", "0.5", "2.5", "60"}, Case{3.0, "3", "0.3333", "3", "72"},
                          Case{0.0, "1", "1", "1", "24"}}) {
        const auto env = toolkitScaleEnvironment(c.scale);
        EXPECT_EQ(value(env, "GDK_SCALE"), c.gdk) << c.scale;
        EXPECT_EQ(value(env, "GDK_DPI_SCALE"), c.gdkDpi) << c.scale;
        EXPECT_EQ(value(env, "QT_SCALE_FACTOR"), c.qt) << c.scale;
        EXPECT_EQ(value(env, "QT_FONT_DPI"), "96") << c.scale;
        EXPECT_EQ(value(env, "XCURSOR_SIZE"), c.cursor) << c.scale;
    }
}

// ---- Permissions and the factory ----

TEST_F(XvfbDisplayTest, PermissionsFollowTheDisplay) {
    auto none = std::make_shared<LinuxDisplay>();
    EXPECT_TRUE(LinuxHost(none, true).screenRecordingAllowed());
    EXPECT_FALSE(LinuxHost(none, false).screenRecordingAllowed());
    EXPECT_FALSE(LinuxHost(none, false).accessibilityTrusted());

    ASSERT_NE(makeDisplay(640, 480, 2.0), 0u);
    // With a display, the answer comes from the display itself.
    LinuxHost host(facility, false);
    EXPECT_TRUE(host.screenRecordingAllowed());
    EXPECT_TRUE(host.accessibilityTrusted());
    EXPECT_FALSE(host.sessionLocked());  // no login manager given: unlocked
}

TEST(PlatformFactory, NamesChooseTheBackEnds) {
    std::string error;
    EXPECT_TRUE(linuxPlatformAvailable()) << "Xvfb must be installed (scripts/install-deps.sh)";
    auto linuxPlatform = makePlatform("linux", error);
    ASSERT_TRUE(linuxPlatform) << error;
    EXPECT_EQ(linuxPlatform->name, "linux");
    EXPECT_TRUE(std::dynamic_pointer_cast<LinuxDisplay>(linuxPlatform->display));
    auto sim = makePlatform("sim", error);
    ASSERT_TRUE(sim);
    EXPECT_EQ(sim->name, "sim");
    EXPECT_FALSE(makePlatform("mac", error));
    EXPECT_EQ(error, "Unknown platform \"mac\" (known: linux, sim)");
}

}  // namespace
}  // namespace tarvello::test
