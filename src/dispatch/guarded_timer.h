#pragma once

#include <mutex>
#include <utility>

#include "dispatch/serial_queue.h"

namespace tarvello {

// A timer handle that any thread may replace or cancel: a TimerHandle itself belongs to
// one thread at a time.
class GuardedTimer {
public:
    // Cancels the timer held so far and keeps `timer` instead.
    void replace(TimerHandle timer) {
        std::lock_guard lock(mutex_);
        timer_.cancel();
        timer_ = std::move(timer);
    }
    void cancel() {
        TimerHandle timer;
        {
            std::lock_guard lock(mutex_);
            timer = std::exchange(timer_, {});
        }
        timer.cancel();
    }

private:
    std::mutex mutex_;
    TimerHandle timer_;
};

}  // namespace tarvello
