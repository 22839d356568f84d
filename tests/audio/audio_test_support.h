#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <numbers>
#include <vector>

#include "audio/audio_bridge.h"
#include "dispatch/serial_queue.h"

namespace tarvello::test {

// A poll timer that fires only when the test says so, on the audio queue.
class ManualPollTicker final : public AudioPollTicker {
public:
    void start(Queue& queue, double interval, std::function<void()> tick) override {
        std::lock_guard lock(mutex_);
        queue_ = &queue;
        interval_ = interval;
        tick_ = std::make_shared<std::function<void()>>(std::move(tick));
    }
    void stop() override {
        std::lock_guard lock(mutex_);
        tick_.reset();
    }
    bool running() const {
        std::lock_guard lock(mutex_);
        return tick_ != nullptr;
    }
    double interval() const {
        std::lock_guard lock(mutex_);
        return interval_;
    }
    // One firing, waited for. False when the poll does not run.
    bool fire() {
        Queue* queue = nullptr;
        {
            std::lock_guard lock(mutex_);
            if (!tick_) return false;
            queue = queue_;
        }
        return queue->sync([this] {
            std::shared_ptr<std::function<void()>> tick;
            {
                std::lock_guard lock(mutex_);
                tick = tick_;
            }
            if (tick) (*tick)();
        });
    }

private:
    mutable std::mutex mutex_;
    Queue* queue_ = nullptr;
    double interval_ = 0;
    std::shared_ptr<std::function<void()>> tick_;
};

// Signed 16-bit little-endian samples as carried on the wire.
inline std::vector<uint8_t> pcm16le(const std::vector<int16_t>& samples) {
    std::vector<uint8_t> out;
    for (int16_t s : samples) {
        const auto u = static_cast<uint16_t>(s);
        out.push_back(static_cast<uint8_t>(u));
        out.push_back(static_cast<uint8_t>(u >> 8));
    }
    return out;
}

inline std::vector<int16_t> fromPcm16le(std::span<const uint8_t> bytes) {
    std::vector<int16_t> out(bytes.size() / 2);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<int16_t>(uint16_t(bytes[2 * i]) | uint16_t(bytes[2 * i + 1]) << 8);
    return out;
}

// Frequency from the median period between rising zero crossings (so a gap of silence
// does not bias it) and peak level of a mono signal.
struct ToneMeasure {
    double frequency = 0;
    double peak = 0;
};
inline ToneMeasure measureTone(const std::vector<double>& x, double rate) {
    ToneMeasure m;
    std::vector<double> crossings, periods;
    for (size_t i = 1; i < x.size(); ++i) {
        m.peak = std::max(m.peak, std::abs(x[i]));
        if (x[i - 1] < 0 && x[i] >= 0) crossings.push_back(double(i - 1) + -x[i - 1] / (x[i] - x[i - 1]));
    }
    for (size_t i = 1; i < crossings.size(); ++i) periods.push_back(crossings[i] - crossings[i - 1]);
    if (periods.empty()) return m;
    std::nth_element(periods.begin(), periods.begin() + std::ptrdiff_t(periods.size() / 2), periods.end());
    m.frequency = rate / periods[periods.size() / 2];
    return m;
}

inline std::vector<double> sine(double frequency, double amplitude, size_t frames, double rate = 48000) {
    std::vector<double> out(frames);
    for (size_t i = 0; i < frames; ++i)
        out[i] = amplitude * std::sin(2 * std::numbers::pi * frequency * double(i) / rate);
    return out;
}

}  // namespace tarvello::test
