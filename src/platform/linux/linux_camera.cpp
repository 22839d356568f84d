#include "platform/linux/linux_camera.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <asio/local/stream_protocol.hpp>
#include <asio/write.hpp>
#include <cstdlib>
#include <fstream>

#include "app/log.h"
#include "camera/camera_feed.h"
#include "platform/linux/child_process.h"
#include "platform/linux/linux_processes.h"

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
        childWanted_ = true;
        restartWait_ = options_.restartDelay;
        superviseChild();
        if (childPid_ > 0 || findDevice()) return std::nullopt;
        return startChild();
    }
    std::error_code ec;
    std::filesystem::create_directories(options_.unitDirectory, ec);
    {
        std::ofstream unit(unitPath(), std::ios::trunc);
        unit << "[Unit]\n"
             << "Description=Tarvello Camera: the phone's camera as a PipeWire camera\n"
             << "After=pipewire.service\n\n"
             << "[Service]\n"
             << "ExecStart=" << unitQuoted(options_.extensionPath) << " --socket "
             << unitQuoted(options_.socketPath) << "\n"
             << "Restart=on-failure\n"
             << "RestartSec=1\n\n"
             << "[Install]\n"
             << "WantedBy=default.target\n";
        if (!unit.flush()) return "Cannot write " + unitPath().string();
    }
    if (auto e = systemctl({"daemon-reload"})) return e;
    if (auto e = systemctl({"enable", kUnitName})) return e;
    // Restart, not start: an installed copy is always replaced by this one.
    return systemctl({"restart", kUnitName});
}

std::optional<std::string> LinuxCamera::deactivateNow() {
    childWanted_ = false;
    stopChild();
    std::error_code ec;
    if (!std::filesystem::exists(unitPath(), ec)) return std::nullopt;
    if (options_.useSystemd.value_or(userManagerRuns())) {
        if (auto e = systemctl({"disable", "--now", kUnitName})) return e;
    }
    if (!std::filesystem::remove(unitPath(), ec) && ec) return "Cannot remove " + unitPath().string();
    if (options_.useSystemd.value_or(userManagerRuns())) return systemctl({"daemon-reload"});
    return std::nullopt;
}

std::optional<std::string> LinuxCamera::startChild() {
    ChildSpec spec;
    spec.path = options_.extensionPath;
    spec.args = {options_.extensionPath, "--socket", options_.socketPath};
    spec.env = environmentWith(options_.childEnvironment);
    spec.deathSignal = SIGTERM;
    std::string error;
    const pid_t pid = spawnChild(spec, error);
    if (pid <= 0) return "Cannot start " + options_.extensionPath + ": " + error;
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

}  // namespace tarvello
