#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "platform/audio.h"

namespace tarvello {

// In-memory sound devices. Starts with the user's built-in speakers ("sim.speakers",
// id 1) and microphone ("sim.microphone", id 2) as the defaults and, unless told
// otherwise, the four virtual devices (ids from 10). Units run only when a test drives
// them: inputCycle() plays one cycle through the running input unit, pullOutput()
// renders from the running output unit, each on the calling thread as the system's
// real-time thread would. Every change is written to a journal.
class SimAudio final : public AudioFacility {
public:
    explicit SimAudio(bool installed = true);
    ~SimAudio() override;

    std::optional<AudioDeviceId> deviceForUID(const std::string& uid) override;
    std::optional<std::string> deviceUID(AudioDeviceId device) override;
    std::optional<AudioDeviceId> defaultDevice(AudioDefault which) override;
    bool setDefaultDevice(AudioDefault which, AudioDeviceId device) override;
    bool setNominalSampleRate(AudioDeviceId device, double rate) override;
    std::vector<AudioDeviceEntry> devices() override;
    std::optional<bool> runningSomewhere(AudioDeviceId device) override;
    std::optional<uint64_t> connection() override;
    std::unique_ptr<AudioInputUnit> makeInputUnit(AudioDeviceId device, const AudioUnitFormat& format,
                                                  AudioInputUnit::Cycle cycle) override;
    std::unique_ptr<AudioOutputUnit> makeOutputUnit(AudioDeviceId device, const AudioUnitFormat& format,
                                                    AudioOutputUnit::Render render) override;
    bool canInstallDevices() override { return installable.load(); }
    std::optional<std::string> installDevices() override;

    // Adds a device at the end of the list and returns its id.
    AudioDeviceId addDevice(const std::string& uid, int inputStreams, int outputStreams,
                            AudioTransport transport = AudioTransport::other);
    void removeDevice(const std::string& uid);
    // The UID of the default, or none.
    std::optional<std::string> defaultUID(AudioDefault which);
    std::optional<double> sampleRate(const std::string& uid);
    // Whether some client records from the device.
    void setRunning(const std::string& uid, bool running);
    // What a sound server restart does to its clients: every unit dies (it never runs
    // again), the virtual devices come back under new ids, the defaults are the user's
    // built-in devices again, no client records, and connection() changes.
    void restartServer();
    // While down, connection() answers none.
    std::atomic<bool> serverDown{false};

    // One input cycle of interleaved frames through the running input unit: the cycle's
    // result, or none when no input unit runs.
    std::optional<int> inputCycle(std::span<const float> interleaved);
    // `frames` frames rendered by the running output unit, or none when none runs.
    std::optional<std::vector<float>> pullOutput(size_t frames);
    int liveInputUnits();
    int liveOutputUnits();
    std::optional<AudioUnitFormat> lastInputFormat();
    std::optional<AudioUnitFormat> lastOutputFormat();

    // Lines such as "default 1682929012 10", "rate 10 48000", "make input 11",
    // "start input 11", "stop input 11", "dispose input 11", "install".
    std::vector<std::string> journal();
    void clearJournal();

    std::atomic<bool> failMakeInput{false}, failMakeOutput{false};
    std::atomic<bool> failStartInput{false}, failStartOutput{false};
    std::atomic<bool> failRunningRead{false};
    std::atomic<bool> installable{true};
    // Returned by render() of input units when non-zero.
    std::atomic<int> renderStatus{0};
    // When non-empty, installDevices() fails with this reason.
    void setInstallFailure(std::string reason);

    // Units keep a pointer to their SimAudio: it must outlive them.
    struct UnitCore;

private:
    struct Device {
        AudioDeviceId id = 0;
        std::string uid;
        int inputStreams = 0, outputStreams = 0;
        AudioTransport transport = AudioTransport::other;
        double rate = 44100;
        bool running = false;
    };
    friend struct UnitCore;
    Device* find(AudioDeviceId id);
    Device* find(const std::string& uid);
    void note(std::string line);
    void addVirtualDevices();

    std::mutex mutex_;
    std::vector<Device> devices_;
    std::map<AudioDefault, AudioDeviceId> defaults_;
    std::vector<std::string> journal_;
    std::string installFailure_;
    AudioDeviceId nextId_ = 1;
    uint64_t connection_ = 1;
    std::set<UnitCore*> liveInputs_, liveOutputs_;
    std::optional<AudioUnitFormat> lastInputFormat_, lastOutputFormat_;
};

}  // namespace tarvello
