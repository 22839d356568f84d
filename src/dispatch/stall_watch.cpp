#include "dispatch/stall_watch.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tarvello {

namespace {

std::mutex registryMutex;
// Never destroyed: queues may still come and go while statics are torn down at exit.
std::vector<std::weak_ptr<QueueActivity>>& registry() {
    static auto* list = new std::vector<std::weak_ptr<QueueActivity>>();
    return *list;
}

std::mutex reporterMutex;
StallReporter& reporterSlot() {
    static auto* r = new StallReporter();
    return *r;
}

void report(const std::string& label, double seconds) {
    StallReporter r;
    {
        std::lock_guard lock(reporterMutex);
        r = reporterSlot();
    }
    if (r) {
        r(label, seconds);
        return;
    }
    std::fprintf(stderr, "Queue %s: one task has run for %.1f s\n", label.c_str(), seconds);
}

}  // namespace

std::shared_ptr<QueueActivity> registerQueueActivity(std::string label) {
    auto activity = std::make_shared<QueueActivity>(std::move(label));
    std::lock_guard lock(registryMutex);
    auto& list = registry();
    // Queues are made and dropped all the time; sweep the dead ones as the list grows.
    if (list.size() >= 64 && (list.size() & (list.size() - 1)) == 0)
        std::erase_if(list, [](const auto& w) { return w.expired(); });
    list.push_back(activity);
    return activity;
}

std::vector<std::shared_ptr<QueueActivity>> liveQueueActivities() {
    std::lock_guard lock(registryMutex);
    auto& list = registry();
    std::erase_if(list, [](const auto& w) { return w.expired(); });
    std::vector<std::shared_ptr<QueueActivity>> out;
    out.reserve(list.size());
    for (const auto& w : list)
        if (auto a = w.lock()) out.push_back(std::move(a));
    return out;
}

void setStallReporter(StallReporter reporter) {
    std::lock_guard lock(reporterMutex);
    reporterSlot() = std::move(reporter);
}

StallWatch::StallWatch(std::shared_ptr<Clock> clock, double limit)
    : clock_(clock ? std::move(clock) : defaultClock()), limit_(limit) {}

StallWatch::~StallWatch() {
    stop();
}

void StallWatch::check() {
    const double now = clock_->uptime();
    std::vector<Stall> fresh;
    {
        std::lock_guard lock(mutex_);
        std::vector<Seen> next;
        stalled_.clear();
        for (auto& activity : liveQueueActivities()) {
            const uint64_t started = activity->started.load(std::memory_order_acquire);
            const uint64_t finished = activity->finished.load(std::memory_order_acquire);
            if (started == finished) continue;  // idle
            auto it = std::find_if(seen_.begin(), seen_.end(), [&](const Seen& s) {
                return s.activity.lock() == activity && s.task == started;
            });
            Seen s = it != seen_.end() ? *it : Seen{activity, started, now, false};
            const double running = now - s.since;
            if (running > limit_) {
                stalled_.push_back({activity->label, running});
                if (!s.reported) {
                    s.reported = true;
                    fresh.push_back({activity->label, running});
                }
            }
            next.push_back(std::move(s));
        }
        seen_ = std::move(next);
    }
    // Outside the lock: the reporter may log, and logging may ask whether anything stalls.
    for (const auto& s : fresh) report(s.label, s.seconds);
}

std::vector<StallWatch::Stall> StallWatch::stalled() const {
    std::lock_guard lock(mutex_);
    return stalled_;
}

bool StallWatch::anyStalled() const {
    std::lock_guard lock(mutex_);
    return !stalled_.empty();
}

void StallWatch::start(double interval) {
    std::lock_guard lock(mutex_);
    if (queue_) return;
    queue_ = std::make_unique<SerialQueue>("tarvello.stall-watch");
    timer_ = queue_->every(interval, interval, [this] { check(); });
}

void StallWatch::stop() {
    std::unique_ptr<SerialQueue> queue;
    {
        std::lock_guard lock(mutex_);
        queue.swap(queue_);
    }
    timer_.cancel();
    if (queue) queue->stop();
}

}  // namespace tarvello
