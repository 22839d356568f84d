#include "audio/audio_install.h"

#include "base/log.h"

namespace tarvello {

namespace {
bool exists(AudioFacility& audio, const char* uid) {
    auto d = audio.deviceForUID(uid);
    return d && *d != 0;
}
}  // namespace

bool audioPluginsPresent(AudioFacility& audio) {
    return audio.canInstallDevices();
}

bool audioInstalled(AudioFacility& audio) {
    return exists(audio, AudioDeviceUID::speakers) && exists(audio, AudioDeviceUID::microphone);
}

bool installAudio(AudioFacility& audio) {
    if (!audioPluginsPresent(audio)) {
        log("Audio devices are not bundled in this build");
        return audioInstalled(audio);
    }
    if (auto error = audio.installDevices()) log("Audio install cancelled: " + *error);
    return audioInstalled(audio);
}

}  // namespace tarvello
