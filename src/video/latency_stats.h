#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace tarvello {

// Durations in milliseconds, kept in bins 1 % wide from 1 µs to 1000 s, so percentiles
// of any number of samples take a fixed few tens of kilobytes. A percentile is the mean
// of the samples in its bin: within 1 % of the exact value, and exact when they are
// all equal. Minimum and maximum are exact.
class LatencyHistogram {
public:
    void add(double ms);
    void clear();

    uint64_t count() const { return count_; }
    double min() const { return count_ ? min_ : 0; }
    double max() const { return count_ ? max_ : 0; }
    double mean() const { return count_ ? sum_ / double(count_) : 0; }
    // The nearest-rank percentile, p in [0, 100]; 0 when empty.
    double percentile(double p) const;

private:
    static constexpr int kBins = 2100;
    static int binOf(double ms);
    std::array<uint32_t, kBins> bins_{};
    std::array<double, kBins> sums_{};
    uint64_t count_ = 0;
    double min_ = 0, max_ = 0, sum_ = 0;
};

// Glass-to-glass latency read from pictures showing the time pattern: each pattern is
// set against the monotonic clock at the moment its picture was decoded.
class GlassToGlassMeter {
public:
    enum class Reading {
        measured,
        unreadable,   // no pattern (scaled away, covered, damaged by losses)
        repeated,     // the same time as the picture before: nothing new was shown
        implausible,  // from the future or over a minute old: a misread pattern
    };

    // `nowMs`: monotonic milliseconds when the picture was decoded.
    Reading add(const uint8_t* luma, int stride, int width, int height, double nowMs);

    const LatencyHistogram& latencies() const { return latencies_; }
    uint64_t unreadable() const { return unreadable_; }
    uint64_t repeated() const { return repeated_; }
    uint64_t implausible() const { return implausible_; }

private:
    LatencyHistogram latencies_;
    std::optional<uint32_t> last_;
    uint64_t unreadable_ = 0, repeated_ = 0, implausible_ = 0;
};

}  // namespace tarvello
