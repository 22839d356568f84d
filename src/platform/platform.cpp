#include "platform/platform.h"

#include "platform/sim/sim_audio.h"
#include "platform/sim/sim_platform.h"

namespace tarvello {

#ifndef TARVELLO_HAVE_X11
bool linuxPlatformAvailable() {
    return false;
}

std::shared_ptr<AudioFacility> makeSystemAudio() {
    auto audio = std::make_shared<SimAudio>(false);
    audio->installable = false;
    return audio;
}

std::shared_ptr<CameraFacility> makeSystemCamera() {
    return std::make_shared<SimCamera>();
}

void repairDisplayLayout() {}
#endif

std::optional<Platform> makePlatform(const std::string& name, std::string& error) {
    if (name == "sim") return makeSimPlatform();
    if (name == "linux") {
#ifdef TARVELLO_HAVE_X11
        if (linuxPlatformAvailable()) return makeLinuxPlatform();
        error = "The linux platform needs Xvfb on PATH (Debian package xvfb); use --platform sim";
#else
        error = "This build has no X11 back-ends; use --platform sim";
#endif
        return std::nullopt;
    }
    error = "Unknown platform \"" + name + "\" (known: linux, sim)";
    return std::nullopt;
}

}  // namespace tarvello
