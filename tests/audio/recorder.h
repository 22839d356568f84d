#pragma once

#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/linux/linux_audio.h"

namespace tarvello::test {

// A recording application on a sound-server connection of its own, keeping every sample
// it reads from the Tarvello microphone.
class Recorder {
public:
    Recorder() {
        const auto microphone = app_.deviceForUID(AudioDeviceUID::microphone);
        if (!microphone) return;
        unit_ =
            app_.makeInputUnit(*microphone, {48000, 1, 240}, [this](AudioInputUnit& unit, uint32_t frames) {
                std::vector<float> buffer(frames);
                if (unit.render(buffer) != 0) return 0;
                std::lock_guard lock(mutex_);
                samples_.insert(samples_.end(), buffer.begin(), buffer.end());
                return 0;
            });
    }
    bool start() { return unit_ && unit_->start(); }
    // What it recorded from the first sample of a signal on.
    std::vector<float> heard() const {
        std::lock_guard lock(mutex_);
        const auto first =
            std::find_if(samples_.begin(), samples_.end(), [](float v) { return std::abs(v) > 0.02f; });
        return {first, samples_.end()};
    }

private:
    LinuxAudio app_;
    mutable std::mutex mutex_;
    std::vector<float> samples_;
    std::unique_ptr<AudioInputUnit> unit_;  // last: stopped before what it writes to goes
};

// What the phone says first: a ramp no tone can be mistaken for, all of it audible.
inline std::vector<int16_t> firstWords() {
    std::vector<int16_t> out;
    for (int k = 0; k < 240; ++k) out.push_back(static_cast<int16_t>(1000 + 37 * k));
    return out;
}

}  // namespace tarvello::test
