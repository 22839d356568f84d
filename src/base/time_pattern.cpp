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

namespace {

// Reads the band whose row `y` runs from `left` across `width` pixels.
std::optional<uint32_t> readRow(const uint8_t* luma, int stride, int left, int width, int y) {
    auto at = [&](int cell) {
        // The middle half of the cell: scaling blurs its edges.
        const int from = left + edge(cell, width) + (edge(cell + 1, width) - edge(cell, width)) / 4;
        const int to = left + edge(cell + 1, width) - (edge(cell + 1, width) - edge(cell, width)) / 4;
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

constexpr int kBrighterThanBar = 64;

}  // namespace

std::optional<uint32_t> readTimePattern(const uint8_t* luma, int stride, int width, int height) {
    if (!luma || width < kTimePatternCells * 2 || height < 8) return std::nullopt;
    if (auto ms = readRow(luma, stride, 0, width, timePatternHeight(height) / 2)) return ms;

    // A screen of another shape, fitted into the picture between dark bars: its band
    // starts at the first row with a pixel well above the bars' level (the white guard
    // cell, at the screen's left edge), and the bars on either side are the same.
    const int bar = luma[0];
    const auto row = [&](int y) { return luma + size_t(y) * size_t(stride); };
    int top = -1;
    for (int y = 0; y < height / 2 && top < 0; ++y) {
        const uint8_t* r = row(y);
        for (int x = 0; x < width / 2; ++x) {
            if (r[x] >= bar + kBrighterThanBar) {
                top = y;
                break;
            }
        }
    }
    if (top < 0) return std::nullopt;
    const int screenHeight = height - 2 * top;
    const int y = top + timePatternHeight(screenHeight) / 2;
    const uint8_t* r = row(y);
    int left = 0;
    while (left < width / 2 && r[left] < bar + kBrighterThanBar) ++left;
    const int screenWidth = width - 2 * left;
    if (top == 0 && left == 0) return std::nullopt;  // no bars: read above already
    if (screenWidth < kTimePatternCells * 2 || screenHeight < 8) return std::nullopt;
    return readRow(luma, stride, left, screenWidth, y);
}

}  // namespace tarvello
