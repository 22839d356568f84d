#include "platform/linux/session_bus.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "base/child_process.h"

namespace tarvello {

namespace {

constexpr const char* kAccessibilityConfig = "/usr/share/defaults/at-spi2/accessibility.conf";

// Reads the first line the daemon prints on the pipe: its address. Empty on timeout or exit.
std::string readLine(int fd, double timeout) {
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
    while (text.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return {};
        pollfd p{fd, POLLIN, 0};
        const int r = poll(&p, 1, int(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return {};
        char buf[256];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return {};
        text.append(buf, size_t(n));
    }
    return text.substr(0, text.find('\n'));
}

}  // namespace

std::unique_ptr<BusDaemon> BusDaemon::start(const Options& options, std::string& error) {
    const std::string executable =
        options.executable.empty() ? findOnPath("dbus-daemon") : options.executable;
    if (executable.empty()) {
        error = "dbus-daemon not found on PATH";
        return nullptr;
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        error = std::string("pipe failed: ") + std::strerror(errno);
        return nullptr;
    }
    ChildSpec spec;
    // Services the daemon starts outlive it (the accessibility registry does not notice its
    // bus going away): a shell leads the group and takes all of it along when it is told
    // to end (the death signal included) or the daemon ends.
    spec.path = "/bin/sh";
    spec.args = {"sh",
                 "-c",
                 "trap 'trap - TERM; kill 0' TERM; \"$0\" \"$@\" & wait $!; kill 0",
                 executable,
                 "--nofork",
                 "--nopidfile",
                 "--print-address=3",
                 "--address=" + options.address,
                 options.configFile.empty() ? "--session" : "--config-file=" + options.configFile};
    spec.env = options.env;
    spec.ownProcessGroup = true;
    spec.outputPath = options.logPath;
    spec.passFd = fds[1];
    std::unique_ptr<BusDaemon> bus(new BusDaemon);
    bus->pid_ = spawnChild(spec, error);
    close(fds[1]);
    if (bus->pid_ < 0) {
        close(fds[0]);
        return nullptr;
    }
    bus->address_ = readLine(fds[0], options.startTimeout);
    close(fds[0]);
    if (bus->address_.empty()) {
        error = "dbus-daemon did not start";
        return nullptr;  // the destructor ends what did start
    }
    return bus;
}

BusDaemon::~BusDaemon() {
    endChild(pid_, SIGTERM, 1.0, true);
}

std::string accessibilityBusAddress() {
    return "unix:abstract=tarvello-" + std::to_string(getpid()) + "-a11y";
}

bool ensureAccessibilityBus(std::string& error) {
    // The kernel ties a child's death signal to the thread that spawned it: this thread
    // starts the daemon and then waits for the rest of the process's life.
    static std::mutex mutex;
    static std::condition_variable changed;
    static bool tried = false, done = false, ok = false;
    static std::string why;
    std::unique_lock lock(mutex);
    if (!tried) {
        tried = true;
        std::thread([] {
            BusDaemon::Options o;
            o.configFile = kAccessibilityConfig;
            o.address = accessibilityBusAddress();
            // The registry it activates finds the bus by AT_SPI_BUS_ADDRESS, and must not
            // look for (or autolaunch) a session bus.
            o.env = environmentWith({"AT_SPI_BUS_ADDRESS=" + o.address,
                                     "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent", "NO_AT_BRIDGE=1"},
                                    {"DISPLAY"});
            std::string e;
            std::unique_ptr<BusDaemon> daemon;
            if (access(kAccessibilityConfig, R_OK) == 0) {
                daemon = BusDaemon::start(o, e);
            } else {
                e = std::string("no ") + kAccessibilityConfig;
            }
            {
                std::lock_guard l(mutex);
                done = true;
                ok = daemon != nullptr;
                why = e;
                changed.notify_all();
            }
            // The daemon is kept, never ended: it and this thread go with the process.
            while (daemon) pause();
        }).detach();
    }
    changed.wait(lock, [] { return done; });
    if (!ok) error = why;
    return ok;
}

std::string sessionBusAddress(const std::string& displayName) {
    return "unix:abstract=tarvello-" + std::to_string(getpid()) + "-session" +
           (displayName.size() > 1 ? displayName.substr(1) : displayName);
}

std::unique_ptr<SessionBus> SessionBus::start(const std::string& displayName,
                                              const std::string& authorityFile, const std::string& logPath,
                                              std::string& error) {
    if (!ensureAccessibilityBus(error)) {
        error = "no accessibility bus: " + error;
        return nullptr;
    }
    BusDaemon::Options o;
    o.address = sessionBusAddress(displayName);
    o.logPath = logPath;
    // GSETTINGS_BACKEND: the services started here (the accessibility launcher) keep their
    // switches in memory instead of changing the user's desktop settings.
    o.env = environmentWith({"DISPLAY=" + displayName, "XAUTHORITY=" + authorityFile,
                             "GSETTINGS_BACKEND=memory", "AT_SPI_BUS_ADDRESS=" + accessibilityBusAddress()},
                            {"WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS"});
    auto daemon = BusDaemon::start(o, error);
    if (!daemon) return nullptr;
    return std::unique_ptr<SessionBus>(new SessionBus(std::move(daemon)));
}

std::vector<std::string> SessionBus::environment() const {
    return {"DBUS_SESSION_BUS_ADDRESS=" + address(),
            "AT_SPI_BUS_ADDRESS=" + accessibilityBusAddress(),
            "GNOME_ACCESSIBILITY=1",
            "QT_ACCESSIBILITY=1",
            "QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1",
            "ACCESSIBILITY_ENABLED=1"};
}

}  // namespace tarvello
