#include "protocol/peer_script.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>

#include "protocol/messages.h"

namespace tarvello {
namespace {

bool isSpace(char c) {
    return c == ' ' || c == '\t';
}

std::vector<std::string_view> splitWords(std::string_view s) {
    std::vector<std::string_view> words;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && isSpace(s[i])) ++i;
        size_t start = i;
        while (i < s.size() && !isSpace(s[i])) ++i;
        if (i > start) words.push_back(s.substr(start, i - start));
    }
    return words;
}

std::optional<float> parseFloat(std::string_view s) {
    float v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (s.empty() || ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
    return v;
}

std::optional<ScrollPhase> parsePhase(std::string_view s) {
    if (s == "wheel") return ScrollPhase::wheel;
    if (s == "began") return ScrollPhase::began;
    if (s == "changed") return ScrollPhase::changed;
    if (s == "ended") return ScrollPhase::ended;
    // Raw values outside the enumeration are allowed: the receiver must cope with them.
    if (auto raw = parseUnsigned<uint8_t>(s)) return static_cast<ScrollPhase>(*raw);
    return std::nullopt;
}

std::optional<GestureAction> parseGestureAction(std::string_view s) {
    static constexpr std::string_view names[] = {"spaceLeft", "spaceRight",  "missionControl", "appExpose",
                                                 "launchpad", "showDesktop", "lookUp",         "smartZoom",
                                                 "magnify",   "rotate"};
    for (size_t i = 0; i < std::size(names); ++i) {
        if (s == names[i]) return static_cast<GestureAction>(i + 1);
    }
    if (auto raw = parseUnsigned<uint8_t>(s)) return static_cast<GestureAction>(*raw);
    return std::nullopt;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<std::string> unescape(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\') {
            out.push_back(s[i]);
            continue;
        }
        if (++i == s.size()) return std::nullopt;
        switch (s[i]) {
            case 'n': out.push_back('\n'); break;
            case 't': out.push_back('\t'); break;
            case 'r': out.push_back('\r'); break;
            case '\\': out.push_back('\\'); break;
            case 'x': {
                if (i + 2 >= s.size()) return std::nullopt;
                const int hi = hexValue(s[i + 1]), lo = hexValue(s[i + 2]);
                if (hi < 0 || lo < 0) return std::nullopt;
                out.push_back(char(hi * 16 + lo));
                i += 2;
                break;
            }
            default: return std::nullopt;
        }
    }
    return out;
}

ScriptLine fail(std::string message) {
    return ScriptLine{std::nullopt, std::move(message)};
}

ScriptLine control(std::string_view command, Bytes frame) {
    ScriptAction a;
    a.kind = ScriptAction::Kind::control;
    a.bytes = std::move(frame);
    a.command = std::string(command);
    return ScriptLine{std::move(a), {}};
}

}  // namespace

std::optional<Bytes> parseHex(std::string_view hex) {
    Bytes out;
    int pending = -1;
    for (char c : hex) {
        if (isSpace(c)) {
            if (pending >= 0) return std::nullopt;  // a byte split by a space
            continue;
        }
        const int v = hexValue(c);
        if (v < 0) return std::nullopt;
        if (pending < 0) {
            pending = v;
        } else {
            out.push_back(uint8_t(pending * 16 + v));
            pending = -1;
        }
    }
    if (pending >= 0) return std::nullopt;
    return out;
}

ScriptLine parseScriptLine(std::string_view line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
    size_t first = 0;
    while (first < line.size() && isSpace(line[first])) ++first;
    line.remove_prefix(first);
    if (line.empty() || line[0] == '#') return {};

    size_t cmdEnd = 0;
    while (cmdEnd < line.size() && !isSpace(line[cmdEnd])) ++cmdEnd;
    const std::string_view cmd = line.substr(0, cmdEnd);
    // The rest after exactly one separator, so text keeps its own leading spaces.
    const std::string_view rest = cmdEnd < line.size() ? line.substr(cmdEnd + 1) : std::string_view{};
    const auto args = splitWords(rest);

    auto arity = [&](size_t lo, size_t hi) { return args.size() >= lo && args.size() <= hi; };
    auto usage = [&](std::string_view form) {
        return fail(std::string(cmd) + ": expected '" + std::string(form) + "'");
    };

    if (cmd == "text") {
        auto text = unescape(rest);
        if (!text) return fail("text: bad escape sequence");
        auto bytes = buildText(*text);
        if (bytes.empty()) return fail("text: longer than one frame can carry");
        return control(cmd, std::move(bytes));
    }
    if (cmd == "raw" || cmd == "rawudp") {
        auto bytes = parseHex(rest);
        if (!bytes || bytes->empty()) return usage(std::string(cmd) + " HEX");
        if (cmd == "raw") return control(cmd, std::move(*bytes));
        ScriptAction a;
        a.kind = ScriptAction::Kind::udp;
        a.bytes = std::move(*bytes);
        a.command = std::string(cmd);
        return ScriptLine{std::move(a), {}};
    }
    if (cmd == "key") {
        auto usageCode = arity(2, 2) ? parseUnsigned<uint16_t>(args[0]) : std::nullopt;
        auto down = arity(2, 2) ? parseUnsigned<uint8_t>(args[1]) : std::nullopt;
        if (!usageCode || !down) return usage("key USAGE DOWN");
        return control(cmd, buildKey(*usageCode, *down != 0));
    }
    if (cmd == "mouseRel" || cmd == "mouseAbs") {
        auto a = arity(2, 2) ? parseFloat(args[0]) : std::nullopt;
        auto b = arity(2, 2) ? parseFloat(args[1]) : std::nullopt;
        if (!a || !b) return usage(std::string(cmd) + (cmd == "mouseRel" ? " DX DY" : " X Y"));
        return control(cmd, cmd == "mouseRel" ? buildMouseRel(*a, *b) : buildMouseAbs(*a, *b));
    }
    if (cmd == "button") {
        auto b = arity(2, 2) ? parseUnsigned<uint8_t>(args[0]) : std::nullopt;
        auto down = arity(2, 2) ? parseUnsigned<uint8_t>(args[1]) : std::nullopt;
        if (!b || !down) return usage("button B DOWN");
        return control(cmd, buildButton(*b, *down != 0));
    }
    if (cmd == "scroll") {
        auto dx = arity(2, 3) ? parseFloat(args[0]) : std::nullopt;
        auto dy = arity(2, 3) ? parseFloat(args[1]) : std::nullopt;
        auto phase = args.size() == 3 ? parsePhase(args[2]) : std::optional(ScrollPhase::wheel);
        if (!dx || !dy || !phase) return usage("scroll DX DY [PHASE]");
        return control(cmd, buildScroll(*dx, *dy, *phase));
    }
    if (cmd == "gesture") {
        auto action = arity(2, 3) ? parseGestureAction(args[0]) : std::nullopt;
        auto value = arity(2, 3) ? parseFloat(args[1]) : std::nullopt;
        auto phase = args.size() == 3 ? parsePhase(args[2]) : std::optional(ScrollPhase::changed);
        if (!action || !value || !phase) return usage("gesture ACTION VALUE [PHASE]");
        return control(cmd, buildGesture(*action, *value, *phase));
    }
    if (cmd == "ping") {
        auto v = arity(1, 1) ? parseUnsigned<uint64_t>(args[0]) : std::nullopt;
        if (!v) return usage("ping VALUE");
        return control(cmd, buildPing(*v));
    }
    if (cmd == "requestKeyframe" || cmd == "releaseAll") {
        if (!args.empty()) return usage(cmd);
        return control(cmd, cmd == "releaseAll" ? buildReleaseAll() : buildRequestKeyframe());
    }
    if (cmd == "resize") {
        auto w = arity(2, 2) ? parseUnsigned<uint16_t>(args[0]) : std::nullopt;
        auto h = arity(2, 2) ? parseUnsigned<uint16_t>(args[1]) : std::nullopt;
        if (!w || !h) return usage("resize W H");
        return control(cmd, buildResize(*w, *h));
    }
    if (cmd == "uiScale") {
        auto s = arity(1, 1) ? parseFloat(args[0]) : std::nullopt;
        if (!s) return usage("uiScale S");
        return control(cmd, buildUiScale(*s));
    }
    if (cmd == "stats") {
        auto r = arity(2, 2) ? parseUnsigned<uint32_t>(args[0]) : std::nullopt;
        auto d = arity(2, 2) ? parseUnsigned<uint32_t>(args[1]) : std::nullopt;
        if (!r || !d) return usage("stats RECEIVED DROPPED");
        return control(cmd, buildStats(*r, *d));
    }
    if (cmd == "sleep") {
        auto s = arity(1, 1) ? parseFloat(args[0]) : std::nullopt;
        if (!s || !std::isfinite(*s) || *s < 0 || *s > 3600) return usage("sleep SECONDS");
        ScriptAction a;
        a.kind = ScriptAction::Kind::sleep;
        a.seconds = *s;
        a.command = std::string(cmd);
        return ScriptLine{std::move(a), {}};
    }
    return fail("unknown command '" + std::string(cmd) + "'");
}

Script parseScript(std::string_view text) {
    Script script;
    size_t lineNo = 0;
    while (!text.empty()) {
        ++lineNo;
        const size_t nl = text.find('\n');
        const std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        auto parsed = parseScriptLine(line);
        if (!parsed.error.empty()) {
            script.actions.clear();
            script.error = "line " + std::to_string(lineNo) + ": " + parsed.error;
            return script;
        }
        if (parsed.action) script.actions.push_back(std::move(*parsed.action));
    }
    return script;
}

}  // namespace tarvello
