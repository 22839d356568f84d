#include "platform/linux/time_probe.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
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

// Where the probe draws: the primary monitor, which is the one a session streams when it
// shows the user's desktop; the whole screen when the server reports no monitors.
struct Area {
    int x = 0, y = 0, width = 0, height = 0;
    bool operator==(const Area&) const = default;
};

Area primaryArea(Display* d) {
    const int screen = DefaultScreen(d);
    Area area{0, 0, DisplayWidth(d, screen), DisplayHeight(d, screen)};
    int count = 0;
    XRRMonitorInfo* monitors = XRRGetMonitors(d, RootWindow(d, screen), True, &count);
    if (!monitors) return area;
    const XRRMonitorInfo* chosen = count > 0 ? &monitors[0] : nullptr;
    for (int i = 0; i < count; ++i)
        if (monitors[i].primary) chosen = &monitors[i];
    if (chosen && chosen->width > 0 && chosen->height > 0)
        area = {chosen->x, chosen->y, chosen->width, chosen->height};
    XRRFreeMonitors(monitors);
    return area;
}

// The band and the scrolling page laid over one area of the screen.
class Scene {
public:
    Scene(Display* d, const Area& area, bool motion) : d_(d), area_(area) {
        const int screen = DefaultScreen(d);
        bandHeight_ = timePatternHeight(area.height);
        pageHeight_ = area.height - bandHeight_;
        XSetWindowAttributes attributes{};
        attributes.override_redirect = True;  // no window manager moves or covers it
        attributes.background_pixel = BlackPixel(d, screen);
        auto makeWindow = [&](int top, int h) {
            const Window w = XCreateWindow(d, RootWindow(d, screen), area.x, area.y + top,
                                           unsigned(area.width), unsigned(h), 0, CopyFromParent, InputOutput,
                                           CopyFromParent, CWOverrideRedirect | CWBackPixel, &attributes);
            XMapRaised(d, w);
            return w;
        };
        page_ = motion && pageHeight_ > 0 ? makeWindow(bandHeight_, pageHeight_) : None;
        band_ = makeWindow(0, bandHeight_);
        gc_ = XCreateGC(d, band_, 0, nullptr);
        // The band is drawn off screen and copied in one request, so a grab never sees half
        // of one time and half of the next.
        bandImage_ = XCreatePixmap(d, band_, unsigned(area.width), unsigned(bandHeight_),
                                   unsigned(DefaultDepth(d, screen)));
        pageImage_ = page_ != None ? makePage(d, page_, area.width, pageHeight_) : None;
    }
    ~Scene() {
        if (!d_) return;
        if (pageImage_ != None) XFreePixmap(d_, pageImage_);
        XFreePixmap(d_, bandImage_);
        XFreeGC(d_, gc_);
        XDestroyWindow(d_, band_);
        if (page_ != None) XDestroyWindow(d_, page_);
    }
    Scene(const Scene&) = delete;
    Scene& operator=(const Scene&) = delete;

    const Area& area() const { return area_; }
    // The display went away and took the windows with it.
    void abandon() { d_ = nullptr; }

    void scroll() {
        if (pageImage_ == None) return;
        offset_ = (offset_ + kScrollPixels) % pageHeight_;
        XCopyArea(d_, pageImage_, page_, gc_, 0, offset_, unsigned(area_.width), unsigned(pageHeight_), 0, 0);
    }

    void showTime(uint32_t ms) {
        const int screen = DefaultScreen(d_);
        for (const auto& cell : timePatternCells(ms, area_.width)) {
            XSetForeground(d_, gc_, cell.white ? WhitePixel(d_, screen) : BlackPixel(d_, screen));
            XFillRectangle(d_, bandImage_, gc_, cell.x, 0, unsigned(cell.width), unsigned(bandHeight_));
        }
        XCopyArea(d_, bandImage_, band_, gc_, 0, 0, unsigned(area_.width), unsigned(bandHeight_), 0, 0);
        XRaiseWindow(d_, band_);
    }

private:
    Display* d_;
    Area area_;
    int bandHeight_ = 0, pageHeight_ = 0, offset_ = 0;
    Window band_ = None, page_ = None;
    GC gc_{};
    Pixmap bandImage_ = None, pageImage_ = None;
};

constexpr double kLayoutCheckSeconds = 0.25;
}  // namespace

int runTimeProbe(const std::string& displayName, bool motion) {
    std::string error;
    auto x = XConnection::open(displayName, error);
    if (!x) {
        std::fprintf(stderr, "tarvello: %s\n", error.c_str());
        return 1;
    }
    Display* d = x->get();

    sigset_t unblock;
    sigemptyset(&unblock);
    sigaddset(&unblock, SIGINT);
    sigaddset(&unblock, SIGTERM);
    pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);

    const SystemClock clock;
    // A session that shows the user's desktop adds a monitor for the phone and makes it
    // primary after the probe has started: follow the primary monitor wherever it goes.
    auto scene = std::make_unique<Scene>(d, primaryArea(d), motion);
    double nextStep = 0, nextLayoutCheck = clock.uptime() + kLayoutCheckSeconds;
    while (!stopRequested.load() && !x->lost()) {
        if (clock.uptime() >= nextLayoutCheck) {
            nextLayoutCheck = clock.uptime() + kLayoutCheckSeconds;
            const Area area = primaryArea(d);
            if (!(area == scene->area())) {
                scene.reset();
                scene = std::make_unique<Scene>(d, area, motion);
            }
        }
        if (motion && clock.uptime() >= nextStep) {
            nextStep = std::max(nextStep + kMotionStep, clock.uptime());
            scene->scroll();
        }
        scene->showTime(uptimeMs32(clock));
        XSync(d, False);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (x->lost()) scene->abandon();
    scene.reset();
    return 0;
}

}  // namespace tarvello
