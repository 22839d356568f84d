#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "dispatch/serial_queue.h"
#include "platform/preference_domains.h"
#include "platform/processes.h"
#include "server/session_desktop.h"

namespace tarvello {

namespace StageManagerNames {
// Also the file names (with ".shortcut") of the shortcuts the application ships.
inline constexpr const char* stageManagerShortcut = "Tarvello Stage Manager";  // turns it on
inline constexpr const char* windowedAppsShortcut = "Tarvello Windowed Apps";  // turns it off
inline constexpr const char* windowManagerDomain = "com.apple.WindowManager";
inline constexpr const char* globallyEnabledKey = "GloballyEnabled";
inline constexpr const char* dockDomain = "com.apple.dock";
inline constexpr const char* autohideKey = "autohide";
inline constexpr const char* shortcutsTool = "/usr/bin/shortcuts";
inline constexpr const char* killallTool = "/usr/bin/killall";
}  // namespace StageManagerNames

// Writes one preference value; false when it could not be stored. Any thread.
using PreferenceWriter =
    std::function<bool(const std::string& domain, const std::string& key, nlohmann::json value)>;

// A writer for the domains the platform reads: JSON domain files are rewritten
// atomically, in-memory domains are set. Other kinds cannot be written (always false).
PreferenceWriter preferenceWriterFor(std::shared_ptr<PreferenceDomains> domains);

// Parses the Shortcuts tool's listing: which of the two shortcut names appear as whole lines.
std::set<std::string> parseShortcutList(const std::string& listing);

// Switches Stage Manager and the Dock for a session and puts them back afterwards.
// Every change runs on the "tarvello.stagemanager" queue, so changes never overlap and
// the session flags are confined to it; callers never wait. The marker
// `dockShownBySession` in the settings store lets the next launch repair a Dock that a
// crashed run left shown.
class StageManager : public SessionDesktop, public std::enable_shared_from_this<StageManager> {
public:
    struct Environment {
        std::shared_ptr<ProcessFacility> processes;
        std::shared_ptr<PreferenceDomains> preferences;
        PreferenceWriter writePreference;  // empty: preferenceWriterFor(preferences)
        // Hands a shortcut file to the desktop so it offers the import. Called on the main queue.
        std::function<void(const std::filesystem::path&)> openFile;
        // Where "<name>.shortcut" files ship; empty: none ship.
        std::filesystem::path shortcutsDirectory;
        // Whether the desktop has a Dock to show; without one the Dock switch is unavailable.
        bool dockAvailable = false;
        // Whether the Shortcuts tool is installed (default: it is an executable file).
        std::function<bool()> shortcutsToolPresent;
        Queue* mainQueue = nullptr;  // empty: the process's main queue
    };

    static std::shared_ptr<StageManager> create(Environment env);
    ~StageManager();

    // Submitted to the control queue.
    void stageManagerOn();
    void stageManagerOff();
    void showDockForSession();
    void restoreDock();
    void setDockAutohide(bool hidden);
    void arrangeForSession(bool stageManager, bool showDock) override;
    void restoreAfterSession() override;
    // Once at launch: repairs the Dock when the marker says a session left it shown.
    void restoreDockAtLaunch();

    // The system's Stage Manager state. Any queue.
    bool stageManagerEnabled() const;
    // Runs the Shortcuts tool; its output when it exited with status 0. Blocks: never on
    // the main queue or the server queue.
    std::optional<std::string> runShortcuts(const std::vector<std::string>& args);
    // Which of the two shortcuts are installed. Blocks like runShortcuts.
    std::set<std::string> installedShortcuts();
    // Offers the shipped file of every shortcut not installed. Blocks like runShortcuts.
    void installMissingShortcuts();

    // Why the menu cannot offer a switch on this desktop; nothing when it can.
    std::optional<std::string> stageManagerUnavailableReason() const;
    std::optional<std::string> dockUnavailableReason() const;

    // Waits until the work submitted so far has run (shutdown and tests).
    void flush();
    Queue& queue() { return queue_; }

private:
    explicit StageManager(Environment env);
    void submit(void (StageManager::*op)());
    void doStageManagerOn();
    void doStageManagerOff();
    void doShowDockForSession();
    void doRestoreDock();
    void doSetDockAutohide(bool hidden);
    bool dockAutohide() const;

    Environment env_;
    SerialQueue queue_{"tarvello.stagemanager"};
    // ---- owned by queue_ ----
    bool stageManagerTurnedOn_ = false;
    bool dockShownForSession_ = false;
};

}  // namespace tarvello
