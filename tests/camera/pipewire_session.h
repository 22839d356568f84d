#pragma once

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "base/child_process.h"

namespace tarvello::test {

// A private media session: a session D-Bus, PipeWire and WirePlumber with their
// runtime, state and configuration directories under a temporary directory. Started
// and ended by the test; the camera extension and readers started through it see
// only this session.
class PipeWireSession {
public:
    static bool available() {
        return !findOnPath("pipewire").empty() && !findOnPath("wireplumber").empty() &&
               !findOnPath("dbus-daemon").empty() && !findOnPath("pw-cli").empty();
    }
    static bool gstreamerAvailable() { return !findOnPath("gst-launch-1.0").empty(); }

    PipeWireSession() {
        char dir[] = "/tmp/tarvello-pw-XXXXXX";
        if (!mkdtemp(dir)) return;
        root = dir;
        runtime = root / "run";
        std::filesystem::create_directories(runtime);
        std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
        for (const char* d : {"home", "config", "state", "data"})
            std::filesystem::create_directories(root / d);
    }

    ~PipeWireSession() {
        stopProcesses();
        if (!root.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(root, ec);
        }
    }

    PipeWireSession(const PipeWireSession&) = delete;
    PipeWireSession& operator=(const PipeWireSession&) = delete;

    bool start() {
        if (root.empty()) return false;
        dbus_ = spawn("dbus-daemon",
                      {"--config-file=/usr/share/dbus-1/session.conf", "--nofork", "--nopidfile",
                       "--address=unix:path=" + (root / "bus").string()},
                      "dbus.log");
        if (!waitForSocket(root / "bus")) return false;
        if (!startPipeWire()) return false;
        wireplumber_ = spawn("wireplumber", {}, "wireplumber.log");
        // WirePlumber is ready for the tests once its client shows in PipeWire.
        return waitFor([&] {
            return run("pw-cli", {"ls", "Client"}).find("\"WirePlumber\"") != std::string::npos;
        });
    }

    bool startPipeWire() {
        pipewire_ = spawn("pipewire", {}, "pipewire.log");
        return waitForSocket(runtime / "pipewire-0");
    }
    void stopPipeWire() {
        endChild(pipewire_, SIGTERM, 3.0, false);
        pipewire_ = -1;
        std::error_code ec;
        std::filesystem::remove(runtime / "pipewire-0", ec);
    }

    std::vector<std::string> env() const {
        return {"HOME=" + (root / "home").string(),
                "XDG_RUNTIME_DIR=" + runtime.string(),
                "PIPEWIRE_RUNTIME_DIR=" + runtime.string(),
                "XDG_CONFIG_HOME=" + (root / "config").string(),
                "XDG_STATE_HOME=" + (root / "state").string(),
                "XDG_DATA_HOME=" + (root / "data").string(),
                "DBUS_SESSION_BUS_ADDRESS=unix:path=" + (root / "bus").string(),
                "TARVELLO_CAMERA_NO_JOURNAL=1",
                "GST_REGISTRY=" + (root / "gst-registry.bin").string()};
    }
    std::vector<std::string> removedEnv() const {
        return {"PIPEWIRE_REMOTE", "DISPLAY", "WAYLAND_DISPLAY", "PULSE_SERVER", "JOURNAL_STREAM"};
    }

    // Starts a program in this session; output and errors go to `log` under the root.
    pid_t spawn(const std::string& program, std::vector<std::string> args, const std::string& log) const {
        ChildSpec spec;
        spec.path = program.front() == '/' ? program : findOnPath(program);
        spec.args = {spec.path};
        spec.args.insert(spec.args.end(), args.begin(), args.end());
        spec.env = environmentWith(env(), removedEnv());
        spec.deathSignal = SIGKILL;
        spec.outputPath = (root / log).string();
        std::string error;
        return spawnChild(spec, error);
    }

    // Runs a tool of the session to its end (bounded by `timeout`) and returns its output.
    std::string run(const std::string& tool, std::vector<std::string> args, double timeout = 5.0) const {
        const auto out = root / ("run-" + std::to_string(runs_++) + ".log");
        std::vector<std::string> all{std::to_string(timeout), findOnPath(tool)};
        all.insert(all.end(), args.begin(), args.end());
        ChildSpec spec;
        spec.path = findOnPath("timeout");
        spec.args = {spec.path};
        spec.args.insert(spec.args.end(), all.begin(), all.end());
        spec.env = environmentWith(env(), removedEnv());
        spec.deathSignal = SIGKILL;
        spec.outputPath = out.string();
        std::string error;
        const pid_t pid = spawnChild(spec, error);
        if (pid <= 0) return {};
        waitFor([&] { return childExited(pid); }, timeout + 2);
        endChild(pid, SIGKILL, 0, false);
        std::ifstream in(out);
        return {std::istreambuf_iterator<char>(in), {}};
    }

    std::string log(const std::string& name) const {
        std::ifstream in(root / name);
        return {std::istreambuf_iterator<char>(in), {}};
    }

    template <class Pred>
    static bool waitFor(Pred pred, double seconds = 10.0) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (!pred()) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }

    std::filesystem::path root;
    std::filesystem::path runtime;

private:
    static bool connectable(const std::filesystem::path& path) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        close(fd);
        return ok;
    }
    static bool waitForSocket(const std::filesystem::path& path) {
        return waitFor([&] { return connectable(path); });
    }
    void stopProcesses() {
        endChild(wireplumber_, SIGTERM, 3.0, false);
        stopPipeWire();
        endChild(dbus_, SIGTERM, 3.0, false);
        wireplumber_ = dbus_ = -1;
    }

    pid_t dbus_ = -1, pipewire_ = -1, wireplumber_ = -1;
    mutable int runs_ = 0;
};

}  // namespace tarvello::test
