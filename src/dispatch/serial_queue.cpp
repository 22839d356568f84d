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

#include "dispatch/stall_watch.h"

namespace tarvello {

namespace {
// The loop state being run by this thread (not the Queue, which may be gone while
// its detached thread finishes).
thread_local const void* tlsCurrent = nullptr;

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
    std::mutex wakeMutex;
    // Asks the queue to abort the wait now, so a cancelled long timer releases its
    // callback (and whatever it captured) instead of holding it until expiry.
    std::function<void()> wake;
};

void TimerHandle::cancel() {
    const auto state = load();
    if (!state) return;
    state->cancelled.store(true);
    std::function<void()> wake;
    {
        std::lock_guard lock(state->wakeMutex);
        wake.swap(state->wake);
    }
    if (wake) wake();
}

bool TimerHandle::active() const {
    const auto state = load();
    return state && !state->cancelled.load() && !state->finished.load();
}

namespace {
// Marks one task as running for the stall watch, also when it throws.
class TaskScope {
public:
    explicit TaskScope(QueueActivity& a) : a_(a) { a_.started.fetch_add(1, std::memory_order_acq_rel); }
    ~TaskScope() { a_.finished.fetch_add(1, std::memory_order_acq_rel); }
    TaskScope(const TaskScope&) = delete;
    TaskScope& operator=(const TaskScope&) = delete;

private:
    QueueActivity& a_;
};
}  // namespace

struct Queue::Impl {
    explicit Impl(std::string label) : activity(registerQueueActivity(std::move(label))) {}
    const std::shared_ptr<QueueActivity> activity;
    asio::io_context io{1};
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> guard{
        asio::make_work_guard(io)};
    std::atomic<bool> stopping{false};
    // Orders work submission against requestStop(): whatever is posted or armed while
    // not yet stopping is ahead of the final cancel-and-release, so sync() cannot wait
    // on a loop that has already returned and no timer outlives stop().
    std::mutex submitMutex;
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

    void run() {
        const void* previous = tlsCurrent;
        tlsCurrent = this;
        io.run();
        tlsCurrent = previous;
    }
};

Queue::Queue(std::string label) : label_(std::move(label)), impl_(std::make_shared<Impl>(label_)) {}

Queue::~Queue() = default;

bool Queue::stopping() const {
    return impl_->stopping.load();
}

void Queue::async(Task fn) {
    if (impl_->stopping.load() || !fn) return;
    // The loop state outlives every task it runs, so the raw pointer stays valid.
    asio::post(impl_->io, [activity = impl_->activity.get(), fn = std::move(fn)] {
        TaskScope scope(*activity);
        fn();
    });
}

bool Queue::sync(const Task& fn) {
    if (isCurrent()) return false;
    // The task owns the promise: if the loop is destroyed without running it, the
    // promise breaks and get() reports that instead of hanging.
    auto done = std::make_shared<std::promise<void>>();
    auto fut = done->get_future();
    {
        std::lock_guard lock(impl_->submitMutex);
        if (impl_->stopping.load()) return false;
        asio::post(impl_->io, [activity = impl_->activity.get(), &fn, done] {
            {
                TaskScope scope(*activity);
                fn();
            }
            done->set_value();
        });
    }
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
    // Weak: the pending wait lives in the loop state, so a strong reference would be a cycle.
    std::weak_ptr<const std::atomic<bool>> stopping;
    QueueActivity* activity = nullptr;  // of the loop state that runs this timer

    void arm(std::chrono::steady_clock::duration d) {
        timer->expires_after(d);
        timer->async_wait([self = shared_from_this()](const std::error_code& ec) { self->fire(ec); });
    }

    bool queueStopping() const {
        auto s = stopping.lock();
        return !s || s->load();
    }

    void fire(const std::error_code& ec) {
        if (ec || state->cancelled.load() || queueStopping()) {
            state->finished.store(true);
            return;
        }
        {
            TaskScope scope(*activity);
            fn();
        }
        if (interval < 0 || state->cancelled.load() || queueStopping()) {
            state->finished.store(true);
            return;
        }
        arm(toDuration(interval));
    }
};
}  // namespace

TimerHandle Queue::startTimer(double firstDelay, double interval, Task fn) {
    auto state = std::make_shared<TimerHandle::State>();
    std::lock_guard lock(impl_->submitMutex);
    if (impl_->stopping.load() || !fn) {
        state->finished.store(true);
        return TimerHandle(state);
    }
    auto loop = std::make_shared<TimerLoop>();
    loop->timer = std::make_shared<asio::steady_timer>(impl_->io);
    loop->state = state;
    loop->fn = std::move(fn);
    loop->interval = interval;
    loop->activity = impl_->activity.get();
    // Aliases the loop state, which outlives the Queue object when it is destroyed by
    // its own work.
    loop->stopping = std::shared_ptr<const std::atomic<bool>>(impl_, &impl_->stopping);
    state->wake = [impl = std::weak_ptr<Impl>(impl_),
                   timer = std::weak_ptr<asio::steady_timer>(loop->timer)] {
        if (auto i = impl.lock()) {
            asio::post(i->io, [timer] {
                if (auto t = timer.lock()) t->cancel();
            });
        }
    };
    impl_->track(loop->timer);
    loop->arm(toDuration(firstDelay));
    return TimerHandle(state);
}

TimerHandle Queue::after(double seconds, Task fn) {
    return startTimer(seconds, -1, std::move(fn));
}

TimerHandle Queue::every(double firstDelay, double interval, Task fn) {
    // A zero interval would spin the queue; one millisecond is the finest cadence used.
    return startTimer(firstDelay, std::isfinite(interval) ? std::max(interval, 0.001) : 1.0, std::move(fn));
}

bool Queue::isCurrent() const {
    return tlsCurrent == impl_.get();
}

asio::io_context& Queue::context() {
    return impl_->io;
}

void Queue::runLoop() {
    impl_->run();
}

std::thread Queue::startLoopThread() {
    return std::thread([impl = impl_] { impl->run(); });
}

void Queue::requestStop() {
    std::lock_guard lock(impl_->submitMutex);
    if (impl_->stopping.exchange(true)) return;
    // Cancelling on the queue itself keeps timer access single-threaded; dropping
    // the guard lets run() return once the remaining work is done.
    asio::post(impl_->io, [impl = impl_.get()] {
        impl->cancelAll();
        impl->guard.reset();
    });
}

SerialQueue::SerialQueue(std::string label) : Queue(std::move(label)), thread_(startLoopThread()) {}

SerialQueue::~SerialQueue() {
    stop();
    // Destroyed by its own work: the thread cannot join itself; it finishes the queued
    // work and ends on its own, keeping the loop state alive until then.
    if (isCurrent() && thread_.joinable()) thread_.detach();
}

void SerialQueue::stop() {
    requestStop();
    if (isCurrent()) return;  // joining ourselves would deadlock; the destructor joins
    std::call_once(joined_, [this] {
        if (thread_.joinable()) thread_.join();
    });
}

MainQueue::MainQueue() : Queue("main") {}

MainQueue::~MainQueue() = default;

void MainQueue::run() {
    runLoop();
}

void MainQueue::stop() {
    requestStop();
}

MainQueue& mainQueue() {
    static MainQueue* q = new MainQueue();  // never destroyed: work may be posted at exit
    return *q;
}

}  // namespace tarvello
