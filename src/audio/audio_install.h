#pragma once

#include "platform/audio.h"

namespace tarvello {

// The one-time setup of the virtual devices. Any thread; each call asks the sound
// system anew.

// Whether this build carries a way to create the devices.
bool audioPluginsPresent(AudioFacility& audio);
// The speaker device and the microphone device both exist.
bool audioInstalled(AudioFacility& audio);
// Creates the devices (now and for later runs), logging why when it cannot. Returns
// audioInstalled() afterwards.
bool installAudio(AudioFacility& audio);

}  // namespace tarvello
