#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace asio {
class io_context;
}

namespace tarvello {

// Cancellable handle for a one-shot or repeating timer. Copies share the timer.
// cancel() may be called from any thread; after it returns the callback will not
// start again (a run already in progress on the queue finishes). One handle object may
// be cancelled or read on one thread while the timer's own callback assigns it a new
// timer on the queue.
class TimerHandle {
public:
    TimerHandle() = default;
    TimerHandle(const TimerHandle& other) : state_(other.load()) {}
    TimerHandle& operator=(const TimerHandle& other) {
        if (this != &other) store(other.load());
        return *this;
    }
    void cancel();
    bool active() const;

    struct State;  // shared with the queue's timer loop
    explicit TimerHandle(std::shared_ptr<State> s) : state_(std::move(s)) {}

private:
    std::shared_ptr<State> load() const {
        std::lock_guard lock(mutex_);
        return state_;
    }
    void store(std::shared_ptr<State> s) {
        {
            std::lock_guard lock(mutex_);
            state_.swap(s);
        }
        // The old state goes here, outside the lock.
    }

    // A plain lock: the standard atomic shared_ptr of gcc 12 is opaque to ThreadSanitizer.
    mutable std::mutex mutex_;
    std::shared_ptr<State> state_;
};

// A serial queue: work runs one item at a time, in submission order, on one thread
// driving an Asio io_context. Sockets bound to context() run their handlers here.
class Queue {
public:
    using Task = std::function<void()>;

    virtual ~Queue();
    Queue(const Queue&) = delete;
    Queue& operator=(const Queue&) = delete;

    const std::string& label() const { return label_; }

    // Runs fn later on this queue. Ignored once the queue is stopping.
    void async(Task fn);

    // Runs fn on this queue and waits for it. Returns false without running fn when
    // called from this queue itself (that would deadlock) or when the queue has stopped.
    bool sync(const Task& fn);

    // One-shot timer.
    TimerHandle after(double seconds, Task fn);
    // Repeating timer: first run after firstDelay, then every interval seconds.
    TimerHandle every(double firstDelay, double interval, Task fn);

    // True when called from the thread currently running this queue's work.
    bool isCurrent() const;

    asio::io_context& context();

    // Cancels every timer, lets already-queued work finish and refuses new work.
    // SerialQueue also waits for its thread (so never call it from the queue itself).
    // Idempotent.
    virtual void stop() = 0;

    bool stopping() const;

protected:
    explicit Queue(std::string label);
    // Runs the loop on the calling thread until stop() or quit.
    void runLoop();
    // Starts a thread running the loop. The thread shares the loop's state, so the
    // queue may be destroyed by its own work (the thread then ends on its own).
    std::thread startLoopThread();
    void requestStop();

private:
    struct Impl;
    TimerHandle startTimer(double firstDelay, double interval, Task fn);  // interval < 0: one-shot
    std::string label_;
    std::shared_ptr<Impl> impl_;
};

// A queue with its own thread, started at construction.
class SerialQueue final : public Queue {
public:
    explicit SerialQueue(std::string label);
    ~SerialQueue() override;
    void stop() override;

private:
    std::thread thread_;
    std::once_flag joined_;
};

// The main thread's queue: main() runs it with run() until quit() is called.
class MainQueue final : public Queue {
public:
    MainQueue();
    ~MainQueue() override;
    // Blocks, running queued work, until quit(). Call from the main thread.
    void run();
    // May be called from any thread; run() returns once queued work is done.
    void quit() { stop(); }
    void stop() override;
};

// The process's main queue. Created on first use, lives until exit.
MainQueue& mainQueue();

// Wraps fn so that it runs only while the owner is alive: fn receives the owner.
template <class T, class F>
auto weakly(const std::shared_ptr<T>& owner, F fn) {
    return [w = std::weak_ptr<T>(owner), fn = std::move(fn)](auto&&... args) mutable {
        if (auto self = w.lock()) fn(*self, std::forward<decltype(args)>(args)...);
    };
}

}  // namespace tarvello
