#include "app/stage_manager.h"

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "base/log.h"
#include "base/settings.h"

namespace tarvello {

namespace fs = std::filesystem;
using namespace StageManagerNames;

namespace {

bool isTrue(const std::optional<nlohmann::json>& v) {
    return v && v->is_boolean() && v->get<bool>();
}

// Rewrites `<dir>/<domain>.json` with one key changed: temporary file, fsync, rename.
// A file that exists but is not a JSON object is left alone rather than replaced.
bool writeJsonDomain(const fs::path& dir, const std::string& domain, const std::string& key,
                     nlohmann::json value) {
    if (domain.empty() || domain.front() == '.' || domain.find('/') != std::string::npos) return false;
    std::error_code ec;
    fs::create_directories(dir, ec);
    const fs::path file = dir / (domain + ".json");
    nlohmann::json object = nlohmann::json::object();
    if (fs::exists(file, ec)) {
        std::ifstream in(file, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        object = nlohmann::json::parse(text.str(), nullptr, /*allow_exceptions=*/false);
        if (!object.is_object()) return false;
    }
    object[key] = std::move(value);
    const std::string bytes = object.dump(2) + "\n";
    const fs::path tmp = dir / ("." + domain + ".json.tmp-" + std::to_string(getpid()));
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    bool ok = ::write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size()) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (ok) ok = ::rename(tmp.c_str(), file.c_str()) == 0;
    if (!ok) fs::remove(tmp, ec);
    return ok;
}

}  // namespace

PreferenceWriter preferenceWriterFor(std::shared_ptr<PreferenceDomains> domains) {
    if (auto files = std::dynamic_pointer_cast<JsonFilePreferenceDomains>(domains)) {
        return [files](const std::string& domain, const std::string& key, nlohmann::json value) {
            return writeJsonDomain(files->directory(), domain, key, std::move(value));
        };
    }
    if (auto memory = std::dynamic_pointer_cast<MemoryPreferenceDomains>(domains)) {
        return [memory](const std::string& domain, const std::string& key, nlohmann::json value) {
            memory->set(domain, key, std::move(value));
            return true;
        };
    }
    return [](const std::string&, const std::string&, nlohmann::json) { return false; };
}

std::set<std::string> parseShortcutList(const std::string& listing) {
    std::set<std::string> found;
    std::istringstream in(listing);
    for (std::string line; std::getline(in, line, '\n');) {
        if (line == stageManagerShortcut || line == windowedAppsShortcut) found.insert(line);
    }
    return found;
}

std::shared_ptr<StageManager> StageManager::create(Environment env) {
    return std::shared_ptr<StageManager>(new StageManager(std::move(env)));
}

StageManager::StageManager(Environment env) : env_(std::move(env)) {
    if (!env_.writePreference) env_.writePreference = preferenceWriterFor(env_.preferences);
    if (!env_.shortcutsToolPresent) {
        env_.shortcutsToolPresent = [] { return ::access(shortcutsTool, X_OK) == 0; };
    }
}

StageManager::~StageManager() {
    queue_.stop();
}

void StageManager::flush() {
    queue_.sync([] {});
}

void StageManager::submit(void (StageManager::*op)()) {
    queue_.async(weakly(shared_from_this(), [op](StageManager& s) { (s.*op)(); }));
}

void StageManager::arrangeForSession(bool stageManager, bool showDock) {
    if (stageManager) stageManagerOn();
    if (showDock) showDockForSession();
}

void StageManager::restoreAfterSession() {
    stageManagerOff();
    restoreDock();
}

void StageManager::stageManagerOn() {
    submit(&StageManager::doStageManagerOn);
}
void StageManager::stageManagerOff() {
    submit(&StageManager::doStageManagerOff);
}
void StageManager::showDockForSession() {
    submit(&StageManager::doShowDockForSession);
}
void StageManager::restoreDock() {
    submit(&StageManager::doRestoreDock);
}

void StageManager::setDockAutohide(bool hidden) {
    queue_.async(weakly(shared_from_this(), [hidden](StageManager& s) { s.doSetDockAutohide(hidden); }));
}

void StageManager::restoreDockAtLaunch() {
    if (Settings::shared().d().getBool(SettingsKey::dockShownBySession).value_or(false))
        setDockAutohide(true);
}

bool StageManager::stageManagerEnabled() const {
    // Domains are re-read on every call, so a change the desktop made is seen.
    return env_.preferences && isTrue(env_.preferences->value(windowManagerDomain, globallyEnabledKey));
}

bool StageManager::dockAutohide() const {
    return env_.preferences && isTrue(env_.preferences->value(dockDomain, autohideKey));
}

std::optional<std::string> StageManager::runShortcuts(const std::vector<std::string>& args) {
    if (!env_.processes) return std::nullopt;
    auto result = env_.processes->run(shortcutsTool, args);
    if (!result || result->exitStatus != 0) return std::nullopt;
    return std::move(result->output);
}

void StageManager::doStageManagerOn() {
    // A Stage Manager the user switched on is theirs: not touched, not switched off later.
    if (stageManagerTurnedOn_ || stageManagerEnabled()) return;
    if (!runShortcuts({"run", stageManagerShortcut})) {
        log(std::string("Stage Manager: shortcut \u201c") + stageManagerShortcut +
            "\u201d missing (Setup\u2026 \u2192 Stage Manager)");
        return;
    }
    stageManagerTurnedOn_ = true;
    log("Stage Manager on");
}

void StageManager::doStageManagerOff() {
    if (!stageManagerTurnedOn_) return;
    stageManagerTurnedOn_ = false;
    if (!stageManagerEnabled()) return;  // the user already switched it off
    if (runShortcuts({"run", windowedAppsShortcut})) log("Stage Manager off");
}

void StageManager::doShowDockForSession() {
    // Only a Dock the session actually un-hid is hidden again afterwards: a user
    // without auto-hide must not end up with it after a session.
    if (dockShownForSession_ || !dockAutohide()) return;
    dockShownForSession_ = true;
    doSetDockAutohide(false);
}

void StageManager::doRestoreDock() {
    if (!dockShownForSession_) return;
    dockShownForSession_ = false;
    doSetDockAutohide(true);
}

void StageManager::doSetDockAutohide(bool hidden) {
    // The marker goes first: a crash below must still be repaired at the next launch.
    Settings::shared().d().setBool(SettingsKey::dockShownBySession, !hidden);
    if (dockAutohide() == hidden) return;
    if (!env_.writePreference(dockDomain, autohideKey, hidden)) {
        log("Dock: could not store the auto-hide preference");
        return;
    }
    if (env_.processes) env_.processes->run(killallTool, {"Dock"});
    log(hidden ? "Dock hidden" : "Dock shown");
}

std::set<std::string> StageManager::installedShortcuts() {
    return parseShortcutList(runShortcuts({"list"}).value_or(std::string()));
}

void StageManager::installMissingShortcuts() {
    const auto installed = installedShortcuts();
    for (const char* name : {stageManagerShortcut, windowedAppsShortcut}) {
        if (installed.contains(name) || env_.shortcutsDirectory.empty()) continue;
        const fs::path file = env_.shortcutsDirectory / (std::string(name) + ".shortcut");
        std::error_code ec;
        if (!fs::is_regular_file(file, ec) || !env_.openFile) continue;
        Queue& main = env_.mainQueue ? *env_.mainQueue : mainQueue();
        main.async([open = env_.openFile, file] { open(file); });
    }
}

std::optional<std::string> StageManager::stageManagerUnavailableReason() const {
    if (env_.shortcutsToolPresent()) return std::nullopt;
    return "This desktop has no Stage Manager to switch";
}

std::optional<std::string> StageManager::dockUnavailableReason() const {
    if (env_.dockAvailable) return std::nullopt;
    return "This desktop has no Dock to show";
}

}  // namespace tarvello
