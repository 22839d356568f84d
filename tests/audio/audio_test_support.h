#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

#include "audio/audio_bridge.h"
#include "support/manual_ticker.h"

namespace tarvello::test {

using ManualPollTicker = ManualTicker<AudioPollTicker>;

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
