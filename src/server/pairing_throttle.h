#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>

namespace tarvello {

// Slows down guessing of the six-digit pairing code without ever locking a user out
// for good: each remote address (IPv6: its /64) gets five free wrong codes, then
// waits 2 s before its next check, doubling per further failure up to 5 minutes.
// A success clears the address; across all addresses at most 10 checks per second.
// Many addresses (one IPv6 host has plenty) would still share out the million codes,
// so 20 wrong codes within an hour, from anywhere, leave one check every 10 s in all
// until an hour passes without a wrong code or the code is replaced (reset()).
class PairingThrottle {
public:
    static constexpr int freeFailures = 5;
    static constexpr double firstDelay = 2.0;
    static constexpr double maxDelay = 300.0;
    static constexpr int checksPerSecond = 10;
    static constexpr size_t maxTracked = 4096;
    static constexpr int guardFailures = 20;
    static constexpr double guardWindow = 3600.0;
    static constexpr double guardedInterval = 10.0;

    // Seconds the caller must still wait before its code may be checked, or nothing
    // when the check may go ahead (the check is then counted against the global rate).
    std::optional<double> admit(const std::string& addressKey, double now);
    // A hello that failed for any reason slows its address down; only a wrong code
    // also counts towards the global budget.
    void recordFailure(const std::string& addressKey, double now);
    void recordWrongCode(const std::string& addressKey, double now);
    void recordSuccess(const std::string& addressKey);
    // A new code: every address and the global budget start afresh.
    void reset();

    // True while the global budget holds (20 wrong codes within the last hour until an
    // hour passes without one).
    bool guarding(double now);
    // Wrong codes within the last hour.
    size_t wrongCodesLastHour(double now);

    // The key an address is throttled under: IPv4 as is (also when IPv4-mapped),
    // IPv6 by its first 64 bits.
    static std::string addressKey(const std::string& address);

    size_t tracked() const { return entries_.size(); }

private:
    struct Entry {
        int failures = 0;
        double lastFailure = 0;
    };
    double delayFor(int failures) const;
    void evictIfFull(double now);

    void pruneWrongCodes(double now);

    std::unordered_map<std::string, Entry> entries_;
    std::deque<double> recentChecks_;
    std::deque<double> wrongCodes_;  // within the last hour; bounded by the rates above
    bool guarded_ = false;
    double lastGuardedCheck_ = -1e300;
};

}  // namespace tarvello
