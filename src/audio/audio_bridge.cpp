#include "audio/audio_bridge.h"

#include <cmath>
#include <vector>

#include "protocol/datagram.h"

namespace tarvello {

std::shared_ptr<AudioBridge> AudioBridge::create(std::shared_ptr<AudioFacility> audio) {
    return std::shared_ptr<AudioBridge>(new AudioBridge(std::move(audio)));
}

AudioBridge::~AudioBridge() { shutdown(); }

void AudioBridge::shutdown() {
    pollTimer_.cancel();
    audio_->stopSpeakerTap();
    audio_->stopMicFeed();
    if (!queue_.isCurrent()) queue_.stop();
}

int16_t AudioBridge::toPcm16(float v) {
    if (std::isnan(v)) v = 1.0f;
    v = std::fmax(-1.0f, std::fmin(1.0f, v));
    return static_cast<int16_t>(v * 32767.0f);
}

void AudioBridge::start(bool sound, bool mic) {
    queue_.async(weakly(shared_from_this(), [sound, mic](AudioBridge& self) {
        self.audio_->stopSpeakerTap();
        self.audio_->stopMicFeed();
        if (sound) {
            std::weak_ptr<AudioBridge> w = self.weak_from_this();
            self.audio_->startSpeakerTap([w](std::span<const float> stereo) {
                auto s = w.lock();
                if (!s || !s->onSpeakerPacket) return;
                const size_t frames = std::min<size_t>(stereo.size() / 2, AudioFormat::framesPerPacket);
                Bytes packet(size_t(AudioFormat::framesPerPacket) * 4, 0);
                for (size_t i = 0; i < frames * 2; ++i) {
                    const auto v = static_cast<uint16_t>(toPcm16(stereo[i]));
                    packet[i * 2] = static_cast<uint8_t>(v);
                    packet[i * 2 + 1] = static_cast<uint8_t>(v >> 8);
                }
                s->onSpeakerPacket(std::move(packet));
            });
        }
        self.micOn_ = mic;
        self.pollTimer_.cancel();
        self.lastMicUse_.reset();
        if (mic) {
            self.audio_->startMicFeed();
            std::weak_ptr<AudioBridge> w = self.weak_from_this();
            self.pollTimer_ = self.queue_.every(0.0, 0.3, [w] {
                if (auto s = w.lock()) s->poll();
            });
        }
    }));
}

void AudioBridge::stop() {
    queue_.async(weakly(shared_from_this(), [](AudioBridge& self) {
        self.pollTimer_.cancel();
        self.micOn_ = false;
        self.audio_->stopSpeakerTap();
        self.audio_->stopMicFeed();
        if (self.lastMicUse_.value_or(false) && self.onMicRequest) self.onMicRequest(false);
        self.lastMicUse_.reset();
    }));
}

void AudioBridge::poll() {
    const bool used = audio_->micInUse();
    if (lastMicUse_ != used) {
        const bool first = !lastMicUse_;
        lastMicUse_ = used;
        if (!(first && !used) && onMicRequest) onMicRequest(used);
    }
}

void AudioBridge::receiveMic(std::span<const uint8_t> payload) {
    if (!micOn_.load()) return;
    std::vector<int16_t> samples(payload.size() / 2);
    for (size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<int16_t>(uint16_t(payload[2 * i]) | uint16_t(payload[2 * i + 1]) << 8);
    }
    audio_->pushMic(samples);
}

}  // namespace tarvello
