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

std::vector<std::string> missingFacilities(const Platform& p) {
    std::vector<std::string> missing;
    auto need = [&](const auto& facility, const char* name) {
        if (!facility) missing.emplace_back(name);
    };
    need(p.display, "display");
    need(p.capture, "capture");
    need(p.input, "input");
    need(p.host, "host");
    need(p.power, "power");
    need(p.processes, "processes");
    need(p.accessibility, "accessibility");
    need(p.cursor, "cursor");
    need(p.audio, "audio");
    need(p.camera, "camera");
    need(p.preferences, "preferences");
    return missing;
}

namespace {

std::optional<Platform> complete(Platform p, std::string& error) {
    auto missing = missingFacilities(p);
    if (missing.empty()) return p;
    error = "The " + p.name + " platform has no back-end for:";
    for (const auto& m : missing) error += " " + m;
    error += " (this build lacks its library; run scripts/install-deps.sh and rebuild)";
    return std::nullopt;
}

}  // namespace

std::optional<Platform> makePlatform(const std::string& name, std::string& error) {
    if (name == "sim") return complete(makeSimPlatform(), error);
    if (name == "linux") {
#ifdef TARVELLO_HAVE_X11
        if (linuxPlatformAvailable()) return complete(makeLinuxPlatform(), error);
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
