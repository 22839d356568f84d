#include <gtest/gtest.h>
// After gtest: Xlib's macros would break its headers.
#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>

#include <optional>
#include <vector>

#include "base/child_process.h"
#include "base/time_pattern.h"
#include "dispatch/clock.h"
#include "support/eventually.h"
#include "x_desktop_server.h"

namespace tarvello::test {
namespace {

// The time the probe shows in one area of the screen, read as the phone reads it.
std::optional<uint32_t> timeShownIn(Display* d, int x, int y, int width, int height) {
    XImage* image =
        XGetImage(d, DefaultRootWindow(d), x, y, unsigned(width), unsigned(height), AllPlanes, ZPixmap);
    if (!image) return std::nullopt;
    std::vector<uint8_t> luma(size_t(width) * size_t(height));
    for (int row = 0; row < height; ++row) {
        for (int col = 0; col < width; ++col) {
            const unsigned long p = XGetPixel(image, col, row);
            luma[size_t(row) * size_t(width) + size_t(col)] =
                uint8_t((((p >> 16) & 0xFF) * 77 + ((p >> 8) & 0xFF) * 150 + (p & 0xFF) * 29) >> 8);
        }
    }
    XDestroyImage(image);
    return readTimePattern(luma.data(), width, width, height);
}

// Whether the area shows a time the probe drew since `since`: a band drawn for a wider
// area can pass the guards by chance, but not with the current time in it.
bool showsTimeSince(Display* d, uint32_t since, int x, int y, int width, int height) {
    const SystemClock clock;
    const auto shown = timeShownIn(d, x, y, width, height);
    return shown && *shown >= since && *shown <= uptimeMs32(clock);
}

// On the user's desktop the phone streams one monitor of several, and the phone's own
// monitor comes after the probe has started: each monitor shows the time across its own
// width, wherever the monitors go.
TEST(TimeProbe, EveryMonitorShowsTheTimeAsTheMonitorsChange) {
    std::string error;
    auto server = DesktopServer::start(DesktopServer::Kind::xvnc, 1800, 600, error);
    ASSERT_TRUE(server) << error;
    auto x = XConnection::open(server->name(), error);
    ASSERT_TRUE(x) << error;
    Display* d = x->get();
    declareMonitor(d, "LEFT", 0, 1000, 600, false);
    declareMonitor(d, "RIGHT", 1000, 800, 600, true);

    ChildSpec spec;
    spec.path = TARVELLO_SERVER_PATH;
    spec.args = {spec.path, "--time-probe", "--motion"};
    spec.env = environmentWith({"DISPLAY=" + server->name(), "XAUTHORITY=" + server->authority()});
    spec.deathSignal = SIGKILL;
    spec.outputPath = server->directory() + "/probe.log";
    const SystemClock clock;
    const uint32_t started = uptimeMs32(clock);
    const pid_t probe = spawnChild(spec, error);
    ASSERT_GT(probe, 0) << error;

    EXPECT_TRUE(eventually([&] { return showsTimeSince(d, started, 1000, 0, 800, 600); }));
    EXPECT_TRUE(eventually([&] { return showsTimeSince(d, started, 0, 0, 1000, 600); }));

    // The boundary moves: the bands must be redrawn at the new widths to read.
    XRRDeleteMonitor(d, DefaultRootWindow(d), XInternAtom(d, "LEFT", False));
    XRRDeleteMonitor(d, DefaultRootWindow(d), XInternAtom(d, "RIGHT", False));
    declareMonitor(d, "LEFT", 0, 600, 600, true);
    declareMonitor(d, "RIGHT", 600, 1200, 600, false);
    const uint32_t moved = uptimeMs32(clock);
    EXPECT_TRUE(eventually([&] { return showsTimeSince(d, moved, 0, 0, 600, 600); }));
    EXPECT_TRUE(eventually([&] { return showsTimeSince(d, moved, 600, 0, 1200, 600); }));

    endChild(probe, SIGTERM, 3.0, false);
}

}  // namespace
}  // namespace tarvello::test
