#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "dispatch/clock.h"
#include "dispatch/serial_queue.h"

namespace tarvello {

// What a queue publishes about its work: every task it runs bumps `started` before and
// `finished` after, so a watcher tells "busy with the same task" from outside.
struct QueueActivity {
    explicit QueueActivity(std::string l) : label(std::move(l)) {}
    const std::string label;
    std::atomic<uint64_t> started{0};
    std::atomic<uint64_t> finished{0};
};

// Every live queue's activity, for the watcher. Queues register themselves.
std::shared_ptr<QueueActivity> registerQueueActivity(std::string label);
std::vector<std::shared_ptr<QueueActivity>> liveQueueActivities();

// Where stall reports go: one line per stalled task. The default writes to stderr; the
// application routes it to its log. Any thread.
using StallReporter = std::function<void(const std::string& label, double seconds)>;
void setStallReporter(StallReporter reporter);

// Finds queues whose current task has run longer than the limit and reports each such
// task once. Each check() samples every queue; a task is timed from the first check
// that saw it running, so a report comes at most one check interval late and never early.
class StallWatch {
public:
    struct Stall {
        std::string label;
        double seconds = 0;
    };

    explicit StallWatch(std::shared_ptr<Clock> clock = nullptr, double limit = 2.0);
    ~StallWatch();
    StallWatch(const StallWatch&) = delete;
    StallWatch& operator=(const StallWatch&) = delete;

    // One sample of every queue; reports tasks newly over the limit.
    void check();
    // Queues whose current task was over the limit at the last check.
    std::vector<Stall> stalled() const;
    bool anyStalled() const;

    // Checks every `interval` seconds on a queue of its own until stop() or destruction.
    void start(double interval = 0.25);
    void stop();

private:
    struct Seen {
        std::weak_ptr<QueueActivity> activity;
        uint64_t task = 0;
        double since = 0;
        bool reported = false;
    };

    std::shared_ptr<Clock> clock_;
    double limit_;
    mutable std::mutex mutex_;
    std::vector<Seen> seen_;
    std::vector<Stall> stalled_;
    std::unique_ptr<SerialQueue> queue_;
    TimerHandle timer_;
};

}  // namespace tarvello
