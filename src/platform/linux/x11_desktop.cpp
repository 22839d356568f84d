#include "platform/linux/x11_desktop.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "base/log.h"
#include "base/settings.h"
#include "base/settings_store.h"
#include "platform/linux/linux_capture.h"
#include "platform/linux/linux_cursor.h"
#include "platform/linux/linux_host.h"
#include "platform/linux/linux_input.h"
#include "platform/linux/logind.h"
#include "platform/linux/x11.h"

namespace tarvello {

namespace {

// What a grown screen was, kept until it is put back: a run that ends without doing so
// leaves it for the next one.
constexpr char kGrownScreenKey[] = "x11.grownScreen";
// The name of the monitor declared over the grown part of the screen.
constexpr char kMonitorName[] = "TARVELLO";
// Every private server is started with an authority file in a scratch directory of this name.
constexpr char kPrivateServerMark[] = "/tarvello-xvfb-";

struct Area {
    int x = 0, y = 0, width = 0, height = 0;
};

SettingsStore& storeOf(const std::shared_ptr<SettingsStore>& store) {
    return store ? *store : Settings::shared().d();
}

std::string displayNamed(const std::string& given) {
    if (!given.empty()) return given;
    const char* env = std::getenv("DISPLAY");
    return env ? env : "";
}

// Whether the server at the other end of `x` is one of ours, told by its command line. A
// connection that is not local has no peer process here, and is not ours.
bool privateServer(const XConnection& x) {
    ucred peer{};
    socklen_t size = sizeof peer;
    if (getsockopt(ConnectionNumber(x.get()), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.pid <= 0)
        return false;
    std::ifstream cmdline("/proc/" + std::to_string(peer.pid) + "/cmdline");
    std::stringstream args;
    args << cmdline.rdbuf();
    return args.str().find(kPrivateServerMark) != std::string::npos;
}

std::optional<Area> rootArea(Display* d) {
    Window root = 0;
    int x = 0, y = 0;
    unsigned w = 0, h = 0, border = 0, depth = 0;
    if (!XGetGeometry(d, DefaultRootWindow(d), &root, &x, &y, &w, &h, &border, &depth)) return std::nullopt;
    return Area{0, 0, int(w), int(h)};
}

bool hasMonitors(Display* d) {
    int event = 0, error = 0, major = 0, minor = 0;
    return XRRQueryExtension(d, &event, &error) && XRRQueryVersion(d, &major, &minor) &&
           (major > 1 || (major == 1 && minor >= 5));
}

// The primary monitor, else the first; the whole screen when the server lists none.
Area primaryArea(Display* d) {
    const Area screen = rootArea(d).value_or(Area{});
    if (!hasMonitors(d)) return screen;
    int count = 0;
    XRRMonitorInfo* monitors = XRRGetMonitors(d, DefaultRootWindow(d), True, &count);
    std::optional<Area> chosen;
    for (int i = 0; i < count; ++i) {
        const XRRMonitorInfo& m = monitors[i];
        if (m.width < 2 || m.height < 2 || m.x < 0 || m.y < 0 || m.x + m.width > screen.width ||
            m.y + m.height > screen.height)
            continue;
        if (!chosen || m.primary) chosen = Area{m.x, m.y, m.width, m.height};
        if (m.primary) break;
    }
    if (monitors) XRRFreeMonitors(monitors);
    return chosen.value_or(screen);
}

// The modes this program added under `name`.
std::vector<RRMode> modesNamed(const XRRScreenResources* resources, const std::string& name) {
    std::vector<RRMode> found;
    for (int i = 0; i < resources->nmode; ++i) {
        const XRRModeInfo& m = resources->modes[i];
        if (m.name && std::string(m.name, m.nameLength) == name) found.push_back(m.id);
    }
    return found;
}

// Turns off whatever CRTC shows the phone's mode, takes the mode from the output it was
// given to and destroys it. Only a mode of our name is touched: an output the user has
// since set to a mode of their own keeps it.
void releaseOutput(Display* d, const nlohmann::json& saved) {
    const std::string outputName = saved.value("output", std::string());
    const std::string modeName = saved.value("mode", std::string());
    if (outputName.empty() || modeName.empty()) return;
    XRRScreenResources* resources = XRRGetScreenResourcesCurrent(d, DefaultRootWindow(d));
    if (!resources) return;
    const std::vector<RRMode> ours = modesNamed(resources, modeName);
    const auto isOurs = [&](RRMode m) { return std::find(ours.begin(), ours.end(), m) != ours.end(); };
    for (int i = 0; i < resources->ncrtc && !ours.empty(); ++i) {
        XRRCrtcInfo* crtc = XRRGetCrtcInfo(d, resources, resources->crtcs[i]);
        if (crtc && isOurs(crtc->mode)) {
            trapXErrors(d, [&] {
                XRRSetCrtcConfig(d, resources, resources->crtcs[i], CurrentTime, 0, 0, None, RR_Rotate_0,
                                 nullptr, 0);
            });
        }
        if (crtc) XRRFreeCrtcInfo(crtc);
    }
    for (int i = 0; i < resources->noutput && !ours.empty(); ++i) {
        XRROutputInfo* output = XRRGetOutputInfo(d, resources, resources->outputs[i]);
        if (output && std::string(output->name, output->nameLen) == outputName) {
            for (int m = 0; m < output->nmode; ++m) {
                if (isOurs(output->modes[m]))
                    trapXErrors(d, [&] { XRRDeleteOutputMode(d, resources->outputs[i], output->modes[m]); });
            }
        }
        if (output) XRRFreeOutputInfo(output);
    }
    for (RRMode m : ours) trapXErrors(d, [&] { XRRDestroyMode(d, m); });
    XRRFreeScreenResources(resources);
}

// Removes our monitor and output and gives back the screen's size, unless someone has
// resized it since.
void putBack(Display* d, const nlohmann::json& saved) {
    const Window root = DefaultRootWindow(d);
    if (hasMonitors(d)) {
        const Atom name = XInternAtom(d, saved.value("monitor", kMonitorName).c_str(), False);
        trapXErrors(d, [&] { XRRDeleteMonitor(d, root, name); });
        // Before the size: the server keeps a screen no smaller than its lit CRTCs.
        releaseOutput(d, saved);
    }
    const int width = saved.value("width", 0), height = saved.value("height", 0);
    const auto now = rootArea(d);
    if (width < 1 || height < 1 || !now) return;
    if (now->width != saved.value("grownWidth", 0) || now->height != saved.value("grownHeight", 0)) {
        log("The X screen of " + saved.value("display", std::string()) +
            " was resized since it grew: left at " + std::to_string(now->width) + "×" +
            std::to_string(now->height));
        return;
    }
    const int code = trapXErrors(d, [&] {
        XRRSetScreenSize(d, root, width, height, saved.value("mmWidth", 0), saved.value("mmHeight", 0));
    });
    if (code != 0)
        log("The X screen would not shrink back to " + std::to_string(width) + "×" + std::to_string(height));
}

// An output that is off, with a CRTC free to drive it. Servers with such outputs (Xorg's
// dummy driver, drivers that list unplugged connectors) let the pointer onto a monitor
// only when a CRTC shows it. An output the user plugged a screen into lists that screen's
// modes and is left alone.
struct SpareOutput {
    RROutput output = None;
    RRCrtc crtc = None;
    std::string name;
};

std::optional<SpareOutput> spareOutput(Display* d) {
    XRRScreenResources* resources = XRRGetScreenResourcesCurrent(d, DefaultRootWindow(d));
    if (!resources) return std::nullopt;
    std::optional<SpareOutput> found;
    for (int i = 0; i < resources->noutput && !found; ++i) {
        XRROutputInfo* output = XRRGetOutputInfo(d, resources, resources->outputs[i]);
        if (!output) continue;
        if (output->crtc == None && (output->connection != RR_Connected || output->nmode == 0)) {
            for (int c = 0; c < output->ncrtc && !found; ++c) {
                XRRCrtcInfo* crtc = XRRGetCrtcInfo(d, resources, output->crtcs[c]);
                if (crtc && crtc->mode == None && crtc->noutput == 0)
                    found = SpareOutput{resources->outputs[i], output->crtcs[c],
                                        std::string(output->name, output->nameLen)};
                if (crtc) XRRFreeCrtcInfo(crtc);
            }
        }
        XRRFreeOutputInfo(output);
    }
    XRRFreeScreenResources(resources);
    return found;
}

// Gives `spare` a mode of the phone's size and lights it at x, y of the grown screen.
bool lightOutput(Display* d, const SpareOutput& spare, const std::string& modeName, int x, int y, int width,
                 int height) {
    XRRModeInfo mode{};
    mode.width = unsigned(width);
    mode.height = unsigned(height);
    // Blanking of the usual proportions; a virtual output only checks that it is there.
    mode.hSyncStart = unsigned(width + 48);
    mode.hSyncEnd = unsigned(width + 80);
    mode.hTotal = unsigned(width + 160);
    mode.vSyncStart = unsigned(height + 3);
    mode.vSyncEnd = unsigned(height + 6);
    mode.vTotal = unsigned(height + 40);
    mode.dotClock = uint64_t(mode.hTotal) * mode.vTotal * 60;
    std::string name = modeName;
    mode.name = name.data();
    mode.nameLength = unsigned(name.size());
    RRMode id = None;
    int code = trapXErrors(d, [&] { id = XRRCreateMode(d, DefaultRootWindow(d), &mode); });
    if (code != 0 || id == None) return false;
    code = trapXErrors(d, [&] { XRRAddOutputMode(d, spare.output, id); });
    if (code != 0) return false;
    XRRScreenResources* resources = XRRGetScreenResourcesCurrent(d, DefaultRootWindow(d));
    if (!resources) return false;
    RROutput output = spare.output;
    Status status = RRSetConfigFailed;
    code = trapXErrors(d, [&] {
        status = XRRSetCrtcConfig(d, resources, spare.crtc, CurrentTime, x, y, id, RR_Rotate_0, &output, 1);
    });
    XRRFreeScreenResources(resources);
    return code == 0 && status == RRSetConfigSuccess;
}

// Whether the pointer can be put at x, y. Servers that keep it within their outputs'
// areas would keep the phone's input off a monitor that only RandR declares. The pointer
// goes back where it was.
bool pointerReaches(Display* d, int x, int y) {
    const Window root = DefaultRootWindow(d);
    Window rootReturn = 0, child = 0;
    int was[2] = {0, 0}, now[2] = {-1, -1}, wx = 0, wy = 0;
    unsigned mask = 0;
    if (!XQueryPointer(d, root, &rootReturn, &child, &was[0], &was[1], &wx, &wy, &mask)) return false;
    XWarpPointer(d, None, root, 0, 0, 0, 0, x, y);
    XQueryPointer(d, root, &rootReturn, &child, &now[0], &now[1], &wx, &wy, &mask);
    XWarpPointer(d, None, root, 0, 0, 0, 0, was[0], was[1]);
    XSync(d, False);
    return now[0] == x && now[1] == y;
}

// Grows the screen by `width` × `height` at its right edge and declares a monitor there,
// shown by a spare output where the server has one.
std::optional<Area> grow(Display* d, SettingsStore& store, const std::string& name, int width, int height,
                         const VirtualDisplayDescriptor& descriptor, std::string& why) {
    if (!hasMonitors(d)) {
        why = "no RandR 1.5";
        return std::nullopt;
    }
    const Window root = DefaultRootWindow(d);
    const auto screen = rootArea(d);
    int minW = 0, minH = 0, maxW = 0, maxH = 0;
    if (!screen || !XRRGetScreenSizeRange(d, root, &minW, &minH, &maxW, &maxH)) {
        why = "no screen size range";
        return std::nullopt;
    }
    const int grownW = screen->width + width, grownH = std::max(screen->height, height);
    if (grownW > maxW || grownH > maxH) {
        why = "a screen of at most " + std::to_string(maxW) + "×" + std::to_string(maxH);
        return std::nullopt;
    }
    const int screenNumber = DefaultScreen(d);
    const int mmW = DisplayWidthMM(d, screenNumber), mmH = DisplayHeightMM(d, screenNumber);
    const auto spare = spareOutput(d);
    nlohmann::json saved = {
        {"display", name}, {"width", screen->width}, {"height", screen->height}, {"mmWidth", mmW},
        {"mmHeight", mmH}, {"grownWidth", grownW},   {"grownHeight", grownH},    {"monitor", kMonitorName},
    };
    const std::string modeName =
        std::string(kMonitorName) + " " + std::to_string(width) + "x" + std::to_string(height);
    if (spare) {
        saved["output"] = spare->name;
        saved["mode"] = modeName;
    }
    // Kept before the change: a run that ends half-way still finds it.
    if (!store.set(kGrownScreenKey, saved)) log("Could not keep the X screen's size for a later restore");

    // The same density: toolkits that read the screen's millimetres keep their scale.
    const int grownMmW = screen->width > 0 ? int(int64_t(mmW) * grownW / screen->width) : mmW;
    const int grownMmH = screen->height > 0 ? int(int64_t(mmH) * grownH / screen->height) : mmH;
    int code = trapXErrors(d, [&] { XRRSetScreenSize(d, root, grownW, grownH, grownMmW, grownMmH); });
    const auto now = rootArea(d);
    if (code != 0 || !now || now->width != grownW || now->height != grownH) {
        putBack(d, saved);
        store.remove(kGrownScreenKey);
        why = "the server kept its size";
        return std::nullopt;
    }
    if (spare && !lightOutput(d, *spare, modeName, screen->width, 0, width, height)) {
        putBack(d, saved);
        store.remove(kGrownScreenKey);
        why = "the output " + spare->name + " would not show a " + std::to_string(width) + "×" +
              std::to_string(height) + " mode";
        return std::nullopt;
    }
    // Naming the output makes this monitor stand in for the one RandR would list for it.
    XRRMonitorInfo* monitor = XRRAllocateMonitor(d, spare ? 1 : 0);
    if (spare) monitor->outputs[0] = spare->output;
    monitor->name = XInternAtom(d, kMonitorName, False);
    monitor->primary = False;
    monitor->automatic = False;
    monitor->x = screen->width;
    monitor->y = 0;
    monitor->width = width;
    monitor->height = height;
    monitor->mwidth = std::max(1, int(descriptor.widthMillimeters));
    monitor->mheight = std::max(1, int(descriptor.heightMillimeters));
    code = trapXErrors(d, [&] { XRRSetMonitor(d, root, monitor); });
    XFree(monitor);
    if (code != 0 || !pointerReaches(d, screen->width + width / 2, height / 2)) {
        putBack(d, saved);
        store.remove(kGrownScreenKey);
        why = code != 0 ? "the server refused a new monitor" : "the pointer cannot leave its outputs";
        return std::nullopt;
    }
    return Area{screen->width, 0, width, height};
}

// The one session of the desktop.
struct Session {
    uint32_t id = 0;
    bool extended = false;
    Area area;                // on the root window, in pixels
    DisplayInfo info;         // the picture, bars included, as the phone sees it
    DisplayRect inputBounds;  // where the area lies within info.bounds
    std::vector<DisplayMode> modes;
};

struct Shared {
    X11DesktopOptions options;
    std::string name;
    mutable std::mutex mutex;
    std::optional<Session> session;
    uint32_t nextId = 1;
};

class X11DesktopDisplay final : public DisplayFacility {
public:
    explicit X11DesktopDisplay(std::shared_ptr<Shared> shared) : s_(std::move(shared)) {}
    ~X11DesktopDisplay() override {
        std::optional<uint32_t> id;
        {
            std::lock_guard lock(s_->mutex);
            if (s_->session) id = s_->session->id;
        }
        if (id) removeVirtualDisplay(*id);
    }

    std::optional<uint32_t> createVirtualDisplay(const VirtualDisplayDescriptor& descriptor) override {
        std::lock_guard lock(s_->mutex);
        if (s_->session) {
            log("X desktop: one session at a time; refused another display");
            return std::nullopt;
        }
        std::string error;
        auto x = s_->name.empty() ? nullptr : XConnection::open(s_->name, error);
        if (!x) {
            log("X desktop unavailable: " + (s_->name.empty() ? std::string("DISPLAY is not set") : error));
            return std::nullopt;
        }
        Display* d = x->get();
        SettingsStore& store = storeOf(s_->options.store);
        if (auto saved = store.get(kGrownScreenKey); saved && saved->is_object()) {
            putBack(d, *saved);
            store.remove(kGrownScreenKey);
        }

        Session session;
        const int phoneW = descriptor.maxPixelsWide & ~1, phoneH = descriptor.maxPixelsHigh & ~1;
        const bool mirror = s_->options.mirrorNow ? s_->options.mirrorNow() : s_->options.mirror;
        if (!mirror && phoneW >= 2 && phoneH >= 2) {
            std::string why;
            if (auto area = grow(d, store, s_->name, phoneW, phoneH, descriptor, why)) {
                session.extended = true;
                session.area = *area;
            } else {
                log("The X screen of " + s_->name + " cannot grow (" + why +
                    "): mirroring the primary monitor instead");
            }
        }
        if (!session.extended) session.area = primaryArea(d);
        if (x->lost() || session.area.width < 2 || session.area.height < 2) {
            log("X desktop unavailable: no screen on " + s_->name);
            return std::nullopt;
        }

        const Area& a = session.area;
        session.id = s_->nextId++;
        session.info.id = session.id;
        session.info.connection = s_->name;
        session.info.isVirtual = session.extended;
        // Mirroring: the picture is the phone's shape with the area centred in it, so a
        // fraction of the picture lands on the area as the phone shows it.
        int pictureW = a.width, pictureH = a.height;
        if (!session.extended && phoneW >= 2 && phoneH >= 2) {
            if (int64_t(a.width) * phoneH >= int64_t(a.height) * phoneW) {
                pictureH = int(int64_t(a.width) * phoneH / phoneW);
            } else {
                pictureW = int(int64_t(a.height) * phoneW / phoneH);
            }
        }
        session.info.bounds = {0, 0, double(pictureW), double(pictureH)};
        session.info.pixelWidth = pictureW;
        session.info.pixelHeight = pictureH;
        session.inputBounds = {(pictureW - a.width) / 2.0, (pictureH - a.height) / 2.0, double(a.width),
                               double(a.height)};
        session.modes = {{pictureW, pictureH, pictureW, pictureH, 60}};
        log("X desktop " + s_->name + ": " + (session.extended ? "a new monitor at " : "mirroring ") +
            std::to_string(a.width) + "×" + std::to_string(a.height) + "+" + std::to_string(a.x) + "+" +
            std::to_string(a.y));
        s_->session = std::move(session);
        return s_->session->id;
    }

    bool applySettings(uint32_t id, const VirtualDisplaySettings& settings) override {
        std::lock_guard lock(s_->mutex);
        if (!s_->session || s_->session->id != id || settings.modes.empty()) return false;
        Session& s = *s_->session;
        // A mirrored monitor keeps the user's mode.
        if (!s.extended) return true;
        const int density = settings.hiDPI ? 2 : 1;
        std::vector<DisplayMode> modes;
        for (const auto& m : settings.modes) {
            if (m.width * density != s.area.width || m.height * density != s.area.height ||
                !(m.refreshRate > 0))
                return false;
            modes.push_back({m.width, m.height, s.area.width, s.area.height, m.refreshRate});
        }
        s.modes = std::move(modes);
        s.info.bounds.width = s.modes.front().width;
        s.info.bounds.height = s.modes.front().height;
        s.inputBounds = s.info.bounds;
        return true;
    }

    void removeVirtualDisplay(uint32_t id) override {
        std::lock_guard lock(s_->mutex);
        if (!s_->session || s_->session->id != id) return;
        const bool extended = s_->session->extended;
        s_->session.reset();
        if (extended) restoreX11Screen(storeOf(s_->options.store));
    }

    uint32_t mainDisplay() const override {
        std::lock_guard lock(s_->mutex);
        return s_->session ? s_->session->id : 0;
    }
    std::vector<DisplayInfo> displays() const override {
        std::lock_guard lock(s_->mutex);
        if (!s_->session) return {};
        return {s_->session->info};
    }
    std::optional<std::vector<DisplayMode>> modes(uint32_t id) const override {
        std::lock_guard lock(s_->mutex);
        if (!s_->session || s_->session->id != id) return std::nullopt;
        return s_->session->modes;
    }
    std::optional<DisplayMode> currentMode(uint32_t id) const override {
        std::lock_guard lock(s_->mutex);
        if (!s_->session || s_->session->id != id) return std::nullopt;
        return s_->session->modes.front();
    }
    std::optional<DisplayConfiguration> beginConfiguration() override { return DisplayConfiguration{}; }
    int completeConfiguration(const DisplayConfiguration& configuration) override {
        // The desktop keeps its own arrangement; the session's display is the only one listed.
        for (const auto& c : configuration.changes) {
            if (c.kind == DisplayConfiguration::Change::Kind::mirror && c.mirrorOf != 0) return -1;
        }
        return 0;
    }
    void pause(double seconds) override {
        std::this_thread::sleep_for(std::chrono::duration<double>(std::clamp(seconds, 0.0, 5.0)));
    }

private:
    std::shared_ptr<Shared> s_;
};

}  // namespace

bool x11SessionReachable(std::string& why) {
    return x11SessionReachable({}, why);
}

bool x11SessionReachable(const std::string& display, std::string& why) {
    const std::string name = displayNamed(display);
    if (name.empty()) {
        why = "DISPLAY is not set";
        return false;
    }
    std::string error;
    const auto x = XConnection::open(name, error);
    if (!x) {
        why = error;
        return false;
    }
    if (privateServer(*x)) {
        why = "DISPLAY " + name + " is a private server of this program";
        return false;
    }
    return true;
}

bool restoreX11Screen(SettingsStore& store) {
    const auto saved = store.get(kGrownScreenKey);
    if (!saved) return false;
    if (saved->is_object()) {
        const std::string name = saved->value("display", std::string());
        std::string error;
        // A server that has gone took the grown screen with it.
        if (auto x = name.empty() ? nullptr : XConnection::open(name, error)) {
            putBack(x->get(), *saved);
            log("Put back the X screen of " + name);
        }
    }
    store.remove(kGrownScreenKey);
    return true;
}

X11Desktop makeX11Desktop(X11DesktopOptions options) {
    auto shared = std::make_shared<Shared>();
    shared->name = displayNamed(options.display);
    shared->options = std::move(options);
    restoreX11Screen(storeOf(shared->options.store));

    X11Desktop desktop;
    auto display = std::make_shared<X11DesktopDisplay>(shared);
    desktop.display = display;
    desktop.capture = std::make_shared<LinuxCapture>(
        [shared] {
            std::lock_guard lock(shared->mutex);
            return shared->session ? std::vector<uint32_t>{shared->session->id} : std::vector<uint32_t>{};
        },
        [shared](uint32_t id) -> std::optional<CaptureArea> {
            std::lock_guard lock(shared->mutex);
            if (!shared->session || shared->session->id != id) return std::nullopt;
            const Area& a = shared->session->area;
            return CaptureArea{shared->name, a.x, a.y, a.width, a.height, !shared->session->extended};
        });

    LinuxInput::Options input;
    input.desktopOrigin = [shared] {
        std::lock_guard lock(shared->mutex);
        if (!shared->session) return std::pair{0, 0};
        return std::pair{shared->session->area.x, shared->session->area.y};
    };
    desktop.input = std::make_shared<LinuxInput>(
        [shared]() -> std::optional<DisplayInfo> {
            std::lock_guard lock(shared->mutex);
            if (!shared->session) return std::nullopt;
            DisplayInfo info = shared->session->info;
            info.bounds = shared->session->inputBounds;
            info.pixelWidth = shared->session->area.width;
            info.pixelHeight = shared->session->area.height;
            return info;
        },
        std::move(input));
    desktop.cursor = std::make_shared<LinuxCursor>(display);
    auto logind = shared->options.logind ? shared->options.logind : std::make_shared<Logind>();
    desktop.host = std::make_shared<LinuxHost>(display, true, std::move(logind));
    return desktop;
}

}  // namespace tarvello
