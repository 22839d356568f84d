#pragma once

#include <functional>
#include <memory>
#include <mutex>

#include "dispatch/serial_queue.h"

namespace tarvello::test {

// A repeating timer (any interface with start(queue, interval, fn) and stop()) that
// fires only when the test says so, on the queue it was started on.
template <class Ticker>
class ManualTicker final : public Ticker {
public:
    void start(Queue& queue, double interval, std::function<void()> fn) override {
        std::lock_guard lock(mutex_);
        queue_ = &queue;
        interval_ = interval;
        fn_ = std::make_shared<std::function<void()>>(std::move(fn));
    }
    void stop() override {
        std::lock_guard lock(mutex_);
        fn_.reset();
    }

    bool running() const {
        std::lock_guard lock(mutex_);
        return fn_ != nullptr;
    }
    double interval() const {
        std::lock_guard lock(mutex_);
        return interval_;
    }
    // One firing, waited for. False when the timer does not run.
    bool fire() {
        Queue* queue = nullptr;
        {
            std::lock_guard lock(mutex_);
            if (!fn_) return false;
            queue = queue_;
        }
        return queue->sync([this] {
            std::shared_ptr<std::function<void()>> fn;
            {
                std::lock_guard lock(mutex_);
                fn = fn_;
            }
            if (fn) (*fn)();
        });
    }

private:
    mutable std::mutex mutex_;
    Queue* queue_ = nullptr;
    double interval_ = 0;
    std::shared_ptr<std::function<void()>> fn_;
};

}  // namespace tarvello::test
