#include "platform/linux/time_probe.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>
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

struct Area {
    int x = 0, y = 0, width = 0, height = 0;
    bool operator==(const Area&) const = default;
    bool contains(const Area& o) const {
        return !(*this == o) && o.x >= x && o.y >= y && o.x + o.width <= x + width &&
               o.y + o.height <= y + height;
    }
};

// Where the probe draws: every monitor, each with a band of its own, as a session may
// stream any of them (the primary one when mirroring, the one it adds when extending; the
// primary flag alone cannot tell, as Xwayland does not always learn which monitor the
// compositor made primary). A monitor declared over others is left to them; with no
// monitors, the whole screen.
std::vector<Area> monitorAreas(Display* d) {
    const int screen = DefaultScreen(d);
    std::vector<Area> all;
    int count = 0;
    if (XRRMonitorInfo* monitors = XRRGetMonitors(d, RootWindow(d, screen), True, &count)) {
        for (int i = 0; i < count; ++i) {
            if (monitors[i].width > 0 && monitors[i].height > 0)
                all.push_back({monitors[i].x, monitors[i].y, monitors[i].width, monitors[i].height});
        }
        XRRFreeMonitors(monitors);
    }
    std::vector<Area> areas;
    for (const Area& a : all) {
        if (std::none_of(all.begin(), all.end(), [&](const Area& o) { return a.contains(o); }))
            areas.push_back(a);
    }
    if (areas.empty()) areas.push_back({0, 0, DisplayWidth(d, screen), DisplayHeight(d, screen)});
    return areas;
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
    // A session that shows the user's desktop adds a monitor for the phone after the probe
    // has started: follow the monitors as they come, go and move.
    std::vector<Area> areas;
    std::vector<std::unique_ptr<Scene>> scenes;
    double nextStep = 0, nextLayoutCheck = 0;
    while (!stopRequested.load() && !x->lost()) {
        if (clock.uptime() >= nextLayoutCheck) {
            nextLayoutCheck = clock.uptime() + kLayoutCheckSeconds;
            if (auto now = monitorAreas(d); now != areas) {
                areas = std::move(now);
                scenes.clear();
                for (const Area& a : areas) scenes.push_back(std::make_unique<Scene>(d, a, motion));
            }
        }
        const bool step = motion && clock.uptime() >= nextStep;
        if (step) nextStep = std::max(nextStep + kMotionStep, clock.uptime());
        const uint32_t ms = uptimeMs32(clock);
        for (auto& scene : scenes) {
            if (step) scene->scroll();
            scene->showTime(ms);
        }
        XSync(d, False);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (x->lost()) {
        for (auto& scene : scenes) scene->abandon();
    }
    scenes.clear();
    return 0;
}

}  // namespace tarvello
