#pragma once

#include <memory>
#include <string>

#include "platform/audio.h"
#include "platform/linux/linux_audio_installer.h"

namespace tarvello {

class PulseLink;

// The devices of a PulseAudio sound server (PipeWire's pulse server serves the same
// client API) over one client connection, on the threaded main loop every instance in
// the process shares. The connection is made on first use and again after the server
// went away (connection() tells the two apart); a server is never started. Device ids encode the kind: sinks
// (outputs) and sources (inputs). The default output and the default system output are both the default sink;
// the default input is the default source. Monitor sources are reachable by UID but not listed by devices():
// they are what a sink plays, never a user's microphone. A source runs somewhere while another client records
// from it (an uncorked source output). Units are streams of 48 kHz float samples pinned to their device, with
// the requested cycle as their fragment (input) or as all they keep buffered (output); their callbacks run on
// the main loop's thread, one for all instances.
class LinuxAudio final : public AudioFacility {
public:
    struct Options {
        std::string clientName = "Tarvello";
        AudioPersistOptions persist;
    };
    LinuxAudio();
    explicit LinuxAudio(Options options);
    ~LinuxAudio() override;

    std::optional<AudioDeviceId> deviceForUID(const std::string& uid) override;
    std::optional<std::string> deviceUID(AudioDeviceId device) override;
    std::optional<AudioDeviceId> defaultDevice(AudioDefault which) override;
    bool setDefaultDevice(AudioDefault which, AudioDeviceId device) override;
    // Sinks and sources run at the rate they were created with: true when that is `rate`.
    bool setNominalSampleRate(AudioDeviceId device, double rate) override;
    std::vector<AudioDeviceEntry> devices() override;
    std::optional<bool> runningSomewhere(AudioDeviceId device) override;
    std::optional<uint64_t> connection() override;
    std::unique_ptr<AudioInputUnit> makeInputUnit(AudioDeviceId device, const AudioUnitFormat& format,
                                                  AudioInputUnit::Cycle cycle) override;
    std::unique_ptr<AudioOutputUnit> makeOutputUnit(AudioDeviceId device, const AudioUnitFormat& format,
                                                    AudioOutputUnit::Render render) override;
    bool canInstallDevices() override { return true; }
    // Loads the modules of the devices that are missing into the running server, then
    // writes the user's start-up configuration for that kind of server.
    std::optional<std::string> installDevices() override;

private:
    Options options_;
    std::shared_ptr<PulseLink> link_;
};

}  // namespace tarvello
