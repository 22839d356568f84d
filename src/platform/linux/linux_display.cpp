#include "platform/linux/linux_display.h"

#include <chrono>
#include <thread>

#include "base/child_process.h"
#include "base/log.h"
#include "platform/linux/session_bus.h"
#include "platform/linux/session_command.h"
#include "platform/linux/xvfb_server.h"

namespace tarvello {

namespace {
constexpr int kIllegalArgument = 1001;
}

struct LinuxDisplay::Entry {
    std::unique_ptr<XvfbServer> server;
    std::unique_ptr<SessionBus> bus;  // the session command's D-Bus
    pid_t session = -1;
    int screenWidth = 0, screenHeight = 0;
    double x = 0, y = 0;
    std::vector<DisplayMode> modes;
    std::optional<DisplayMode> current;
    uint32_t mirrorOf = 0;
};

LinuxDisplay::LinuxDisplay() : LinuxDisplay(Options{}) {}

LinuxDisplay::LinuxDisplay(Options options) : options_(std::move(options)) {
    if (options_.xvfbPath.empty()) options_.xvfbPath = findOnPath("Xvfb");
}

LinuxDisplay::~LinuxDisplay() {
    std::vector<uint32_t> ids;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [id, e] : entries_) ids.push_back(id);
    }
    for (uint32_t id : ids) removeVirtualDisplay(id);
}

std::optional<uint32_t> LinuxDisplay::createVirtualDisplay(const VirtualDisplayDescriptor& descriptor) {
    XvfbServer::Options xo;
    xo.executable = options_.xvfbPath;
    xo.width = descriptor.maxPixelsWide;
    xo.height = descriptor.maxPixelsHigh;
    xo.dpi = options_.dpi;
    std::string error;
    auto server = XvfbServer::start(xo, error);
    if (!server) {
        log("Xvfb failed: " + error);
        return std::nullopt;
    }
    auto entry = std::make_shared<Entry>();
    entry->screenWidth = descriptor.maxPixelsWide;
    entry->screenHeight = descriptor.maxPixelsHigh;
    entry->server = std::move(server);
    startSession(*entry);

    std::lock_guard lock(mutex_);
    // New displays join the row to the right of the others, as a new monitor would.
    for (const auto& [id, e] : entries_) {
        const double w = e->current ? e->current->width : e->screenWidth / 2.0;
        entry->x = std::max(entry->x, e->x + w);
    }
    const uint32_t id = nextId_++;
    entries_[id] = std::move(entry);
    return id;
}

void LinuxDisplay::startSession(Entry& entry) {
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
    entry.session = startSessionCommand(command, name, entry.server->clientAuthority(),
                                        entry.server->directory() + "/session.log", error,
                                        entry.bus ? entry.bus->environment() : std::vector<std::string>{});
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
    const int density = settings.hiDPI ? 2 : 1;
    std::vector<DisplayMode> modes;
    for (const auto& m : settings.modes) {
        // The X screen is fixed at the backing size: a mode must fill it exactly.
        if (m.width < 1 || m.height < 1 || m.width * density != e.screenWidth ||
            m.height * density != e.screenHeight || !(m.refreshRate > 0)) {
            return false;
        }
        modes.push_back({m.width, m.height, m.width * density, m.height * density, m.refreshRate});
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
    // The session first, so its clients leave quietly rather than on a lost connection.
    endChild(entry->session, SIGTERM, 1.0, true);
    entry->bus.reset();
    entry->server.reset();
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
    const double w = e.current ? e.current->width : e.screenWidth / 2.0;
    const double h = e.current ? e.current->height : e.screenHeight / 2.0;
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
