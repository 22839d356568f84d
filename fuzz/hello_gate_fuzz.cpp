// The hello handling and its throttles, as a stream of hellos from several addresses
// interleaved with the passing of time and new codes. Whatever arrives, a hello is
// accepted only with the current code and version, pictures stay within bounds, the
// text size is written at most once a second, and past the global budget no more than
// one code is checked every 10 s.

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>

#include "fuzz_check.h"
#include "protocol/byte_codec.h"
#include "protocol/messages.h"
#include "protocol/pontel.h"
#include "server/hello_gate.h"
#include "server/line_folder.h"

using namespace tarvello;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const char* kAddresses[] = {"10.0.0.1",    "10.0.0.2",    "192.168.1.7",     "::ffff:10.0.0.1",
                                       "2001:db8::1", "2001:db8::2", "2001:db8:0:1::1", ""};
    HelloGate gate;
    LineFolder folder("refusals");
    double now = 1000;
    std::string token = "123456";
    double scale = 2.0;
    std::optional<double> lastScaleWrite;
    std::optional<double> lastGuardedCheck;
    size_t i = 0;
    while (i < size) {
        const uint8_t op = data[i++];
        switch (op % 4) {
            case 0:
            case 1: {
                if (i >= size) return 0;
                const char* address = kAddresses[data[i++] % 8];
                const size_t len = i < size ? std::min<size_t>(data[i++], size - i) : 0;
                std::span<const uint8_t> payload(data + i, len);
                i += len;
                // Half the hellos are well formed around the right code, to reach acceptance.
                Bytes built;
                if (op % 4 == 1) {
                    std::string text(reinterpret_cast<const char*>(payload.data()), payload.size());
                    if (!text.empty() && text[0] == '!') text = token + text.substr(1);
                    const uint16_t w = payload.size() > 1 ? uint16_t(payload[0] << 8 | payload[1]) : 320;
                    const Bytes framed = buildHello({Pontel::protocolVersion, w, 240, 60, text});
                    built.assign(framed.begin() + 3, framed.end());
                    payload = built;
                }
                const bool guardedBefore = gate.throttle().guarding(now);
                const HelloVerdict v = gate.check(address, payload, now, token, scale);
                const Hello h = decodeHello(payload);
                FUZZ_CHECK(v.accepted == v.refusal.empty());
                if (v.accepted) {
                    FUZZ_CHECK(h.version == Pontel::protocolVersion);
                    FUZZ_CHECK(h.text.substr(0, h.text.find('\n')) == token);
                    FUZZ_CHECK(v.width >= 0 && v.width <= HelloGate::maxSide);
                    FUZZ_CHECK(v.height >= 0 && v.height <= HelloGate::maxSide);
                }
                if (guardedBefore && v.refusal.rfind("Too many attempts", 0) != 0) {
                    FUZZ_CHECK(!lastGuardedCheck ||
                               now - *lastGuardedCheck >= PairingThrottle::guardedInterval);
                    lastGuardedCheck = now;
                }
                if (v.storeScale) {
                    FUZZ_CHECK(*v.storeScale >= 1.0 && *v.storeScale <= 4.0 && *v.storeScale != scale);
                    FUZZ_CHECK(!lastScaleWrite || now - *lastScaleWrite >= HelloGate::scaleWriteInterval);
                    lastScaleWrite = now;
                    scale = *v.storeScale;
                }
                if (!v.accepted) folder.add(now);
                break;
            }
            case 2:
                if (i < size) now += data[i++] * 0.25;
                break;
            case 3:
                token = std::to_string(100000 + (now > 0 ? int(now) % 900000 : 0));
                lastGuardedCheck.reset();
                if (auto summary = folder.flush(now))
                    FUZZ_CHECK(summary->find("more refusals") != std::string::npos);
                break;
        }
    }
    return 0;
}
