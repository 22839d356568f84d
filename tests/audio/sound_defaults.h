#pragma once

#include <memory>
#include <string>

#include "audio/audio_install.h"
#include "audio/pulse_daemon.h"
#include "platform/linux/linux_audio.h"

namespace tarvello::test {

// Our devices installed on a private sound server whose defaults are the user's own
// devices, and a connection to watch which defaults are in force.
inline std::shared_ptr<LinuxAudio> installOnUsersDefaults(const PulseDaemon& daemon) {
    LinuxAudio::Options options;
    options.persist.configHome = daemon.config;
    options.persist.systemScript = daemon.systemScript;
    auto audio = std::make_shared<LinuxAudio>(options);
    if (!installAudio(*audio)) return nullptr;
    // Loading the virtual source may have made it the default: the user's choice is user_mic.
    const auto mic = audio->deviceForUID("user_mic");
    const auto speakers = audio->deviceForUID("user_speakers");
    if (!mic || !speakers || !audio->setDefaultDevice(AudioDefault::input, *mic) ||
        !audio->setDefaultDevice(AudioDefault::output, *speakers))
        return nullptr;
    return audio;
}

inline std::string defaultUID(LinuxAudio& audio, AudioDefault which) {
    auto d = audio.defaultDevice(which);
    return d ? audio.deviceUID(*d).value_or("?") : "none";
}

inline std::string describeDefaults(LinuxAudio& audio) {
    return defaultUID(audio, AudioDefault::output) + " " + defaultUID(audio, AudioDefault::input);
}

inline bool defaultsAreOurs(LinuxAudio& audio) {
    return defaultUID(audio, AudioDefault::output) == AudioDeviceUID::speakers &&
           defaultUID(audio, AudioDefault::input) == AudioDeviceUID::microphone;
}

inline bool defaultsAreTheUsers(LinuxAudio& audio) {
    return defaultUID(audio, AudioDefault::output) == "user_speakers" &&
           defaultUID(audio, AudioDefault::input) == "user_mic";
}

}  // namespace tarvello::test
