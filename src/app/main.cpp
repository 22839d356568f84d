#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "app/build_info.h"
#include "app/log.h"
#include "app/permissions.h"
#include "app/server_state.h"
#include "app/service_notify.h"
#include "app/settings.h"
#include "app/settings_store.h"
#include "app/stage_manager.h"
#include "audio/audio_bridge.h"
#include "audio/audio_install.h"
#include "camera/camera_bridge.h"
#include "dispatch/serial_queue.h"
#include "dispatch/stall_watch.h"
#include "platform/platform.h"
#ifdef TARVELLO_HAVE_X11
#include "platform/linux/linux_camera.h"
#include "platform/linux/time_probe.h"
#endif
#include "server/server.h"
#ifdef TARVELLO_HAVE_QT
#include "ui/tray.h"
#endif

using namespace tarvello;

namespace {

const char* kUsage = R"(Usage: tarvello [options]

Serves one phone as this computer's screen, keyboard and trackpad: a control channel
on TCP, video and media on UDP. The log goes to standard output; the first lines show
the pairing code to type on the phone.

Options:
  --headless            Run the server only, without the tray icon and windows (also
                        when there is no graphical session or the build has no Qt).
  --platform NAME       Back-end set: "linux" (the display setting chooses: your
                        GNOME desktop, or a private Xvfb display running the
                        sessionCommand setting) or "sim" (in-memory display with a moving
                        test picture, recorded input; runs anywhere). Default: linux
                        when Xvfb is installed, else sim.
  --config-dir DIR      Keep settings in DIR/settings.json instead of
                        $XDG_CONFIG_HOME/tarvello/settings.json.
  --control-port PORT   TCP port of the control channel (default 47800; 0 = any free).
  --video-port PORT     UDP port of the video channel (default 47801; 0 = any free).
  --bind ADDRESS        Listen on one address only (default: every interface).
  --new-code            Replace the pairing code before starting.
  --install-audio       Create the virtual speaker and microphone devices in the
                        running sound server and for its later starts, then exit
                        (status 0 when they exist).
  --install-camera      Install and start the camera extension (tarvello-camera), as the
                        set-up window's Install button does, then exit (status 0 once
                        applications can use "Tarvello Camera"). For machines served
                        with --headless; running it again changes nothing.
  --uninstall-camera    Stop and remove the camera extension (tarvello-camera), then
                        exit (status 0 when it is removed).
  --stage-times         Log every 5 s of frames how long each stage of the video path
                        took (capture, convert, encode, send; p50/p95 in ms).
  --time-probe          Instead of serving: draw the monotonic time (milliseconds) as a
                        pattern across the top of $DISPLAY until stopped, for measuring
                        glass-to-glass latency. Meant as the sessionCommand setting.
  --motion              With --time-probe: also scroll a page across the rest of the
                        screen, so every frame changes everywhere.
  --screenshots DIR     Instead of serving: draw the menu and the set-up window with
                        sample state into DIR/menu.png and DIR/onboarding.png.
  --version             Show the version and the back-ends this build has.
  --help                Show this text.
)";

// Where the launch puts the shortcut files it offers for import, beside the program.
std::filesystem::path shippedShortcutsDirectory() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return {};
    return exe.parent_path().parent_path() / "share" / "tarvello" / "shortcuts";
}

bool parsePort(const char* text, uint16_t& out) {
    unsigned v = 0;
    auto [p, ec] = std::from_chars(text, text + std::strlen(text), v);
    if (ec != std::errc() || *p != '\0' || v > 65535) return false;
    out = static_cast<uint16_t>(v);
    return true;
}

// SIGINT, SIGTERM and SIGHUP are taken by one thread with sigwait. Until the serving
// path says how to stop, a signal ends the process as it would by default; the first
// signal after that runs the stop, and a second one during the stop exits at once.
class StopSignals {
public:
    static sigset_t set() {
        sigset_t s;
        sigemptyset(&s);
        sigaddset(&s, SIGINT);
        sigaddset(&s, SIGTERM);
        sigaddset(&s, SIGHUP);
        return s;
    }

    // Before any other thread exists: threads inherit the mask, so only the waiter sees them.
    static void takeOver() {
        const sigset_t s = set();
        pthread_sigmask(SIG_BLOCK, &s, nullptr);
        signal(SIGPIPE, SIG_IGN);
        std::thread(&StopSignals::wait).detach();
    }

    static void onStop(std::function<void()> action) {
        std::lock_guard lock(mutex());
        action_() = std::move(action);
    }

private:
    static std::mutex& mutex() {
        static auto* m = new std::mutex;
        return *m;
    }
    static std::function<void()>& action_() {
        static auto* a = new std::function<void()>;
        return *a;
    }

    static const char* name(int sig) {
        switch (sig) {
            case SIGINT: return "SIGINT";
            case SIGTERM: return "SIGTERM";
            default: return "SIGHUP";
        }
    }

    [[noreturn]] static void exitNow(int sig, const char* why) {
        std::fprintf(stdout, "%s on %s: exiting now\n", why, name(sig));
        std::fflush(stdout);
        _exit(128 + sig);
    }

    static void wait() {
        const sigset_t s = set();
        bool stopping = false;
        for (;;) {
            int sig = 0;
            if (sigwait(&s, &sig) != 0) continue;
            std::function<void()> action;
            {
                std::lock_guard lock(mutex());
                action = action_();
            }
            if (stopping) exitNow(sig, "Already stopping");
            if (!action) exitNow(sig, "Not serving yet");
            stopping = true;
            log(std::string("Stopping on ") + name(sig));
            action();
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    StopSignals::takeOver();

    std::string platformName;
    std::optional<std::filesystem::path> configDir;
    ServerOptions options;
    bool newCode = false;
    bool installAudioOnly = false;
    bool timeProbe = false, motion = false;
    bool headless = false;
    std::optional<std::string> screenshotDir;

    auto useSettingsOfArguments = [&] {
        std::optional<std::filesystem::path> dir;
        for (int j = 1; j + 1 < argc; ++j) {
            if (std::string_view(argv[j]) == "--config-dir") dir = argv[j + 1];
        }
        Settings::useStore(std::make_shared<JsonFileStore>(defaultSettingsPath(dir)));
    };

    // --install-camera: the set-up window's Install for machines without one. It exits once
    // applications can open the camera; the extension it started keeps running after it.
    for (int i = 1; i < argc; ++i) {
        if (std::string_view(argv[i]) != "--install-camera") continue;
#ifdef TARVELLO_HAVE_X11
        useSettingsOfArguments();
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

    // --uninstall-camera: removes the camera extension and exits; nothing else of the launch runs.
    for (int i = 1; i < argc; ++i) {
        if (std::string_view(argv[i]) != "--uninstall-camera") continue;
        useSettingsOfArguments();
        auto bridge = CameraBridge::create(makeSystemCamera());
        std::promise<std::optional<std::string>> outcome;
        bridge->deactivate([&outcome](std::optional<std::string> e) { outcome.set_value(std::move(e)); });
        const std::optional<std::string> failure = outcome.get_future().get();
        bridge->shutdown();
        std::printf("%s\n", failure ? ("Camera removal failed: " + *failure).c_str() : "Camera removed");
        return failure ? 1 : 0;
    }

    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "tarvello: %s needs a value\n", name);
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--version") {
            std::fputs(versionText().c_str(), stdout);
            return 0;
        } else if (a == "--headless") {
            headless = true;
        } else if (a == "--screenshots") {
            screenshotDir = value("--screenshots");
        } else if (a == "--platform") {
            platformName = value("--platform");
        } else if (a == "--config-dir") {
            configDir = value("--config-dir");
        } else if (a == "--control-port") {
            if (!parsePort(value("--control-port"), options.controlPort)) {
                std::fprintf(stderr, "tarvello: --control-port takes a number from 0 to 65535\n");
                return 2;
            }
        } else if (a == "--video-port") {
            if (!parsePort(value("--video-port"), options.videoPort)) {
                std::fprintf(stderr, "tarvello: --video-port takes a number from 0 to 65535\n");
                return 2;
            }
        } else if (a == "--bind") {
            options.bindAddress = value("--bind");
        } else if (a == "--new-code") {
            newCode = true;
        } else if (a == "--install-audio") {
            installAudioOnly = true;
        } else if (a == "--stage-times") {
            options.stageReportInterval = 5.0;
        } else if (a == "--time-probe") {
            timeProbe = true;
        } else if (a == "--motion") {
            motion = true;
        } else {
            std::fprintf(stderr, "tarvello: unknown option %s (see --help)\n", a.c_str());
            return 2;
        }
    }

    if (motion && !timeProbe) {
        std::fprintf(stderr, "tarvello: --motion goes with --time-probe\n");
        return 2;
    }
    if (timeProbe) {
#ifdef TARVELLO_HAVE_X11
        const char* display = std::getenv("DISPLAY");
        return runTimeProbe(display ? display : "", motion);
#else
        std::fprintf(stderr, "tarvello: --time-probe needs the X11 build\n");
        return 2;
#endif
    }

    if (screenshotDir) {
#ifdef TARVELLO_HAVE_QT
        return renderScreenshots(argc, argv, *screenshotDir);
#else
        std::fprintf(stderr, "tarvello: --screenshots needs the Qt build\n");
        return 2;
#endif
    }
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
    if (installAudioOnly) {
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
    options.stageManager = stageManager;
    options.statusObserver = serverStateObserver();
    const auto host = platform->host;

    // Activation only: the server's own bridge carries the session's pictures.
    auto cameraBridge = CameraBridge::create(platformName == "linux" ? makeSystemCamera() : platform->camera);
    auto camera = std::make_shared<BridgeCameraActivation>(cameraBridge);
    auto server = Server::create(std::move(*platform), options);
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
            // A login must not replace the pairing code each time.
            for (int i = 1; i < argc; ++i)
                if (std::string_view(argv[i]) != "--new-code") parts.args.emplace_back(argv[i]);
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
