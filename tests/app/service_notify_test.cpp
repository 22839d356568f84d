#include "app/service_notify.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <stdexcept>

#include "dispatch/stall_watch.h"
#include "support/eventually.h"
#include "support/manual_ticker.h"

#ifdef __linux__
#include "base/child_process.h"
#endif

namespace tarvello {
namespace {

namespace fs = std::filesystem;
using test::eventually;
using test::ManualTicker;

class RecordingNotifier final : public ServiceNotifier {
public:
    explicit RecordingNotifier(std::optional<double> timeout) : timeout_(timeout) {}
    void send(const std::string& state) override {
        std::lock_guard lock(mutex_);
        sent_.push_back(state);
    }
    std::optional<double> watchdogTimeout() const override { return timeout_; }

    std::vector<std::string> sent() const {
        std::lock_guard lock(mutex_);
        return sent_;
    }
    long count(const std::string& state) const {
        const auto all = sent();
        return std::count(all.begin(), all.end(), state);
    }

private:
    const std::optional<double> timeout_;
    mutable std::mutex mutex_;
    std::vector<std::string> sent_;
};

struct Harness {
    explicit Harness(std::optional<double> timeout, std::function<bool()> healthy = {})
        : notifier(std::make_shared<RecordingNotifier>(timeout)),
          ticker(std::make_shared<ManualTicker<WatchdogTicker>>()),
          watch(std::move(healthy), ServiceWatchOptions{notifier, ticker}) {}
    std::shared_ptr<RecordingNotifier> notifier;
    std::shared_ptr<ManualTicker<WatchdogTicker>> ticker;
    ServiceWatch watch;
};

// Holds a queue busy until released.
class StuckTask {
public:
    explicit StuckTask(Queue& queue) {
        queue.async([entered = &entered_, released = released_.get_future().share()] {
            entered->set_value();
            released.wait();
        });
        entered_.get_future().wait();
    }
    ~StuckTask() { release(); }
    void release() {
        if (!released) released_.set_value();
        released = true;
    }

private:
    std::promise<void> entered_, released_;
    bool released = false;
};

TEST(ServiceWatchTest, SaysReadyOnlyWhenTheServerHasOpenedItsPortsAndOnlyOnce) {
    Harness h(8.0);
    h.watch.start();
    EXPECT_TRUE(h.notifier->sent().empty()) << "nothing before the ports are open";
    h.watch.ready();
    h.watch.ready();
    EXPECT_EQ(h.notifier->count("READY=1"), 1);

    h.watch.stopping();
    h.watch.stopping();
    EXPECT_EQ(h.notifier->sent(), (std::vector<std::string>{"READY=1", "STOPPING=1"}));
}

TEST(ServiceWatchTest, FeedsFourTimesPerTimeoutUntilStopping) {
    Harness h(8.0);
    h.watch.start();
    ASSERT_TRUE(h.ticker->running());
    EXPECT_DOUBLE_EQ(h.ticker->interval(), 2.0);
    ASSERT_TRUE(h.ticker->fire());
    ASSERT_TRUE(h.ticker->fire());
    EXPECT_EQ(h.notifier->count("WATCHDOG=1"), 2);

    h.watch.stopping();
    EXPECT_FALSE(h.ticker->running());
    EXPECT_FALSE(h.ticker->fire());
    EXPECT_EQ(h.notifier->count("WATCHDOG=1"), 2);
    // A late start after the stop must not revive the feed.
    h.watch.start();
    EXPECT_FALSE(h.ticker->running());
}

TEST(ServiceWatchTest, SendsNoFeedWhenTheManagerWatchesNothing) {
    Harness h(std::nullopt);
    h.watch.start();
    EXPECT_FALSE(h.ticker->running());
    h.watch.ready();
    EXPECT_EQ(h.notifier->sent(), std::vector<std::string>{"READY=1"});
}

// The real stall watch on a hand-driven clock decides: a queue stuck past the stall
// limit starves the watchdog, and the feed comes back once the queue moves again.
TEST(ServiceWatchTest, StarvesTheWatchdogWhileAQueueIsStalled) {
    auto clock = std::make_shared<ManualClock>();
    StallWatch stalls(clock, 2.0);
    Harness h(4.0, [&stalls] { return !stalls.anyStalled(); });
    h.watch.start();
    h.watch.ready();

    stalls.check();
    ASSERT_TRUE(h.ticker->fire());
    EXPECT_EQ(h.notifier->count("WATCHDOG=1"), 1);

    SerialQueue busy("test.service.stuck");
    StuckTask stuck(busy);
    stalls.check();
    clock->advance(1.0);
    stalls.check();
    ASSERT_FALSE(stalls.anyStalled()) << "under the limit is not a stall";
    ASSERT_TRUE(h.ticker->fire());
    EXPECT_EQ(h.notifier->count("WATCHDOG=1"), 2);

    clock->advance(1.5);
    stalls.check();
    ASSERT_TRUE(stalls.anyStalled());
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(h.ticker->fire());
    EXPECT_EQ(h.notifier->count("WATCHDOG=1"), 2) << "fed while a queue was stalled";

    stuck.release();
    ASSERT_TRUE(eventually([&] {
        stalls.check();
        return !stalls.anyStalled();
    }));
    ASSERT_TRUE(h.ticker->fire());
    EXPECT_EQ(h.notifier->count("WATCHDOG=1"), 3);
    EXPECT_EQ(h.notifier->count("READY=1"), 1);
}

#ifdef __linux__

// A notification socket as the service manager holds it, in a private directory.
class ManagerSocket {
public:
    ManagerSocket() {
        std::string tmpl = (fs::temp_directory_path() / "tarvello-notify-XXXXXX").string();
        if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        dir_ = tmpl;
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        const std::string path = (dir_ / "notify").string();
        path.copy(addr.sun_path, sizeof addr.sun_path - 1);
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            throw std::runtime_error("cannot bind the notification socket");
    }
    ~ManagerSocket() {
        ::close(fd_);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    const fs::path& dir() const { return dir_; }
    std::string path() const { return (dir_ / "notify").string(); }

    // Every state line received so far, in order.
    std::vector<std::string> received() {
        char buf[4096];
        for (;;) {
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) break;
            std::string message(buf, size_t(n));
            for (size_t at = 0; at < message.size();) {
                const size_t end = std::min(message.find('\n', at), message.size());
                if (end > at) lines_.push_back(message.substr(at, end - at));
                at = end + 1;
            }
        }
        return lines_;
    }
    long count(const std::string& line) {
        const auto all = received();
        return std::count(all.begin(), all.end(), line);
    }

private:
    fs::path dir_;
    int fd_ = -1;
    std::vector<std::string> lines_;
};

// The built server under a stand-in service manager: started through a shell that
// hands it its own pid as WATCHDOG_PID, as the manager does.
class ServedProcess {
public:
    ServedProcess(ManagerSocket& manager, std::vector<std::string> args)
        : output_(manager.dir() / "out.log") {
        const auto config = manager.dir() / "config";
        const auto runtime = manager.dir() / "run";
        fs::create_directories(config);
        fs::create_directories(runtime);
        fs::permissions(runtime, fs::perms::owner_all);
        ChildSpec spec;
        spec.path = "/bin/sh";
        spec.args = {"sh",
                     "-c",
                     "WATCHDOG_PID=$$; export WATCHDOG_PID; exec \"$0\" \"$@\"",
                     TARVELLO_SERVER_PATH,
                     "--headless",
                     "--platform",
                     "sim",
                     "--config-dir",
                     config.string(),
                     "--bind",
                     "127.0.0.1"};
        spec.args.insert(spec.args.end(), args.begin(), args.end());
        spec.env = environmentWith(
            {"NOTIFY_SOCKET=" + manager.path(), "WATCHDOG_USEC=400000", "XDG_RUNTIME_DIR=" + runtime.string(),
             "XDG_CONFIG_HOME=" + (manager.dir() / "xdg").string()},
            {"DISPLAY", "WAYLAND_DISPLAY", "WATCHDOG_PID"});
        spec.deathSignal = SIGKILL;
        spec.ownProcessGroup = true;
        spec.outputPath = output_.string();
        std::string error;
        pid_ = spawnChild(spec, error);
        if (pid_ <= 0) throw std::runtime_error("cannot start the server: " + error);
    }
    ~ServedProcess() {
        if (!status_) endChild(pid_, SIGKILL, 5.0, true);
    }

    std::string output() const {
        std::ifstream in(output_);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    void signal(int sig) const { ::kill(pid_, sig); }
    std::optional<int> exitStatus(double seconds = 20) {
        eventually(
            [&] {
                int status = 0;
                if (!status_ && ::waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
                return status_.has_value();
            },
            seconds);
        return status_;
    }
    uint16_t controlPort() const {
        const std::string what = "Control listening on TCP ";
        const auto text = output();
        const auto at = text.find(what);
        unsigned value = 0;
        if (at != std::string::npos)
            std::from_chars(text.data() + at + what.size(), text.data() + text.size(), value);
        return uint16_t(value);
    }

private:
    fs::path output_;
    pid_t pid_ = -1;
    std::optional<int> status_;
};

bool accepts(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

TEST(ServiceNotifyProcessTest, ServerTellsTheManagerItIsReadyFeedsTheWatchdogAndSaysWhenItStops) {
    ManagerSocket manager;
    ServedProcess server(manager, {"--control-port", "0", "--video-port", "0"});

    ASSERT_TRUE(eventually([&] { return manager.count("READY=1") == 1; }, 20)) << server.output();
    EXPECT_TRUE(eventually([&] { return server.controlPort() != 0; })) << server.output();
    EXPECT_TRUE(accepts(server.controlPort())) << "ready but not listening";
    // WATCHDOG_USEC of 0.4 s: a feed every 0.1 s.
    EXPECT_TRUE(eventually([&] { return manager.count("WATCHDOG=1") >= 3; })) << server.output();

    server.signal(SIGTERM);
    const auto status = server.exitStatus();
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << server.output();
    const auto lines = manager.received();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "STOPPING=1");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "READY=1"), 1);
}

TEST(ServiceNotifyProcessTest, ServerThatCannotOpenItsPortsNeverSaysReady) {
    // The control port is taken by a listener of ours.
    const int taken = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(taken, 1), 0);
    ASSERT_EQ(::getsockname(taken, reinterpret_cast<sockaddr*>(&addr), &len), 0);

    ManagerSocket manager;
    ServedProcess server(manager,
                         {"--control-port", std::to_string(ntohs(addr.sin_port)), "--video-port", "0"});
    const auto status = server.exitStatus();
    ::close(taken);
    ASSERT_TRUE(status.has_value()) << server.output();
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) != 0) << server.output();
    // Whatever it sent before exiting is queued on the socket by now.
    EXPECT_EQ(manager.count("READY=1"), 0) << server.output();
}

#endif

}  // namespace
}  // namespace tarvello
