#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "server/server.h"

namespace tarvello {

// What one start of the program was asked to do, from its arguments.
struct LaunchOptions {
    enum class Command {
        serve,
        help,
        version,
        installAudio,
        installCamera,
        uninstallCamera,
        timeProbe,
        screenshots,
    };
    Command command = Command::serve;
    std::string platformName;  // empty: linux where it can run, else sim
    std::optional<std::filesystem::path> configDir;
    ServerOptions server;  // ports, bind address, stage times
    bool newCode = false;
    bool headless = false;
    bool motion = false;  // with the time probe
    std::string screenshotDir;
    // The arguments a later start at login repeats: all but --new-code, which must not
    // replace the pairing code at every login.
    std::vector<std::string> loginArguments;
};

struct LaunchParse {
    std::optional<LaunchOptions> options;
    std::string error;  // when there are no options: what to tell the user (exit status 2)
};

// Reads the command line (argv[0] is the program). The camera's install and removal
// take precedence over everything else on the line, as they run alone.
LaunchParse parseLaunchOptions(const std::vector<std::string>& args);

extern const char* const kUsage;

}  // namespace tarvello
