#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "dispatch/serial_queue.h"

namespace tarvello {

// The service manager's notification channel. The system one says nothing when the
// process was not started by a manager that listens (NOTIFY_SOCKET unset).
class ServiceNotifier {
public:
    virtual ~ServiceNotifier() = default;
    // One state assignment, such as "READY=1" or "WATCHDOG=1". Any thread.
    virtual void send(const std::string& state) = 0;
    // Seconds within which the manager wants to hear WATCHDOG=1 again; none when it
    // does not watch this process.
    virtual std::optional<double> watchdogTimeout() const = 0;
};

std::shared_ptr<ServiceNotifier> makeSystemServiceNotifier();

// Drives the watchdog feed. start() and stop() come from the watch's own queue or
// from the thread that owns the watch.
class WatchdogTicker {
public:
    virtual ~WatchdogTicker() = default;
    // Runs `tick` on `queue` every `interval` seconds until stop(); the first run comes
    // after one interval.
    virtual void start(Queue& queue, double interval, std::function<void()> tick) = 0;
    virtual void stop() = 0;
};

struct ServiceWatchOptions {
    std::shared_ptr<ServiceNotifier> notifier;  // empty: the system one
    std::shared_ptr<WatchdogTicker> ticker;     // empty: a timer on the watch's queue
};

// Tells the service manager when the ports are open and, while every queue makes
// progress, that the process is alive. Feeds four times per watchdog timeout, so one
// missed feed after a short stall is not taken for a hang.
class ServiceWatch {
public:
    // `healthy` says whether the process still gets its work done; while it is false the
    // watchdog goes unfed, so the manager restarts a process stuck past its timeout.
    explicit ServiceWatch(std::function<bool()> healthy, ServiceWatchOptions options = {});
    ~ServiceWatch();
    ServiceWatch(const ServiceWatch&) = delete;
    ServiceWatch& operator=(const ServiceWatch&) = delete;

    // Starts feeding the watchdog when the manager asked for one; otherwise nothing.
    void start();
    // The ports are open: READY=1, once.
    void ready();
    // The process is shutting down: STOPPING=1, and the feed ends. Idempotent.
    void stopping();

    static constexpr int kFeedsPerTimeout = 4;

private:
    void feed();

    std::function<bool()> healthy_;
    ServiceWatchOptions options_;
    SerialQueue queue_;
    std::mutex mutex_;
    bool readySent_ = false;
    bool stopped_ = false;
    bool feeding_ = false;
};

}  // namespace tarvello
