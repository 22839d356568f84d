#include "dispatch/serial_queue.h"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <cmath>
#include <future>
#include <optional>
#include <vector>

namespace tarvello {

namespace {
thread_local const Queue* tlsCurrent = nullptr;

std::chrono::steady_clock::duration toDuration(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0) seconds = 0;
    // Cap far-future timers at a year; nothing in the system waits longer.
    seconds = std::min(seconds, 365.0 * 24 * 3600);
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(seconds));
}
}  // namespace

struct TimerHandle::State {
    std::atomic<bool> cancelled{false};
    std::atomic<bool> finished{false};
};

void TimerHandle::cancel() {
    if (state_) state_->cancelled.store(true);
}

bool TimerHandle::active() const {
    return state_ && !state_->cancelled.load() && !state_->finished.load();
}

struct Queue::Impl {
    asio::io_context io{1};
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> guard{
        asio::make_work_guard(io)};
    std::mutex timersMutex;
    std::vector<std::weak_ptr<asio::steady_timer>> timers;

    void track(const std::shared_ptr<asio::steady_timer>& t) {
        std::lock_guard lock(timersMutex);
        if (timers.size() >= 64) {
            std::erase_if(timers, [](const auto& w) { return w.expired(); });
        }
        timers.push_back(t);
    }

    void cancelAll() {
        std::vector<std::weak_ptr<asio::steady_timer>> all;
        {
            std::lock_guard lock(timersMutex);
            all.swap(timers);
        }
        for (auto& w : all) {
            if (auto t = w.lock()) t->cancel();
        }
    }
};

Queue::Queue(std::string label) : label_(std::move(label)), impl_(std::make_unique<Impl>()) {}

Queue::~Queue() = default;

void Queue::async(Task fn) {
    if (stopping_.load() || !fn) return;
    asio::post(impl_->io, std::move(fn));
}

bool Queue::sync(const Task& fn) {
    if (isCurrent() || stopping_.load()) return false;
    std::promise<void> done;
    auto fut = done.get_future();
    asio::post(impl_->io, [&] {
        fn();
        done.set_value();
    });
    // If the queue is torn down before running the task, the promise is destroyed
    // unfulfilled and get() reports broken_promise instead of hanging.
    try {
        fut.get();
    } catch (const std::future_error&) {
        return false;
    }
    return true;
}

namespace {
struct TimerLoop : std::enable_shared_from_this<TimerLoop> {
    std::shared_ptr<asio::steady_timer> timer;
    std::shared_ptr<TimerHandle::State> state;
    std::function<void()> fn;
    double interval = -1;  // < 0: one-shot
    const std::atomic<bool>* stopping = nullptr;

    void arm(std::chrono::steady_clock::duration d) {
        timer->expires_after(d);
        timer->async_wait([self = shared_from_this()](const std::error_code& ec) { self->fire(ec); });
    }

    void fire(const std::error_code& ec) {
        if (ec || state->cancelled.load() || stopping->load()) {
            state->finished.store(true);
            return;
        }
        fn();
        if (interval < 0 || state->cancelled.load() || stopping->load()) {
            state->finished.store(true);
            return;
        }
        arm(toDuration(interval));
    }
};
}  // namespace

TimerHandle Queue::after(double seconds, Task fn) {
    auto state = std::make_shared<TimerHandle::State>();
    if (stopping_.load() || !fn) {
        state->finished.store(true);
        return TimerHandle(state);
    }
    auto loop = std::make_shared<TimerLoop>();
    loop->timer = std::make_shared<asio::steady_timer>(impl_->io);
    loop->state = state;
    loop->fn = std::move(fn);
    loop->stopping = &stopping_;
    impl_->track(loop->timer);
    loop->arm(toDuration(seconds));
    return TimerHandle(state);
}

TimerHandle Queue::every(double firstDelay, double interval, Task fn) {
    auto state = std::make_shared<TimerHandle::State>();
    if (stopping_.load() || !fn) {
        state->finished.store(true);
        return TimerHandle(state);
    }
    auto loop = std::make_shared<TimerLoop>();
    loop->timer = std::make_shared<asio::steady_timer>(impl_->io);
    loop->state = state;
    loop->fn = std::move(fn);
    // A zero interval would spin the queue; one millisecond is the finest cadence used.
    loop->interval = std::isfinite(interval) ? std::max(interval, 0.001) : 1.0;
    loop->stopping = &stopping_;
    impl_->track(loop->timer);
    loop->arm(toDuration(firstDelay));
    return TimerHandle(state);
}

bool Queue::isCurrent() const { return tlsCurrent == this; }

asio::io_context& Queue::context() { return impl_->io; }

void Queue::runLoop() {
    const Queue* previous = tlsCurrent;
    tlsCurrent = this;
    impl_->io.run();
    tlsCurrent = previous;
}

void Queue::requestStop() {
    if (stopping_.exchange(true)) return;
    // Cancelling on the queue itself keeps timer access single-threaded; dropping
    // the guard lets run() return once the remaining work is done.
    asio::post(impl_->io, [this] {
        impl_->cancelAll();
        impl_->guard.reset();
    });
}

SerialQueue::SerialQueue(std::string label) : Queue(std::move(label)) {
    thread_ = std::thread([this] { runLoop(); });
}

SerialQueue::~SerialQueue() { stop(); }

void SerialQueue::stop() {
    requestStop();
    if (isCurrent()) return;  // joining ourselves would deadlock; the destructor joins
    std::call_once(joined_, [this] {
        if (thread_.joinable()) thread_.join();
    });
}

MainQueue::MainQueue() : Queue("main") {}

MainQueue::~MainQueue() = default;

void MainQueue::run() { runLoop(); }

void MainQueue::stop() { requestStop(); }

MainQueue& mainQueue() {
    static MainQueue* q = new MainQueue();  // never destroyed: work may be posted at exit
    return *q;
}

}  // namespace tarvello
