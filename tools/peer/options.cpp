#include "options.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string_view>

#include "protocol/peer_script.h"

namespace tarvello::peer {
namespace {

std::optional<double> parsePositive(std::string_view s) {
    double v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (s.empty() || ec != std::errc() || end != s.data() + s.size() || !std::isfinite(v) || v <= 0) {
        return std::nullopt;
    }
    return v;
}

}  // namespace

const char* usageText() {
    return R"(Usage: tarvello-peer HOST [options]

Plays the phone over the real wire: connects to HOST on the control port, sends
hello, registers a UDP socket for video, reassembles and decodes the stream,
sends stats and pings, optionally plays an input script, then prints a summary.

Session:
  --code CODE            pairing code sent in hello (required unless --no-code)
  --no-code              send an empty pairing code
  --size WxH             display size asked for (default 1179x2556)
  --refresh HZ           refresh rate sent in hello, 0-255 (default 60)
  --name NAME            name sent as the second hello line (default tarvello-peer)
  --scale S              text sent verbatim as the third hello line (text scale)
  --version V            protocol version sent in hello (default 3)
  --control-port P       TCP control port (default 47800)
  --video-port P         UDP video port (default 47801)
  --register-session ID  register the UDP socket with this session id instead of
                         the one the server acknowledged
  --no-register          never send the UDP registration

Run length (the run also ends when the server closes the connection):
  --frames N             stop once N frames are decoded and the script is done
  --seconds S            stop S seconds after acceptance
  --timeout S            hard deadline from start (default 30, or S + 15 when
                         --seconds S is longer)
  --latency S            measure glass-to-glass latency for S seconds, then stop:
                         each decoded picture's time pattern (tarvello --time-probe
                         drawing on the session display) is read against this
                         machine's monotonic clock
  --warmup S             seconds after acceptance before --latency starts (default 1)
  Without --frames, --seconds and --latency the run ends when the script is done,
  or, with no script either, when the server closes or the deadline passes.

Input and output:
  --script FILE          play input messages from FILE after acceptance, one per
                         line ('#' starts a comment):
                           key USAGE DOWN          mouseRel DX DY
                           mouseAbs X Y            button B DOWN
                           scroll DX DY [PHASE]    text TEXT (escapes \n \t \r \\ \xHH)
                           gesture ACTION VALUE [PHASE]
                           ping VALUE              requestKeyframe
                           resize W H              uiScale S
                           releaseAll              stats RECEIVED DROPPED
                           sleep SECONDS
                           raw HEX                 bytes written as-is to the TCP stream
                           rawudp HEX              datagram sent to the video port
                         PHASE: wheel|began|changed|ended or a raw number;
                         ACTION: spaceLeft spaceRight missionControl appExpose
                         launchpad showDesktop lookUp smartZoom magnify rotate, or
                         a raw number. Integers may be written as 0x hex.
  --save-frame FILE.png  save the last decoded frame as PNG
  --camera WxH           be the phone's camera: while the server asks for it
                         (cameraRequest 1 until 0), send cameraHEVC datagrams of a
                         WxH test picture (left half luma 200, right half luma 50) at
                         30 fps, a keyframe every second; "camera sent=N" before the
                         summary
  --quiet                print only the Accepted/Refused lines, errors and the summary
  --help                 show this text

Output: "Accepted: session ID WxH CODEC host "NAME"" on acceptance; once a second
"fps N Mb/s X.XX drops N rtt X.X ms kbps-target N"; one line per other message
received (cursor, cursorImage, textFocus, selection, gestureConfig, macStatus,
micRequest, cameraRequest, foreign pong); at the end
"summary frames=N keyframes=N first_keyframe=0|1 width=W height=H codec=C lost=N
datagrams=N bytes=N" (bytes: video payload bytes received). With --latency, before
the summary: "latency seconds=S frames=N measured=N unreadable=N repeated=N
implausible=N p50_ms=X p95_ms=X p99_ms=X max_ms=X fps=X mbps=X drops=N
decode_p50_ms=X decode_p95_ms=X" (frames: pictures decoded in the window; measured:
those showing a new time; repeated: the same time as the picture before; drops:
frames lost in the window; decode: this side's decoding time per frame).

Exit status: 0 success; 1 usage error; 2 refused ("Refused: REASON" on stderr);
3 accepted but no frame decoded although --frames, --seconds or --latency asked
for frames, or no picture showed a time to measure with --latency;
4 connection failed or closed (or deadline passed) before acceptance;
5 the frame could not be saved.
)";
}

ParsedOptions parseOptions(int argc, char** argv) {
    ParsedOptions r;
    PeerOptions& o = r.options;
    bool haveCode = false, haveTimeout = false;
    auto fail = [&](std::string message) {
        r.error = std::move(message);
        return r;
    };

    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            r.help = true;
            return r;
        }
        if (arg.rfind("--", 0) != 0) {
            if (!o.host.empty()) return fail("more than one HOST: " + std::string(arg));
            o.host = std::string(arg);
            continue;
        }
        std::string_view key = arg;
        std::optional<std::string_view> inlineValue;
        if (auto eq = arg.find('='); eq != std::string_view::npos) {
            key = arg.substr(0, eq);
            inlineValue = arg.substr(eq + 1);
        }
        auto flag = [&]() {
            if (inlineValue) r.error = std::string(key) + " takes no value";
            return r.error.empty();
        };
        std::string_view v;
        auto value = [&]() {
            if (inlineValue) {
                v = *inlineValue;
                return true;
            }
            if (i + 1 >= argc) {
                r.error = std::string(key) + " needs a value";
                return false;
            }
            v = argv[++i];
            return true;
        };
        auto bad = [&]() {
            return fail("invalid value for " + std::string(key) + ": '" + std::string(v) + "'");
        };

        if (key == "--no-code") {
            if (!flag()) return r;
            o.noCode = true;
        } else if (key == "--no-register") {
            if (!flag()) return r;
            o.noRegister = true;
        } else if (key == "--quiet") {
            if (!flag()) return r;
            o.quiet = true;
        } else if (key == "--code") {
            if (!value()) return r;
            o.code = std::string(v);
            haveCode = true;
        } else if (key == "--size") {
            if (!value()) return r;
            const size_t x = v.find('x');
            if (x == std::string_view::npos) return bad();
            auto w = parseUnsigned<uint16_t>(v.substr(0, x));
            auto h = parseUnsigned<uint16_t>(v.substr(x + 1));
            if (!w || !h) return bad();
            o.width = *w;
            o.height = *h;
        } else if (key == "--refresh") {
            if (!value()) return r;
            auto hz = parseUnsigned<uint8_t>(v);
            if (!hz) return bad();
            o.refresh = *hz;
        } else if (key == "--name") {
            if (!value()) return r;
            o.name = std::string(v);
        } else if (key == "--scale") {
            if (!value()) return r;
            o.scale = std::string(v);
        } else if (key == "--version") {
            if (!value()) return r;
            auto ver = parseUnsigned<uint32_t>(v);
            if (!ver) return bad();
            o.version = *ver;
        } else if (key == "--control-port" || key == "--video-port") {
            if (!value()) return r;
            auto port = parseUnsigned<uint16_t>(v);
            if (!port || *port == 0) return bad();
            (key == "--control-port" ? o.controlPort : o.videoPort) = *port;
        } else if (key == "--frames") {
            if (!value()) return r;
            auto n = parseUnsigned<uint64_t>(v);
            if (!n || *n == 0) return bad();
            o.frames = *n;
        } else if (key == "--seconds" || key == "--timeout" || key == "--latency") {
            if (!value()) return r;
            auto s = parsePositive(v);
            if (!s) return bad();
            if (key == "--seconds") {
                o.seconds = *s;
            } else if (key == "--latency") {
                o.latency = *s;
            } else {
                o.timeout = *s;
                haveTimeout = true;
            }
        } else if (key == "--warmup") {
            if (!value()) return r;
            double s = 0;
            auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), s);
            if (v.empty() || ec != std::errc() || end != v.data() + v.size() || !std::isfinite(s) || s < 0)
                return bad();
            o.warmup = s;
        } else if (key == "--save-frame") {
            if (!value()) return r;
            if (v.empty()) return bad();
            o.saveFrame = std::string(v);
        } else if (key == "--script") {
            if (!value()) return r;
            if (v.empty()) return bad();
            o.script = std::string(v);
        } else if (key == "--camera") {
            if (!value()) return r;
            const size_t x = v.find('x');
            if (x == std::string_view::npos) return bad();
            auto w = parseUnsigned<uint16_t>(v.substr(0, x));
            auto h = parseUnsigned<uint16_t>(v.substr(x + 1));
            if (!w || !h || *w < 16 || *h < 16 || *w % 2 || *h % 2) return bad();
            o.cameraWidth = *w;
            o.cameraHeight = *h;
        } else if (key == "--register-session") {
            if (!value()) return r;
            auto id = parseUnsigned<uint32_t>(v);
            if (!id) return bad();
            o.registerSession = *id;
        } else {
            return fail("unknown option " + std::string(key));
        }
    }

    if (o.host.empty()) return fail("HOST is missing");
    if (haveCode == o.noCode)
        return fail(o.noCode ? "--code and --no-code exclude each other" : "--code is required");
    if (o.noRegister && o.registerSession)
        return fail("--no-register and --register-session exclude each other");
    if (!haveTimeout && o.seconds && *o.seconds + 15 > o.timeout) o.timeout = *o.seconds + 15;
    if (!haveTimeout && o.latency && o.warmup + *o.latency + 15 > o.timeout)
        o.timeout = o.warmup + *o.latency + 15;
    return r;
}

}  // namespace tarvello::peer
