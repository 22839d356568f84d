#include "platform/linux/linux_display.h"

#include <chrono>
#include <cmath>
#include <thread>
#include <utility>

#include "base/child_process.h"
#include "base/log.h"
#include "platform/linux/session_bus.h"
#include "platform/linux/session_command.h"
#include "platform/linux/xvfb_server.h"

namespace tarvello {

namespace {
constexpr int kIllegalArgument = 1001;

std::string sizeText(int w, int h) {
    return std::to_string(w) + "×" + std::to_string(h);
}
}  // namespace

struct LinuxDisplay::Entry {
    std::unique_ptr<XvfbServer> server;
    std::unique_ptr<SessionBus> bus;  // the session command's D-Bus
    pid_t session = -1;
    int screenWidth = 0, screenHeight = 0;
    double scale = 1;  // pixels per point
    double x = 0, y = 0;
    std::vector<DisplayMode> modes;
    std::optional<DisplayMode> current;
    uint32_t mirrorOf = 0;
};

LinuxDisplay::LinuxDisplay() : LinuxDisplay(Options{}) {}

LinuxDisplay::LinuxDisplay(Options options) : options_(std::move(options)) {
    if (options_.xvfbPath.empty()) options_.xvfbPath = findOnPath("Xvfb");
    if (!options_.xvncPath) options_.xvncPath = findOnPath("Xvnc");
    if (options_.xvncPath->empty()) {
        log("Xvnc not found: private desktops run on Xvfb, which cannot change size, so a new size "
            "replaces the desktop and its applications");
    }
}

LinuxDisplay::~LinuxDisplay() {
    std::vector<std::shared_ptr<Entry>> all;
    {
        std::lock_guard lock(mutex_);
        for (auto& [id, e] : entries_) all.push_back(std::move(e));
        entries_.clear();
        all.push_back(std::move(kept_));
    }
    for (const auto& e : all) end(e);
}

void LinuxDisplay::end(const std::shared_ptr<Entry>& entry) {
    if (!entry) return;
    // The session first, so its clients leave quietly rather than on a lost connection.
    endChild(entry->session, SIGTERM, 1.0, true);
    entry->bus.reset();
    entry->server.reset();
}

// The kept desktop, changed to width × height at `dpi`; nothing when there is none or it
// cannot take that size (then it is ended).
std::shared_ptr<LinuxDisplay::Entry> LinuxDisplay::takeKept(int width, int height, int dpi) {
    std::shared_ptr<Entry> kept;
    {
        std::lock_guard lock(mutex_);
        kept = std::move(kept_);
    }
    if (!kept) return nullptr;
    const std::string name = kept->server->name();
    std::string error;
    if (!kept->server->running()) {
        log("The kept private desktop " + name + " has gone: making a new one");
    } else if (!kept->server->resize(width, height, dpi, error)) {
        log("Private desktop " + name + " cannot become " + sizeText(width, height) + " (" + error +
            "): making a new one");
    } else {
        log("Private desktop " + name + " reused at " + sizeText(width, height) + " px, " +
            std::to_string(dpi) + " dpi");
        return kept;
    }
    end(kept);
    return nullptr;
}

std::optional<uint32_t> LinuxDisplay::createVirtualDisplay(const VirtualDisplayDescriptor& descriptor) {
    // Drawn at the session's own pixels when they are given, so capture copies without scaling.
    const bool pixels = descriptor.pixelsWide > 0 && descriptor.pixelsHigh > 0 && descriptor.scale > 0;
    const int width = pixels ? descriptor.pixelsWide : descriptor.maxPixelsWide;
    const int height = pixels ? descriptor.pixelsHigh : descriptor.maxPixelsHigh;
    const double scale = pixels ? descriptor.scale : 2.0;
    const int dpi = int(std::lround(options_.dpi * scale));

    auto entry = takeKept(width, height, dpi);
    if (!entry) {
        XvfbServer::Options xo;
        const bool resizable = !options_.xvncPath->empty();
        xo.kind = resizable ? XvfbServer::Kind::xvnc : XvfbServer::Kind::xvfb;
        xo.executable = resizable ? *options_.xvncPath : options_.xvfbPath;
        xo.width = width;
        xo.height = height;
        xo.dpi = dpi;
        std::string error;
        auto server = XvfbServer::start(xo, error);
        if (!server) {
            log((resizable ? "Xvnc failed: " : "Xvfb failed: ") + error);
            return std::nullopt;
        }
        entry = std::make_shared<Entry>();
        entry->server = std::move(server);
        startSession(*entry, scale);
    }
    entry->screenWidth = width;
    entry->screenHeight = height;
    entry->scale = scale;

    std::lock_guard lock(mutex_);
    // New displays join the row to the right of the others, as a new monitor would.
    for (const auto& [id, e] : entries_) {
        const double w = e->current ? e->current->width : e->screenWidth / e->scale;
        entry->x = std::max(entry->x, e->x + w);
    }
    const uint32_t id = nextId_++;
    entries_[id] = std::move(entry);
    return id;
}

void LinuxDisplay::startSession(Entry& entry, double scale) {
    const std::string name = entry.server->name();
    const std::optional<std::string> setting =
        options_.sessionCommand ? options_.sessionCommand() : std::optional<std::string>();
    const std::string command = resolveSessionCommand(setting);
    if (command.empty()) {
        log("No session command for display " + name +
            ": an empty desktop (set sessionCommand, or install a "
            "window manager or xterm)");
        return;
    }
    std::string error;
    entry.bus = SessionBus::start(name, entry.server->clientAuthority(),
                                  entry.server->directory() + "/bus.log", error);
    if (!entry.bus) log("No session bus on " + name + ": " + error);
    std::vector<std::string> env = toolkitScaleEnvironment(scale);
    if (entry.bus) {
        const auto bus = entry.bus->environment();
        env.insert(env.end(), bus.begin(), bus.end());
    }
    entry.session = startSessionCommand(command, name, entry.server->clientAuthority(),
                                        entry.server->directory() + "/session.log", error, env);
    if (entry.session < 0) {
        log("Session command failed on " + name + ": " + error);
    } else {
        log("Session command on " + name + ": " + command);
    }
}

bool LinuxDisplay::applySettings(uint32_t id, const VirtualDisplaySettings& settings) {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(id);
    if (it == entries_.end() || settings.modes.empty()) return false;
    auto& e = *it->second;
    const double density = settings.hiDPI ? e.scale : 1.0;
    // Point sides are rounded to even numbers, so they may miss the screen by two points.
    const auto fills = [density](int points, int pixels) {
        return points >= 1 && std::abs(points * density - pixels) <= 2 * density;
    };
    std::vector<DisplayMode> modes;
    for (const auto& m : settings.modes) {
        if (!fills(m.width, e.screenWidth) || !fills(m.height, e.screenHeight) || !(m.refreshRate > 0)) {
            return false;
        }
        modes.push_back({m.width, m.height, e.screenWidth, e.screenHeight, m.refreshRate});
    }
    e.modes = std::move(modes);
    e.current = e.modes.front();
    return true;
}

void LinuxDisplay::removeVirtualDisplay(uint32_t id) {
    std::shared_ptr<Entry> entry;
    {
        std::lock_guard lock(mutex_);
        auto it = entries_.find(id);
        if (it == entries_.end()) return;
        entry = std::move(it->second);
        entries_.erase(it);
        for (auto& [other, e] : entries_) {
            if (e->mirrorOf == id) e->mirrorOf = 0;
        }
    }
    if (!entry->server->running()) {
        end(entry);
        return;
    }
    // The user's applications live on this desktop: it waits for the next display.
    entry->modes.clear();
    entry->current.reset();
    entry->x = entry->y = 0;
    std::shared_ptr<Entry> older;
    {
        std::lock_guard lock(mutex_);
        older = std::exchange(kept_, entry);
    }
    log("Private desktop kept for the next session");
    end(older);
}

uint32_t LinuxDisplay::mainLocked() const {
    for (const auto& [id, e] : entries_) {
        if (e->x == 0 && e->y == 0 && e->mirrorOf == 0) return id;
    }
    return entries_.empty() ? 0 : entries_.begin()->first;
}

uint32_t LinuxDisplay::mainDisplay() const {
    std::lock_guard lock(mutex_);
    return mainLocked();
}

DisplayInfo LinuxDisplay::infoOf(uint32_t id, const Entry& e) {
    DisplayInfo info;
    info.id = id;
    const double w = e.current ? e.current->width : e.screenWidth / e.scale;
    const double h = e.current ? e.current->height : e.screenHeight / e.scale;
    info.bounds = {e.x, e.y, w, h};
    info.pixelWidth = e.screenWidth;
    info.pixelHeight = e.screenHeight;
    info.isVirtual = true;
    info.connection = e.server->name();
    return info;
}

std::vector<DisplayInfo> LinuxDisplay::displays() const {
    std::lock_guard lock(mutex_);
    std::vector<DisplayInfo> out;
    const uint32_t main = mainLocked();
    if (auto it = entries_.find(main); it != entries_.end()) out.push_back(infoOf(main, *it->second));
    for (const auto& [id, e] : entries_) {
        if (id != main) out.push_back(infoOf(id, *e));
    }
    return out;
}

std::optional<std::vector<DisplayMode>> LinuxDisplay::modes(uint32_t id) const {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(id);
    if (it == entries_.end()) return std::nullopt;
    return it->second->modes;
}

std::optional<DisplayMode> LinuxDisplay::currentMode(uint32_t id) const {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(id);
    if (it == entries_.end()) return std::nullopt;
    return it->second->current;
}

std::optional<DisplayConfiguration> LinuxDisplay::beginConfiguration() {
    return DisplayConfiguration{};
}

int LinuxDisplay::completeConfiguration(const DisplayConfiguration& configuration) {
    using Kind = DisplayConfiguration::Change::Kind;
    std::lock_guard lock(mutex_);
    for (const auto& c : configuration.changes) {
        auto it = entries_.find(c.display);
        if (it == entries_.end()) return kIllegalArgument;
        if (c.kind == Kind::mirror && c.mirrorOf != 0 &&
            (c.mirrorOf == c.display || !entries_.count(c.mirrorOf))) {
            return kIllegalArgument;
        }
        if (c.kind == Kind::mode) {
            bool known = false;
            for (const auto& m : it->second->modes) {
                known |= m.width == c.mode.width && m.height == c.mode.height &&
                         m.pixelWidth == c.mode.pixelWidth && m.pixelHeight == c.mode.pixelHeight &&
                         m.refreshRate == c.mode.refreshRate;
            }
            if (!known) return kIllegalArgument;
        }
    }
    for (const auto& c : configuration.changes) {
        auto& e = *entries_[c.display];
        switch (c.kind) {
            case Kind::origin:
                e.x = c.x;
                e.y = c.y;
                break;
            case Kind::mirror: e.mirrorOf = c.mirrorOf; break;
            // Modes of one display differ in refresh rate only; the X screen stays as it is.
            case Kind::mode: e.current = c.mode; break;
        }
    }
    return 0;
}

void LinuxDisplay::pause(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

std::string LinuxDisplay::connection(uint32_t id) const {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(id);
    if (it == entries_.end() || !it->second->server->running()) return {};
    return it->second->server->name();
}

int LinuxDisplay::serverProcess(uint32_t id) const {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(id);
    return it == entries_.end() ? -1 : it->second->server->pid();
}

int LinuxDisplay::sessionProcess(uint32_t id) const {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(id);
    return it == entries_.end() ? -1 : it->second->session;
}

}  // namespace tarvello
