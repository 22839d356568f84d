#pragma once

#include <functional>
#include <mutex>

#include "dispatch/serial_queue.h"
#include "input/injector.h"

namespace tarvello::test {

// A momentum timer that fires only when the test says so, on the momentum queue.
class ManualMomentumTicker final : public MomentumTicker {
public:
    void start(Queue& queue, double interval, std::function<void()> step) override {
        std::lock_guard lock(mutex_);
        queue_ = &queue;
        interval_ = interval;
        step_ = std::make_shared<std::function<void()>>(std::move(step));
    }
    void stop() override {
        std::lock_guard lock(mutex_);
        step_.reset();
    }

    bool running() const {
        std::lock_guard lock(mutex_);
        return step_ != nullptr;
    }
    double interval() const {
        std::lock_guard lock(mutex_);
        return interval_;
    }
    // One timer firing, waited for. False when no timer runs.
    bool fire() {
        Queue* queue = nullptr;
        {
            std::lock_guard lock(mutex_);
            if (!step_) return false;
            queue = queue_;
        }
        queue->sync([this] {
            std::shared_ptr<std::function<void()>> step;
            {
                std::lock_guard lock(mutex_);
                step = step_;
            }
            if (step) (*step)();
        });
        return true;
    }

private:
    mutable std::mutex mutex_;
    Queue* queue_ = nullptr;
    double interval_ = 0;
    std::shared_ptr<std::function<void()>> step_;
};

}  // namespace tarvello::test
