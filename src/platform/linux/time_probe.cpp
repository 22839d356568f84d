#include "platform/linux/time_probe.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

#include "dispatch/clock.h"
#include "platform/linux/x11.h"
#include "video/time_pattern.h"

namespace tarvello {

namespace {
std::atomic<bool> stopRequested{false};
void requestStop(int) {
    stopRequested.store(true);
}
}  // namespace

int runTimeProbe(const std::string& displayName) {
    std::string error;
    auto x = XConnection::open(displayName, error);
    if (!x) {
        std::fprintf(stderr, "tarvello: %s\n", error.c_str());
        return 1;
    }
    Display* d = x->get();
    const int screen = DefaultScreen(d);
    const int width = DisplayWidth(d, screen), height = timePatternHeight(DisplayHeight(d, screen));

    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;  // no window manager moves or covers it
    attributes.background_pixel = BlackPixel(d, screen);
    const Window band =
        XCreateWindow(d, RootWindow(d, screen), 0, 0, unsigned(width), unsigned(height), 0, CopyFromParent,
                      InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel, &attributes);
    XMapRaised(d, band);
    GC gc = XCreateGC(d, band, 0, nullptr);

    sigset_t unblock;
    sigemptyset(&unblock);
    sigaddset(&unblock, SIGINT);
    sigaddset(&unblock, SIGTERM);
    pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);

    const SystemClock clock;
    while (!stopRequested.load() && !x->lost()) {
        for (const auto& cell : timePatternCells(uptimeMs32(clock), width)) {
            XSetForeground(d, gc, cell.white ? WhitePixel(d, screen) : BlackPixel(d, screen));
            XFillRectangle(d, band, gc, cell.x, 0, unsigned(cell.width), unsigned(height));
        }
        XRaiseWindow(d, band);
        XSync(d, False);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (!x->lost()) {
        XFreeGC(d, gc);
        XDestroyWindow(d, band);
    }
    return 0;
}

}  // namespace tarvello
