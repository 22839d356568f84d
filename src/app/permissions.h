#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "dispatch/serial_queue.h"

namespace tarvello {

class AudioFacility;
class CameraBridge;
class HostFacility;
class StageManager;

// The camera extension's activation as the setup sees it. Any thread; completions may
// come on any thread, once or more per request (a note, then the outcome).
class CameraActivation {
public:
    virtual ~CameraActivation() = default;
    // The camera device exists now.
    virtual bool deviceFound() = 0;
    // Asks for activation; each report carries a note for the user, or nothing once done.
    virtual void activate(std::function<void(std::optional<std::string> note)> completion) = 0;
    // At launch: re-activates when it was activated before or its device exists.
    virtual void activateIfNeeded() = 0;
};

// Which desktop the phone shows, as the set-up window names it.
struct DesktopShown {
    std::string title = "A private desktop";
    // Why it is not the user's own desktop; nothing when it is.
    std::optional<std::string> reason;
};

// What the setup asks of the system. Called on the main queue, except the two shortcut
// calls and installAudio, which block and run on a background queue.
class SetupSystem {
public:
    virtual ~SetupSystem() = default;
    virtual bool screenAllowed() = 0;
    // Why the screen cannot be captured where granting would not help; nothing otherwise.
    virtual std::optional<std::string> screenUnavailable() { return std::nullopt; }
    virtual DesktopShown desktopShown() { return {}; }
    virtual bool accessibilityTrusted() = 0;
    virtual bool loginItemEnabled() = 0;
    // Adds or removes the login item; the reason when that failed.
    virtual std::optional<std::string> setLoginItem(bool on) = 0;
    virtual bool tailscaleInstalled() = 0;
    virtual std::vector<std::string> tailscaleAddresses() = 0;
    virtual bool audioInstalled() = 0;
    virtual bool audioPluginsPresent() = 0;
    virtual void installAudio() = 0;
    virtual CameraActivation& camera() = 0;
    // Whether this desktop has a Stage Manager and a Dock to switch: rows for them are
    // shown only where it does.
    virtual bool stageManagerAvailable() { return true; }
    virtual bool dockAvailable() { return true; }
    virtual std::set<std::string> installedShortcuts() = 0;
    virtual void installMissingShortcuts() = 0;
    virtual void openUrl(const std::string& url) = 0;
    // Starts the installed Tailscale client's interface; false when there is none.
    virtual bool openTailscaleApp() = 0;
    // Starts a new copy of the application half a second from now.
    virtual void relaunch() = 0;
    // Ends the application (the main loop returns).
    virtual void quit() = 0;
};

namespace SetupUrl {
// Nothing can be granted on a Linux desktop: these explain what the checks need.
inline constexpr const char* screenHelp = "https://packages.debian.org/stable/xvfb";
inline constexpr const char* accessibilityHelp = "https://packages.debian.org/stable/libxtst6";
inline constexpr const char* cameraHelp = "https://packages.debian.org/stable/pipewire";
inline constexpr const char* tailscaleStore = "https://tailscale.com/download/linux";
}  // namespace SetupUrl

namespace SetupKey {
// The user chose the local network over Tailscale: the set-up is complete without it.
inline constexpr const char* tailscaleSkipped = "tailscaleSkipped";
}  // namespace SetupKey

struct PermissionsValues {
    bool screen = false;
    DesktopShown desktop;
    // Set when the screen row is missing for a reason the user must fix outside the setup.
    std::optional<std::string> screenUnavailable;
    bool accessibility = false;
    bool loginItem = false;
    // Screen capture was granted while this process ran; it works only after a relaunch.
    bool screenNeedsRelaunch = false;
    bool tailscaleInstalled = false;
    std::optional<std::string> tailscaleIP;
    bool tailscaleSkipped = false;
    bool audioInstalled = false;
    bool cameraInstalled = false;
    // An activation request is on its way; the row waits for its outcome.
    bool cameraActivating = false;
    // The last message of a camera activation request (what to do next, or a failure).
    std::optional<std::string> cameraNote;
    bool stageManagerReady = false;
    bool stageManagerAvailable = false;
    bool dockAvailable = false;

    bool networkDone() const { return tailscaleIP.has_value() || tailscaleSkipped; }
    bool essentialsDone() const { return screen && accessibility && networkDone(); }
    // The login item and the Stage Manager shortcuts are optional.
    bool allDone() const { return essentialsDone() && audioInstalled && cameraInstalled; }
};

// The observable setup state, re-read every second, and the setup actions. Lives on
// the main queue: every method is called there and every field changes there.
class Permissions : public PermissionsValues, public std::enable_shared_from_this<Permissions> {
public:
    // `main` is the queue the instance lives on.
    static std::shared_ptr<Permissions> create(std::shared_ptr<SetupSystem> system, Queue& main);
    ~Permissions();

    void startRefreshing();
    void refresh();

    void requestScreen();
    void requestAccessibility();
    void setLoginItem(bool on);
    void installAudio();
    void installCamera();
    void openTailscale();
    void openTailscaleStore();
    // Local network only from now on; false takes Tailscale back into the set-up.
    void skipTailscale(bool skip);
    void relaunch();
    void setupStageManager();
    // Once at launch while not allDone(): asks for the camera. The sound devices change
    // the user's sound settings, so they wait for the set-up window's Install.
    void installMissing();

    // Observers run on the main queue after fields changed (one call per refresh).
    int observe(std::function<void()> fn);
    void unobserve(int id);

    // Waits until the background work submitted so far has run (tests).
    void flushBackground();

private:
    Permissions(std::shared_ptr<SetupSystem> system, Queue& main);
    void readSystem();
    void notify();

    std::shared_ptr<SetupSystem> system_;
    Queue& main_;
    SerialQueue background_{"tarvello.setup"};
    TimerHandle timer_;
    bool checkingStageManager_ = false;
    std::map<int, std::function<void()>> observers_;
    int nextObserver_ = 1;
};

// ---- The Linux desktop's answers ----

// The XDG autostart entry that opens `executable` with `args` at login.
std::string autostartEntry(const std::string& executable, const std::vector<std::string>& args);
// $XDG_CONFIG_HOME/autostart/tarvello.desktop (or under $HOME/.config).
std::optional<std::filesystem::path> autostartPath();

// Hands a URL or file to the desktop's opener (xdg-open) without waiting; false when
// there is none.
bool openWithDesktop(const std::string& target);

// Used until the camera extension's activation is part of the build: nothing to find,
// and every request reports that.
class MissingCameraActivation final : public CameraActivation {
public:
    bool deviceFound() override { return false; }
    void activate(std::function<void(std::optional<std::string>)> completion) override;
    void activateIfNeeded() override {}
};

// The camera bridge's activation: its error text becomes the note.
class BridgeCameraActivation final : public CameraActivation {
public:
    explicit BridgeCameraActivation(std::shared_ptr<CameraBridge> bridge) : bridge_(std::move(bridge)) {}
    bool deviceFound() override;
    void activate(std::function<void(std::optional<std::string>)> completion) override;
    void activateIfNeeded() override;

private:
    std::shared_ptr<CameraBridge> bridge_;
};

struct LinuxSetupParts {
    std::shared_ptr<HostFacility> host;
    std::shared_ptr<AudioFacility> audio;
    std::shared_ptr<StageManager> stageManager;
    std::shared_ptr<CameraActivation> camera;
    // Which desktop the phone shows; the private one when unset.
    std::function<DesktopShown()> desktop;
    // Set when serving the stand-in display because the real one cannot run: the screen
    // row then reports this instead of a grant.
    std::optional<std::string> screenUnavailable;
    // The application's arguments after the program name, for the relaunch and login item.
    std::vector<std::string> args;
    std::function<void()> quit;
};
std::shared_ptr<SetupSystem> makeLinuxSetupSystem(LinuxSetupParts parts);

}  // namespace tarvello
