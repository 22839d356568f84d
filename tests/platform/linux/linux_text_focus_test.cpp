// Text focus in toolkits that serve no Collection interface, under a real window manager:
// the phone hears of a click into a text field and keeps hearing it is there.
#ifdef TARVELLO_HAVE_ATSPI

// clang-format off
// gtest first: Xlib's macros (None, Bool) break its headers.
#include <gtest/gtest.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
// clang-format on

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>

#include "base/child_process.h"
#include "gtk_fixture.h"
#include "input/text_watcher.h"
#include "platform/linux/linux_accessibility.h"
#include "platform/linux/linux_input.h"
#include "platform/linux/x11.h"
#include "platform/platform.h"
#include "support/eventually.h"
#include "support/require.h"
#include "support/watcher_reports.h"
#include "x_test_support.h"

namespace tarvello::test {
namespace {

struct Rect {
    int x = 0, y = 0, width = 0, height = 0;
};

class TextFocusTest : public XDisplayTest, protected WatcherReports {
protected:
    static std::string missingPieces() {
        if (!linuxPlatformAvailable()) return "Xvfb is not installed";
        if (findOnPath("openbox").empty()) return "openbox is not installed";
        if (findOnPath("xprop").empty()) return "xprop (x11-utils) is not installed";
        if (access("/usr/share/defaults/at-spi2/accessibility.conf", R_OK) != 0)
            return "at-spi2-core is not installed";
        return {};
    }

    // Runs `command` (the fixture's) as the session's application beside openbox, and
    // watches it. The application starts once openbox is up: openbox loses a window mapped
    // while it is still starting, and a fast toolkit (Qt) maps within that moment.
    void start(const std::string& command) {
        sessionCommand =
            "openbox --sm-disable >/dev/null 2>&1 & "
            "until xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; do sleep 0.05; "
            "done; " +
            command;
        id = makeDisplay(800, 600, 1.0);
        ASSERT_NE(id, 0u);
        ASSERT_EQ(fixture.readLine(30), "ready");
        input = std::make_unique<LinuxInput>(facility);
        watcher = TextWatcher::create(std::make_shared<LinuxAccessibility>(facility));
        watcher->setDisplay(id);
        recordReports(*watcher);
        watcher->start();
    }

    void TearDown() override {
        if (watcher) watcher->shutdown();
        watcher.reset();
        input.reset();
        XDisplayTest::TearDown();
    }

    // The one window the window manager manages, in root pixels.
    std::optional<Rect> clientWindow() {
        auto x = connect();
        if (!x) return std::nullopt;
        Display* d = x->get();
        std::optional<Rect> out;
        eventually([&] {
            Atom type = None;
            int format = 0;
            unsigned long count = 0, after = 0;
            unsigned char* data = nullptr;
            const Atom list = XInternAtom(d, "_NET_CLIENT_LIST", False);
            if (XGetWindowProperty(d, DefaultRootWindow(d), list, 0, 16, False, XA_WINDOW, &type, &format,
                                   &count, &after, &data) != Success)
                return false;
            Window w = None;
            if (data && count > 0) w = reinterpret_cast<Window*>(data)[0];
            if (data) XFree(data);
            XWindowAttributes attrs;
            if (w == None || !XGetWindowAttributes(d, w, &attrs) || attrs.map_state != IsViewable)
                return false;
            int rx = 0, ry = 0;
            Window child = None;
            XTranslateCoordinates(d, w, DefaultRootWindow(d), 0, 0, &rx, &ry, &child);
            out = Rect{rx, ry, attrs.width, attrs.height};
            return true;
        });
        return out;
    }

    // Clicks root pixel (px, py) the way the phone does.
    void click(int px, int py) {
        const auto info = facility->displays();
        ASSERT_FALSE(info.empty());
        const auto& b = info.front().bounds;
        InputEvent e;
        e.type = InputEventType::mouseMoved;
        e.location = {b.x + (px + 0.5) * b.width / info.front().pixelWidth,
                      b.y + (py + 0.5) * b.height / info.front().pixelHeight};
        ASSERT_TRUE(input->post(e));
        e.type = InputEventType::leftMouseDown;
        ASSERT_TRUE(input->post(e));
        e.type = InputEventType::leftMouseUp;
        ASSERT_TRUE(input->post(e));
    }

    bool focusBecomes(bool value, double timeout = 15) {
        return eventually(
            [&] {
                std::lock_guard lock(mutex);
                return !focus.empty() && focus.back() == value;
            },
            timeout);
    }

    // Clicks the field (the window's upper half), expects text focus, and expects it
    // to stay for `hold` seconds; then clicks the button and expects it to go.
    void clickFieldAndHold(double hold) {
        const auto window = clientWindow();
        ASSERT_TRUE(window) << "the window manager manages no window";
        click(window->x + window->width / 2, window->y + window->height / 4);
        ASSERT_TRUE(focusBecomes(true)) << "no text focus after a click into the field";
        size_t reports = 0;
        {
            std::lock_guard lock(mutex);
            reports = focus.size();
        }
        // Ends early on a report of focus lost: there must be none for `hold` seconds.
        auto lostSince = [&] {
            return std::find(focus.begin() + std::ptrdiff_t(reports), focus.end(), false) != focus.end();
        };
        const auto since = std::chrono::steady_clock::now();
        eventually(
            [&] {
                std::lock_guard lock(mutex);
                return lostSince() ||
                       std::chrono::steady_clock::now() - since >= std::chrono::duration<double>(hold);
            },
            hold + 5);
        {
            std::lock_guard lock(mutex);
            ASSERT_FALSE(lostSince()) << "the focus was reported lost within " << hold << " s";
        }
        click(window->x + window->width / 2, window->y + window->height * 3 / 4);
        EXPECT_TRUE(focusBecomes(false)) << "the button took the focus: no text input any more";
    }

    GtkFixture fixture{"gtk4_fixture.py"};
    uint32_t id = 0;
    std::unique_ptr<LinuxInput> input;
    std::shared_ptr<TextWatcher> watcher;
};

TEST_F(TextFocusTest, AClickIntoAGtk4EntryGivesTextFocusThatStays) {
    if (auto why = missingPieces(); !why.empty()) TARVELLO_SKIP_MISSING(why);
    if (auto why = GtkFixture::missing("4.0"); !why.empty()) TARVELLO_SKIP_MISSING(why);
    start(fixture.command());
    clickFieldAndHold(3);
}

#ifdef TARVELLO_QT_FIXTURE_PATH
TEST_F(TextFocusTest, AClickIntoAQtLineEditGivesTextFocusThatStays) {
    if (auto why = missingPieces(); !why.empty()) TARVELLO_SKIP_MISSING(why);
    start(fixture.commandFor(TARVELLO_QT_FIXTURE_PATH));
    clickFieldAndHold(3);
}
#endif

}  // namespace
}  // namespace tarvello::test

#endif  // TARVELLO_HAVE_ATSPI
