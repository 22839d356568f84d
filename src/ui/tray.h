#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

// The tray application's entry points, free of Qt so main() builds without it.
namespace tarvello {

class Server;
class StageManager;
class SetupSystem;

struct TrayServices {
    std::shared_ptr<Server> server;
    std::shared_ptr<StageManager> stageManager;
    std::shared_ptr<SetupSystem> setup;
};

struct TrayOptions {
    // A second copy started with the same name hands over to the first and exits.
    std::string instanceName;
    // The launch steps before the windows: audio defaults, Dock repair, camera, server.
    // Nothing when serving could not start (the application then exits with status 1).
    std::function<std::optional<TrayServices>()> start;
    // After the event loop: stops the server and restores the audio defaults. Runs off
    // the main thread while the main queue is still served.
    std::function<void()> stop;
};

// Runs the tray application until "Quit" or quitTrayApplication(). Returns the exit status.
int runTrayApplication(int argc, char** argv, TrayOptions options);

// Asks the running tray application to quit. Any thread.
void quitTrayApplication();

// Renders the menu and the onboarding with sample state, in a light palette to
// DIR/menu.png and DIR/onboarding.png and in a dark one to DIR/menu-dark.png and
// DIR/onboarding-dark.png, and prints the texts each shows. Returns the exit status.
int renderScreenshots(int argc, char** argv, const std::string& dir);

}  // namespace tarvello
