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
class PairingThrottle {
public:
    static constexpr int freeFailures = 5;
    static constexpr double firstDelay = 2.0;
    static constexpr double maxDelay = 300.0;
    static constexpr int checksPerSecond = 10;
    static constexpr size_t maxTracked = 4096;

    // Seconds the caller must still wait before its code may be checked, or nothing
    // when the check may go ahead (the check is then counted against the global rate).
    std::optional<double> admit(const std::string& addressKey, double now);
    void recordFailure(const std::string& addressKey, double now);
    void recordSuccess(const std::string& addressKey);

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

    std::unordered_map<std::string, Entry> entries_;
    std::deque<double> recentChecks_;
};

}  // namespace tarvello
