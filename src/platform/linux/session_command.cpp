#include "platform/linux/session_command.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "base/child_process.h"

namespace tarvello {

namespace {

std::string firstOnPath(const auto& programs) {
    for (const char* program : programs) {
        if (auto path = findOnPath(program); !path.empty()) return path;
    }
    return {};
}

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string formatScale(double value) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.4g", value);
    return buf;
}

}  // namespace

std::string resolveSessionCommand(const std::optional<std::string>& setting) {
    if (setting) return *setting;
    const std::string manager = firstOnPath(kDefaultWindowManagers);
    std::string terminal = firstOnPath(kDefaultTerminals);
    // xterm's own bitmap font ignores the density: ask for a scalable one.
    if (!terminal.empty()) {
        terminal = quoted(terminal) + (terminal.ends_with("/xterm") ? " -fa Monospace -fs 10" : "");
    }
    if (!manager.empty()) {
        return terminal.empty() ? quoted(manager) : terminal + " & exec " + quoted(manager);
    }
    if (auto session = findOnPath("x-session-manager"); !session.empty()) return quoted(session);
    return terminal.empty() ? std::string() : "exec " + terminal;
}

std::vector<std::string> toolkitScaleEnvironment(double scale) {
    if (!(scale > 0) || !std::isfinite(scale)) scale = 1;
    // GTK scales widgets by whole numbers only and its fonts by Xft.dpi on top of that:
    // the fonts' own factor undoes the whole number, so text comes out at `scale`.
    const int whole = std::max(1, int(std::floor(scale + 1e-6)));
    // Qt takes the factor as given; its fonts then must not read Xft.dpi as well.
    return {"GDK_SCALE=" + std::to_string(whole), "GDK_DPI_SCALE=" + formatScale(1.0 / whole),
            "QT_SCALE_FACTOR=" + formatScale(scale), "QT_FONT_DPI=96",
            "XCURSOR_SIZE=" + std::to_string(int(std::lround(24 * scale)))};
}

pid_t startSessionCommand(const std::string& command, const std::string& displayName,
                          const std::string& authorityFile, const std::string& logPath, std::string& error,
                          const std::vector<std::string>& sessionEnvironment) {
    ChildSpec spec;
    spec.path = "/bin/sh";
    spec.args = {"sh", "-c", command};
    std::vector<std::string> env = {"DISPLAY=" + displayName, "XAUTHORITY=" + authorityFile,
                                    "XDG_SESSION_TYPE=x11"};
    env.insert(env.end(), sessionEnvironment.begin(), sessionEnvironment.end());
    // NO_AT_BRIDGE would keep GTK applications out of the accessibility tree; this
    // process's own AT_SPI_BUS_ADDRESS would keep some Qt releases' bridge switched off.
    spec.env = environmentWith(env, {"WAYLAND_DISPLAY", "NO_AT_BRIDGE", "AT_SPI_BUS_ADDRESS"});
    spec.deathSignal = SIGTERM;
    spec.ownProcessGroup = true;
    spec.outputPath = logPath;
    return spawnChild(spec, error);
}

}  // namespace tarvello
