#include "app/permissions.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <fstream>
#include <mutex>

#include "app/stage_manager.h"
#include "base/host_info.h"
#include "base/settings.h"
#include "platform/sim/sim_platform.h"
#include "support/log_capture.h"

namespace tarvello {
namespace {

namespace fs = std::filesystem;

class FakeCamera final : public CameraActivation {
public:
    bool deviceFound() override { return found.load(); }
    void activate(std::function<void(std::optional<std::string>)> completion) override {
        ++requests;
        completion(reply);
    }
    void activateIfNeeded() override {}
    std::atomic<bool> found{false};
    std::atomic<int> requests{0};
    std::optional<std::string> reply;
};

// A system whose answers the test sets; records the actions it is asked for.
class FakeSetup final : public SetupSystem {
public:
    bool screenAllowed() override { return screen.load(); }
    bool accessibilityTrusted() override { return accessibility.load(); }
    bool loginItemEnabled() override { return loginItem.load(); }
    std::optional<std::string> setLoginItem(bool on) override {
        record(on ? "setLoginItem:on" : "setLoginItem:off");
        if (loginItemError) return loginItemError;
        loginItem = on;
        return std::nullopt;
    }
    bool tailscaleInstalled() override { return !addresses.empty(); }
    std::vector<std::string> tailscaleAddresses() override {
        std::lock_guard lock(mutex);
        return addresses;
    }
    bool audioInstalled() override { return audio.load(); }
    bool audioPluginsPresent() override { return true; }
    void installAudio() override { record("installAudio"); }
    CameraActivation& camera() override { return cam; }
    std::set<std::string> installedShortcuts() override {
        ++shortcutChecks;
        std::lock_guard lock(mutex);
        return shortcuts;
    }
    void installMissingShortcuts() override { record("installMissingShortcuts"); }
    void openUrl(const std::string& url) override { record("open " + url); }
    bool openTailscaleApp() override { return false; }
    void relaunch() override { record("relaunch"); }
    void quit() override { record("quit"); }

    void record(std::string call) {
        std::lock_guard lock(mutex);
        calls.push_back(std::move(call));
    }
    std::vector<std::string> recorded() {
        std::lock_guard lock(mutex);
        return calls;
    }

    std::atomic<bool> screen{false}, accessibility{false}, loginItem{false}, audio{false};
    std::atomic<int> shortcutChecks{0};
    std::optional<std::string> loginItemError;
    std::vector<std::string> addresses;
    std::set<std::string> shortcuts;
    FakeCamera cam;
    std::mutex mutex;
    std::vector<std::string> calls;
};

// Permissions lives on a queue of the test's own, standing in for the main queue.
class PermissionsTest : public ::testing::Test {
protected:
    void SetUp() override { Settings::useStore(std::make_shared<MemoryStore>()); }
    void TearDown() override {
        onMain([this] { p.reset(); });
    }

    void create() {
        onMain([this] { p = Permissions::create(system, main); });
    }
    void onMain(const std::function<void()>& fn) { ASSERT_TRUE(main.sync(fn)); }
    // Refreshes, then lets the background shortcut check report back.
    void refresh() {
        onMain([this] { p->refresh(); });
        p->flushBackground();
        onMain([] {});
    }

    std::shared_ptr<FakeSetup> system = std::make_shared<FakeSetup>();
    SerialQueue main{"test.main"};
    std::shared_ptr<Permissions> p;
};

TEST(TailscaleAddresses, OnlyTheOverlayBlockIsKept) {
    EXPECT_TRUE(isTailscaleAddress("100.101.102.103"));
    EXPECT_TRUE(isTailscaleAddress("100.64.0.1"));
    EXPECT_TRUE(isTailscaleAddress("100.127.255.254"));
    EXPECT_FALSE(isTailscaleAddress("100.128.0.1"));
    EXPECT_FALSE(isTailscaleAddress("100.63.0.1"));
    EXPECT_FALSE(isTailscaleAddress("192.168.1.5"));
    EXPECT_FALSE(isTailscaleAddress("100.101.102"));
}

TEST_F(PermissionsTest, TailscaleIPIsTheFirstOverlayAddress) {
    system->addresses = {"100.101.102.103", "100.90.0.2"};
    create();
    EXPECT_EQ(p->tailscaleIP, "100.101.102.103");
    EXPECT_TRUE(p->tailscaleInstalled);
    system->addresses.clear();
    refresh();
    EXPECT_EQ(p->tailscaleIP, std::nullopt);
}

TEST_F(PermissionsTest, AllDoneIgnoresTheLoginItemAndTheShortcuts) {
    create();
    EXPECT_FALSE(p->allDone());
    system->screen = true;
    system->accessibility = true;
    system->addresses = {"100.101.102.103"};
    refresh();
    EXPECT_TRUE(p->essentialsDone());
    EXPECT_FALSE(p->allDone()) << "audio and camera are still missing";
    system->audio = true;
    system->cam.found = true;
    refresh();
    EXPECT_FALSE(p->loginItem);
    EXPECT_FALSE(p->stageManagerReady);
    EXPECT_TRUE(p->allDone());
}

TEST_F(PermissionsTest, AScreenGrantWhileRunningAsksForARelaunch) {
    create();
    EXPECT_FALSE(p->screenNeedsRelaunch);
    system->screen = true;
    refresh();
    EXPECT_TRUE(p->screen);
    EXPECT_TRUE(p->screenNeedsRelaunch);
    system->screen = false;
    refresh();
    EXPECT_FALSE(p->screen);
    EXPECT_TRUE(p->screenNeedsRelaunch) << "never cleared while the process runs";
}

TEST_F(PermissionsTest, AScreenGrantedAtLaunchNeedsNoRelaunch) {
    system->screen = true;
    create();
    refresh();
    EXPECT_FALSE(p->screenNeedsRelaunch);
}

TEST_F(PermissionsTest, RelaunchStartsTheNewCopyThenQuits) {
    create();
    onMain([this] { p->relaunch(); });
    EXPECT_EQ(system->recorded(), (std::vector<std::string>{"relaunch", "quit"}));
}

TEST_F(PermissionsTest, ShortcutCheckRepeatsUntilBothAreInstalled) {
    create();
    refresh();
    EXPECT_FALSE(p->stageManagerReady);
    system->shortcuts = {StageManagerNames::stageManagerShortcut, StageManagerNames::windowedAppsShortcut};
    refresh();
    EXPECT_TRUE(p->stageManagerReady);
    const int checks = system->shortcutChecks;
    refresh();
    EXPECT_EQ(system->shortcutChecks, checks) << "no check once ready";
}

TEST_F(PermissionsTest, AFailedCameraActivationIsShownAndCanBeRetried) {
    system->cam.reply = "The camera extension tarvello-camera is not installed";
    create();
    onMain([this] { p->installCamera(); });
    // Work a task posts to its own queue is queued only once that task has returned,
    // which may be after the next sync task was posted: the second hop comes after it.
    onMain([] {});
    onMain([] {});
    EXPECT_EQ(p->cameraNote, "The camera extension tarvello-camera is not installed");
    EXPECT_FALSE(p->cameraActivating);

    system->cam.reply.reset();
    system->cam.found = true;
    onMain([this] { p->installCamera(); });
    onMain([] {});
    onMain([] {});
    EXPECT_EQ(system->cam.requests, 2) << "a retry asks again";
    EXPECT_TRUE(p->cameraInstalled);
    EXPECT_EQ(p->cameraNote, std::nullopt);
}

TEST_F(PermissionsTest, FirstLaunchAsksForTheCameraButLeavesTheSoundSettingsAlone) {
    create();
    onMain([this] { p->installMissing(); });
    onMain([] {});
    onMain([] {});
    p->flushBackground();
    EXPECT_EQ(system->cam.requests, 1);
    EXPECT_TRUE(system->recorded().empty())
        << "installed without the user's Install: " << system->recorded()[0];

    onMain([this] { p->installAudio(); });
    p->flushBackground();
    EXPECT_EQ(system->recorded(), std::vector<std::string>{"installAudio"});
}

TEST_F(PermissionsTest, SkippingTailscaleCompletesTheEssentialsAndIsRemembered) {
    system->screen = true;
    system->accessibility = true;
    create();
    EXPECT_FALSE(p->essentialsDone());
    onMain([this] { p->skipTailscale(true); });
    EXPECT_TRUE(p->tailscaleSkipped);
    EXPECT_TRUE(p->essentialsDone());
    onMain([this] { p.reset(); });
    create();  // the next launch
    EXPECT_TRUE(p->essentialsDone());
    onMain([this] { p->skipTailscale(false); });
    EXPECT_FALSE(p->essentialsDone());
}

TEST_F(PermissionsTest, LoginItemFailureIsLoggedAndTheRealStateShown) {
    test::LogCapture logs;
    system->loginItemError = "permission denied";
    create();
    onMain([this] { p->setLoginItem(true); });
    EXPECT_TRUE(logs.contains("Open at login: permission denied"));
    EXPECT_FALSE(p->loginItem);
    system->loginItemError.reset();
    onMain([this] { p->setLoginItem(true); });
    EXPECT_TRUE(p->loginItem);
}

TEST_F(PermissionsTest, ObserversHearEveryRefresh) {
    create();
    int heard = 0;
    onMain([&] { p->observe([&] { ++heard; }); });
    refresh();
    EXPECT_GE(heard, 1);
}

TEST(Autostart, EntryQuotesThePathAndArguments) {
    const std::string entry =
        autostartEntry("/opt/my apps/tarvello", {"--config-dir", "/home/a \"b\"/$x 100%"});
    EXPECT_NE(entry.find(
                  "Exec=\"/opt/my apps/tarvello\" \"--config-dir\" \"/home/a \\\\\"b\\\\\"/\\\\$x 100%%\"\n"),
              std::string::npos)
        << entry;
    EXPECT_NE(entry.find("[Desktop Entry]\nType=Application\n"), std::string::npos);
}

TEST(Autostart, LinuxLoginItemWritesAndRemovesTheEntry) {
    const fs::path dir = fs::temp_directory_path() / ("autostart-test-" + std::to_string(getpid()));
    fs::remove_all(dir);
    const char* old = std::getenv("XDG_CONFIG_HOME");
    const std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
    setenv("XDG_CONFIG_HOME", dir.c_str(), 1);

    auto system = makeLinuxSetupSystem({});
    EXPECT_FALSE(system->loginItemEnabled());
    EXPECT_EQ(system->setLoginItem(true), std::nullopt);
    EXPECT_TRUE(fs::exists(dir / "autostart" / "tarvello.desktop"));
    EXPECT_TRUE(system->loginItemEnabled());
    { std::ofstream(dir / "autostart" / "tarvello.desktop", std::ios::app) << "Hidden=true\n"; }
    EXPECT_FALSE(system->loginItemEnabled()) << "an entry the desktop hid is off";
    EXPECT_EQ(system->setLoginItem(false), std::nullopt);
    EXPECT_FALSE(fs::exists(dir / "autostart" / "tarvello.desktop"));
    EXPECT_FALSE(system->loginItemEnabled());

    if (saved)
        setenv("XDG_CONFIG_HOME", saved->c_str(), 1);
    else
        unsetenv("XDG_CONFIG_HOME");
    fs::remove_all(dir);
}

TEST(LinuxSetup, AStandInDisplayReportsTheScreenMissingWithTheReason) {
    SimHandles sim;
    LinuxSetupParts parts;
    parts.host = makeSimPlatform(sim).host;  // grants everything
    ASSERT_TRUE(makeLinuxSetupSystem(parts)->screenAllowed());

    parts.screenUnavailable = "Xvfb is not installed";
    auto system = makeLinuxSetupSystem(parts);
    EXPECT_FALSE(system->screenAllowed());
    SerialQueue main("test.main");
    std::shared_ptr<Permissions> p;
    ASSERT_TRUE(main.sync([&] { p = Permissions::create(system, main); }));
    EXPECT_FALSE(p->screen);
    EXPECT_EQ(p->screenUnavailable, "Xvfb is not installed");
    EXPECT_FALSE(p->essentialsDone());
    ASSERT_TRUE(main.sync([&] {
        p->refresh();
        EXPECT_FALSE(p->screen);
        EXPECT_FALSE(p->screenNeedsRelaunch);
        p.reset();
    }));
}

}  // namespace
}  // namespace tarvello
