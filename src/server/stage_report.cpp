#include "server/stage_report.h"

#include <cinttypes>
#include <cstdio>

namespace tarvello {

namespace {
// A stage counts when both of its ends were stamped, in order.
void addSpan(LatencyHistogram& h, double from, double to) {
    if (from > 0 && to >= from) h.add((to - from) * 1000.0);
}
}  // namespace

std::optional<std::string> StageReport::add(const FrameTimes& t, double sendStart, double sent) {
    if (!since_) since_ = sendStart;
    ++frames_;
    addSpan(stages_[capture], t.grabStart, t.grabbed);
    addSpan(stages_[convert], t.grabbed, t.converted);
    addSpan(stages_[encode], t.encodeStart, t.encoded);
    addSpan(stages_[send], sendStart, sent);
    addSpan(stages_[total], t.grabStart, sent);
    if (sent - *since_ < interval_) return std::nullopt;
    std::string line = summary();
    since_.reset();
    frames_ = 0;
    for (auto& h : stages_) h.clear();
    return line;
}

std::string StageReport::summary() const {
    static constexpr const char* names[stageCount] = {"capture", "convert", "encode", "send", "total"};
    char text[96];
    std::snprintf(text, sizeof text, "Stage times over %" PRIu64 " frames, ms p50/p95:", frames_);
    std::string line = text;
    const char* separator = " ";
    for (int i = 0; i < stageCount; ++i) {
        const LatencyHistogram& h = stages_[size_t(i)];
        if (h.count() == 0) continue;
        std::snprintf(text, sizeof text, "%s%s %.2f/%.2f", separator, names[i], h.percentile(50),
                      h.percentile(95));
        line += text;
        separator = ", ";
    }
    return line;
}

}  // namespace tarvello
