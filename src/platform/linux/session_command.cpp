#include "platform/linux/session_command.h"

#include "base/child_process.h"

namespace tarvello {

std::string resolveSessionCommand(const std::optional<std::string>& setting) {
    if (setting) return *setting;
    for (const char* program : kDefaultSessionPrograms) {
        if (auto path = findOnPath(program); !path.empty()) return path;
    }
    return {};
}

pid_t startSessionCommand(const std::string& command, const std::string& displayName,
                          const std::string& authorityFile, const std::string& logPath, std::string& error,
                          const std::vector<std::string>& sessionEnvironment) {
    ChildSpec spec;
    spec.path = "/bin/sh";
    spec.args = {"sh", "-c", command};
    // The display is twice as dense as a usual screen: GTK scales by whole numbers and
    // would otherwise also enlarge its fonts by the resource database's Xft.dpi.
    std::vector<std::string> env = {"DISPLAY=" + displayName, "XAUTHORITY=" + authorityFile,
                                    "XDG_SESSION_TYPE=x11", "GDK_SCALE=2", "GDK_DPI_SCALE=0.5"};
    env.insert(env.end(), sessionEnvironment.begin(), sessionEnvironment.end());
    // NO_AT_BRIDGE would keep GTK applications out of the accessibility tree.
    spec.env = environmentWith(env, {"WAYLAND_DISPLAY", "NO_AT_BRIDGE"});
    spec.deathSignal = SIGTERM;
    spec.ownProcessGroup = true;
    spec.outputPath = logPath;
    return spawnChild(spec, error);
}

}  // namespace tarvello
