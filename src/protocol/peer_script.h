#pragma once

#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/byte_codec.h"

namespace tarvello {

// A whole unsigned number, decimal or 0x hexadecimal, that fits T; nothing otherwise.
template <class T>
std::optional<T> parseUnsigned(std::string_view s) {
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        s.remove_prefix(2);
        base = 16;
    }
    uint64_t v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v, base);
    if (s.empty() || ec != std::errc() || end != s.data() + s.size() || v > std::numeric_limits<T>::max()) {
        return std::nullopt;
    }
    return T(v);
}

// One step of a peer input script: bytes for the control stream, a datagram for
// the video port, or a pause.
struct ScriptAction {
    enum class Kind { control, udp, sleep };
    Kind kind = Kind::control;
    Bytes bytes;          // control: complete frame(s) or raw stream bytes; udp: the datagram
    double seconds = 0;   // sleep
    std::string command;  // the line's first word
};

struct ScriptLine {
    std::optional<ScriptAction> action;  // none for blank and comment lines
    std::string error;                   // empty when the line is valid
};

// Parses one line. Commands (numbers in decimal, integers also as 0x hex):
//   key USAGE DOWN            mouseRel DX DY           mouseAbs X Y
//   button B DOWN             scroll DX DY [PHASE]     text TEXT
//   gesture ACTION VALUE [PHASE]   ping VALUE          requestKeyframe
//   resize W H                uiScale S                releaseAll
//   stats RECEIVED DROPPED    sleep SECONDS            raw HEX    rawudp HEX
// PHASE is wheel, began, changed, ended or a raw number; ACTION a gesture name
// (spaceLeft … rotate) or a raw number. TEXT runs to the end of the line and
// understands \n \t \r \\ and \xHH. HEX may separate bytes with spaces.
// Lines starting with '#' are comments.
ScriptLine parseScriptLine(std::string_view line);

struct Script {
    std::vector<ScriptAction> actions;
    std::string error;  // "line N: ..." for the first invalid line; actions then empty
};
Script parseScript(std::string_view text);

// Hex digits, optionally separated by whitespace, to bytes; nothing on odd length
// or a non-hex character.
std::optional<Bytes> parseHex(std::string_view hex);

}  // namespace tarvello
