#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "server/pairing_throttle.h"

namespace tarvello {

// What the server makes of one hello: the decision and what the phone asked for.
struct HelloVerdict {
    bool accepted = false;
    std::string refusal;  // the helloRefused text when not accepted
    std::string clientName;
    int width = 0, height = 0, refreshRate = 0;  // clamped to what we serve
    std::optional<double> storeScale;            // a text size for the settings
};

// Decides hellos: pairing code, protocol version, the throttles. Holds no sockets, so
// the same code runs under the server and under the fuzzer. Not thread-safe: the
// server calls it on its control queue.
class HelloGate {
public:
    static constexpr int maxSide = 8192;
    // The text size travels even in refused hellos; a flood of them must not become a
    // flood of settings writes.
    static constexpr double scaleWriteInterval = 1.0;

    // `token` is the pairing code as the settings hold it now: a different code than at
    // the last hello (the menu or another process made a new one) clears the throttles.
    HelloVerdict check(const std::string& remoteAddress, std::span<const uint8_t> payload, double now,
                       const std::string& token, double currentScale);

    PairingThrottle& throttle() { return throttle_; }

private:
    PairingThrottle throttle_;
    std::string lastToken_;
    double lastScaleWrite_ = -1e300;
};

}  // namespace tarvello
