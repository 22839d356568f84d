#include "server/line_folder.h"

namespace tarvello {

std::optional<std::string> LineFolder::rollOver(double now) {
    if (now - windowStart_ < window) return std::nullopt;
    std::optional<std::string> summary;
    if (suppressed_ > 0)
        summary = "\u2026 " + std::to_string(suppressed_) + " more " + what_ + " in the last minute";
    windowStart_ = now;
    passed_ = 0;
    suppressed_ = 0;
    return summary;
}

LineFolder::Outcome LineFolder::add(double now) {
    Outcome out;
    out.summary = rollOver(now);
    if (passed_ < limit_) {
        ++passed_;
        out.pass = true;
    } else {
        ++suppressed_;
    }
    return out;
}

std::optional<std::string> LineFolder::flush(double now) {
    if (suppressed_ == 0) return std::nullopt;
    return rollOver(now);
}

}  // namespace tarvello
