#pragma once

#include <sys/types.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace tarvello {

namespace SettingsKey {
// Text: the command line started on the session display (Linux). Unset: the first of
// kDefaultSessionPrograms on PATH; empty text: nothing, an empty desktop.
inline constexpr const char* sessionCommand = "sessionCommand";
}  // namespace SettingsKey

inline constexpr std::array<const char*, 3> kDefaultSessionPrograms{"x-session-manager", "x-window-manager",
                                                                    "xterm"};

// What to start for a stored setting: the setting itself when present, else the path of
// the first default program found. Empty: nothing to start.
std::string resolveSessionCommand(const std::optional<std::string>& setting);

// Starts `command` through /bin/sh on X display `displayName`, in a process group of its
// own so its descendants end with it (endChild with group = true). Its output goes to
// `logPath`. `sessionEnvironment` ("KEY=value": the session bus, accessibility) is added
// to its environment. Returns the pid, or -1 with the reason.
pid_t startSessionCommand(const std::string& command, const std::string& displayName,
                          const std::string& authorityFile, const std::string& logPath, std::string& error,
                          const std::vector<std::string>& sessionEnvironment = {});

}  // namespace tarvello
