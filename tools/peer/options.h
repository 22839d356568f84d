#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tarvello::peer {

struct PeerOptions {
    std::string host;
    std::string code;
    bool noCode = false;
    uint16_t width = 1179;
    uint16_t height = 2556;
    uint8_t refresh = 60;
    std::string name = "tarvello-peer";
    std::optional<std::string> scale;  // sent verbatim as the third hello line
    uint32_t version = 3;
    uint16_t controlPort = 47800;
    uint16_t videoPort = 47801;
    std::optional<uint64_t> frames;
    std::optional<double> seconds;
    std::optional<double> latency;  // seconds of glass-to-glass measurement
    double warmup = 1;              // seconds after acceptance before measuring
    std::optional<std::string> saveFrame;
    std::optional<std::string> script;
    std::optional<uint32_t> registerSession;
    bool noRegister = false;
    bool quiet = false;
    double timeout = 30;
    // --camera WxH: the phone's camera, sent as cameraHEVC while the server asks for it.
    uint16_t cameraWidth = 0;
    uint16_t cameraHeight = 0;
};

struct ParsedOptions {
    PeerOptions options;
    bool help = false;
    std::string error;  // empty when the command line is valid
};

ParsedOptions parseOptions(int argc, char** argv);
const char* usageText();

}  // namespace tarvello::peer
