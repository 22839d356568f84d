#include "app/service_notify.h"

#include <utility>

#include "dispatch/guarded_timer.h"

#ifdef __linux__
#include <systemd/sd-daemon.h>
#endif

namespace tarvello {

namespace {

class SystemServiceNotifier final : public ServiceNotifier {
public:
    void send(const std::string& state) override {
#ifdef __linux__
        // Without NOTIFY_SOCKET this returns 0 and sends nothing, as it should outside a service.
        sd_notify(0, state.c_str());
#else
        (void)state;
#endif
    }

    std::optional<double> watchdogTimeout() const override {
#ifdef __linux__
        // Checks WATCHDOG_PID too: a child that inherited our environment is not watched.
        uint64_t usec = 0;
        if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) return double(usec) / 1e6;
#endif
        return std::nullopt;
    }
};

class QueueWatchdogTicker final : public WatchdogTicker {
public:
    void start(Queue& queue, double interval, std::function<void()> tick) override {
        timer_.replace(queue.every(interval, interval, std::move(tick)));
    }
    void stop() override { timer_.cancel(); }

private:
    GuardedTimer timer_;
};

}  // namespace

std::shared_ptr<ServiceNotifier> makeSystemServiceNotifier() {
    return std::make_shared<SystemServiceNotifier>();
}

// Its own queue: a stall of any other queue must not keep the verdict from being given,
// and a stall of this one starves the watchdog, which is the right outcome too.
ServiceWatch::ServiceWatch(std::function<bool()> healthy, ServiceWatchOptions options)
    : healthy_(std::move(healthy)), options_(std::move(options)), queue_("tarvello.service") {
    if (!options_.notifier) options_.notifier = makeSystemServiceNotifier();
    if (!options_.ticker) options_.ticker = std::make_shared<QueueWatchdogTicker>();
}

ServiceWatch::~ServiceWatch() {
    options_.ticker->stop();
    queue_.stop();
}

void ServiceWatch::start() {
    const auto timeout = options_.notifier->watchdogTimeout();
    if (!timeout) return;
    {
        std::lock_guard lock(mutex_);
        if (stopped_ || feeding_) return;
        feeding_ = true;
    }
    options_.ticker->start(queue_, *timeout / kFeedsPerTimeout, [this] { feed(); });
}

void ServiceWatch::ready() {
    {
        std::lock_guard lock(mutex_);
        if (readySent_ || stopped_) return;
        readySent_ = true;
    }
    options_.notifier->send("READY=1");
}

void ServiceWatch::stopping() {
    {
        // Under the lock, so no feed already past its check follows STOPPING=1.
        std::lock_guard lock(mutex_);
        if (stopped_) return;
        stopped_ = true;
        options_.notifier->send("STOPPING=1");
    }
    options_.ticker->stop();
}

void ServiceWatch::feed() {
    if (healthy_ && !healthy_()) return;
    std::lock_guard lock(mutex_);
    if (!stopped_) options_.notifier->send("WATCHDOG=1");
}

}  // namespace tarvello
