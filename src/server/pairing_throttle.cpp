#include "server/pairing_throttle.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tarvello {

double PairingThrottle::delayFor(int failures) const {
    if (failures < freeFailures) return 0;
    const int doublings = failures - freeFailures;
    if (doublings >= 20) return maxDelay;
    return std::min(maxDelay, firstDelay * std::ldexp(1.0, doublings));
}

std::optional<double> PairingThrottle::admit(const std::string& key, double now) {
    if (auto it = entries_.find(key); it != entries_.end()) {
        const double readyAt = it->second.lastFailure + delayFor(it->second.failures);
        if (now < readyAt) return readyAt - now;
    }
    while (!recentChecks_.empty() && recentChecks_.front() <= now - 1.0) recentChecks_.pop_front();
    if (recentChecks_.size() >= size_t(checksPerSecond)) {
        return std::max(recentChecks_.front() + 1.0 - now, 1e-3);
    }
    if (guarding(now)) {
        const double readyAt = lastGuardedCheck_ + guardedInterval;
        if (now < readyAt) return readyAt - now;
        lastGuardedCheck_ = now;
    }
    recentChecks_.push_back(now);
    return std::nullopt;
}

void PairingThrottle::recordWrongCode(const std::string& key, double now) {
    recordFailure(key, now);
    pruneWrongCodes(now);
    wrongCodes_.push_back(now);
    if (wrongCodes_.size() >= size_t(guardFailures)) guarded_ = true;
}

void PairingThrottle::pruneWrongCodes(double now) {
    while (!wrongCodes_.empty() && wrongCodes_.front() <= now - guardWindow) wrongCodes_.pop_front();
}

bool PairingThrottle::guarding(double now) {
    pruneWrongCodes(now);
    if (guarded_ && wrongCodes_.empty()) guarded_ = false;  // an hour without a wrong code
    return guarded_;
}

size_t PairingThrottle::wrongCodesLastHour(double now) {
    pruneWrongCodes(now);
    return wrongCodes_.size();
}

void PairingThrottle::reset() {
    entries_.clear();
    recentChecks_.clear();
    wrongCodes_.clear();
    guarded_ = false;
    lastGuardedCheck_ = -1e300;
}

void PairingThrottle::recordFailure(const std::string& key, double now) {
    if (!entries_.count(key)) evictIfFull(now);
    auto& e = entries_[key];
    e.failures = std::min(e.failures + 1, 1000);
    e.lastFailure = now;
}

void PairingThrottle::recordSuccess(const std::string& key) {
    entries_.erase(key);
}

void PairingThrottle::evictIfFull(double now) {
    if (entries_.size() < maxTracked) return;
    // Entries whose wait has run out and that are old carry the least information.
    for (auto it = entries_.begin(); it != entries_.end();) {
        const bool expired = now - it->second.lastFailure > maxDelay;
        it = expired ? entries_.erase(it) : std::next(it);
    }
    if (entries_.size() < maxTracked) return;
    auto oldest = std::min_element(entries_.begin(), entries_.end(), [](const auto& a, const auto& b) {
        return a.second.lastFailure < b.second.lastFailure;
    });
    entries_.erase(oldest);
}

std::string PairingThrottle::addressKey(const std::string& address) {
    in6_addr a6{};
    if (inet_pton(AF_INET6, address.c_str(), &a6) == 1) {
        if (IN6_IS_ADDR_V4MAPPED(&a6)) {
            char buf[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, &a6.s6_addr[12], buf, sizeof buf);
            return buf;
        }
        char buf[64];
        std::snprintf(buf, sizeof buf, "%02x%02x:%02x%02x:%02x%02x:%02x%02x::/64", a6.s6_addr[0],
                      a6.s6_addr[1], a6.s6_addr[2], a6.s6_addr[3], a6.s6_addr[4], a6.s6_addr[5],
                      a6.s6_addr[6], a6.s6_addr[7]);
        return buf;
    }
    return address;
}

}  // namespace tarvello
