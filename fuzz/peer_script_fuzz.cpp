// The peer tool's script parser over arbitrary text: a script either fails with a
// line number and no actions, or each action is what its own line parses to; every
// command other than raw yields whole control frames; hex and numbers round-trip.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "protocol/control_framer.h"
#include "protocol/peer_script.h"

using namespace tarvello;

namespace {

void checkAction(const ScriptAction& a) {
    FUZZ_CHECK(!a.command.empty());
    switch (a.kind) {
        case ScriptAction::Kind::sleep:
            FUZZ_CHECK(std::isfinite(a.seconds) && a.seconds >= 0 && a.seconds <= 3600);
            break;
        case ScriptAction::Kind::udp: FUZZ_CHECK(a.command == "rawudp" && !a.bytes.empty()); break;
        case ScriptAction::Kind::control: {
            FUZZ_CHECK(!a.bytes.empty());
            if (a.command == "raw") break;
            ControlFramer f;
            f.append(a.bytes);
            FUZZ_CHECK(f.next().has_value());
            FUZZ_CHECK(f.buffered() == 0);
            break;
        }
    }
}

void checkScript(std::string_view text) {
    const Script s = parseScript(text);
    if (!s.error.empty()) {
        FUZZ_CHECK(s.actions.empty());
        FUZZ_CHECK(s.error.rfind("line ", 0) == 0);
    }
    size_t next = 0;
    size_t lineNo = 0;
    std::string_view rest = text;
    while (!rest.empty()) {
        ++lineNo;
        const size_t nl = rest.find('\n');
        const ScriptLine line = parseScriptLine(rest.substr(0, nl));
        rest.remove_prefix(nl == std::string_view::npos ? rest.size() : nl + 1);
        FUZZ_CHECK(!(line.action && !line.error.empty()));
        if (!line.error.empty()) {
            FUZZ_CHECK(s.error == "line " + std::to_string(lineNo) + ": " + line.error);
            return;
        }
        if (!line.action) continue;
        checkAction(*line.action);
        if (!s.error.empty()) continue;  // a later line fails the script
        FUZZ_CHECK(next < s.actions.size());
        const ScriptAction& a = s.actions[next++];
        FUZZ_CHECK(a.kind == line.action->kind && a.bytes == line.action->bytes &&
                   a.command == line.action->command);
    }
    FUZZ_CHECK(s.error.empty() && next == s.actions.size());
}

void checkHex(std::string_view text) {
    const auto bytes = parseHex(text);
    if (!bytes) return;
    std::string hex;
    char buf[4];
    for (uint8_t b : *bytes) {
        std::snprintf(buf, sizeof buf, "%02X ", b);
        hex += buf;
    }
    FUZZ_CHECK(parseHex(hex) == bytes);
}

void checkNumbers(std::string_view text) {
    if (auto v = parseUnsigned<uint64_t>(text)) {
        FUZZ_CHECK(parseUnsigned<uint64_t>(std::to_string(*v)) == v);
        FUZZ_CHECK(parseUnsigned<uint16_t>(text).has_value() == (*v <= UINT16_MAX));
    } else {
        FUZZ_CHECK(!parseUnsigned<uint8_t>(text));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    checkScript(text);
    checkHex(text);
    checkNumbers(text);
    return 0;
}
