#include <gtest/gtest.h>
#include <sys/stat.h>

#include <charconv>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>

#include "base/child_process.h"
#include "platform/linux/xvfb_server.h"
#include "support/eventually.h"
#include "support/test_phone.h"

// Last: Xlib's macros (None, Bool, Status) would break the headers above.
// clang-format off
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
// clang-format on

// The built program in its tray form on an X server of the test's own, with a real
// system tray host beside it.
namespace tarvello::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kPairingCode = "123456";

std::string readText(const fs::path& p) {
    std::ifstream in(p);
    return {std::istreambuf_iterator<char>(in), {}};
}

struct Found {
    Window window = 0;
    XWindowAttributes attributes{};
    bool topLevel = false;  // a child of the root window
};

// What the test sees on the display, through a connection of its own.
class XView {
public:
    explicit XView(const std::string& name) : display_(XOpenDisplay(name.c_str())) {}
    ~XView() {
        if (display_) XCloseDisplay(display_);
    }
    XView(const XView&) = delete;
    XView& operator=(const XView&) = delete;

    Display* display() const { return display_; }

    // Every mapped window of the program, at any depth of the tree.
    std::vector<Found> programWindows() {
        std::vector<Found> out;
        walk(DefaultRootWindow(display_), true, out);
        return out;
    }

    // The tray icon: the program's window a tray host took in.
    std::optional<Found> trayIcon() {
        for (const Found& f : programWindows())
            if (!f.topLevel && f.attributes.width <= 64 && f.attributes.height <= 64) return f;
        return std::nullopt;
    }

    // A top-level window of the program `width` pixels wide.
    std::optional<Found> topLevel(int width) {
        for (const Found& f : programWindows())
            if (f.topLevel && f.attributes.width == width) return f;
        return std::nullopt;
    }

    // Pixels of the icon that are clearly green (the connected picture's colour).
    int greenPixels(Window w) {
        XWindowAttributes a{};
        if (!XGetWindowAttributes(display_, w, &a)) return -1;
        XImage* image = XGetImage(display_, w, 0, 0, a.width, a.height, AllPlanes, ZPixmap);
        if (!image) return -1;
        int green = 0;
        for (int y = 0; y < a.height; ++y) {
            for (int x = 0; x < a.width; ++x) {
                const unsigned long p = XGetPixel(image, x, y);
                const int r = int(p >> 16 & 0xff), g = int(p >> 8 & 0xff), b = int(p & 0xff);
                if (g > 120 && g > r + 40 && g > b + 20) ++green;
            }
        }
        XDestroyImage(image);
        return green;
    }

    void click(Window w, int x, int y) {
        int rootX = 0, rootY = 0;
        Window child = 0;
        XTranslateCoordinates(display_, w, DefaultRootWindow(display_), x, y, &rootX, &rootY, &child);
        XTestFakeMotionEvent(display_, -1, rootX, rootY, CurrentTime);
        XTestFakeButtonEvent(display_, 1, True, CurrentTime);
        XTestFakeButtonEvent(display_, 1, False, CurrentTime);
        XSync(display_, False);
    }

    // What a window manager sends when the user closes a window.
    void askToClose(Window w) {
        XEvent e{};
        e.xclient.type = ClientMessage;
        e.xclient.window = w;
        e.xclient.message_type = XInternAtom(display_, "WM_PROTOCOLS", False);
        e.xclient.format = 32;
        e.xclient.data.l[0] = long(XInternAtom(display_, "WM_DELETE_WINDOW", False));
        e.xclient.data.l[1] = CurrentTime;
        XSendEvent(display_, w, False, NoEventMask, &e);
        XSync(display_, False);
    }

private:
    void walk(Window w, bool underRoot, std::vector<Found>& out) {
        Window root = 0, parent = 0, *children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(display_, w, &root, &parent, &children, &count)) return;
        for (unsigned i = 0; i < count; ++i) {
            const Window c = children[i];
            XWindowAttributes a{};
            if (XGetWindowAttributes(display_, c, &a) && a.map_state == IsViewable && isProgram(c))
                out.push_back({c, a, underRoot});
            walk(c, false, out);
        }
        if (children) XFree(children);
    }

    bool isProgram(Window w) {
        XClassHint hint{};
        if (!XGetClassHint(display_, w, &hint)) return false;
        const bool ours = hint.res_class && std::string(hint.res_class) == "Tarvello";
        if (hint.res_name) XFree(hint.res_name);
        if (hint.res_class) XFree(hint.res_class);
        return ours;
    }

    Display* display_ = nullptr;
};

class TrayProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string xvfb = findOnPath("Xvfb");
        ASSERT_FALSE(xvfb.empty()) << "Xvfb is not installed (scripts/install-deps.sh)";
        std::string error;
        server = XvfbServer::start({xvfb, 1280, 800, 96, 10}, error);
        ASSERT_TRUE(server) << error;
        screen = std::make_unique<XView>(server->name());
        ASSERT_TRUE(screen->display());

        scratch = makeScratchDirectory("tarvello-tray");
        ASSERT_FALSE(scratch.empty());
        root = scratch;
        for (const char* d : {"run", "home", "config", "tarvello"}) fs::create_directories(root / d);
        ::chmod((root / "run").c_str(), 0700);
        std::ofstream(root / "tarvello" / "settings.json") << "{\"token\": \"" << kPairingCode << "\"}\n";
        // No session bus: the icon goes to the X tray host, and nothing starts a bus for us.
        env = environmentWith(
            {"DISPLAY=" + server->name(), "XAUTHORITY=" + server->clientAuthority(), "QT_QPA_PLATFORM=xcb",
             "HOME=" + (root / "home").string(), "XDG_RUNTIME_DIR=" + (root / "run").string(),
             "XDG_CONFIG_HOME=" + (root / "config").string(),
             "DBUS_SESSION_BUS_ADDRESS=unix:path=" + (root / "no-bus").string()},
            {"WAYLAND_DISPLAY", "XDG_CURRENT_DESKTOP", "QT_QPA_PLATFORMTHEME"});
    }

    void TearDown() override {
        for (pid_t pid : tarvellos) endChild(pid, SIGTERM, 10, true);
        if (trayer > 0) endChild(trayer, SIGTERM, 5, true);
        screen.reset();
        server.reset();
        if (!scratch.empty()) fs::remove_all(scratch);
    }

    void startTrayHost() {
        const std::string path = findOnPath("trayer");
        ASSERT_FALSE(path.empty()) << "trayer is not installed (scripts/install-deps.sh)";
        ChildSpec spec;
        spec.path = path;
        spec.args = {"trayer",      "--edge",  "top",      "--align", "right",
                     "--widthtype", "request", "--height", "24"};
        spec.env = env;
        spec.ownProcessGroup = true;
        spec.outputPath = (root / "trayer.log").string();
        std::string error;
        trayer = spawnChild(spec, error);
        ASSERT_GT(trayer, 0) << error;
        // The host owns the tray selection once it runs.
        const Atom selection = XInternAtom(screen->display(), "_NET_SYSTEM_TRAY_S0", False);
        ASSERT_TRUE(eventually([&] { return XGetSelectionOwner(screen->display(), selection) != None; }))
            << readText(root / "trayer.log");
    }

    pid_t launch(const std::string& log) {
        ChildSpec spec;
        spec.path = TARVELLO_SERVER_PATH;
        spec.args = {"tarvello",
                     "--platform",
                     "sim",
                     "--config-dir",
                     (root / "tarvello").string(),
                     "--control-port",
                     "0",
                     "--video-port",
                     "0",
                     "--bind",
                     "127.0.0.1"};
        spec.env = env;
        spec.ownProcessGroup = true;
        spec.outputPath = (root / log).string();
        std::string error;
        const pid_t pid = spawnChild(spec, error);
        EXPECT_GT(pid, 0) << error;
        if (pid > 0) tarvellos.push_back(pid);
        return pid;
    }

    uint16_t controlPort(const std::string& log) {
        const std::string text = readText(root / log);
        const std::string what = "Control listening on TCP ";
        const auto at = text.find(what);
        if (at == std::string::npos) return 0;
        unsigned value = 0;
        std::from_chars(text.data() + at + what.size(), text.data() + text.size(), value);
        return uint16_t(value);
    }

    std::unique_ptr<XvfbServer> server;
    std::unique_ptr<XView> screen;
    std::string scratch;
    fs::path root;
    std::vector<std::string> env;
    pid_t trayer = -1;
    std::vector<pid_t> tarvellos;
};

TEST_F(TrayProcessTest, IconFollowsTheConnectionAndItsClickOpensTheMenu) {
    startTrayHost();
    launch("tarvello.log");
    std::optional<Found> icon;
    ASSERT_TRUE(eventually([&] { return (icon = screen->trayIcon()).has_value(); }, 20))
        << "no icon in the tray\n"
        << readText(root / "tarvello.log");
    EXPECT_TRUE(eventually([&] { return screen->greenPixels(icon->window) == 0; }))
        << "the icon shows a connection before any phone came";

    ASSERT_TRUE(eventually([&] { return controlPort("tarvello.log") != 0; }))
        << readText(root / "tarvello.log");
    TestPhone phone;
    ASSERT_TRUE(phone.connect(controlPort("tarvello.log")));
    auto ack = phone.hello(std::string(kPairingCode) + "\nPhone", 321, 241);
    ASSERT_TRUE(ack && ack->accepted) << readText(root / "tarvello.log");
    EXPECT_TRUE(eventually([&] { return screen->greenPixels(icon->window) > 20; }))
        << "the icon did not change with the connection";

    EXPECT_FALSE(screen->topLevel(400)) << "the menu is open before any click";
    screen->click(icon->window, icon->attributes.width / 2, icon->attributes.height / 2);
    std::optional<Found> menu;
    ASSERT_TRUE(eventually([&] { return (menu = screen->topLevel(400)).has_value(); }))
        << "the click did not open the menu";
    EXPECT_TRUE(menu->attributes.override_redirect) << "the menu opens as the icon's popup";
    EXPECT_LT(menu->attributes.y, 200) << "the menu opens at the icon, below the panel at the top";

    // A click elsewhere closes it, as a popup does.
    screen->click(DefaultRootWindow(screen->display()), 20, 700);
    EXPECT_TRUE(eventually([&] { return !screen->topLevel(400); })) << "the menu stayed open";
}

TEST_F(TrayProcessTest, WithoutATrayStartingAgainBringsBackTheMenuWindow) {
    launch("first.log");
    std::optional<Found> menu;
    ASSERT_TRUE(eventually([&] { return (menu = screen->topLevel(400)).has_value(); }, 20))
        << "without a tray the menu opens as a window\n"
        << readText(root / "first.log");
    EXPECT_FALSE(menu->attributes.override_redirect) << "an ordinary window, not a popup";
    screen->askToClose(menu->window);
    ASSERT_TRUE(eventually([&] { return !screen->topLevel(400); }));

    const pid_t second = launch("second.log");
    ASSERT_TRUE(eventually([&] { return childExited(second); }, 20)) << readText(root / "second.log");
    std::erase(tarvellos, second);  // reaped
    EXPECT_NE(readText(root / "second.log").find("already running"), std::string::npos)
        << readText(root / "second.log");
    EXPECT_TRUE(eventually([&] { return screen->topLevel(400).has_value(); }))
        << "the running copy did not show its window\n"
        << readText(root / "first.log");
}

}  // namespace
}  // namespace tarvello::test
