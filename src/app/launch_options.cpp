#include "app/launch_options.h"

#include <charconv>

namespace tarvello {

const char* const kUsage = R"(Usage: tarvello [options]

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
  --tailnet-only        Serve only phones connecting over Tailscale, which encrypts
                        the traffic, and listen only on this computer's Tailscale
                        addresses once it has any. On for this run whatever the
                        "Only over Tailscale" switch says.
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

namespace {

bool parsePort(const std::string& text, uint16_t& out) {
    unsigned v = 0;
    auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || p != text.data() + text.size() || text.empty() || v > 65535) return false;
    out = static_cast<uint16_t>(v);
    return true;
}

LaunchParse failure(std::string why) {
    return {std::nullopt, std::move(why)};
}

}  // namespace

LaunchParse parseLaunchOptions(const std::vector<std::string>& args) {
    LaunchOptions o;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] != "--new-code") o.loginArguments.push_back(args[i]);
    }
    // The camera commands run alone: only the settings folder matters to them.
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--install-camera" || args[i] == "--uninstall-camera") {
            o.command = args[i] == "--install-camera" ? LaunchOptions::Command::installCamera
                                                      : LaunchOptions::Command::uninstallCamera;
            for (size_t j = 1; j + 1 < args.size(); ++j) {
                if (args[j] == "--config-dir") o.configDir = args[j + 1];
            }
            return {o, {}};
        }
    }
    bool timeProbe = false;
    bool installAudio = false;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        std::optional<std::string> missing;
        auto value = [&](const char* name) -> std::string {
            if (i + 1 >= args.size()) {
                missing = std::string(name) + " needs a value";
                return {};
            }
            return args[++i];
        };
        if (a == "--help" || a == "-h") {
            o.command = LaunchOptions::Command::help;
            return {o, {}};
        } else if (a == "--version") {
            o.command = LaunchOptions::Command::version;
            return {o, {}};
        } else if (a == "--headless") {
            o.headless = true;
        } else if (a == "--screenshots") {
            o.screenshotDir = value("--screenshots");
        } else if (a == "--platform") {
            o.platformName = value("--platform");
        } else if (a == "--config-dir") {
            o.configDir = value("--config-dir");
        } else if (a == "--control-port" || a == "--video-port") {
            const std::string text = value(a.c_str());
            uint16_t& port = a == "--control-port" ? o.server.controlPort : o.server.videoPort;
            if (!missing && !parsePort(text, port)) return failure(a + " takes a number from 0 to 65535");
        } else if (a == "--bind") {
            o.server.bindAddress = value("--bind");
        } else if (a == "--tailnet-only") {
            o.server.forceTailnetOnly = true;
        } else if (a == "--new-code") {
            o.newCode = true;
        } else if (a == "--install-audio") {
            installAudio = true;
        } else if (a == "--stage-times") {
            o.server.stageReportInterval = 5.0;
        } else if (a == "--time-probe") {
            timeProbe = true;
        } else if (a == "--motion") {
            o.motion = true;
        } else {
            return failure("unknown option " + a + " (see --help)");
        }
        if (missing) return failure(*missing);
    }
    if (o.motion && !timeProbe) return failure("--motion goes with --time-probe");
    if (timeProbe)
        o.command = LaunchOptions::Command::timeProbe;
    else if (!o.screenshotDir.empty())
        o.command = LaunchOptions::Command::screenshots;
    else if (installAudio)
        o.command = LaunchOptions::Command::installAudio;
    return {o, {}};
}

}  // namespace tarvello
