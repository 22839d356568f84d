#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tarvello {

// Folds a flood of one kind of log line: at most `limit` lines per minute pass; the
// rest are counted and summarised once the minute is over ("… N more <what> in the
// last minute"), so a peer sending garbage cannot fill the disk or the menu's log.
class LineFolder {
public:
    static constexpr double window = 60.0;

    LineFolder(std::string what, int limit = 20) : what_(std::move(what)), limit_(limit) {}

    struct Outcome {
        bool pass = false;                   // log the line itself
        std::optional<std::string> summary;  // log this first: the previous minute's count
    };
    Outcome add(double now);
    // The summary of a finished minute, if lines were held back in it; for a timer that
    // reports a quiet end of a flood.
    std::optional<std::string> flush(double now);
    bool holding() const { return suppressed_ > 0; }

private:
    std::optional<std::string> rollOver(double now);

    std::string what_;
    int limit_;
    double windowStart_ = -1e300;
    int passed_ = 0;
    int64_t suppressed_ = 0;
};

}  // namespace tarvello
