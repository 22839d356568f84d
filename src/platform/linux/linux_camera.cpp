#include "platform/linux/linux_camera.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <asio/local/stream_protocol.hpp>
#include <asio/write.hpp>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "base/child_process.h"
#include "base/log.h"
#include "platform/linux/linux_processes.h"
#include "protocol/camera_feed.h"

namespace tarvello {

namespace {

// A child that dies sooner than this after its start is restarted after a longer pause.
constexpr double kQuickExit = 2.0;
constexpr double kMaxRestartDelay = 30.0;
constexpr double kSupervisorInterval = 0.25;

std::string besideThisProgram(const std::string& name) {
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        const auto candidate = self.parent_path() / name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate.string();
    }
    return findOnPath(name);
}

std::filesystem::path defaultUnitDirectory() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config && *config) return std::filesystem::path(config) / "systemd/user";
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home ? home : "/tmp") / ".config/systemd/user";
}

bool userManagerRuns() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || !*runtime) return false;
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::path(runtime) / "systemd/private", ec) &&
           !findOnPath("systemctl").empty();
}

// systemd unit files take paths with spaces only quoted.
std::string unitQuoted(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

}  // namespace

struct LinuxCamera::Connection {
    explicit Connection(asio::io_context& io) : socket(io) {}
    asio::local::stream_protocol::socket socket;
    std::array<uint8_t, 64> status{};
};

LinuxCamera::LinuxCamera(Options options) : options_(std::move(options)) {
    if (options_.socketPath.empty()) {
        std::string why;
        if (auto path = camerafeed::defaultSocketPath(why)) {
            options_.socketPath = *path;
        } else {
            noSocketReason_ = "Camera unavailable: no private runtime directory for its socket (" + why + ")";
            log(noSocketReason_);
        }
    }
    if (options_.extensionPath.empty()) options_.extensionPath = besideThisProgram("tarvello-camera");
    if (options_.unitDirectory.empty()) options_.unitDirectory = defaultUnitDirectory();
    if (!options_.processes) options_.processes = std::make_shared<LinuxProcesses>();
    if (options_.systemctlPath.empty()) options_.systemctlPath = findOnPath("systemctl");
    if (options_.systemctlPath.empty()) options_.systemctlPath = "/usr/bin/systemctl";
    restartWait_ = options_.restartDelay;
}

LinuxCamera::~LinuxCamera() {
    requests_.sync([this] {
        childWanted_ = false;
        stopChild();
    });
    requests_.stop();
    io_.sync([this] { disconnect(); });
    io_.stop();
}

// ---- Device and sink ----

bool LinuxCamera::ensureConnected() {
    if (connection_) return true;
    if (options_.socketPath.empty()) return false;
    auto c = std::make_shared<Connection>(io_.context());
    std::error_code ec;
    c->socket.connect(asio::local::stream_protocol::endpoint(options_.socketPath), ec);
    if (ec) return false;
    connection_ = std::move(c);
    sequence_ = 0;
    connected_ = true;
    readStatus();
    return true;
}

void LinuxCamera::readStatus() {
    auto c = connection_;
    c->socket.async_read_some(asio::buffer(c->status), [this, c](const std::error_code& ec, size_t n) {
        if (c != connection_) return;  // an older connection, already dropped
        if (ec || n == 0) return disconnect();
        // Only the newest value counts; anything but a status byte is ignored.
        for (size_t i = n; i-- > 0;) {
            if (c->status[i] == camerafeed::kInUse || c->status[i] == camerafeed::kNotInUse) {
                status_ = c->status[i];
                break;
            }
        }
        readStatus();
    });
}

void LinuxCamera::disconnect() {
    if (connection_) {
        std::error_code ec;
        connection_->socket.close(ec);
    }
    connection_.reset();
    connected_ = false;
    status_ = -1;
    writing_ = false;
}

bool LinuxCamera::findDevice() {
    bool found = false;
    io_.sync([&] { found = ensureConnected(); });
    return found;
}

CameraUse LinuxCamera::readUse() {
    if (!connected_) findDevice();
    CameraUse use;
    const int s = status_.load();
    if (s >= 0) use.inUse = s == camerafeed::kInUse;
    // The extension streams exactly while the in-use value is "1".
    use.runningSomewhere = s == camerafeed::kInUse;
    return use;
}

bool LinuxCamera::openSink(std::string& error) {
    if (!findDevice()) {
        error = "no extension at " + options_.socketPath;
        return false;
    }
    sinkOpen_ = true;
    return true;
}

void LinuxCamera::closeSink() {
    sinkOpen_ = false;
}

bool LinuxCamera::sinkHasRoom() {
    return sinkOpen_ && connected_ && !writing_;
}

void LinuxCamera::pushPicture(std::shared_ptr<const VideoFrame> picture) {
    if (!picture || picture->width != int(camerafeed::kWidth) ||
        picture->height != int(camerafeed::kHeight) || picture->strideY != picture->strideUV ||
        picture->strideY < picture->width || picture->y.size() < size_t(picture->strideY) * picture->height ||
        picture->uv.size() < size_t(picture->strideUV) * (picture->height / 2)) {
        return;
    }
    if (writing_.exchange(true)) return;  // one picture at a time: the sink was full
    io_.async([this, picture = std::move(picture)] {
        if (!connection_ || !sinkOpen_) {
            writing_ = false;
            return;
        }
        camerafeed::FeedHeader h;
        h.stride = uint32_t(picture->strideY);
        h.sequence = sequence_++;
        auto header =
            std::make_shared<std::array<uint8_t, camerafeed::kHeaderSize>>(camerafeed::encodeHeader(h));
        const std::array<asio::const_buffer, 3> buffers = {
            asio::buffer(*header),
            asio::buffer(picture->y.data(), size_t(picture->strideY) * picture->height),
            asio::buffer(picture->uv.data(), size_t(picture->strideUV) * (picture->height / 2))};
        auto c = connection_;
        asio::async_write(c->socket, buffers, [this, c, header, picture](const std::error_code& ec, size_t) {
            if (c != connection_) return;
            if (ec) return disconnect();
            writing_ = false;
        });
    });
}

// ---- Activation ----

void LinuxCamera::submitRequest(bool activate, std::function<void(std::optional<std::string>)> done) {
    requests_.async([this, activate, done = std::move(done)] {
        auto error = activate ? activateNow() : deactivateNow();
        if (done) done(error);
    });
}

std::optional<std::string> LinuxCamera::systemctl(const std::vector<std::string>& args) {
    std::vector<std::string> all{"--user"};
    all.insert(all.end(), args.begin(), args.end());
    auto result = options_.processes->run(options_.systemctlPath, all);
    std::string command = "systemctl --user";
    for (const auto& a : args) command += " " + a;
    if (!result) return command + " could not be run";
    if (result->exitStatus != 0)
        return command + " failed (status " + std::to_string(result->exitStatus) + ")";
    return std::nullopt;
}

std::optional<std::string> LinuxCamera::activateNow() {
    if (options_.extensionPath.empty() || access(options_.extensionPath.c_str(), X_OK) != 0) {
        return "The camera extension tarvello-camera is not installed" +
               (options_.extensionPath.empty() ? std::string() : " at " + options_.extensionPath);
    }
    if (options_.socketPath.empty()) return noSocketReason_;
    if (!options_.useSystemd.value_or(userManagerRuns())) {
        if (options_.childOutlivesUs) {
            // Whoever serves the socket already (an earlier run, a unit) is kept.
            if (findDevice()) return std::nullopt;
            return startChild();
        }
        childWanted_ = true;
        restartWait_ = options_.restartDelay;
        superviseChild();
        if (childPid_ > 0 || findDevice()) return std::nullopt;
        return startChild();
    }
    const std::string unit = unitText();
    bool changed = true;
    {
        std::ifstream in(unitPath());
        changed = !in || std::string(std::istreambuf_iterator<char>(in), {}) != unit;
    }
    if (changed) {
        std::error_code ec;
        std::filesystem::create_directories(options_.unitDirectory, ec);
        std::ofstream out(unitPath(), std::ios::trunc);
        out << unit;
        if (!out.flush()) return "Cannot write " + unitPath().string();
        if (auto e = systemctl({"daemon-reload"})) return e;
    }
    if (auto e = systemctl({"enable", kUnitName})) return e;
    // A changed unit (another path, a rebuilt extension) replaces the running copy; an
    // unchanged one is only started, so activating again leaves a running camera alone.
    return systemctl({changed ? "restart" : "start", kUnitName});
}

std::string LinuxCamera::unitText() const {
    // The extension's modification time makes a rebuilt copy at the same path a changed unit.
    std::error_code ec;
    const auto built = std::filesystem::last_write_time(options_.extensionPath, ec);
    std::ostringstream unit;
    unit << "[Unit]\n"
         << "Description=Tarvello Camera: the phone's camera as a PipeWire camera\n"
         << "After=pipewire.service\n\n"
         << "[Service]\n"
         << "# extension modified " << (ec ? 0 : built.time_since_epoch().count()) << "\n"
         << "ExecStart=" << unitQuoted(options_.extensionPath) << " --socket "
         << unitQuoted(options_.socketPath) << "\n"
         << "Restart=on-failure\n"
         << "RestartSec=1\n\n"
         << "[Install]\n"
         << "WantedBy=default.target\n";
    return unit.str();
}

std::optional<std::string> LinuxCamera::deactivateNow() {
    childWanted_ = false;
    stopChild();
    const bool systemd = options_.useSystemd.value_or(userManagerRuns());
    std::error_code ec;
    if (std::filesystem::exists(unitPath(), ec)) {
        if (systemd) {
            if (auto e = systemctl({"disable", "--now", kUnitName})) return e;
        }
        if (!std::filesystem::remove(unitPath(), ec) && ec) return "Cannot remove " + unitPath().string();
        if (systemd) {
            if (auto e = systemctl({"daemon-reload"})) return e;
        }
    }
    return stopServingExtension();
}

std::optional<std::string> LinuxCamera::startChild() {
    ChildSpec spec;
    spec.path = options_.extensionPath;
    spec.args = {options_.extensionPath, "--socket", options_.socketPath};
    spec.env = environmentWith(options_.childEnvironment);
    spec.deathSignal = options_.childOutlivesUs ? 0 : SIGTERM;
    // Its own session: no terminal hang-up or group signal meant for us reaches it.
    spec.ownProcessGroup = options_.childOutlivesUs;
    std::string error;
    const pid_t pid = spawnChild(spec, error);
    if (pid <= 0) return "Cannot start " + options_.extensionPath + ": " + error;
    if (options_.childOutlivesUs) return std::nullopt;  // not ours to stop; init reaps it once we exit
    childPid_ = pid;
    childStarted_ = monotonicSeconds();
    return std::nullopt;
}

void LinuxCamera::superviseChild() {
    if (supervisor_.active()) return;
    supervisor_ = requests_.every(kSupervisorInterval, kSupervisorInterval, [this] {
        if (!childWanted_) return;
        const double now = monotonicSeconds();
        if (childPid_ > 0) {
            if (!childExited(childPid_)) return;
            childPid_ = 0;
            // A child that keeps dying at once is retried less and less often.
            restartWait_ = now - childStarted_ < kQuickExit ? std::min(restartWait_ * 2, kMaxRestartDelay)
                                                            : options_.restartDelay;
            nextStart_ = now + restartWait_;
            log("Camera extension exited: restarting it in " + std::to_string(int(restartWait_ * 1000)) +
                " ms");
            return;
        }
        // Whoever serves the socket (an earlier copy, a unit) is left alone.
        if (now < nextStart_ || findDevice()) return;
        if (auto e = startChild()) log("Camera extension failed: " + *e);
    });
}

void LinuxCamera::stopChild() {
    supervisor_.cancel();
    supervisor_ = {};
    const pid_t pid = childPid_.exchange(0);
    if (pid > 0) endChild(pid, SIGTERM, 2.0, false);
}

// ---- Availability ----

std::optional<std::string> LinuxCamera::stopServingExtension() {
    // An extension left running by a one-shot activation is no child of ours: the
    // socket's peer credentials name it. Anything but our own tarvello-camera is left alone.
    pid_t pid = 0;
    io_.sync([&] {
        disconnect();  // a held connection may still name an extension that has gone
        if (!ensureConnected()) return;
        ucred peer{};
        socklen_t size = sizeof peer;
        if (getsockopt(connection_->socket.native_handle(), SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 &&
            peer.uid == getuid())
            pid = peer.pid;
    });
    if (pid <= 0) return std::nullopt;
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec);
    if (ec || !exe.filename().string().starts_with("tarvello-camera")) return std::nullopt;

    // Its parent reaps it, which may not be at once: a zombie has gone too.
    const std::string stat = "/proc/" + std::to_string(pid) + "/stat";
    auto gone = [&] {
        std::ifstream in(stat);
        std::string text((std::istreambuf_iterator<char>(in)), {});
        const auto paren = text.rfind(')');
        return paren == std::string::npos || paren + 2 >= text.size() || text[paren + 2] == 'Z';
    };
    ::kill(pid, SIGTERM);
    const double deadline = monotonicSeconds() + 3.0;
    while (!gone() && monotonicSeconds() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (!gone()) ::kill(pid, SIGKILL);
    io_.sync([this] { disconnect(); });
    log("Camera extension (pid " + std::to_string(pid) + ") stopped");
    return std::nullopt;
}

std::optional<bool> LinuxCamera::nodeListed() {
    const std::string pwCli = options_.pwCliPath.empty() ? findOnPath("pw-cli") : options_.pwCliPath;
    if (pwCli.empty()) return std::nullopt;
    // pw-cli waits on the PipeWire connection; a daemon that hangs must not hang us.
    const std::string timeout = findOnPath("timeout");
    auto result = timeout.empty() ? options_.processes->run(pwCli, {"ls", "Node"})
                                  : options_.processes->run(timeout, {"5", pwCli, "ls", "Node"});
    if (!result || result->exitStatus != 0) return std::nullopt;
    return result->output.find("node.name = \"tarvello-camera\"") != std::string::npos;
}

std::optional<std::string> LinuxCamera::waitUntilAvailable(double seconds) {
    if (options_.socketPath.empty()) return noSocketReason_;
    // The node follows the extension's start within moments; PipeWire that cannot be
    // reached for a few seconds is taken as not running rather than waited for.
    constexpr double kPipeWireDownFor = 3.0;
    const double start = monotonicSeconds();
    const double deadline = start + seconds;
    bool served = false;
    std::optional<bool> listed;
    double unreachableSince = -1;  // when PipeWire stopped answering; negative while it answers
    for (;;) {
        const double now = monotonicSeconds();
        served = findDevice();
        if (served) {
            listed = nodeListed();
            if (listed.value_or(false)) return std::nullopt;
            if (listed) {
                unreachableSince = -1;
            } else if (unreachableSince < 0) {
                unreachableSince = now;
            }
        }
        if (now >= deadline || (unreachableSince >= 0 && now - unreachableSince >= kPipeWireDownFor)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!served) {
        std::string where = options_.useSystemd.value_or(userManagerRuns())
                                ? " (see journalctl --user -u " + std::string(kUnitName) + ")"
                                : std::string();
        return "tarvello-camera is not running: nothing serves " + options_.socketPath + where;
    }
    if (!listed) {
        if ((options_.pwCliPath.empty() ? findOnPath("pw-cli") : options_.pwCliPath).empty())
            return "tarvello-camera runs, but pw-cli is missing (Debian package pipewire-bin) to ask "
                   "PipeWire for "
                   "the camera";
        return "tarvello-camera runs, but PipeWire is not running for this user: the camera appears once it "
               "starts";
    }
    return "tarvello-camera runs, but PipeWire does not list the Tarvello Camera node";
}

}  // namespace tarvello
