#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tarvello {

// Sound-server names of the virtual devices. The names allow no blanks, so the
// devices' UIDs map to them through a fixed table; any other device's UID is its name.
namespace PulseDeviceName {
inline constexpr const char* speakers = "tarvello_speakers";
inline constexpr const char* speakersTap = "tarvello_speakers.monitor";
inline constexpr const char* microphoneFeed = "tarvello_microphone_feed";
inline constexpr const char* microphone = "tarvello_microphone";
}  // namespace PulseDeviceName

std::string pulseNameForUID(const std::string& uid);
std::string uidForPulseName(const std::string& name);

struct PulseModule {
    std::string name;       // e.g. "module-null-sink"
    std::string arguments;  // as the server's load-module takes them
    std::string device;     // the sink or source it creates
    bool createsSink = true;
};

// The modules that create the speaker pair (a null sink and its monitor) and the
// microphone pair (a null sink the feed plays into, and a source remapped from its
// monitor that recorders use), in load order.
std::vector<PulseModule> tarvelloModules();

struct AudioPersistOptions {
    std::filesystem::path configHome;  // empty: $XDG_CONFIG_HOME, else $HOME/.config
    std::filesystem::path systemScript = "/etc/pulse/default.pa";  // what a new user script includes first
};

// The user's PulseAudio start-up script with the block that loads the modules put in:
// appended to `existing`, replacing an earlier block, or, when there is no script yet,
// after an include of the system script (a user script replaces the system one).
std::string withTarvelloBlock(const std::optional<std::string>& existing,
                              const std::filesystem::path& systemScript);
// A configuration fragment for PipeWire's pulse server that loads the same modules.
std::string pipeWirePulseFragment();

// Makes the devices come back whenever the sound server starts: writes the start-up
// script (PulseAudio) or the fragment (PipeWire) atomically. The reason when it failed.
std::optional<std::string> persistAudioDevices(bool pipeWire, const AudioPersistOptions& options);

// Where persistAudioDevices writes for the given server kind.
std::filesystem::path audioPersistPath(bool pipeWire, const AudioPersistOptions& options);

}  // namespace tarvello
