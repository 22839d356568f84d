#include "platform/linux/time_probe.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <random>
#include <thread>
#include <vector>

#include "base/time_pattern.h"
#include "dispatch/clock.h"
#include "platform/linux/x11.h"

namespace tarvello {

namespace {
std::atomic<bool> stopRequested{false};
void requestStop(int) {
    stopRequested.store(true);
}

constexpr double kMotionStep = 1.0 / 60;
constexpr int kScrollPixels = 6;

// One screen of dark "words" in lines on a light page, with a few coloured blocks, in a
// pixmap twice as high as the screen whose halves are the same: any window of it
// starting in the first half shows a seamless page.
Pixmap makePage(Display* d, Drawable window, int width, int height) {
    const int screen = DefaultScreen(d);
    const Pixmap page =
        XCreatePixmap(d, window, unsigned(width), unsigned(height) * 2, unsigned(DefaultDepth(d, screen)));
    GC gc = XCreateGC(d, page, 0, nullptr);
    XSetForeground(d, gc, 0xF4F1EA);
    XFillRectangle(d, page, gc, 0, 0, unsigned(width), unsigned(height));
    std::mt19937 random(7);  // the same page every run
    const int lineHeight = std::max(12, height / 90), wordHeight = lineHeight * 2 / 3;
    std::vector<XRectangle> words;
    for (int y = lineHeight; y + wordHeight < height; y += lineHeight) {
        for (int x = width / 20; x < width - width / 20;) {
            const int w = int(random() % unsigned(width / 12 + 1)) + wordHeight;
            if (x + w > width - width / 20) break;
            words.push_back({short(x), short(y), static_cast<unsigned short>(w),
                             static_cast<unsigned short>(wordHeight)});
            x += w + wordHeight / 2;
        }
    }
    XSetForeground(d, gc, 0x30302C);
    XFillRectangles(d, page, gc, words.data(), int(words.size()));
    for (int i = 0; i < 6; ++i) {
        XSetForeground(d, gc, random() & 0xFFFFFF);
        XFillRectangle(d, page, gc, int(random() % unsigned(width)) - width / 8,
                       int(random() % unsigned(height)), unsigned(width / 3), unsigned(height / 10));
    }
    XCopyArea(d, page, page, gc, 0, 0, unsigned(width), unsigned(height), 0, height);
    XFreeGC(d, gc);
    return page;
}
}  // namespace

int runTimeProbe(const std::string& displayName, bool motion) {
    std::string error;
    auto x = XConnection::open(displayName, error);
    if (!x) {
        std::fprintf(stderr, "tarvello: %s\n", error.c_str());
        return 1;
    }
    Display* d = x->get();
    const int screen = DefaultScreen(d);
    const int width = DisplayWidth(d, screen), screenHeight = DisplayHeight(d, screen);
    const int height = timePatternHeight(screenHeight);

    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;  // no window manager moves or covers it
    attributes.background_pixel = BlackPixel(d, screen);
    auto makeWindow = [&](int top, int h) {
        const Window w =
            XCreateWindow(d, RootWindow(d, screen), 0, top, unsigned(width), unsigned(h), 0, CopyFromParent,
                          InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel, &attributes);
        XMapRaised(d, w);
        return w;
    };
    const int pageHeight = screenHeight - height;
    const Window page = motion && pageHeight > 0 ? makeWindow(height, pageHeight) : None;
    const Window band = makeWindow(0, height);
    GC gc = XCreateGC(d, band, 0, nullptr);
    // The band is drawn off screen and copied in one request, so a grab never sees half
    // of one time and half of the next.
    const Pixmap bandImage =
        XCreatePixmap(d, band, unsigned(width), unsigned(height), unsigned(DefaultDepth(d, screen)));
    const Pixmap pageImage = page != None ? makePage(d, page, width, pageHeight) : None;

    sigset_t unblock;
    sigemptyset(&unblock);
    sigaddset(&unblock, SIGINT);
    sigaddset(&unblock, SIGTERM);
    pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);

    const SystemClock clock;
    double nextStep = 0;
    int offset = 0;
    while (!stopRequested.load() && !x->lost()) {
        if (pageImage != None && clock.uptime() >= nextStep) {
            nextStep = std::max(nextStep + kMotionStep, clock.uptime());
            offset = (offset + kScrollPixels) % pageHeight;
            XCopyArea(d, pageImage, page, gc, 0, offset, unsigned(width), unsigned(pageHeight), 0, 0);
        }
        for (const auto& cell : timePatternCells(uptimeMs32(clock), width)) {
            XSetForeground(d, gc, cell.white ? WhitePixel(d, screen) : BlackPixel(d, screen));
            XFillRectangle(d, bandImage, gc, cell.x, 0, unsigned(cell.width), unsigned(height));
        }
        XCopyArea(d, bandImage, band, gc, 0, 0, unsigned(width), unsigned(height), 0, 0);
        XRaiseWindow(d, band);
        XSync(d, False);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (!x->lost()) {
        if (pageImage != None) XFreePixmap(d, pageImage);
        XFreePixmap(d, bandImage);
        XFreeGC(d, gc);
        XDestroyWindow(d, band);
        if (page != None) XDestroyWindow(d, page);
    }
    return 0;
}

}  // namespace tarvello
