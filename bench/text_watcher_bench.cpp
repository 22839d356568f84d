// The text watcher over AT-SPI with a GTK 3 application focused on a private Xvfb: the
// time of one poll (focus, role, selection and its character bounds), and the time from
// a click into a text field (the button release the injector would post) to the focus
// report the server sends as textFocus. Needs Xvfb, dbus-daemon, at-spi2-core and
// /usr/bin/python3 with GTK 3 bindings; reports an error otherwise.
#include <X11/extensions/XTest.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <vector>

#include "input/text_watcher.h"
#include "platform/linux/linux_accessibility.h"
#include "platform/linux/linux_display.h"
#include "platform/linux/x11.h"
#include "platform/linux/xvfb_server.h"
#include "video/virtual_display.h"

using namespace tarvello;

namespace {

using SteadyClock = std::chrono::steady_clock;

const std::string kFixture =
    (std::filesystem::path(__FILE__).parent_path() / "../tests/fixtures/ax_fixture.py")
        .lexically_normal()
        .string();

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}

// The fixture as the display's session command, spoken to through two FIFOs.
struct Session {
    Session() {
        dir = makeScratchDirectory("tarvello-ax-bench");
        mkfifo((dir + "/in").c_str(), 0600);
        mkfifo((dir + "/out").c_str(), 0600);
        in = open((dir + "/in").c_str(), O_RDWR | O_CLOEXEC);
        out = open((dir + "/out").c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
        LinuxDisplay::Options options;
        const std::string command =
            "exec /usr/bin/python3 " + kFixture + " < " + dir + "/in > " + dir + "/out";
        options.sessionCommand = [command] { return command; };
        displays = std::make_shared<LinuxDisplay>(options);
        display = std::make_unique<VirtualDisplay>(displays);
        if (!display->create(1000, 1000, 60, 2.0, false) || readLine() != "ready") return;
        ok = true;
    }
    ~Session() {
        display.reset();
        displays.reset();
        close(in);
        close(out);
        std::filesystem::remove_all(dir);
    }

    std::string readLine(double timeout = 20) {
        const auto deadline = SteadyClock::now() + std::chrono::duration<double>(timeout);
        while (buffer.find('\n') == std::string::npos) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
            if (left.count() <= 0) return {};
            pollfd p{out, POLLIN, 0};
            if (poll(&p, 1, int(left.count())) <= 0) continue;
            char buf[256];
            const ssize_t n = read(out, buf, sizeof buf);
            if (n > 0) buffer.append(buf, size_t(n));
        }
        const auto end = buffer.find('\n');
        std::string line = buffer.substr(0, end);
        buffer.erase(0, end + 1);
        return line;
    }
    std::string ask(const std::string& line) {
        const std::string l = line + "\n";
        if (write(in, l.data(), l.size()) != ssize_t(l.size())) return {};
        return readLine(10);
    }

    std::string dir, buffer;
    int in = -1, out = -1;
    std::shared_ptr<LinuxDisplay> displays;
    std::unique_ptr<VirtualDisplay> display;
    bool ok = false;
};

void BM_PollWithGtkFocused(benchmark::State& state) {
    Session session;
    if (!session.ok) {
        state.SkipWithError("no GTK session with accessibility on a private Xvfb");
        return;
    }
    // Polls run only when asked: the timer's next one is an hour away.
    auto watcher = TextWatcher::create(std::make_shared<LinuxAccessibility>(session.displays), {3600, 0.15});
    watcher->setDisplay(session.display->displayID());
    std::atomic<int> selections{0};
    watcher->onSelection = [&](std::optional<Selection> s) { selections += s ? 1 : 0; };
    watcher->start();
    session.ask("select entry 6 11");
    for (int i = 0; i < 100 && selections == 0; ++i) watcher->pollNow(true);
    std::vector<double> us;
    for (auto _ : state) {
        const auto t = SteadyClock::now();
        watcher->pollNow(false);
        us.push_back(std::chrono::duration<double, std::micro>(SteadyClock::now() - t).count());
    }
    state.counters["p50_us"] = percentile(us, 0.5);
    state.counters["p99_us"] = percentile(us, 0.99);
    state.counters["selection_seen"] = selections > 0 ? 1 : 0;
    watcher->shutdown();
}
BENCHMARK(BM_PollWithGtkFocused)->Iterations(300)->Unit(benchmark::kMicrosecond);

void BM_ClickToTextFocus(benchmark::State& state) {
    Session session;
    if (!session.ok) {
        state.SkipWithError("no GTK session with accessibility on a private Xvfb");
        return;
    }
    std::istringstream at(session.ask("click entry"));
    std::string tag;
    int x = 0, y = 0;
    at >> tag >> x >> y;
    std::string error;
    auto xc = XConnection::open(session.displays->connection(session.display->displayID()), error);
    if (!xc || tag != "at") {
        state.SkipWithError("cannot click into the fixture");
        return;
    }
    auto watcher = TextWatcher::create(std::make_shared<LinuxAccessibility>(session.displays));
    watcher->setDisplay(session.display->displayID());
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<bool> reports;
    watcher->onFocus = [&](bool f) {
        std::lock_guard lock(mutex);
        reports.push_back(f);
        changed.notify_all();
    };
    watcher->start();
    auto waitFor = [&](bool value) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(5),
                                [&] { return !reports.empty() && reports.back() == value; });
    };
    // Reported focus first, so that moving to the button is a change.
    session.ask("focus entry");
    if (!waitFor(true)) state.SkipWithError("the entry's focus was not reported");
    std::vector<double> ms;
    for (auto _ : state) {
        session.ask("focus button");
        if (!waitFor(false)) {
            state.SkipWithError("the button's focus was not reported");
            break;
        }
        Display* d = xc->get();
        XTestFakeMotionEvent(d, -1, x, y, CurrentTime);
        XTestFakeButtonEvent(d, 1, True, CurrentTime);
        XTestFakeButtonEvent(d, 1, False, CurrentTime);
        XFlush(d);
        const auto t = SteadyClock::now();
        watcher->checkSoon();  // what the server does on the injector's button release
        if (!waitFor(true)) {
            state.SkipWithError("the click's focus was not reported");
            break;
        }
        const double elapsed = std::chrono::duration<double>(SteadyClock::now() - t).count();
        ms.push_back(elapsed * 1000);
        state.SetIterationTime(elapsed);
    }
    state.counters["p50_ms"] = percentile(ms, 0.5);
    state.counters["p99_ms"] = percentile(ms, 0.99);
    watcher->shutdown();
}
BENCHMARK(BM_ClickToTextFocus)->Iterations(20)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
