#pragma once

#include <sys/types.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace tarvello {

namespace SettingsKey {
// Text: the command line started on the session display (Linux). Unset: the default
// session (resolveSessionCommand); empty text: nothing, an empty desktop.
inline constexpr const char* sessionCommand = "sessionCommand";
}  // namespace SettingsKey

// Window managers in the order the default session prefers them: the first keeps one
// window at a time filling the screen, which suits a small portrait screen.
inline constexpr std::array<const char*, 2> kDefaultWindowManagers{"matchbox-window-manager",
                                                                   "x-window-manager"};
inline constexpr std::array<const char*, 2> kDefaultTerminals{"xterm", "x-terminal-emulator"};

// What to start for a stored setting: the setting itself when present. Else a terminal
// under the first window manager found (the session lasts as long as the window
// manager), else x-session-manager, else the terminal alone. Empty: nothing to start.
std::string resolveSessionCommand(const std::optional<std::string>& setting);

// The environment that makes GTK and Qt draw at `scale` pixels per point on a display
// whose resource database says 96 × scale dots per inch ("KEY=value").
std::vector<std::string> toolkitScaleEnvironment(double scale);

// Starts `command` through /bin/sh on X display `displayName`, in a process group of its
// own so its descendants end with it (endChild with group = true). Its output goes to
// `logPath`. `sessionEnvironment` ("KEY=value": the session bus, accessibility) is added
// to its environment. Returns the pid, or -1 with the reason.
pid_t startSessionCommand(const std::string& command, const std::string& displayName,
                          const std::string& authorityFile, const std::string& logPath, std::string& error,
                          const std::vector<std::string>& sessionEnvironment = {});

}  // namespace tarvello
