#pragma once

#include <array>
#include <optional>
#include <string>

#include "base/video_frame.h"
#include "video/latency_stats.h"

namespace tarvello {

// Summarises how long frames spend in each stage of the way out: reading the screen
// (capture), scaling and converting to NV12 (convert), compressing (encode), and
// handing the datagrams to the kernel (send); total runs from the start of the read to
// the last datagram. Stages a frame carries no stamps for are left out of that stage.
// Confined to one thread (the video queue).
class StageReport {
public:
    // A summary is due once the frames added span `interval` seconds.
    explicit StageReport(double interval) : interval_(interval) {}

    // One sent frame: its stamps, and when its send began and ended. Returns the
    // summary line when one is due; the next summary starts afresh.
    std::optional<std::string> add(const FrameTimes& times, double sendStart, double sent);

private:
    enum Stage { capture, convert, encode, send, total, stageCount };
    std::string summary() const;

    double interval_;
    std::optional<double> since_;
    uint64_t frames_ = 0;
    std::array<LatencyHistogram, stageCount> stages_;
};

}  // namespace tarvello
