#include "base/time_pattern.h"

namespace tarvello {

namespace {
// Cell edges as fractions of the width, rounded the same way on both ends.
int edge(int cell, int width) {
    return int(int64_t(cell) * width / kTimePatternCells);
}
}  // namespace

std::vector<PatternCell> timePatternCells(uint32_t ms, int width) {
    std::vector<PatternCell> cells;
    cells.reserve(kTimePatternCells);
    for (int i = 0; i < kTimePatternCells; ++i) {
        bool white = i == 0;
        if (i >= 2) white = (ms >> (kTimePatternBits - 1 - (i - 2))) & 1u;
        cells.push_back({edge(i, width), edge(i + 1, width) - edge(i, width), white});
    }
    return cells;
}

int timePatternHeight(int height) {
    return height / 32 > 4 ? height / 32 : 4;
}

std::optional<uint32_t> readTimePattern(const uint8_t* luma, int stride, int width, int height) {
    if (!luma || width < kTimePatternCells * 2 || height < 8) return std::nullopt;
    const int y = timePatternHeight(height) / 2;
    auto at = [&](int cell) {
        // The middle half of the cell: scaling blurs its edges.
        const int left = edge(cell, width), right = edge(cell + 1, width);
        const int from = left + (right - left) / 4, to = right - (right - left) / 4;
        int sum = 0, n = 0;
        for (int x = from; x < to; ++x, ++n) sum += luma[size_t(y) * size_t(stride) + size_t(x)];
        return n ? sum / n : 0;
    };
    const int white = at(0), black = at(1);
    if (white - black < 64) return std::nullopt;
    const int threshold = (white + black) / 2;
    uint32_t ms = 0;
    for (int i = 0; i < kTimePatternBits; ++i) ms = (ms << 1) | (at(i + 2) > threshold ? 1u : 0u);
    return ms;
}

}  // namespace tarvello
