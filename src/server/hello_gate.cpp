#include "server/hello_gate.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <vector>

#include "protocol/messages.h"
#include "protocol/pontel.h"

namespace tarvello {

namespace {
std::optional<double> parseDecimal(const std::string& text) {
    double v = 0;
    auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || p != text.data() + text.size() || text.empty()) return std::nullopt;
    return v;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> pieces;
    size_t start = 0;
    for (;;) {
        const size_t lf = text.find('\n', start);
        pieces.push_back(text.substr(start, lf == std::string::npos ? std::string::npos : lf - start));
        if (lf == std::string::npos) break;
        start = lf + 1;
    }
    return pieces;
}
}  // namespace

HelloVerdict HelloGate::check(const std::string& remoteAddress, std::span<const uint8_t> payload, double now,
                              const std::string& token, double currentScale) {
    const Hello h = decodeHello(payload);
    const auto pieces = lines(h.text);
    HelloVerdict v;
    const std::string code = pieces[0];
    v.clientName = pieces.size() > 1 ? pieces[1] : "iPhone";
    if (pieces.size() > 2) {
        auto scale = parseDecimal(pieces[2]);
        if (scale && *scale >= 1.0 && *scale <= 4.0 && *scale != currentScale &&
            now - lastScaleWrite_ >= scaleWriteInterval) {
            lastScaleWrite_ = now;
            v.storeScale = *scale;
        }
    }

    if (token != lastToken_) {
        if (!lastToken_.empty()) throttle_.reset();
        lastToken_ = token;
    }
    const std::string key = PairingThrottle::addressKey(remoteAddress);
    if (auto wait = throttle_.admit(key, now)) {
        v.refusal = "Too many attempts: try again in " + std::to_string(int64_t(std::ceil(*wait))) + " s";
        return v;
    }
    if (h.version != Pontel::protocolVersion) {
        throttle_.recordFailure(key, now);
        v.refusal = "Incompatible versions (iPhone " + std::to_string(h.version) + ", Mac " +
                    std::to_string(Pontel::protocolVersion) + "): update both apps";
        return v;
    }
    if (token.empty() || code != token) {
        throttle_.recordWrongCode(key, now);
        v.refusal = "Wrong code";
        return v;
    }
    throttle_.recordSuccess(key);
    v.accepted = true;
    v.width = std::min<int>(h.width, maxSide);
    v.height = std::min<int>(h.height, maxSide);
    v.refreshRate = h.refreshRate;
    return v;
}

}  // namespace tarvello
