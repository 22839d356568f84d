#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tarvello {

// UIDs of the virtual devices the bridge drives; every device of ours has a UID
// beginning with "Tarvello ".
namespace AudioDeviceUID {
inline constexpr const char* speakers = "Tarvello Speakers_UID";
inline constexpr const char* speakersTap = "Tarvello Speakers_2_UID";
inline constexpr const char* microphone = "Tarvello Microphone_UID";
inline constexpr const char* microphoneFeed = "Tarvello Microphone_2_UID";
inline constexpr const char* ownPrefix = "Tarvello ";
}  // namespace AudioDeviceUID

// 0 is never a device.
using AudioDeviceId = uint32_t;

// The system-wide default devices. Raw values are four-character codes whose decimal
// form names the setting under which a replaced default is remembered.
enum class AudioDefault : uint32_t {
    output = 0x644F7574,        // 'dOut'
    systemOutput = 0x734F7574,  // 'sOut'
    input = 0x64496E20,         // 'dIn '
};

enum class AudioTransport { builtIn, other };

struct AudioDeviceEntry {
    AudioDeviceId id = 0;
    std::optional<std::string> uid;  // none when it cannot be read
    int inputStreams = 0;
    int outputStreams = 0;
    AudioTransport transport = AudioTransport::other;
};

// Linear PCM, 32-bit float, interleaved.
struct AudioUnitFormat {
    double sampleRate = 48000;
    int channels = 1;
    uint32_t bufferFrames = 240;  // requested size of one I/O cycle
};

// Reads a device in cycles. start() and stop() come from one queue; the cycle runs on
// the back-end's real-time thread and never concurrently with itself.
class AudioInputUnit {
public:
    // One input cycle of `frames` frames; the callee may pull them with render() during
    // the call. A non-zero result is handed back to the system.
    using Cycle = std::function<int(AudioInputUnit& unit, uint32_t frames)>;

    // Disposes of the unit (stopping it first); no cycle runs once it returns.
    virtual ~AudioInputUnit() = default;
    // Only inside a cycle: copies its frames, interleaved, into the front of `out`
    // (channels × frames floats at least). 0 on success, else a status.
    virtual int render(std::span<float> out) = 0;
    // Initialises and starts; false when either step fails.
    virtual bool start() = 0;
    // Stops and uninitialises; idempotent. No cycle runs once it returns.
    virtual void stop() = 0;
};

// Plays into a device, pulling frames through a render callback on the back-end's
// real-time thread. Same threading as AudioInputUnit.
class AudioOutputUnit {
public:
    // Fills every frame of `out`. A non-zero result is handed back to the system.
    using Render = std::function<int(std::span<float> out)>;

    virtual ~AudioOutputUnit() = default;
    virtual bool start() = 0;
    virtual void stop() = 0;
};

// The sound system's devices and defaults. Every call may come from any thread (the
// audio queue while a bridge runs, the main thread at launch and exit) and answers now,
// without caching what may change. Writes report success but callers may ignore it;
// a failed read is none.
class AudioFacility {
public:
    virtual ~AudioFacility() = default;

    virtual std::optional<AudioDeviceId> deviceForUID(const std::string& uid) = 0;
    virtual std::optional<std::string> deviceUID(AudioDeviceId device) = 0;
    virtual std::optional<AudioDeviceId> defaultDevice(AudioDefault which) = 0;
    virtual bool setDefaultDevice(AudioDefault which, AudioDeviceId device) = 0;
    virtual bool setNominalSampleRate(AudioDeviceId device, double rate) = 0;
    // Every device in the system's order.
    virtual std::vector<AudioDeviceEntry> devices() = 0;
    // True while some client does input on the device; none when it cannot be read.
    virtual std::optional<bool> runningSomewhere(AudioDeviceId device) = 0;
    // Which connection to the sound system answers now (making one when there is
    // none): a new value each time it had to reconnect, as after the sound server
    // restarted; none while nothing answers. Units and device ids from before a change
    // are dead and must be made again.
    virtual std::optional<uint64_t> connection() = 0;

    // Units whose callbacks hold no reference to their creator: the owner keeps what
    // the callback touches alive until the unit is gone. Nullptr when none can be made.
    virtual std::unique_ptr<AudioInputUnit> makeInputUnit(AudioDeviceId device, const AudioUnitFormat& format,
                                                          AudioInputUnit::Cycle cycle) = 0;
    virtual std::unique_ptr<AudioOutputUnit> makeOutputUnit(AudioDeviceId device,
                                                            const AudioUnitFormat& format,
                                                            AudioOutputUnit::Render render) = 0;

    // Whether this build carries a way to create the virtual devices.
    virtual bool canInstallDevices() = 0;
    // Creates the virtual devices now and for later runs; the reason when that failed.
    virtual std::optional<std::string> installDevices() = 0;
};

}  // namespace tarvello
