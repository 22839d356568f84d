#pragma once

#include <sys/types.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dispatch/serial_queue.h"
#include "platform/processes.h"
#include "platform/session_services.h"

namespace tarvello {

// The camera as the tarvello-camera extension publishes it: a PipeWire camera fed
// through a local socket. The socket is both the camera-in-use value (the status
// byte the extension sends on connect and on every change) and the sink (pictures
// written one at a time; the sink has room while no picture is being written).
//
// Activation installs, enables and starts a systemd user unit where a user manager
// runs; elsewhere it starts the extension as a child and restarts it when it exits.
//
// Socket I/O runs on the facility's own queue; requests on a second one, as they
// wait for systemctl. The facility lives for the process; a child it started ends
// with it, unless it was started to outlive it (childOutlivesUs).
class LinuxCamera final : public CameraFacility {
public:
    struct Options {
        // Default: $XDG_RUNTIME_DIR/tarvello-camera.sock; without a private runtime
        // directory there is no camera (never a shared directory such as /tmp).
        std::string socketPath;
        std::string extensionPath;  // default: tarvello-camera beside this program, else on PATH
        // Where a systemd user manager is looked for and its units written; empty for the defaults.
        std::optional<bool> useSystemd;              // default: when the user manager's socket exists
        std::filesystem::path unitDirectory;         // default: $XDG_CONFIG_HOME/systemd/user
        std::shared_ptr<ProcessFacility> processes;  // runs systemctl; default: LinuxProcesses
        std::string systemctlPath;                   // default: systemctl on PATH
        std::vector<std::string> childEnvironment;   // added to a self-started child's environment
        double restartDelay = 1.0;                   // before a self-started child is restarted
        // For a one-shot command: the self-started extension leads a session of its own and
        // keeps running when this process ends; it is neither supervised nor stopped here.
        bool childOutlivesUs = false;
        std::string pwCliPath;  // asks PipeWire for the camera's node; default: pw-cli on PATH
    };

    static constexpr const char* kUnitName = "tarvello-camera.service";

    LinuxCamera() : LinuxCamera(Options{}) {}
    explicit LinuxCamera(Options options);
    ~LinuxCamera() override;

    bool findDevice() override;
    CameraUse readUse() override;
    bool openSink(std::string& error) override;
    void closeSink() override;
    bool sinkHasRoom() override;
    void pushPicture(std::shared_ptr<const VideoFrame> picture) override;
    void submitRequest(bool activate, std::function<void(std::optional<std::string> error)> done) override;

    // Waits up to `seconds` until the extension serves its socket and PipeWire lists
    // the "Tarvello Camera" node; nothing then, else why applications cannot see it.
    // Blocks: never on the camera queue.
    std::optional<std::string> waitUntilAvailable(double seconds);

    const std::string& socketPath() const { return options_.socketPath; }
    std::filesystem::path unitPath() const { return options_.unitDirectory / kUnitName; }
    // The self-started child's pid, 0 when none runs.
    pid_t childPid() const { return childPid_.load(); }

private:
    struct Connection;

    bool ensureConnected();                      // on io_
    void readStatus();                           // on io_
    void disconnect();                           // on io_
    std::optional<std::string> activateNow();    // on requests_
    std::optional<std::string> deactivateNow();  // on requests_
    std::string unitText() const;
    std::optional<std::string> systemctl(const std::vector<std::string>& args);
    std::optional<std::string> startChild();            // on requests_
    void superviseChild();                              // on requests_
    void stopChild();                                   // on requests_
    std::optional<std::string> stopServingExtension();  // on requests_
    // Whether PipeWire lists the node; nothing when PipeWire could not be asked.
    std::optional<bool> nodeListed();

    Options options_;
    std::string noSocketReason_;  // why socketPath is empty
    SerialQueue io_{"tarvello.camera.input"};
    SerialQueue requests_{"tarvello.camera.requests"};
    std::shared_ptr<Connection> connection_;  // on io_
    std::atomic<bool> connected_{false};
    std::atomic<int> status_{-1};  // the last status byte, -1 before one came
    std::atomic<bool> sinkOpen_{false};
    std::atomic<bool> writing_{false};
    uint32_t sequence_ = 0;  // on io_

    std::atomic<pid_t> childPid_{0};
    bool childWanted_ = false;  // on requests_
    double restartWait_ = 1.0;  // on requests_
    double childStarted_ = 0;   // on requests_
    double nextStart_ = 0;      // on requests_
    TimerHandle supervisor_;
};

}  // namespace tarvello
