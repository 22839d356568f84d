#include "platform/linux/x11_desktop.h"

#include <gtest/gtest.h>
// After gtest: Xlib's macros would break its headers.
#include <X11/extensions/Xrandr.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <future>
#include <mutex>

#include "base/settings_store.h"
#include "fake_logind.h"
#include "gtk_fixture.h"
#include "platform/linux/linux_capture.h"
#include "platform/linux/logind.h"
#include "platform/linux/xvfb_server.h"
#include "support/eventually.h"
#include "support/log_capture.h"
#include "support/require.h"
#include "video/capture.h"
#include "x_desktop_server.h"
#include "x_test_support.h"
#include "x_test_window.h"

namespace tarvello::test {
namespace {

struct YCbCr {
    int y, cb, cr;
};

YCbCr colourAt(const VideoFrame& f, int x, int y) {
    const size_t c = size_t(y / 2) * size_t(f.strideUV) + size_t(x / 2) * 2;
    return {f.y[size_t(y) * size_t(f.strideY) + size_t(x)], f.uv[c], f.uv[c + 1]};
}
// BT.601 video range: red 81,90,240; blue 41,240,110; green 145,54,34; black 16,128,128.
bool red(YCbCr c) {
    return std::abs(c.y - 81) <= 3 && std::abs(c.cr - 240) <= 3;
}
bool blue(YCbCr c) {
    return std::abs(c.y - 41) <= 3 && std::abs(c.cb - 240) <= 3;
}
bool green(YCbCr c) {
    return std::abs(c.y - 145) <= 3 && std::abs(c.cr - 34) <= 3;
}
bool black(YCbCr c) {
    return c.y == 16 && c.cb == 128 && c.cr == 128;
}

struct Rect {
    int x = 0, y = 0, width = 0, height = 0;
    bool operator==(const Rect&) const = default;
};

Rect rootSize(Display* d) {
    Window root = 0;
    int x = 0, y = 0;
    unsigned w = 0, h = 0, border = 0, depth = 0;
    XGetGeometry(d, DefaultRootWindow(d), &root, &x, &y, &w, &h, &border, &depth);
    return {0, 0, int(w), int(h)};
}

// The RandR monitors by name.
std::map<std::string, Rect> monitors(Display* d) {
    std::map<std::string, Rect> out;
    int n = 0;
    XRRMonitorInfo* m = XRRGetMonitors(d, DefaultRootWindow(d), False, &n);
    for (int i = 0; i < n; ++i) {
        char* name = XGetAtomName(d, m[i].name);
        out[name ? name : ""] = {m[i].x, m[i].y, m[i].width, m[i].height};
        if (name) XFree(name);
    }
    if (m) XRRFreeMonitors(m);
    return out;
}

// Each output by name: where its CRTC shows it ("off" when none) and the names of its modes.
// Connection is left out: the dummy driver reports an output connected once it has been lit.
std::map<std::string, std::string> outputs(Display* d) {
    std::map<std::string, std::string> out;
    XRRScreenResources* r = XRRGetScreenResourcesCurrent(d, DefaultRootWindow(d));
    if (!r) return out;
    const auto modeName = [&](RRMode id) {
        for (int i = 0; i < r->nmode; ++i) {
            if (r->modes[i].id == id) return std::string(r->modes[i].name, r->modes[i].nameLength);
        }
        return std::string("?");
    };
    for (int i = 0; i < r->noutput; ++i) {
        XRROutputInfo* o = XRRGetOutputInfo(d, r, r->outputs[i]);
        std::string state = "off";
        if (XRRCrtcInfo* c = o->crtc ? XRRGetCrtcInfo(d, r, o->crtc) : nullptr) {
            state = std::to_string(c->width) + "x" + std::to_string(c->height) + "+" + std::to_string(c->x) +
                    "+" + std::to_string(c->y) + " " + modeName(c->mode);
            XRRFreeCrtcInfo(c);
        }
        for (int m = 0; m < o->nmode; ++m) state += ", " + modeName(o->modes[m]);
        out[std::string(o->name, o->nameLen)] = state;
        XRRFreeOutputInfo(o);
    }
    XRRFreeScreenResources(r);
    return out;
}

// How many modes the server knows by `name`.
int modesNamed(Display* d, const std::string& name) {
    XRRScreenResources* r = XRRGetScreenResourcesCurrent(d, DefaultRootWindow(d));
    int n = 0;
    for (int i = 0; r && i < r->nmode; ++i)
        n += std::string(r->modes[i].name, r->modes[i].nameLength) == name;
    if (r) XRRFreeScreenResources(r);
    return n;
}

VirtualDisplayDescriptor phone(int width, int height) {
    VirtualDisplayDescriptor d;
    d.name = "phone";
    d.maxPixelsWide = width;
    d.maxPixelsHigh = height;
    d.widthMillimeters = 70;
    d.heightMillimeters = 150;
    return d;
}

InputEvent motion(Point at) {
    InputEvent e;
    e.type = InputEventType::mouseMoved;
    e.location = at;
    return e;
}

InputEvent press(InputEventType type) {
    InputEvent e;
    e.type = type;
    e.mouseButton = MouseButton::left;
    return e;
}

class X11DesktopTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (capture) capture->shutdown();
        desktop = {};
        if (window > 0) endChild(window, SIGTERM, 2.0, true);
        x.reset();
        server.reset();
    }

    void startServer(DesktopServer::Kind kind, int width, int height) {
        std::string error;
        server = DesktopServer::start(kind, width, height, error);
        ASSERT_TRUE(server) << error;
        x = XConnection::open(server->name(), error);
        ASSERT_TRUE(x) << error;
    }

    void makeDesktop(bool mirror) {
        X11DesktopOptions options;
        options.mirror = mirror;
        options.display = server->name();
        options.store = store;
        options.logind = logind;
        desktop = makeX11Desktop(options);
    }

    DisplayInfo info() {
        auto all = desktop.display->displays();
        EXPECT_EQ(all.size(), 1u);
        return all.empty() ? DisplayInfo{} : all.front();
    }

    void startCapture(uint32_t id, int width, int height) {
        capture = Capture::create(desktop.capture);
        capture->onFrame = [this](VideoFramePtr f) {
            std::lock_guard lock(mutex);
            last = std::move(f);
            cv.notify_all();
        };
        std::promise<std::string> done;
        capture->start({id, width, height, 30, false}, [&](const std::string& e) { done.set_value(e); });
        ASSERT_EQ(done.get_future().get(), "");
    }

    bool waitForFrame(const std::function<bool(const VideoFrame&)>& test) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, std::chrono::seconds(10), [&] { return last && test(*last); });
    }

    // A GTK window of one colour at x, y on the desktop.
    void showWindow(GtkFixture& gtk, int wx, int wy, int width, int height, const std::string& rgb) {
        ChildSpec spec;
        spec.path = "/bin/sh";
        spec.args = {"sh", "-c",
                     gtk.command() + " " + std::to_string(wx) + " " + std::to_string(wy) + " " +
                         std::to_string(width) + " " + std::to_string(height) + " " + rgb};
        spec.env = environmentWith({"DISPLAY=" + server->name(), "XAUTHORITY=" + server->authority(),
                                    "GDK_BACKEND=x11", "GDK_SCALE=1", "NO_AT_BRIDGE=1"},
                                   {"WAYLAND_DISPLAY", "GDK_DPI_SCALE"});
        spec.ownProcessGroup = true;
        spec.outputPath = server->directory() + "/window.log";
        std::string error;
        window = spawnChild(spec, error);
        ASSERT_GT(window, 0) << error;
        ASSERT_EQ(gtk.readLine(), "ready") << waitForFile(spec.outputPath, 0);
    }

    std::shared_ptr<MemoryStore> store = std::make_shared<MemoryStore>();
    std::shared_ptr<Logind> logind;
    std::unique_ptr<DesktopServer> server;
    std::unique_ptr<XConnection> x;
    X11Desktop desktop;
    std::shared_ptr<Capture> capture;
    pid_t window = -1;
    std::mutex mutex;
    std::condition_variable cv;
    VideoFramePtr last;
    LogCapture logs;
};

TEST(CaptureFit, TheAreaKeepsItsShapeCentredOnEvenPixels) {
    auto fit = [](int sw, int sh, int dw, int dh) {
        const FitRect r = fitInside(sw, sh, dw, dh);
        return Rect{r.x, r.y, r.width, r.height};
    };
    EXPECT_EQ(fit(1600, 900, 1000, 1000), (Rect{0, 218, 1000, 562}));
    EXPECT_EQ(fit(900, 1600, 1000, 1000), (Rect{218, 0, 562, 1000}));
    EXPECT_EQ(fit(600, 1000, 300, 500), (Rect{0, 0, 300, 500}));
    EXPECT_EQ(fit(1281, 801, 1179, 2555), (Rect{0, 908, 1178, 736}));
    EXPECT_EQ(fit(10000, 2, 100, 100), (Rect{0, 48, 100, 2}));
    EXPECT_EQ(fit(0, 900, 1000, 1000), (Rect{}));
    EXPECT_EQ(fit(1600, 900, 1000, -2), (Rect{}));
}

TEST(X11SessionReachable, TheUsersServerButNeitherOursNorNone) {
    std::string error;
    auto desktop = DesktopServer::start(DesktopServer::Kind::xvfb, 640, 480, error);
    ASSERT_TRUE(desktop) << error;
    XvfbServer::Options options;
    options.executable = findOnPath("Xvfb");
    options.width = 640;
    options.height = 480;
    auto own = XvfbServer::start(options, error);
    ASSERT_TRUE(own) << error;

    std::string why;
    EXPECT_TRUE(x11SessionReachable(desktop->name(), why)) << why;
    EXPECT_FALSE(x11SessionReachable(own->name(), why));
    EXPECT_NE(why.find("private server"), std::string::npos) << why;
    why.clear();
    // The desktop's screen number and the unix prefix name the same server.
    EXPECT_FALSE(x11SessionReachable("unix" + own->name() + ".0", why));
    EXPECT_FALSE(why.empty());

    const std::string gone = desktop->name();
    desktop.reset();
    why.clear();
    EXPECT_FALSE(x11SessionReachable(gone, why));
    EXPECT_FALSE(why.empty());

    const char* saved = std::getenv("DISPLAY");
    const std::string previous = saved ? saved : "";
    unsetenv("DISPLAY");
    EXPECT_FALSE(x11SessionReachable(why));
    EXPECT_EQ(why, "DISPLAY is not set");
    if (saved) setenv("DISPLAY", previous.c_str(), 1);
}

TEST_F(X11DesktopTest, MirrorShowsThePrimaryMonitorLetterboxedAndClicksLandWhereTheyShow) {
    if (auto why = GtkFixture::missing(); !why.empty()) TARVELLO_SKIP_MISSING(why);
    ASSERT_NO_FATAL_FAILURE(startServer(DesktopServer::Kind::xvfb, 1600, 900));
    GtkFixture gtk("colour_window_fixture.py");
    ASSERT_NO_FATAL_FAILURE(showWindow(gtk, 0, 0, 800, 900, "ff0000"));
    fillRect(x->get(), 0x0000FF, 800, 0, 800, 900);

    makeDesktop(true);
    // A square phone: the 16:9 screen sits between bars above and below.
    const auto id = desktop.display->createVirtualDisplay(phone(1000, 1000));
    ASSERT_TRUE(id);
    EXPECT_TRUE(desktop.display->applySettings(*id, {true, {{500, 500, 0, 0, 60}}}));
    const DisplayInfo shown = info();
    EXPECT_FALSE(shown.isVirtual);
    EXPECT_EQ(shown.connection, server->name());
    EXPECT_EQ(shown.bounds.width, 1600);
    EXPECT_EQ(shown.bounds.height, 1600);
    EXPECT_EQ(rootSize(x->get()), (Rect{0, 0, 1600, 900}));

    ASSERT_NO_FATAL_FAILURE(startCapture(*id, 1000, 1000));
    // 1600 × 900 fitted into 1000 × 1000: 1000 × 562 from row 218.
    ASSERT_TRUE(waitForFrame(
        [](const VideoFrame& f) { return red(colourAt(f, 250, 500)) && blue(colourAt(f, 750, 500)); }));
    {
        std::lock_guard lock(mutex);
        EXPECT_TRUE(black(colourAt(*last, 500, 100)));
        EXPECT_TRUE(black(colourAt(*last, 500, 900)));
        EXPECT_TRUE(red(colourAt(*last, 10, 230)));
        EXPECT_TRUE(blue(colourAt(*last, 990, 770)));
    }

    // A tap at a quarter across and half down the picture is a quarter across the screen,
    // half down.
    const auto at = [&](double fx, double fy) {
        return Point{shown.bounds.x + fx * shown.bounds.width, shown.bounds.y + fy * shown.bounds.height};
    };
    ASSERT_TRUE(desktop.input->post(motion(at(0.25, 0.5))));
    ASSERT_TRUE(desktop.input->post(press(InputEventType::leftMouseDown)));
    ASSERT_TRUE(desktop.input->post(press(InputEventType::leftMouseUp)));
    EXPECT_EQ(gtk.readLine(), "click 400 450");
    // A tap on the bar above stays at the screen's top edge.
    ASSERT_TRUE(desktop.input->post(motion(at(0.1, 0.05))));
    ASSERT_TRUE(desktop.input->post(press(InputEventType::leftMouseDown)));
    ASSERT_TRUE(desktop.input->post(press(InputEventType::leftMouseUp)));
    EXPECT_EQ(gtk.readLine(), "click 160 0");

    // The user moved the mouse: the pointer is read where it is now.
    XWarpPointer(x->get(), None, DefaultRootWindow(x->get()), 0, 0, 0, 0, 1200, 300);
    XSync(x->get(), False);
    const auto pointer = desktop.input->pointerLocation();
    ASSERT_TRUE(pointer);
    EXPECT_NEAR(pointer->x, 1200, 0.5);
    EXPECT_NEAR(pointer->y, 350 + 300, 0.5);

    const auto cursor = desktop.cursor->current();
    ASSERT_TRUE(cursor);
    EXPECT_EQ(cursor->scale, 1.0);

    desktop.display->removeVirtualDisplay(*id);
    EXPECT_TRUE(desktop.display->displays().empty());
    EXPECT_EQ(rootSize(x->get()), (Rect{0, 0, 1600, 900}));
}

TEST_F(X11DesktopTest, MirrorFollowsThePrimaryMonitorOfSeveral) {
    ASSERT_NO_FATAL_FAILURE(startServer(DesktopServer::Kind::xvnc, 1800, 600));
    // Two monitors side by side, the right one primary.
    Display* d = x->get();
    declareMonitor(d, "RIGHT", 1000, 800, 600, true);
    fillRect(d, 0xFF0000, 0, 0, 1000, 600);
    fillRect(d, 0x00FF00, 1000, 0, 800, 600);

    makeDesktop(true);
    const auto id = desktop.display->createVirtualDisplay(phone(800, 600));
    ASSERT_TRUE(id);
    const DisplayInfo shown = info();
    EXPECT_EQ(shown.bounds.width, 800);
    EXPECT_EQ(shown.bounds.height, 600);
    ASSERT_NO_FATAL_FAILURE(startCapture(*id, 400, 300));
    ASSERT_TRUE(waitForFrame([](const VideoFrame& f) {
        return green(colourAt(f, 4, 4)) && green(colourAt(f, 396, 296)) && green(colourAt(f, 200, 150));
    }));

    ASSERT_TRUE(desktop.input->post(motion({400, 300})));
    Window root = 0, child = 0;
    int rx = 0, ry = 0, wx = 0, wy = 0;
    unsigned mask = 0;
    // The motion comes on the input's own connection: the server may take it after this one's query.
    EXPECT_TRUE(eventually([&] {
        XQueryPointer(d, DefaultRootWindow(d), &root, &child, &rx, &ry, &wx, &wy, &mask);
        return rx == 1400 && ry == 300;
    })) << rx
        << "," << ry;
}

// Xvnc grows, but keeps the pointer within its one output, as servers do that confine it
// to their CRTCs: the phone's input could not reach a monitor RandR only declares.
TEST_F(X11DesktopTest, ExtendMirrorsWhereThePointerCannotReachANewMonitor) {
    ASSERT_NO_FATAL_FAILURE(startServer(DesktopServer::Kind::xvnc, 1280, 800));
    const auto before = monitors(x->get());
    makeDesktop(false);
    const auto id = desktop.display->createVirtualDisplay(phone(600, 1000));
    ASSERT_TRUE(id);
    EXPECT_EQ(logs.count("cannot grow (the pointer cannot leave its outputs)"), 1);
    const DisplayInfo shown = info();
    EXPECT_FALSE(shown.isVirtual);
    EXPECT_EQ(rootSize(x->get()), (Rect{0, 0, 1280, 800}));
    EXPECT_EQ(monitors(x->get()), before);
    EXPECT_FALSE(store->get("x11.grownScreen"));

    // Keys go by position; a tap lands where the mirrored picture shows it.
    std::string error;
    XTestWindow seen(XConnection::open(server->name(), error));
    ASSERT_TRUE(seen.ready());
    const double barAbove = (shown.bounds.height - 800) / 2;
    ASSERT_TRUE(desktop.input->post(motion({640, barAbove + 400})));
    ASSERT_TRUE(desktop.input->post(press(InputEventType::leftMouseDown)));
    ASSERT_TRUE(desktop.input->post(press(InputEventType::leftMouseUp)));
    InputEvent key;
    key.type = InputEventType::keyDown;
    key.keyCode = 0;  // the A key
    ASSERT_TRUE(desktop.input->post(key));
    key.type = InputEventType::keyUp;
    ASSERT_TRUE(desktop.input->post(key));
    ASSERT_TRUE(seen.waitForCount(KeyRelease, 1));
    const auto presses = seen.of(ButtonPress);
    ASSERT_EQ(presses.size(), 1u);
    EXPECT_EQ(presses[0].rootX, 640);
    EXPECT_EQ(presses[0].rootY, 400);
    const auto keys = seen.of(KeyPress);
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(keys[0].keycode, 30u + 8);
}

TEST_F(X11DesktopTest, ExtendMirrorsWhereTheScreenCannotGrow) {
    ASSERT_NO_FATAL_FAILURE(startServer(DesktopServer::Kind::xvfb, 1024, 768));
    makeDesktop(false);
    const auto id = desktop.display->createVirtualDisplay(phone(600, 1000));
    ASSERT_TRUE(id);
    EXPECT_EQ(logs.count("cannot grow"), 1);
    EXPECT_FALSE(info().isVirtual);
    EXPECT_EQ(info().bounds.width, 1024);
    EXPECT_EQ(rootSize(x->get()), (Rect{0, 0, 1024, 768}));
    EXPECT_FALSE(store->get("x11.grownScreen"));
    // One session at a time.
    EXPECT_FALSE(desktop.display->createVirtualDisplay(phone(600, 1000)));
}

TEST_F(X11DesktopTest, TheLockIsTheLoginSessionsHint) {
    FakeLogind fake;
    ASSERT_TRUE(fake.running());
    logind = std::make_shared<Logind>(fake.address());
    ASSERT_NO_FATAL_FAILURE(startServer(DesktopServer::Kind::xvfb, 640, 480));
    makeDesktop(true);
    ASSERT_TRUE(desktop.display->createVirtualDisplay(phone(400, 300)));
    EXPECT_TRUE(desktop.host->screenRecordingAllowed());
    EXPECT_TRUE(desktop.host->accessibilityTrusted());
    fake.setSession(true);
    EXPECT_TRUE(desktop.host->sessionLocked());
    fake.setSession(false);
    EXPECT_FALSE(desktop.host->sessionLocked());
}

// Xorg's dummy driver confines the pointer to lit CRTCs too, but has outputs to spare:
// the phone's monitor gets one of its own, so windows, capture and clicks all reach it.
TEST_F(X11DesktopTest, ExtendLightsASpareOutputAndPutsItOutAfter) {
    if (auto why = GtkFixture::missing(); !why.empty()) TARVELLO_SKIP_MISSING(why);
    ASSERT_NO_FATAL_FAILURE(startServer(DesktopServer::Kind::xorgDummy, 1280, 800));
    Display* d = x->get();
    const auto monitorsBefore = monitors(d);
    const auto outputsBefore = outputs(d);
    ASSERT_EQ(outputsBefore.at("DUMMY0").substr(0, 13), "1280x800+0+0 ");
    ASSERT_EQ(outputsBefore.at("DUMMY1"), "off");

    makeDesktop(false);
    const auto id = desktop.display->createVirtualDisplay(phone(600, 1000));
    ASSERT_TRUE(id);
    EXPECT_EQ(logs.count("cannot grow"), 0);
    const DisplayInfo shown = info();
    EXPECT_TRUE(shown.isVirtual);
    EXPECT_EQ(shown.bounds.width, 600);
    EXPECT_EQ(shown.bounds.height, 1000);
    EXPECT_EQ(rootSize(d), (Rect{0, 0, 1880, 1000}));
    auto now = monitors(d);
    EXPECT_EQ(now["TARVELLO"], (Rect{1280, 0, 600, 1000}));
    // The named monitor stands in for the output's own: one monitor each, the user's kept.
    EXPECT_EQ(now.size(), monitorsBefore.size() + 1);
    EXPECT_EQ(outputs(d).at("DUMMY1"), "600x1000+1280+0 TARVELLO 600x1000, TARVELLO 600x1000");
    EXPECT_EQ(outputs(d).at("DUMMY0"), outputsBefore.at("DUMMY0"));
    const auto saved = store->get("x11.grownScreen");
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->value("output", ""), "DUMMY1");

    GtkFixture gtk("colour_window_fixture.py");
    ASSERT_NO_FATAL_FAILURE(showWindow(gtk, 1380, 100, 400, 800, "00ff00"));
    // Half size: the window is 50..250 across and 50..450 down.
    ASSERT_NO_FATAL_FAILURE(startCapture(*id, 300, 500));
    ASSERT_TRUE(waitForFrame([](const VideoFrame& f) {
        return green(colourAt(f, 150, 250)) && green(colourAt(f, 54, 54)) && green(colourAt(f, 246, 446));
    }));
    {
        std::lock_guard lock(mutex);
        EXPECT_FALSE(green(colourAt(*last, 20, 250)));
        EXPECT_FALSE(green(colourAt(*last, 150, 480)));
    }

    // A quarter across and 3/10 down the phone's picture, on the new monitor of the screen.
    ASSERT_TRUE(desktop.input->post(motion({0.25 * 600, 0.3 * 1000})));
    ASSERT_TRUE(desktop.input->post(press(InputEventType::leftMouseDown)));
    ASSERT_TRUE(desktop.input->post(press(InputEventType::leftMouseUp)));
    EXPECT_EQ(gtk.readLine(), "click 1430 300");

    capture->shutdown();
    capture.reset();
    desktop.display->removeVirtualDisplay(*id);
    EXPECT_EQ(rootSize(d), (Rect{0, 0, 1280, 800}));
    EXPECT_EQ(monitors(d), monitorsBefore);
    EXPECT_EQ(outputs(d), outputsBefore);
    EXPECT_EQ(modesNamed(d, "TARVELLO 600x1000"), 0);
    EXPECT_FALSE(store->get("x11.grownScreen"));
}

// The mirror switch is read as each session starts, not once when the program does; an
// output lit and put out before is lit again.
TEST_F(X11DesktopTest, TheMirrorSwitchAppliesFromTheNextSession) {
    ASSERT_NO_FATAL_FAILURE(startServer(DesktopServer::Kind::xorgDummy, 1024, 768));
    std::atomic<bool> mirror = false;
    X11DesktopOptions options;
    options.mirror = true;
    options.mirrorNow = [&] { return mirror.load(); };
    options.display = server->name();
    options.store = store;
    desktop = makeX11Desktop(options);
    const auto outputsBefore = outputs(x->get());
    for (const bool wanted : {false, true, false}) {
        mirror = wanted;
        const auto id = desktop.display->createVirtualDisplay(phone(500, 800));
        ASSERT_TRUE(id);
        EXPECT_EQ(info().isVirtual, !wanted);
        EXPECT_EQ(rootSize(x->get()), wanted ? (Rect{0, 0, 1024, 768}) : (Rect{0, 0, 1524, 800}));
        // Changed mid-session: this session keeps what it started as.
        mirror = !wanted;
        EXPECT_EQ(info().isVirtual, !wanted);
        desktop.display->removeVirtualDisplay(*id);
        EXPECT_EQ(rootSize(x->get()), (Rect{0, 0, 1024, 768}));
        EXPECT_EQ(outputs(x->get()), outputsBefore);
    }
    EXPECT_EQ(logs.count("cannot grow"), 0);
}

// A run killed while the screen was grown left it so, with its record: the next start
// puts the size back and removes the monitor, and only that monitor.
TEST_F(X11DesktopTest, TheNextStartPutsBackAScreenLeftGrown) {
    ASSERT_NO_FATAL_FAILURE(startServer(DesktopServer::Kind::xvnc, 1280, 800));
    Display* d = x->get();
    const auto before = monitors(d);
    const int mmW = DisplayWidthMM(d, 0), mmH = DisplayHeightMM(d, 0);
    XRRSetScreenSize(d, DefaultRootWindow(d), 1880, 1000, mmW, mmH);
    declareMonitor(d, "TARVELLO", 1280, 600, 1000);
    ASSERT_EQ(rootSize(d), (Rect{0, 0, 1880, 1000}));
    ASSERT_TRUE(monitors(d).contains("TARVELLO"));
    const std::string path = server->directory() + "/settings.json";
    JsonFileStore(path).set("x11.grownScreen", {{"display", server->name()},
                                                {"width", 1280},
                                                {"height", 800},
                                                {"mmWidth", mmW},
                                                {"mmHeight", mmH},
                                                {"grownWidth", 1880},
                                                {"grownHeight", 1000},
                                                {"monitor", "TARVELLO"}});

    X11DesktopOptions options;
    options.display = server->name();
    options.store = std::make_shared<JsonFileStore>(path);
    desktop = makeX11Desktop(options);
    EXPECT_EQ(rootSize(d), (Rect{0, 0, 1280, 800}));
    EXPECT_EQ(monitors(d), before);
    EXPECT_FALSE(JsonFileStore(path).get("x11.grownScreen"));
    EXPECT_TRUE(logs.contains("Put back the X screen of " + server->name()));

    // Resized by the user since: the size stays as the user left it; the monitor goes.
    XRRSetScreenSize(d, DefaultRootWindow(d), 1500, 900, mmW, mmH);
    declareMonitor(d, "TARVELLO", 1280, 200, 900);
    MemoryStore left;
    left.set("x11.grownScreen", {{"display", server->name()},
                                 {"width", 1280},
                                 {"height", 800},
                                 {"grownWidth", 1880},
                                 {"grownHeight", 1000},
                                 {"monitor", "TARVELLO"}});
    EXPECT_TRUE(restoreX11Screen(left));
    EXPECT_EQ(rootSize(d), (Rect{0, 0, 1500, 900}));
    EXPECT_EQ(monitors(d), before);
    EXPECT_FALSE(left.get("x11.grownScreen"));
    EXPECT_FALSE(restoreX11Screen(left));
}

// The same after a run that had lit a spare output: the output goes out and its mode goes,
// before the screen shrinks back; a record without an output (an older run's) is as before.
TEST_F(X11DesktopTest, TheNextStartPutsOutAnOutputLeftLit) {
    ASSERT_NO_FATAL_FAILURE(startServer(DesktopServer::Kind::xorgDummy, 1280, 800));
    Display* d = x->get();
    const Window root = DefaultRootWindow(d);
    const auto monitorsBefore = monitors(d);
    const auto outputsBefore = outputs(d);
    const int mmW = DisplayWidthMM(d, 0), mmH = DisplayHeightMM(d, 0);

    // What a killed run leaves: the screen grown, DUMMY1 lit with a mode of ours, our monitor.
    XRRSetScreenSize(d, root, 1880, 1000, mmW, mmH);
    std::string name = "TARVELLO 600x1000";
    XRRModeInfo info{};
    info.width = 600;
    info.height = 1000;
    info.hSyncStart = 648;
    info.hSyncEnd = 680;
    info.hTotal = 760;
    info.vSyncStart = 1003;
    info.vSyncEnd = 1006;
    info.vTotal = 1040;
    info.dotClock = 760ul * 1040 * 60;
    info.name = name.data();
    info.nameLength = unsigned(name.size());
    const RRMode mode = XRRCreateMode(d, root, &info);
    XRRScreenResources* r = XRRGetScreenResourcesCurrent(d, root);
    ASSERT_TRUE(r);
    RROutput output = None;
    RRCrtc crtc = None;
    for (int i = 0; i < r->noutput; ++i) {
        XRROutputInfo* o = XRRGetOutputInfo(d, r, r->outputs[i]);
        if (std::string(o->name, o->nameLen) == "DUMMY1" && o->ncrtc > 0) {
            output = r->outputs[i];
            crtc = o->crtcs[0];
        }
        XRRFreeOutputInfo(o);
    }
    ASSERT_NE(output, None);
    XRRAddOutputMode(d, output, mode);
    EXPECT_EQ(XRRSetCrtcConfig(d, r, crtc, CurrentTime, 1280, 0, mode, RR_Rotate_0, &output, 1),
              RRSetConfigSuccess);
    XRRFreeScreenResources(r);
    declareMonitor(d, "TARVELLO", 1280, 600, 1000, false, output);
    ASSERT_NE(outputs(d), outputsBefore);
    ASSERT_TRUE(monitors(d).contains("TARVELLO"));
    const nlohmann::json record = {
        {"display", server->name()}, {"width", 1280},      {"height", 800},       {"mmWidth", mmW},
        {"mmHeight", mmH},           {"grownWidth", 1880}, {"grownHeight", 1000}, {"monitor", "TARVELLO"},
        {"output", "DUMMY1"},        {"mode", name}};
    const std::string path = server->directory() + "/settings.json";
    JsonFileStore(path).set("x11.grownScreen", record);

    X11DesktopOptions options;
    options.display = server->name();
    options.store = std::make_shared<JsonFileStore>(path);
    desktop = makeX11Desktop(options);
    EXPECT_EQ(rootSize(d), (Rect{0, 0, 1280, 800}));
    EXPECT_EQ(monitors(d), monitorsBefore);
    EXPECT_EQ(outputs(d), outputsBefore);
    EXPECT_EQ(modesNamed(d, name), 0);
    EXPECT_FALSE(JsonFileStore(path).get("x11.grownScreen"));
}

}  // namespace
}  // namespace tarvello::test
