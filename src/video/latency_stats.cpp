#include "video/latency_stats.h"

#include <algorithm>
#include <cmath>

#include "base/time_pattern.h"

namespace tarvello {

namespace {
constexpr double kSmallestMs = 0.001;
constexpr double kRatio = 1.01;
const double kLogRatio = std::log(kRatio);
constexpr double kOldestPlausibleMs = 60'000;
}  // namespace

int LatencyHistogram::binOf(double ms) {
    if (!(ms > kSmallestMs)) return 0;  // NaN too
    const double bin = std::log(ms / kSmallestMs) / kLogRatio;
    return int(std::min(bin, double(kBins - 1)));
}

void LatencyHistogram::add(double ms) {
    if (std::isnan(ms)) return;
    const auto bin = size_t(binOf(ms));
    ++bins_[bin];
    sums_[bin] += ms;
    if (count_ == 0 || ms < min_) min_ = ms;
    if (count_ == 0 || ms > max_) max_ = ms;
    ++count_;
    sum_ += ms;
}

void LatencyHistogram::clear() {
    bins_.fill(0);
    sums_.fill(0);
    count_ = 0;
    min_ = max_ = sum_ = 0;
}

double LatencyHistogram::percentile(double p) const {
    if (count_ == 0) return 0;
    const double wanted = std::clamp(p, 0.0, 100.0) / 100.0 * double(count_);
    const uint64_t rank = std::max<uint64_t>(1, uint64_t(std::ceil(wanted)));
    if (rank == 1) return min_;
    if (rank >= count_) return max_;
    uint64_t seen = 0;
    for (int i = 0; i < kBins; ++i) {
        seen += bins_[size_t(i)];
        if (seen >= rank) return sums_[size_t(i)] / double(bins_[size_t(i)]);
    }
    return max_;
}

GlassToGlassMeter::Reading GlassToGlassMeter::add(const uint8_t* luma, int stride, int width, int height,
                                                  double nowMs) {
    const auto shown = readTimePattern(luma, stride, width, height);
    if (!shown) {
        ++unreadable_;
        return Reading::unreadable;
    }
    if (last_ == shown) {
        ++repeated_;
        return Reading::repeated;
    }
    last_ = shown;
    // Both ends count milliseconds modulo 2^32; the difference survives the wrap.
    const double whole = std::floor(nowMs);
    const auto now32 = uint32_t(std::fmod(whole, 4294967296.0));
    const double latency = double(int32_t(now32 - *shown)) + (nowMs - whole);
    if (latency < 0 || latency > kOldestPlausibleMs) {
        ++implausible_;
        return Reading::implausible;
    }
    latencies_.add(latency);
    return Reading::measured;
}

}  // namespace tarvello
