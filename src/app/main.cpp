#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <optional>
#include <string>

#include "app/build_info.h"
#include "app/launch_options.h"
#include "app/permissions.h"
#include "app/server_state.h"
#include "app/service_notify.h"
#include "app/stage_manager.h"
#include "app/stop_signals.h"
#include "audio/audio_bridge.h"
#include "audio/audio_install.h"
#include "base/log.h"
#include "base/settings.h"
#include "base/settings_store.h"
#include "camera/camera_bridge.h"
#include "dispatch/serial_queue.h"
#include "dispatch/stall_watch.h"
#include "platform/platform.h"
#ifdef TARVELLO_HAVE_X11
#include "platform/linux/display_mode.h"
#include "platform/linux/linux_camera.h"
#include "platform/linux/time_probe.h"
#endif
#include "server/server.h"
#ifdef TARVELLO_HAVE_QT
#include "ui/tray.h"
#endif

using namespace tarvello;

namespace {

// Where the launch puts the shortcut files it offers for import, beside the program.
std::filesystem::path shippedShortcutsDirectory() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return {};
    return exe.parent_path().parent_path() / "share" / "tarvello" / "shortcuts";
}

// --install-camera: the set-up window's Install for machines without one. It exits once
// applications can open the camera; the extension it started keeps running after it.
int installCamera() {
#ifdef TARVELLO_HAVE_X11
    LinuxCamera::Options cameraOptions;
    cameraOptions.childOutlivesUs = true;
    auto camera = std::make_shared<LinuxCamera>(cameraOptions);
    auto bridge = CameraBridge::create(camera);
    std::promise<std::optional<std::string>> outcome;
    bridge->activate([&outcome](std::optional<std::string> e) { outcome.set_value(std::move(e)); });
    std::optional<std::string> failure = outcome.get_future().get();
    bridge->shutdown();
    if (!failure) failure = camera->waitUntilAvailable(15.0);
    std::printf("%s\n", failure ? ("Camera not available: " + *failure).c_str()
                                : "Camera installed: applications can use Tarvello Camera");
    return failure ? 1 : 0;
#else
    std::fprintf(stderr, "tarvello: --install-camera needs the Linux build\n");
    return 2;
#endif
}

// --uninstall-camera: removes the camera extension; nothing else of the launch runs.
int uninstallCamera() {
    auto bridge = CameraBridge::create(makeSystemCamera());
    std::promise<std::optional<std::string>> outcome;
    bridge->deactivate([&outcome](std::optional<std::string> e) { outcome.set_value(std::move(e)); });
    const std::optional<std::string> failure = outcome.get_future().get();
    bridge->shutdown();
    std::printf("%s\n", failure ? ("Camera removal failed: " + *failure).c_str() : "Camera removed");
    return failure ? 1 : 0;
}

int timeProbe(bool motion) {
#ifdef TARVELLO_HAVE_X11
    const char* display = std::getenv("DISPLAY");
    return runTimeProbe(display ? display : "", motion);
#else
    (void)motion;
    std::fprintf(stderr, "tarvello: --time-probe needs the X11 build\n");
    return 2;
#endif
}

int screenshots([[maybe_unused]] int argc, [[maybe_unused]] char** argv,
                [[maybe_unused]] const std::string& dir) {
#ifdef TARVELLO_HAVE_QT
    return renderScreenshots(argc, argv, dir);
#else
    std::fprintf(stderr, "tarvello: --screenshots needs the Qt build\n");
    return 2;
#endif
}

int serve(LaunchOptions o, int argc, char** argv);

#ifdef TARVELLO_HAVE_X11
// The set-up window's Display row: the desktop the last session showed (or start-up chose),
// and why it is not the user's own when it is the private one.
DesktopShown desktopShownNow() {
    const DisplayResolution d = currentDisplay();
    DesktopShown shown;
    switch (d.kind) {
        case DesktopKind::gnomeWayland: shown.title = "Your GNOME desktop"; break;
        case DesktopKind::x11Session: shown.title = "Your X11 desktop"; break;
        case DesktopKind::privateDesktop: shown.title = "A private desktop"; break;
    }
    const auto open = d.logLine.find(" (");
    if (d.kind == DesktopKind::privateDesktop && open != std::string::npos && d.logLine.back() == ')')
        shown.reason = d.logLine.substr(open + 2, d.logLine.size() - open - 3);
    return shown;
}
#endif

}  // namespace

int main(int argc, char** argv) {
    StopSignals::takeOver();
    const LaunchParse parsed = parseLaunchOptions(std::vector<std::string>(argv, argv + argc));
    if (!parsed.options) {
        std::fprintf(stderr, "tarvello: %s\n", parsed.error.c_str());
        return 2;
    }
    const LaunchOptions& o = *parsed.options;
    using Command = LaunchOptions::Command;
    auto useSettings = [&] {
        Settings::useStore(std::make_shared<JsonFileStore>(defaultSettingsPath(o.configDir)));
    };
    switch (o.command) {
        case Command::help: std::fputs(kUsage, stdout); return 0;
        case Command::version: std::fputs(versionText().c_str(), stdout); return 0;
        case Command::installCamera: useSettings(); return installCamera();
        case Command::uninstallCamera: useSettings(); return uninstallCamera();
        case Command::timeProbe: return timeProbe(o.motion);
        case Command::screenshots: return screenshots(argc, argv, o.screenshotDir);
        case Command::installAudio:
        case Command::serve: break;
    }
    return serve(o, argc, argv);
}

namespace {

// The one place the program is put together: settings, platform, server, tray or
// headless loop, and what a launch repairs.
int serve(LaunchOptions o, [[maybe_unused]] int argc, [[maybe_unused]] char** argv) {
    bool headless = o.headless;
    std::string platformName = o.platformName;
    ServerOptions options = o.server;
    const bool newCode = o.newCode;
    const auto& configDir = o.configDir;

    if (!headless) {
#ifdef TARVELLO_HAVE_QT
        const char* x = std::getenv("DISPLAY");
        const char* wayland = std::getenv("WAYLAND_DISPLAY");
        if ((!x || !*x) && (!wayland || !*wayland)) {
            log("No graphical session: serving without the tray (--headless)");
            headless = true;
        }
#else
        log("This build has no tray application (Qt 6 was not found): serving without it (--headless)");
        headless = true;
#endif
    }

    // Lines logged from here on also reach the menu's log.
    setLineBufferedStdout();
    installServerStateLogSink();
    // Stalls are logged in every build; a service watchdog can ask the same watch.
    setStallReporter([](const std::string& label, double seconds) {
        char text[32];
        std::snprintf(text, sizeof text, "%.1f", seconds);
        log("Queue " + label + " is stalled: one task has run for " + text + " s");
    });
    StallWatch stallWatch;
    stallWatch.start();
    ServiceWatch service([&stallWatch] { return !stallWatch.anyStalled(); });
    service.start();

    std::optional<std::string> screenUnavailable;
    if (platformName.empty()) {
        platformName = linuxPlatformAvailable() ? "linux" : "sim";
        if (platformName == "sim") {
            screenUnavailable = "Xvfb is not installed (Debian package xvfb): the phone gets a test picture";
            log("Xvfb not found: serving the in-memory test display (--platform sim)");
        }
    }
    if (o.command == LaunchOptions::Command::installAudio) {
        // The sound server is the user's own: no session, display or settings needed.
        const bool installed = installAudio(*makeSystemAudio());
        if (installed) log("Audio devices installed: Tarvello Speakers and Tarvello Microphone");
        return installed ? 0 : 1;
    }

    // Before the platform: which desktop it serves is a setting.
    Settings::useStore(std::make_shared<JsonFileStore>(defaultSettingsPath(configDir)));
    if (newCode) Settings::shared().newToken();

    std::string error;
    auto platform = makePlatform(platformName, error);
    if (!platform) {
        std::fprintf(stderr, "tarvello: %s\n", error.c_str());
        return 2;
    }

    // Trackpad and dock preferences live beside the settings, so --config-dir isolates both.
    if (auto dir = defaultPreferenceDomainsDirectory(configDir))
        platform->preferences = std::make_shared<JsonFilePreferenceDomains>(*dir);
    else
        platform->preferences = std::make_shared<MemoryPreferenceDomains>();

    const auto audio = platform->audio;
    StageManager::Environment stageEnv;
    stageEnv.processes = platform->processes;
    stageEnv.preferences = platform->preferences;
    stageEnv.dockAvailable = platform->dock != nullptr;
    stageEnv.shortcutsDirectory = shippedShortcutsDirectory();
    stageEnv.openFile = [](const std::filesystem::path& file) { openWithDesktop(file.string()); };
    auto stageManager = StageManager::create(std::move(stageEnv));
    options.sessionDesktop = stageManager;
    options.statusObserver = serverStateObserver();
    const auto host = platform->host;

    auto server = Server::create(std::move(*platform), options);
    // The session's bridge activates the camera too: the extension serves one connection,
    // and a second bridge would take the picture away from the session.
    auto cameraBridge = server->camera();
    auto camera = std::make_shared<BridgeCameraActivation>(cameraBridge);
    // Nothing served and nothing repaired: ends what creating the parts started.
    auto abandon = [&] {
        mainQueue().quit();  // nothing serves it: stopping must not wait for it
        server->stop();
        cameraBridge->shutdown();
    };
    // Repairs what a run that ended without restoring left behind. Only the copy that
    // holds the ports may do this: a second copy must not undo the first one's session.
    auto launchRepairs = [&] {
        AudioBridge::restoreDefaultDevices(*audio);
        if (platformName == "linux") repairDisplayLayout();
        stageManager->restoreDockAtLaunch();
        camera->activateIfNeeded();
    };

    // The running copy reads the settings file afresh at each hello, so a new code
    // written here is the one it asks for next.
    if (newCode && !server->open()) {
        std::printf("Code: %s\nTarvello is already running: it uses this code from the next connection\n",
                    Settings::shared().token().c_str());
        abandon();
        return 0;
    }

#ifdef TARVELLO_HAVE_QT
    if (!headless) {
        TrayOptions tray;
        tray.instanceName = "tarvello-" + std::to_string(getuid()) + "-" +
                            std::to_string(std::hash<std::string>{}(defaultSettingsPath(configDir).string()));
        tray.start = [&]() -> std::optional<TrayServices> {
            if (!server->open()) {
                log("Could not open the listening ports; is another copy running?");
                return std::nullopt;
            }
            service.ready();
            launchRepairs();
            if (!server->start()) return std::nullopt;
            LinuxSetupParts parts;
            parts.host = host;
            parts.audio = audio;
            parts.stageManager = stageManager;
            parts.camera = camera;
            parts.screenUnavailable = screenUnavailable;
#ifdef TARVELLO_HAVE_X11
            if (platformName == "linux") parts.desktop = desktopShownNow;
#endif
            parts.args = o.loginArguments;
            parts.quit = &quitTrayApplication;
            return TrayServices{server, stageManager, makeLinuxSetupSystem(std::move(parts))};
        };
        tray.stop = [&] {
            service.stopping();
            server->stop();
            stageManager->flush();
            AudioBridge::restoreDefaultDevices(*audio);
        };
        StopSignals::onStop(&quitTrayApplication);
        const int status = runTrayApplication(argc, argv, std::move(tray));
        // Nobody serves the main queue any more: stopping must not wait for it.
        mainQueue().quit();
        server->stop();
        cameraBridge->shutdown();
        stallWatch.stop();
        return status;
    }
#endif
    if (!server->open()) {
        log("Could not open the listening ports; is another copy running?");
        abandon();
        return 1;
    }
    service.ready();
    StopSignals::onStop([] { mainQueue().quit(); });
    launchRepairs();
    if (!server->start()) {
        abandon();
        return 1;
    }

    mainQueue().run();
    service.stopping();
    server->stop();
    stageManager->flush();
    cameraBridge->shutdown();
    AudioBridge::restoreDefaultDevices(*audio);
    stallWatch.stop();
    return 0;
}

}  // namespace
