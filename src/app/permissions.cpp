#include "app/permissions.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "app/stage_manager.h"
#include "audio/audio_install.h"
#include "base/child_process.h"
#include "base/host_info.h"
#include "base/log.h"
#include "base/settings.h"
#include "camera/camera_bridge.h"
#include "platform/audio.h"
#include "platform/host.h"

namespace tarvello {

namespace fs = std::filesystem;

// ---------------------------------------------------------------------------------
// Permissions

std::shared_ptr<Permissions> Permissions::create(std::shared_ptr<SetupSystem> system, Queue& main) {
    return std::shared_ptr<Permissions>(new Permissions(std::move(system), main));
}

Permissions::Permissions(std::shared_ptr<SetupSystem> system, Queue& main)
    : system_(std::move(system)), main_(main) {
    readSystem();
}

Permissions::~Permissions() {
    timer_.cancel();
    background_.stop();
}

void Permissions::startRefreshing() {
    timer_.cancel();
    timer_ = main_.every(1.0, 1.0, weakly(shared_from_this(), [](Permissions& p) { p.refresh(); }));
}

void Permissions::readSystem() {
    screen = system_->screenAllowed();
    screenUnavailable = system_->screenUnavailable();
    desktop = system_->desktopShown();
    accessibility = system_->accessibilityTrusted();
    loginItem = system_->loginItemEnabled();
    tailscaleInstalled = system_->tailscaleInstalled();
    const auto addresses = system_->tailscaleAddresses();
    tailscaleIP = addresses.empty() ? std::nullopt : std::optional(addresses.front());
    tailscaleSkipped = Settings::shared().d().getBool(SetupKey::tailscaleSkipped).value_or(false);
    audioInstalled = system_->audioInstalled();
    cameraInstalled = Settings::shared().d().getBool(SettingsKey::cameraActivated).value_or(false) ||
                      system_->camera().deviceFound();
    if (cameraInstalled) cameraNote.reset();
    stageManagerAvailable = system_->stageManagerAvailable();
    dockAvailable = system_->dockAvailable();
}

void Permissions::refresh() {
    const bool screenBefore = screen;
    readSystem();
    if (screen && !screenBefore) screenNeedsRelaunch = true;  // never cleared while running
    if (!stageManagerReady && !checkingStageManager_) {
        checkingStageManager_ = true;
        background_.async([w = weak_from_this(), system = system_, &main = main_] {
            const auto installed = system->installedShortcuts();
            const bool ready = installed.contains(StageManagerNames::stageManagerShortcut) &&
                               installed.contains(StageManagerNames::windowedAppsShortcut);
            main.async([w, ready] {
                auto p = w.lock();
                if (!p) return;
                p->stageManagerReady = ready;
                p->checkingStageManager_ = false;
                p->notify();
            });
        });
    }
    notify();
}

void Permissions::requestScreen() {
    system_->openUrl(SetupUrl::screenHelp);
}

void Permissions::requestAccessibility() {
    system_->openUrl(SetupUrl::accessibilityHelp);
}

void Permissions::setLoginItem(bool on) {
    if (auto error = system_->setLoginItem(on)) log("Open at login: " + *error);
    refresh();
}

void Permissions::installAudio() {
    // The sound server answers quickly here, but the interface must not wait on it.
    background_.async([w = weak_from_this(), system = system_, &main = main_] {
        system->installAudio();
        main.after(2.0, [w] {
            if (auto p = w.lock()) p->refresh();
        });
    });
}

void Permissions::installCamera() {
    // A press while a request is on its way would only replace it.
    if (cameraActivating) return;
    cameraActivating = true;
    cameraNote.reset();
    notify();
    system_->camera().activate([w = weak_from_this(), &main = main_](std::optional<std::string> note) {
        main.async([w, note = std::move(note)] {
            auto p = w.lock();
            if (!p) return;
            p->cameraActivating = false;
            p->cameraNote = note;
            p->refresh();
        });
    });
}

void Permissions::openTailscale() {
    if (!system_->openTailscaleApp()) openTailscaleStore();
}

void Permissions::openTailscaleStore() {
    system_->openUrl(SetupUrl::tailscaleStore);
}

void Permissions::skipTailscale(bool skip) {
    Settings::shared().d().setBool(SetupKey::tailscaleSkipped, skip);
    refresh();
}

void Permissions::relaunch() {
    system_->relaunch();
    system_->quit();
}

void Permissions::setupStageManager() {
    background_.async([system = system_] { system->installMissingShortcuts(); });
}

void Permissions::installMissing() {
    if (!cameraInstalled) installCamera();
}

int Permissions::observe(std::function<void()> fn) {
    observers_[nextObserver_] = std::move(fn);
    return nextObserver_++;
}

void Permissions::unobserve(int id) {
    observers_.erase(id);
}

void Permissions::notify() {
    std::vector<int> ids;
    for (const auto& [id, fn] : observers_) ids.push_back(id);
    for (int id : ids) {
        auto it = observers_.find(id);
        if (it == observers_.end()) continue;
        auto fn = it->second;  // an observer may unobserve itself
        fn();
    }
}

void Permissions::flushBackground() {
    background_.sync([] {});
}

// ---------------------------------------------------------------------------------
// The Linux desktop

namespace {

// One argument of a desktop entry's Exec key: quoted, with the characters the
// desktop-entry format reserves escaped, then escaped again as a string value.
std::string execArgument(const std::string& arg) {
    std::string quoted = "\"";
    for (char c : arg) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
        if (c == '%') quoted += '%';
        quoted += c;
    }
    quoted += '"';
    std::string out;
    for (char c : quoted) {
        if (c == '\\') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

std::string selfExecutable() {
    std::error_code ec;
    auto p = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : p.string();
}

// Starts a program that outlives us and reaps it when it ends.
bool spawnDetached(const std::string& path, std::vector<std::string> args) {
    ChildSpec spec;
    spec.path = path;
    spec.args = std::move(args);
    spec.env = environmentWith({});
    spec.deathSignal = 0;
    spec.ownProcessGroup = true;
    std::string error;
    const pid_t pid = spawnChild(spec, error);
    if (pid <= 0) return false;
    std::thread([pid] {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
    return true;
}

class LinuxSetupSystem final : public SetupSystem {
public:
    explicit LinuxSetupSystem(LinuxSetupParts parts) : parts_(std::move(parts)) {
        if (!parts_.camera) parts_.camera = std::make_shared<MissingCameraActivation>();
    }

    bool screenAllowed() override {
        return !parts_.screenUnavailable && parts_.host && parts_.host->screenRecordingAllowed();
    }
    std::optional<std::string> screenUnavailable() override { return parts_.screenUnavailable; }
    DesktopShown desktopShown() override { return parts_.desktop ? parts_.desktop() : DesktopShown{}; }
    bool accessibilityTrusted() override { return parts_.host && parts_.host->accessibilityTrusted(); }

    bool loginItemEnabled() override {
        const auto path = autostartPath();
        if (!path) return false;
        std::ifstream in(*path);
        if (!in) return false;
        for (std::string line; std::getline(in, line);) {
            if (line == "Hidden=true" || line == "X-GNOME-Autostart-enabled=false") return false;
        }
        return true;
    }

    std::optional<std::string> setLoginItem(bool on) override {
        const auto path = autostartPath();
        if (!path) return "no configuration directory (HOME is not set)";
        std::error_code ec;
        if (!on) {
            fs::remove(*path, ec);
            if (ec) return ec.message();
            return std::nullopt;
        }
        const std::string exe = selfExecutable();
        if (exe.empty()) return "cannot find this program's path";
        fs::create_directories(path->parent_path(), ec);
        const fs::path tmp = path->string() + ".tmp";
        {
            std::ofstream out(tmp, std::ios::trunc);
            out << autostartEntry(exe, parts_.args);
            if (!out.flush()) return "cannot write " + tmp.string();
        }
        fs::rename(tmp, *path, ec);
        if (ec) return ec.message();
        return std::nullopt;
    }

    bool tailscaleInstalled() override { return !findOnPath("tailscale").empty(); }
    std::vector<std::string> tailscaleAddresses() override { return tarvello::tailscaleAddresses(); }

    bool audioInstalled() override { return parts_.audio && tarvello::audioInstalled(*parts_.audio); }
    bool audioPluginsPresent() override {
        return parts_.audio && tarvello::audioPluginsPresent(*parts_.audio);
    }
    void installAudio() override {
        if (parts_.audio) tarvello::installAudio(*parts_.audio);
    }

    CameraActivation& camera() override { return *parts_.camera; }

    bool stageManagerAvailable() override {
        return parts_.stageManager && !parts_.stageManager->stageManagerUnavailableReason();
    }
    bool dockAvailable() override {
        return parts_.stageManager && !parts_.stageManager->dockUnavailableReason();
    }

    std::set<std::string> installedShortcuts() override {
        return parts_.stageManager ? parts_.stageManager->installedShortcuts() : std::set<std::string>{};
    }
    void installMissingShortcuts() override {
        if (parts_.stageManager) parts_.stageManager->installMissingShortcuts();
    }

    void openUrl(const std::string& url) override { openWithDesktop(url); }

    bool openTailscaleApp() override {
        // The Linux client has no window of its own: its web console is where one signs in.
        if (!tailscaleInstalled()) return false;
        openUrl("https://login.tailscale.com/admin/machines");
        return true;
    }

    void relaunch() override {
        const std::string exe = selfExecutable();
        if (exe.empty()) return;
        // The path and arguments travel as positional parameters, never through the
        // shell's parser, so no character in them can break the command.
        std::vector<std::string> args{"/bin/sh", "-c", "sleep 0.5; exec \"$0\" \"$@\"", exe};
        args.insert(args.end(), parts_.args.begin(), parts_.args.end());
        spawnDetached("/bin/sh", std::move(args));
    }

    void quit() override {
        if (parts_.quit) parts_.quit();
    }

private:
    LinuxSetupParts parts_;
};

}  // namespace

bool openWithDesktop(const std::string& target) {
    const std::string xdgOpen = findOnPath("xdg-open");
    if (!xdgOpen.empty() && spawnDetached(xdgOpen, {xdgOpen, target})) return true;
    log("Cannot open " + target + ": xdg-open not found");
    return false;
}

void MissingCameraActivation::activate(std::function<void(std::optional<std::string>)> completion) {
    log("Camera: not part of this build yet");
    if (completion) completion(std::string("The camera is not part of this build yet."));
}

bool BridgeCameraActivation::deviceFound() {
    return bridge_->findCameraDevice();
}

void BridgeCameraActivation::activate(std::function<void(std::optional<std::string>)> completion) {
    bridge_->activate(std::move(completion));
}

void BridgeCameraActivation::activateIfNeeded() {
    bridge_->activateIfNeeded();
}

std::string autostartEntry(const std::string& executable, const std::vector<std::string>& args) {
    std::string exec = execArgument(executable);
    for (const auto& a : args) exec += " " + execArgument(a);
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Tarvello\n"
           "Comment=Use a phone as this computer's screen, keyboard and trackpad\n"
           "Exec=" +
           exec +
           "\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

std::optional<fs::path> autostartPath() {
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/')
        return fs::path(xdg) / "autostart" / "tarvello.desktop";
    if (const char* home = std::getenv("HOME"); home && home[0] == '/')
        return fs::path(home) / ".config" / "autostart" / "tarvello.desktop";
    return std::nullopt;
}

std::shared_ptr<SetupSystem> makeLinuxSetupSystem(LinuxSetupParts parts) {
    return std::make_shared<LinuxSetupSystem>(std::move(parts));
}

}  // namespace tarvello
