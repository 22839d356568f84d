#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace tarvello {

// Monotonic seconds since an arbitrary origin. Throttles, click counting, momentum
// and the grace period read time only through this, so tests can drive it by hand.
class Clock {
public:
    virtual ~Clock() = default;
    virtual double uptime() const = 0;
};

class SystemClock final : public Clock {
public:
    double uptime() const override;
};

// Test clock: time moves only when told to. Safe to read from any thread.
class ManualClock final : public Clock {
public:
    explicit ManualClock(double start = 1000.0) : now_(start) {}
    double uptime() const override { return now_.load(); }
    void set(double t) { now_.store(t); }
    void advance(double dt) { now_.store(now_.load() + dt); }

private:
    std::atomic<double> now_;
};

// The process-wide clock. Defaults to SystemClock; tests may install another.
std::shared_ptr<Clock> defaultClock();
void setDefaultClock(std::shared_ptr<Clock> clock);

// Uptime in milliseconds truncated to 32 bits, as stamped on the wire.
uint32_t uptimeMs32(const Clock& clock);

}  // namespace tarvello
