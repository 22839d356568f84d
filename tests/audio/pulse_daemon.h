#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/child_process.h"
#include "support/eventually.h"

namespace tarvello::test {

// A PulseAudio daemon of the test's own: private runtime, home and configuration
// directories under a temporary directory, no default script, an explicit module list
// (the native protocol on a private socket, a "user_speakers" null sink and a
// "user_mic" null source, made the defaults), killed and removed on teardown.
class PulseDaemon {
public:
    static bool available() { return !findOnPath("pulseaudio").empty(); }

    PulseDaemon() {
        char dir[] = "/tmp/tarvello-pulse-XXXXXX";
        if (!mkdtemp(dir)) return;
        root = dir;
        runtime = root / "run";
        home = root / "home";
        config = root / "config";
        for (const auto& d : {runtime, home, config}) std::filesystem::create_directories(d);
        systemScript = root / "system.pa";
        std::ofstream(systemScript) << "load-module module-native-protocol-unix socket=" << socket().string()
                                    << " auth-anonymous=1\n"
                                    << "load-module module-null-sink sink_name=user_speakers\n"
                                    << "load-module module-null-source source_name=user_mic\n"
                                    << "set-default-sink user_speakers\n"
                                    << "set-default-source user_mic\n";
    }

    ~PulseDaemon() {
        stop();
        if (!root.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(root, ec);
        }
    }

    PulseDaemon(const PulseDaemon&) = delete;
    PulseDaemon& operator=(const PulseDaemon&) = delete;

    // Starts the daemon on `script` (default: the system script above) and waits, bounded,
    // until its socket accepts connections.
    bool start(std::optional<std::filesystem::path> script = std::nullopt) {
        if (root.empty() || pid_ > 0) return false;
        std::error_code ec;
        std::filesystem::remove(socket(), ec);
        ChildSpec spec;
        spec.path = findOnPath("pulseaudio");
        spec.args = {"pulseaudio",
                     "--daemonize=no",
                     "--exit-idle-time=-1",
                     "-n",
                     "--use-pid-file=no",
                     "--realtime=no",
                     "--high-priority=no",
                     "--log-target=stderr",
                     "--log-level=warning",
                     "-F",
                     (script ? *script : systemScript).string()};
        spec.env = environmentWith(env(), {"PULSE_SERVER", "DBUS_SESSION_BUS_ADDRESS", "DISPLAY"});
        spec.deathSignal = SIGKILL;
        spec.outputPath = (root / "pulseaudio.log").string();
        std::string error;
        pid_ = spawnChild(spec, error);
        if (pid_ <= 0) return false;
        for (int i = 0; i < 400; ++i) {
            if (connectable()) return true;
            if (childExited(pid_)) {
                pid_ = -1;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        return false;
    }

    void stop() {
        endChild(pid_, SIGTERM, 5.0, false);
        pid_ = -1;
    }

    std::filesystem::path socket() const { return runtime / "native"; }
    std::string server() const { return "unix:" + socket().string(); }
    std::string log() const {
        std::ifstream in(root / "pulseaudio.log");
        return {std::istreambuf_iterator<char>(in), {}};
    }

    // The variables that point a client (or the daemon) at this daemon's private files.
    std::vector<std::string> env() const {
        return {"HOME=" + home.string(), "XDG_RUNTIME_DIR=" + runtime.string(),
                "PULSE_RUNTIME_PATH=" + runtime.string(), "XDG_CONFIG_HOME=" + config.string(),
                "PULSE_STATE_PATH=" + (root / "state").string()};
    }
    std::vector<std::string> clientEnv() const {
        auto e = env();
        e.push_back("PULSE_SERVER=" + server());
        return e;
    }

    // Starts a PulseAudio tool (pacat, parec, pactl) against this daemon; its standard
    // output goes to `output`.
    pid_t spawnTool(const std::string& tool, std::vector<std::string> args,
                    const std::filesystem::path& output) {
        ChildSpec spec;
        spec.path = findOnPath(tool);
        args.insert(args.begin(), tool);
        spec.args = std::move(args);
        spec.env = environmentWith(clientEnv(), {"DBUS_SESSION_BUS_ADDRESS", "DISPLAY"});
        spec.deathSignal = SIGKILL;
        spec.outputPath = output.string();
        std::string error;
        return spawnChild(spec, error);
    }

    std::filesystem::path root, runtime, home, config, systemScript;

private:
    bool connectable() const {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        const auto path = socket().string();
        if (path.size() >= sizeof(addr.sun_path)) {
            ::close(fd);
            return false;
        }
        std::copy(path.begin(), path.end(), addr.sun_path);
        const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
        ::close(fd);
        return ok;
    }

    pid_t pid_ = -1;
};

// Points this process's sound-server clients at a daemon for the guard's life.
class ClientEnvironment {
public:
    explicit ClientEnvironment(const std::vector<std::string>& vars) {
        for (const auto& kv : vars) {
            const auto eq = kv.find('=');
            const std::string key = kv.substr(0, eq);
            const char* old = std::getenv(key.c_str());
            saved_[key] = old ? std::optional<std::string>(old) : std::nullopt;
            ::setenv(key.c_str(), kv.substr(eq + 1).c_str(), 1);
        }
    }
    ~ClientEnvironment() {
        for (const auto& [key, value] : saved_) {
            if (value)
                ::setenv(key.c_str(), value->c_str(), 1);
            else
                ::unsetenv(key.c_str());
        }
    }
    ClientEnvironment(const ClientEnvironment&) = delete;
    ClientEnvironment& operator=(const ClientEnvironment&) = delete;

private:
    std::map<std::string, std::optional<std::string>> saved_;
};

}  // namespace tarvello::test
