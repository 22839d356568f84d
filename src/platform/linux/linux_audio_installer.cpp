#include "platform/linux/linux_audio_installer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/audio.h"

namespace tarvello {

namespace {

constexpr const char* kTitle = "Tarvello virtual devices (written by tarvello --install-audio)";
constexpr const char* kBlockEnd = "### End of Tarvello virtual devices";

const std::pair<const char*, const char*> kNames[] = {
    {AudioDeviceUID::speakers, PulseDeviceName::speakers},
    {AudioDeviceUID::speakersTap, PulseDeviceName::speakersTap},
    {AudioDeviceUID::microphoneFeed, PulseDeviceName::microphoneFeed},
    {AudioDeviceUID::microphone, PulseDeviceName::microphone},
};

std::filesystem::path configHome(const AudioPersistOptions& options) {
    if (!options.configHome.empty()) return options.configHome;
    if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x == '/') return x;
    if (const char* h = std::getenv("HOME"); h && *h) return std::filesystem::path(h) / ".config";
    return {};
}

std::optional<std::string> readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// The sound server reads this file at every start: a torn write would cost the user
// their sound, so it is replaced whole or not at all.
std::optional<std::string> writeAtomically(const std::filesystem::path& path, const std::string& text) {
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    if (ec) return "could not create " + path.parent_path().string() + ": " + ec.message();
    std::string tmp = path.string() + ".tmp-XXXXXX";
    const int fd = ::mkstemp(tmp.data());
    if (fd < 0) return "could not write " + path.string() + ": " + std::strerror(errno);
    const bool ok = writeAll(fd, text) && ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0;
    const int err = errno;
    ::close(fd);
    if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
        const int e = ok ? errno : err;
        ::unlink(tmp.c_str());
        return "could not write " + path.string() + ": " + std::strerror(e);
    }
    return std::nullopt;
}

std::string jsonEscaped(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out;
}

}  // namespace

std::string pulseNameForUID(const std::string& uid) {
    for (const auto& [u, name] : kNames) {
        if (uid == u) return name;
    }
    return uid;
}

std::string uidForPulseName(const std::string& name) {
    for (const auto& [uid, n] : kNames) {
        if (name == n) return uid;
    }
    return name;
}

std::vector<PulseModule> tarvelloModules() {
    const std::string feedMonitor = std::string(PulseDeviceName::microphoneFeed) + ".monitor";
    return {
        {"module-null-sink",
         std::string("sink_name=") + PulseDeviceName::speakers +
             " format=float32le rate=48000 channels=2 channel_map=front-left,front-right"
             " sink_properties='device.description=\"Tarvello Speakers\"'",
         PulseDeviceName::speakers, true},
        {"module-null-sink",
         std::string("sink_name=") + PulseDeviceName::microphoneFeed +
             " format=float32le rate=48000 channels=1 channel_map=mono"
             " sink_properties='device.description=\"Tarvello Microphone Feed\"'",
         PulseDeviceName::microphoneFeed, true},
        {"module-remap-source",
         std::string("source_name=") + PulseDeviceName::microphone + " master=" + feedMonitor +
             " channels=1 channel_map=mono master_channel_map=mono remix=no"
             " source_properties='device.description=\"Tarvello Microphone\"'",
         PulseDeviceName::microphone, false},
    };
}

std::string withTarvelloBlock(const std::optional<std::string>& existing,
                              const std::filesystem::path& systemScript) {
    const std::string blockBegin = std::string("### ") + kTitle;
    std::string block = blockBegin + "\n";
    // A module that cannot load must not keep the server from starting.
    block += ".nofail\n";
    for (const auto& m : tarvelloModules()) block += "load-module " + m.name + " " + m.arguments + "\n";
    block += std::string(kBlockEnd) + "\n";

    if (!existing) return ".include " + systemScript.string() + "\n\n" + block;
    std::string text = *existing;
    const auto begin = text.find(blockBegin);
    if (begin != std::string::npos) {
        auto end = text.find(kBlockEnd, begin);
        end = end == std::string::npos ? text.size() : text.find('\n', end);
        end = end == std::string::npos ? text.size() : end + 1;
        return text.replace(begin, end - begin, block);
    }
    if (!text.empty() && text.back() != '\n') text += '\n';
    return text + "\n" + block;
}

std::string pipeWirePulseFragment() {
    std::string text = std::string("# ") + kTitle + "\npulse.cmd = [\n";
    for (const auto& m : tarvelloModules()) {
        text += "    { cmd = \"load-module\" args = \"" + jsonEscaped(m.name + " " + m.arguments) +
                "\" flags = [ \"nofail\" ] }\n";
    }
    return text + "]\n";
}

std::filesystem::path audioPersistPath(bool pipeWire, const AudioPersistOptions& options) {
    const auto home = configHome(options);
    if (home.empty()) return {};
    return pipeWire ? home / "pipewire" / "pipewire-pulse.conf.d" / "tarvello.conf"
                    : home / "pulse" / "default.pa";
}

std::optional<std::string> persistAudioDevices(bool pipeWire, const AudioPersistOptions& options) {
    const auto path = audioPersistPath(pipeWire, options);
    if (path.empty())
        return std::string("no configuration directory (neither XDG_CONFIG_HOME nor HOME is set)");
    if (pipeWire) return writeAtomically(path, pipeWirePulseFragment());
    const auto existing = readFile(path);
    std::error_code ec;
    // Without the system script a new user script would leave the server without its
    // usual modules (and without a socket to reach it).
    if (!existing && !std::filesystem::exists(options.systemScript, ec))
        return "no " + options.systemScript.string() + " to build the user's start-up script on";
    return writeAtomically(path, withTarvelloBlock(existing, options.systemScript));
}

}  // namespace tarvello
