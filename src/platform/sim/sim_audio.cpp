#include "platform/sim/sim_audio.h"

#include <algorithm>
#include <sstream>

namespace tarvello {

namespace {
constexpr int kParamError = -50;

std::string number(double v) {
    std::ostringstream out;
    out << v;
    return out.str();
}
}  // namespace

struct SimAudio::UnitCore {
    SimAudio* owner = nullptr;
    AudioDeviceId device = 0;
    bool input = true;
    AudioUnitFormat format;
    AudioInputUnit::Cycle cycle;
    AudioOutputUnit::Render render;
    AudioInputUnit* inputUnit = nullptr;
    // Held while a cycle runs and by stop(), so no cycle runs once stop() returns.
    std::mutex cycleMutex;
    std::span<const float> current;

    std::string name() const { return std::string(input ? "input " : "output ") + std::to_string(device); }

    bool start(bool fail) {
        std::lock_guard lock(owner->mutex_);
        if (fail) {
            owner->note("start " + name() + " failed");
            return false;
        }
        (input ? owner->liveInputs_ : owner->liveOutputs_).insert(this);
        owner->note("start " + name());
        return true;
    }

    void stop() {
        {
            std::lock_guard lock(owner->mutex_);
            if ((input ? owner->liveInputs_ : owner->liveOutputs_).erase(this)) owner->note("stop " + name());
        }
        std::lock_guard wait(cycleMutex);
    }

    void dispose() {
        stop();
        std::lock_guard lock(owner->mutex_);
        owner->note("dispose " + name());
    }
};

namespace {

class SimInputUnit final : public AudioInputUnit {
public:
    explicit SimInputUnit(std::unique_ptr<SimAudio::UnitCore> core) : core_(std::move(core)) {
        core_->inputUnit = this;
    }
    ~SimInputUnit() override { core_->dispose(); }
    int render(std::span<float> out) override {
        if (const int status = core_->owner->renderStatus.load(); status != 0) return status;
        if (out.size() < core_->current.size()) return kParamError;
        std::copy(core_->current.begin(), core_->current.end(), out.begin());
        return 0;
    }
    bool start() override { return core_->start(core_->owner->failStartInput.load()); }
    void stop() override { core_->stop(); }

private:
    std::unique_ptr<SimAudio::UnitCore> core_;
};

class SimOutputUnit final : public AudioOutputUnit {
public:
    explicit SimOutputUnit(std::unique_ptr<SimAudio::UnitCore> core) : core_(std::move(core)) {}
    ~SimOutputUnit() override { core_->dispose(); }
    bool start() override { return core_->start(core_->owner->failStartOutput.load()); }
    void stop() override { core_->stop(); }

private:
    std::unique_ptr<SimAudio::UnitCore> core_;
};

}  // namespace

SimAudio::SimAudio(bool installed) {
    devices_.push_back({nextId_++, "sim.speakers", 0, 1, AudioTransport::builtIn});
    devices_.push_back({nextId_++, "sim.microphone", 1, 0, AudioTransport::builtIn});
    defaults_[AudioDefault::output] = 1;
    defaults_[AudioDefault::systemOutput] = 1;
    defaults_[AudioDefault::input] = 2;
    nextId_ = 10;
    if (installed) addVirtualDevices();
}

SimAudio::~SimAudio() = default;

void SimAudio::addVirtualDevices() {
    const std::pair<const char*, std::pair<int, int>> table[] = {
        {"Tarvello Speakers_UID", {0, 1}},
        {"Tarvello Speakers_2_UID", {1, 0}},
        {"Tarvello Microphone_UID", {1, 0}},
        {"Tarvello Microphone_2_UID", {0, 1}},
    };
    for (const auto& [uid, streams] : table) {
        if (!find(std::string(uid))) devices_.push_back({nextId_++, uid, streams.first, streams.second});
    }
}

SimAudio::Device* SimAudio::find(AudioDeviceId id) {
    for (auto& d : devices_) {
        if (d.id == id) return &d;
    }
    return nullptr;
}

SimAudio::Device* SimAudio::find(const std::string& uid) {
    for (auto& d : devices_) {
        if (d.uid == uid) return &d;
    }
    return nullptr;
}

void SimAudio::note(std::string line) {
    journal_.push_back(std::move(line));
}

std::optional<AudioDeviceId> SimAudio::deviceForUID(const std::string& uid) {
    std::lock_guard lock(mutex_);
    if (auto* d = find(uid)) return d->id;
    return std::nullopt;
}

std::optional<std::string> SimAudio::deviceUID(AudioDeviceId device) {
    std::lock_guard lock(mutex_);
    if (auto* d = find(device)) return d->uid;
    return std::nullopt;
}

std::optional<AudioDeviceId> SimAudio::defaultDevice(AudioDefault which) {
    std::lock_guard lock(mutex_);
    auto it = defaults_.find(which);
    if (it == defaults_.end() || !find(it->second)) return std::nullopt;
    return it->second;
}

bool SimAudio::setDefaultDevice(AudioDefault which, AudioDeviceId device) {
    std::lock_guard lock(mutex_);
    if (!find(device)) return false;
    defaults_[which] = device;
    note("default " + std::to_string(static_cast<uint32_t>(which)) + " " + std::to_string(device));
    return true;
}

bool SimAudio::setNominalSampleRate(AudioDeviceId device, double rate) {
    std::lock_guard lock(mutex_);
    auto* d = find(device);
    if (!d) return false;
    d->rate = rate;
    note("rate " + std::to_string(device) + " " + number(rate));
    return true;
}

std::vector<AudioDeviceEntry> SimAudio::devices() {
    std::lock_guard lock(mutex_);
    std::vector<AudioDeviceEntry> out;
    for (const auto& d : devices_) out.push_back({d.id, d.uid, d.inputStreams, d.outputStreams, d.transport});
    return out;
}

std::optional<bool> SimAudio::runningSomewhere(AudioDeviceId device) {
    std::lock_guard lock(mutex_);
    auto* d = find(device);
    if (!d || failRunningRead.load()) return std::nullopt;
    return d->running;
}

std::optional<uint64_t> SimAudio::connection() {
    std::lock_guard lock(mutex_);
    if (serverDown.load()) return std::nullopt;
    return connection_;
}

void SimAudio::restartServer() {
    std::lock_guard lock(mutex_);
    ++connection_;
    liveInputs_.clear();
    liveOutputs_.clear();
    for (auto& d : devices_) {
        d.running = false;
        if (d.uid.starts_with(AudioDeviceUID::ownPrefix)) d.id = nextId_++;
    }
    defaults_[AudioDefault::output] = 1;
    defaults_[AudioDefault::systemOutput] = 1;
    defaults_[AudioDefault::input] = 2;
    note("restart");
}

std::unique_ptr<AudioInputUnit> SimAudio::makeInputUnit(AudioDeviceId device, const AudioUnitFormat& format,
                                                        AudioInputUnit::Cycle cycle) {
    std::lock_guard lock(mutex_);
    if (failMakeInput.load() || !find(device)) return nullptr;
    auto core = std::make_unique<UnitCore>();
    core->owner = this;
    core->device = device;
    core->input = true;
    core->format = format;
    core->cycle = std::move(cycle);
    lastInputFormat_ = format;
    note("make input " + std::to_string(device));
    return std::make_unique<SimInputUnit>(std::move(core));
}

std::unique_ptr<AudioOutputUnit> SimAudio::makeOutputUnit(AudioDeviceId device, const AudioUnitFormat& format,
                                                          AudioOutputUnit::Render render) {
    std::lock_guard lock(mutex_);
    if (failMakeOutput.load() || !find(device)) return nullptr;
    auto core = std::make_unique<UnitCore>();
    core->owner = this;
    core->device = device;
    core->input = false;
    core->format = format;
    core->render = std::move(render);
    lastOutputFormat_ = format;
    note("make output " + std::to_string(device));
    return std::make_unique<SimOutputUnit>(std::move(core));
}

std::optional<std::string> SimAudio::installDevices() {
    std::lock_guard lock(mutex_);
    if (!installFailure_.empty()) return installFailure_;
    addVirtualDevices();
    note("install");
    return std::nullopt;
}

void SimAudio::setInstallFailure(std::string reason) {
    std::lock_guard lock(mutex_);
    installFailure_ = std::move(reason);
}

AudioDeviceId SimAudio::addDevice(const std::string& uid, int inputStreams, int outputStreams,
                                  AudioTransport transport) {
    std::lock_guard lock(mutex_);
    devices_.push_back({nextId_++, uid, inputStreams, outputStreams, transport});
    return devices_.back().id;
}

void SimAudio::removeDevice(const std::string& uid) {
    std::lock_guard lock(mutex_);
    std::erase_if(devices_, [&](const Device& d) { return d.uid == uid; });
}

std::optional<std::string> SimAudio::defaultUID(AudioDefault which) {
    std::lock_guard lock(mutex_);
    auto it = defaults_.find(which);
    if (it == defaults_.end()) return std::nullopt;
    if (auto* d = find(it->second)) return d->uid;
    return std::nullopt;
}

std::optional<double> SimAudio::sampleRate(const std::string& uid) {
    std::lock_guard lock(mutex_);
    if (auto* d = find(uid)) return d->rate;
    return std::nullopt;
}

void SimAudio::setRunning(const std::string& uid, bool running) {
    std::lock_guard lock(mutex_);
    if (auto* d = find(uid)) d->running = running;
}

std::optional<int> SimAudio::inputCycle(std::span<const float> interleaved) {
    UnitCore* core = nullptr;
    std::unique_lock<std::mutex> cycleLock;
    {
        std::lock_guard lock(mutex_);
        if (liveInputs_.empty()) return std::nullopt;
        core = *liveInputs_.begin();
        cycleLock = std::unique_lock(core->cycleMutex);
    }
    core->current = interleaved;
    const auto channels = static_cast<size_t>(std::max(1, core->format.channels));
    const int status = core->cycle(*core->inputUnit, static_cast<uint32_t>(interleaved.size() / channels));
    core->current = {};
    return status;
}

std::optional<std::vector<float>> SimAudio::pullOutput(size_t frames) {
    UnitCore* core = nullptr;
    std::unique_lock<std::mutex> cycleLock;
    {
        std::lock_guard lock(mutex_);
        if (liveOutputs_.empty()) return std::nullopt;
        core = *liveOutputs_.begin();
        cycleLock = std::unique_lock(core->cycleMutex);
    }
    std::vector<float> out(frames * static_cast<size_t>(std::max(1, core->format.channels)), -2.0f);
    core->render(out);
    return out;
}

int SimAudio::liveInputUnits() {
    std::lock_guard lock(mutex_);
    return static_cast<int>(liveInputs_.size());
}

int SimAudio::liveOutputUnits() {
    std::lock_guard lock(mutex_);
    return static_cast<int>(liveOutputs_.size());
}

std::optional<AudioUnitFormat> SimAudio::lastInputFormat() {
    std::lock_guard lock(mutex_);
    return lastInputFormat_;
}

std::optional<AudioUnitFormat> SimAudio::lastOutputFormat() {
    std::lock_guard lock(mutex_);
    return lastOutputFormat_;
}

std::vector<std::string> SimAudio::journal() {
    std::lock_guard lock(mutex_);
    return journal_;
}

void SimAudio::clearJournal() {
    std::lock_guard lock(mutex_);
    journal_.clear();
}

}  // namespace tarvello
