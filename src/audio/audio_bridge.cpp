#include "audio/audio_bridge.h"

#include <algorithm>
#include <utility>

#include "base/log.h"
#include "base/settings.h"
#include "dispatch/guarded_timer.h"

namespace tarvello {

namespace {

constexpr double kSampleRate = 48000.0;
constexpr uint32_t kBufferFrames = 240;

// start() runs on the audio queue but stop() also comes from shutdown on another
// thread, so the handle is only touched under the lock.
class QueuePollTicker final : public AudioPollTicker {
public:
    void start(Queue& queue, double interval, std::function<void()> tick) override {
        timer_.replace(queue.every(0, interval, std::move(tick)));
    }
    void stop() override { timer_.cancel(); }

private:
    GuardedTimer timer_;
};

bool isOwn(const std::string& uid) {
    return uid.starts_with(AudioDeviceUID::ownPrefix);
}

std::string savedKey(AudioDefault which) {
    return std::string(SettingsKey::audioSavedPrefix) + std::to_string(static_cast<uint32_t>(which));
}

std::optional<AudioDeviceId> lookup(AudioFacility& audio, const std::string& uid) {
    auto d = audio.deviceForUID(uid);
    if (!d || *d == 0) return std::nullopt;
    return d;
}

// The default for `which` unless it is one of ours (or unreadable).
std::optional<AudioDeviceId> currentDefault(AudioFacility& audio, AudioDefault which) {
    auto d = audio.defaultDevice(which);
    if (!d || *d == 0) return std::nullopt;
    auto uid = audio.deviceUID(*d);
    if (uid && isOwn(*uid)) return std::nullopt;
    return d;
}

// A device of the user's with streams in the wanted direction, built-in preferred.
std::optional<AudioDeviceId> fallbackDevice(AudioFacility& audio, bool input) {
    std::optional<AudioDeviceId> first;
    for (const auto& e : audio.devices()) {
        if (!e.uid || isOwn(*e.uid)) continue;
        if ((input ? e.inputStreams : e.outputStreams) == 0) continue;
        if (e.transport == AudioTransport::builtIn) return e.id;
        if (!first) first = e.id;
    }
    return first;
}

}  // namespace

std::shared_ptr<AudioBridge> AudioBridge::create(std::shared_ptr<AudioFacility> audio,
                                                 AudioBridgeOptions options) {
    return std::shared_ptr<AudioBridge>(new AudioBridge(std::move(audio), std::move(options)));
}

AudioBridge::AudioBridge(std::shared_ptr<AudioFacility> audio, AudioBridgeOptions options)
    : audio_(std::move(audio)),
      ticker_(options.ticker ? std::move(options.ticker) : std::make_shared<QueuePollTicker>()),
      captureBuffer_(captureScratch, 0.0f) {}

AudioBridge::~AudioBridge() {
    shutdown();
}

void AudioBridge::shutdown() {
    std::call_once(shutdownOnce_, [this] {
        // Joins unless called on the queue itself, so what follows never races its work.
        queue_.stop();
        ticker_->stop();
        stopTap();
        stopFeed();
    });
}

int16_t AudioBridge::toPcm16(float v) {
    const float c = v < 1.0f ? std::max(v, -1.0f) : 1.0f;
    return static_cast<int16_t>(c * 32767.0f);
}

void AudioBridge::start(bool speaker, bool mic) {
    queue_.async(
        weakly(shared_from_this(), [speaker, mic](AudioBridge& self) { self.startOnQueue(speaker, mic); }));
}

void AudioBridge::stop() {
    queue_.async(weakly(shared_from_this(), [](AudioBridge& self) { self.stopOnQueue(); }));
}

// ---------------------------------------------------------------------------------
// Start and stop (tarvello.audio)

void AudioBridge::startOnQueue(bool speaker, bool mic) {
    if (running_) return;
    running_ = true;
    speakerAsked_ = speaker;
    micAsked_ = mic;
    // Read before setting up: a restart during the set-up shows as a change at the
    // first poll.
    connection_ = audio_->connection();
    connectDevices(true);
    if (!speakerOn_ && !micOn_) return;
    std::weak_ptr<AudioBridge> w = weak_from_this();
    ticker_->start(queue_, pollInterval, [w] {
        if (auto self = w.lock()) self->tick();
    });
}

void AudioBridge::connectDevices(bool announce) {
    speakerOn_ = speakerAsked_ && connectSpeaker(announce);
    micOn_ = micAsked_ && connectMicrophone();
}

bool AudioBridge::connectSpeaker(bool announce) {
    const auto device = lookup(*audio_, AudioDeviceUID::speakers);
    const auto tapSide = lookup(*audio_, AudioDeviceUID::speakersTap);
    if (!device || !tapSide) {
        if (announce) log("Tarvello Speakers not installed: Mac sound stays on the Mac");
        return false;
    }
    audio_->setNominalSampleRate(*device, kSampleRate);
    audio_->setNominalSampleRate(*tapSide, kSampleRate);
    saveDefault(AudioDefault::output);
    saveDefault(AudioDefault::systemOutput);
    audio_->setDefaultDevice(AudioDefault::output, *device);
    audio_->setDefaultDevice(AudioDefault::systemOutput, *device);
    startTap(*tapSide);
    if (announce) log("Mac sound now plays on the iPhone");
    return true;
}

bool AudioBridge::connectMicrophone() {
    const auto microphone = lookup(*audio_, AudioDeviceUID::microphone);
    if (!microphone) return false;
    audio_->setNominalSampleRate(*microphone, kSampleRate);
    if (auto feed = lookup(*audio_, AudioDeviceUID::microphoneFeed))
        audio_->setNominalSampleRate(*feed, kSampleRate);
    saveDefault(AudioDefault::input);
    audio_->setDefaultDevice(AudioDefault::input, *microphone);
    microphone_ = *microphone;
    return true;
}

void AudioBridge::saveDefault(AudioDefault which) {
    // When ours is already the default (a run that never restored), nothing is written,
    // so the device that run saved is the one that comes back.
    const auto current = currentDefault(*audio_, which);
    if (!current) return;
    if (auto uid = audio_->deviceUID(*current)) Settings::shared().d().setString(savedKey(which), *uid);
}

void AudioBridge::stopOnQueue() {
    if (!running_) return;
    running_ = false;
    ticker_->stop();
    stopTap();
    stopFeed();
    speakerOn_ = micOn_ = false;
    if (micWanted_) {
        micWanted_ = false;
        if (onMicRequest) onMicRequest(false);
    }
    restoreDefaultDevices(*audio_);
}

void AudioBridge::tick() {
    if (!running_) return;
    const auto now = audio_->connection();
    if (!now) return;  // no server now: its return shows as a new connection
    const bool restarted = now != connection_;
    connection_ = now;
    if (restarted) reconnect();
    if (micOn_) pollMic(restarted);
}

// The old connection's units are dead, and a restarted server comes up with its own
// defaults and new device ids: everything is set up again, with one line for it all.
void AudioBridge::reconnect() {
    stopTap();
    stopFeed();
    connectDevices(false);
    if (!micOn_ && micWanted_) {
        micWanted_ = false;
        if (onMicRequest) onMicRequest(false);
    }
    log(speakerOn_ || micOn_ ? "The sound server restarted: sound and microphone reconnected"
                             : "The sound server restarted without the Tarvello devices");
}

void AudioBridge::restoreDefaultDevices(AudioFacility& audio) {
    for (const AudioDefault which : {AudioDefault::output, AudioDefault::systemOutput, AudioDefault::input}) {
        const auto current = audio.defaultDevice(which);
        if (!current || *current == 0) continue;
        const auto uid = audio.deviceUID(*current);
        if (!uid || !isOwn(*uid)) continue;
        const bool input = which == AudioDefault::input;
        std::optional<AudioDeviceId> replacement;
        if (auto saved = Settings::shared().d().getString(savedKey(which)))
            replacement = lookup(audio, *saved);
        if (!replacement) replacement = fallbackDevice(audio, input);
        if (!replacement) continue;
        audio.setDefaultDevice(which, *replacement);
        log(std::string("Restored the Mac's ") + (input ? "microphone" : "speakers"));
    }
}

// ---------------------------------------------------------------------------------
// Speaker tap

void AudioBridge::startTap(AudioDeviceId tapSide) {
    const AudioUnitFormat format{kSampleRate, 2, kBufferFrames};
    auto unit = audio_->makeInputUnit(
        tapSide, format, [this](AudioInputUnit& u, uint32_t frames) { return tapCycle(u, frames); });
    if (!unit) return;
    // No cycle runs before the unit starts: a half packet left by an earlier session
    // must not lead this one.
    pendingCount_ = 0;
    if (!unit->start()) {
        log("Could not read Tarvello Speakers");
        return;
    }
    tapUnit_ = std::move(unit);
    tapLive_.store(true);
}

void AudioBridge::stopTap() {
    tapLive_.store(false);
    if (!tapUnit_) return;
    tapUnit_->stop();
    tapUnit_.reset();
}

int AudioBridge::tapCycle(AudioInputUnit& unit, uint32_t frames) {
    if (!tapLive_.load(std::memory_order_acquire)) return 0;
    const size_t count = size_t(frames) * 2;
    if (captureBuffer_.size() < count) captureBuffer_.assign(count, 0.0f);
    if (const int status = unit.render(std::span<float>(captureBuffer_.data(), count)); status != 0)
        return status;
    for (size_t i = 0; i < count; ++i) {
        pending_[pendingCount_++] = toPcm16(captureBuffer_[i]);
        if (pendingCount_ < packetSamples) continue;
        pendingCount_ = 0;
        if (!onSpeakerPacket) continue;
        Bytes packet(packetSamples * 2);
        for (size_t k = 0; k < packetSamples; ++k) {
            const auto s = static_cast<uint16_t>(pending_[k]);
            packet[2 * k] = static_cast<uint8_t>(s);
            packet[2 * k + 1] = static_cast<uint8_t>(s >> 8);
        }
        onSpeakerPacket(std::move(packet));
    }
    return 0;
}

// ---------------------------------------------------------------------------------
// Microphone: the use poll, the feed and the jitter buffer

void AudioBridge::pollMic(bool feedLost) {
    const bool inUse = audio_->runningSomewhere(microphone_).value_or(false);
    if (inUse == micWanted_) {
        // An application that reconnected to a restarted server is still listening.
        if (inUse && feedLost) startFeed();
        return;
    }
    micWanted_ = inUse;
    if (inUse) {
        log("An app is listening: using the iPhone microphone");
        startFeed();
        if (onMicRequest) onMicRequest(true);
    } else {
        log("Microphone no longer in use");
        stopFeed();
        if (onMicRequest) onMicRequest(false);
    }
}

void AudioBridge::startFeed() {
    if (feedUnit_) return;
    const auto feed = lookup(*audio_, AudioDeviceUID::microphoneFeed);
    if (!feed) return;
    const AudioUnitFormat format{kSampleRate, 1, kBufferFrames};
    auto unit =
        audio_->makeOutputUnit(*feed, format, [this](std::span<float> out) { return feedRender(out); });
    if (!unit) return;
    {
        std::lock_guard lock(micLock_);
        micHead_ = 0;
        micCount_ = 0;
        micPrimed_ = false;
    }
    if (!unit->start()) {
        log("Could not open Tarvello Microphone Feed");
        return;
    }
    feedUnit_ = std::move(unit);
}

void AudioBridge::stopFeed() {
    if (!feedUnit_) return;
    feedUnit_->stop();
    feedUnit_.reset();
}

void AudioBridge::receiveMic(std::span<const uint8_t> payload) {
    const size_t n = payload.size() / 2;
    // Only the newest micCapacity samples could survive the trim below.
    const size_t first = n > micCapacity ? n - micCapacity : 0;
    std::lock_guard lock(micLock_);
    for (size_t i = first; i < n; ++i) {
        const auto s = static_cast<int16_t>(uint16_t(payload[2 * i]) | uint16_t(payload[2 * i + 1]) << 8);
        const float v = float(s) * (1.0f / 32768.0f);
        if (micCount_ == micCapacity) {
            micRing_[micHead_] = v;
            micHead_ = (micHead_ + 1) % micCapacity;
        } else {
            micRing_[(micHead_ + micCount_) % micCapacity] = v;
            ++micCount_;
        }
    }
}

int AudioBridge::feedRender(std::span<float> out) {
    size_t n = 0;
    {
        std::lock_guard lock(micLock_);
        if (!micPrimed_ && micCount_ < micPrimeLevel) {
            n = 0;
        } else {
            micPrimed_ = true;
            n = std::min(out.size(), micCount_);
            const size_t firstPart = std::min(n, micCapacity - micHead_);
            std::copy_n(micRing_.begin() + static_cast<std::ptrdiff_t>(micHead_), firstPart, out.begin());
            std::copy_n(micRing_.begin(), n - firstPart,
                        out.begin() + static_cast<std::ptrdiff_t>(firstPart));
            micHead_ = (micHead_ + n) % micCapacity;
            micCount_ -= n;
            // An underrun: play the rest as silence and refill to the priming level.
            if (n < out.size()) micPrimed_ = false;
        }
    }
    std::fill(out.begin() + static_cast<std::ptrdiff_t>(n), out.end(), 0.0f);
    return 0;
}

size_t AudioBridge::micBuffered() const {
    std::lock_guard lock(micLock_);
    return micCount_;
}

bool AudioBridge::micPrimed() const {
    std::lock_guard lock(micLock_);
    return micPrimed_;
}

}  // namespace tarvello
