// The input path on a private Xvfb: a decoded control message through the injector
// and XTest until its requests are flushed to the X server, the same until a client
// window has read the event, and the timing of the 120 Hz momentum steps.
#include <X11/Xlib.h>
#include <benchmark/benchmark.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "input/injector.h"
#include "platform/linux/linux_display.h"
#include "platform/linux/linux_input.h"
#include "platform/linux/x11.h"
#include "protocol/byte_codec.h"
#include "video/virtual_display.h"

using namespace tarvello;

namespace {

using SteadyClock = std::chrono::steady_clock;

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t i = std::min(v.size() - 1, size_t(std::ceil(p * double(v.size()))) - (p > 0 ? 1 : 0));
    return v[i];
}

double microsSince(SteadyClock::time_point t) {
    return std::chrono::duration<double, std::micro>(SteadyClock::now() - t).count();
}

// Records when momentum events are posted, then hands every event on.
class TimedInput final : public InputFacility {
public:
    explicit TimedInput(std::shared_ptr<InputFacility> inner) : inner_(std::move(inner)) {}
    bool post(const InputEvent& e) override {
        if (e.type == InputEventType::scrollWheel && e.momentumPhase != MomentumPhase::none) {
            std::lock_guard lock(mutex_);
            if (e.momentumPhase == MomentumPhase::end) {
                ended_ = true;
                cv_.notify_all();
            } else {
                steps_.push_back(SteadyClock::now());
            }
        }
        return inner_->post(e);
    }
    std::optional<Point> pointerLocation() override { return inner_->pointerLocation(); }

    void reset() {
        std::lock_guard lock(mutex_);
        steps_.clear();
        ended_ = false;
    }
    std::vector<SteadyClock::time_point> waitForEnd() {
        std::unique_lock lock(mutex_);
        cv_.wait_for(lock, std::chrono::seconds(30), [&] { return ended_; });
        return steps_;
    }

private:
    std::shared_ptr<InputFacility> inner_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<SteadyClock::time_point> steps_;
    bool ended_ = false;
};

// One private display with the injector over XTest on it, shared by the benchmarks.
struct Stand {
    Stand() {
        LinuxDisplay::Options o;
        o.sessionCommand = [] { return std::optional<std::string>(""); };
        displays = std::make_shared<LinuxDisplay>(o);
        display = std::make_unique<VirtualDisplay>(displays);
        ok = display->create(640, 480, 60, 2.0, false);
        input = std::make_shared<LinuxInput>(displays);
        timed = std::make_shared<TimedInput>(input);
        InjectorOptions io;
        io.preferences = std::make_shared<MemoryPreferenceDomains>();
        injector = std::make_unique<Injector>(timed, displays, io);
        if (ok) injector->setTargetDisplay(display->displayID());
    }
    ~Stand() {
        injector.reset();
        display->teardown();
    }
    std::string name() const { return displays->connection(display->displayID()); }

    std::shared_ptr<LinuxDisplay> displays;
    std::unique_ptr<VirtualDisplay> display;
    std::shared_ptr<LinuxInput> input;
    std::shared_ptr<TimedInput> timed;
    std::unique_ptr<Injector> injector;
    bool ok = false;
};

// Made on first use, ended before main returns so its display goes with it.
std::unique_ptr<Stand> theStand;
Stand& stand() {
    if (!theStand) theStand = std::make_unique<Stand>();
    return *theStand;
}

enum Kind { kKey, kMouseRel, kMouseAbs, kScroll };
const char* const kKindNames[] = {"key down/up", "relative move", "absolute move", "wheel step"};

// The payloads of one message kind, alternating so nothing stays down or drifts away.
std::pair<MsgType, Bytes> message(Kind kind, int64_t i) {
    ByteWriter w;
    switch (kind) {
        case kKey: w.writeU8(0), w.writeU8(0x04), w.writeU8(i % 2 == 0); return {MsgType::key, w.data};
        case kMouseRel:
            w.writeF32(i % 2 == 0 ? 3.5f : -3.5f), w.writeF32(i % 2 == 0 ? 1.25f : -1.25f);
            return {MsgType::mouseRel, w.data};
        case kMouseAbs:
            w.writeF32(i % 2 == 0 ? 0.25f : 0.75f), w.writeF32(0.5f);
            return {MsgType::mouseAbs, w.data};
        case kScroll:
            w.writeF32(0), w.writeF32(i % 2 == 0 ? 48.f : -48.f), w.writeU8(0);
            return {MsgType::scroll, w.data};
    }
    return {};
}

void reportLatencies(benchmark::State& state, const std::vector<double>& micros) {
    state.counters["p50_us"] = percentile(micros, 0.50);
    state.counters["p99_us"] = percentile(micros, 0.99);
    state.counters["max_us"] = percentile(micros, 1.0);
}

// Control message (payload after the type byte) to X requests flushed.
void BM_MessageToXFlush(benchmark::State& state) {
    Stand& s = stand();
    if (!s.ok) {
        state.SkipWithError("no Xvfb display");
        return;
    }
    const auto kind = Kind(state.range(0));
    std::vector<std::pair<MsgType, Bytes>> messages;
    for (int i = 0; i < 2; ++i) messages.push_back(message(kind, i));
    std::vector<double> micros;
    micros.reserve(size_t(state.max_iterations));
    int64_t i = 0;
    for (auto _ : state) {
        const auto& [type, payload] = messages[size_t(i++ % 2)];
        const auto start = SteadyClock::now();
        s.injector->handle(type, payload);
        micros.push_back(microsSince(start));
    }
    if (i % 2) s.injector->releaseAll();
    reportLatencies(state, micros);
    state.SetLabel(kKindNames[kind]);
}
BENCHMARK(BM_MessageToXFlush)
    ->DenseRange(0, 3)
    ->Iterations(20000)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

// Control message to the event read by a client window on the display.
void BM_MessageToClientEvent(benchmark::State& state) {
    Stand& s = stand();
    std::string error;
    auto x = s.ok ? XConnection::open(s.name(), error) : nullptr;
    if (!x) {
        state.SkipWithError("no Xvfb display");
        return;
    }
    Display* d = x->get();
    XSetWindowAttributes a{};
    a.event_mask = KeyPressMask | KeyReleaseMask | PointerMotionMask | ButtonPressMask | ButtonReleaseMask;
    a.override_redirect = True;
    const Window w = XCreateWindow(d, DefaultRootWindow(d), 0, 0, 640, 480, 0, CopyFromParent, InputOutput,
                                   CopyFromParent, CWEventMask | CWOverrideRedirect, &a);
    XMapRaised(d, w);
    XSync(d, False);
    XSetInputFocus(d, w, RevertToPointerRoot, CurrentTime);
    XSync(d, False);

    const auto kind = Kind(state.range(0));
    std::vector<double> micros;
    micros.reserve(size_t(state.max_iterations));
    int64_t i = 0;
    for (auto _ : state) {
        const auto [type, payload] = message(kind, i++);
        const auto start = SteadyClock::now();
        s.injector->handle(type, payload);
        // One message is one client event, except a wheel step: a press and a release.
        bool seen = false;
        while (!seen) {
            pollfd p{ConnectionNumber(d), POLLIN, 0};
            if (XPending(d) == 0 && poll(&p, 1, 1000) <= 0) break;
            while (XPending(d) > 0) {
                XEvent ev;
                XNextEvent(d, &ev);
                seen |= ev.type == KeyPress || ev.type == KeyRelease || ev.type == MotionNotify ||
                        ev.type == ButtonPress;
            }
        }
        micros.push_back(microsSince(start));
    }
    if (i % 2) s.injector->releaseAll();
    XDestroyWindow(d, w);
    XSync(d, False);
    reportLatencies(state, micros);
    state.SetLabel(kKindNames[kind]);
}
BENCHMARK(BM_MessageToClientEvent)
    ->Arg(kKey)
    ->Arg(kMouseAbs)
    ->Arg(kScroll)
    ->Iterations(5000)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

// One momentum run at 120 Hz (3000 px/s, about 2.6 s): how far each step lands from
// 1/120 s after the previous one.
void BM_MomentumStepJitter(benchmark::State& state) {
    Stand& s = stand();
    if (!s.ok) {
        state.SkipWithError("no Xvfb display");
        return;
    }
    constexpr double kPeriodUs = 1e6 / 120;
    std::vector<double> deviations, intervals;
    for (auto _ : state) {
        s.timed->reset();
        ByteWriter w;
        w.writeF32(0), w.writeF32(3000.f), w.writeU8(3);  // ended, with the release velocity
        s.injector->handle(MsgType::scroll, w.data);
        const auto steps = s.timed->waitForEnd();
        for (size_t k = 1; k < steps.size(); ++k) {
            const double us = std::chrono::duration<double, std::micro>(steps[k] - steps[k - 1]).count();
            intervals.push_back(us);
            deviations.push_back(std::fabs(us - kPeriodUs));
        }
    }
    double mean = 0;
    for (double v : intervals) mean += v;
    mean /= double(std::max<size_t>(1, intervals.size()));
    state.counters["steps"] = double(intervals.size() + state.iterations());
    state.counters["mean_interval_us"] = mean;
    state.counters["jitter_p50_us"] = percentile(deviations, 0.50);
    state.counters["jitter_p99_us"] = percentile(deviations, 0.99);
    state.counters["jitter_max_us"] = percentile(deviations, 1.0);
}
BENCHMARK(BM_MomentumStepJitter)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    theStand.reset();
    return 0;
}
