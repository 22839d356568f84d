#include "base/text_format.h"

#include <charconv>
#include <cmath>

namespace tarvello {

std::string formatShortestDouble(double v) {
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    if (ec != std::errc()) return "nan";
    std::string s(buf, end);
    if (std::isfinite(v) && s.find_first_of(".eE") == std::string::npos) s += ".0";
    return s;
}

std::string formatHex(uint64_t v) {
    char buf[32];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v, 16);
    (void)ec;
    return std::string(buf, end);
}

}  // namespace tarvello
