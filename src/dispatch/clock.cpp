#include "dispatch/clock.h"

#include <time.h>

#include <cmath>
#include <mutex>

namespace tarvello {

double SystemClock::uptime() const {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

namespace {
std::mutex clockMutex;
std::shared_ptr<Clock>& clockSlot() {
    static std::shared_ptr<Clock> c = std::make_shared<SystemClock>();
    return c;
}
}  // namespace

std::shared_ptr<Clock> defaultClock() {
    std::lock_guard lock(clockMutex);
    return clockSlot();
}

void setDefaultClock(std::shared_ptr<Clock> clock) {
    std::lock_guard lock(clockMutex);
    clockSlot() = clock ? std::move(clock) : std::make_shared<SystemClock>();
}

uint32_t uptimeMs32(const Clock& clock) {
    double ms = clock.uptime() * 1000.0;
    if (!std::isfinite(ms) || ms < 0) return 0;
    // Reduce in floating point first: converting a value beyond 2^64 is undefined.
    return static_cast<uint32_t>(std::fmod(std::floor(ms), 4294967296.0));
}

}  // namespace tarvello
