#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace tarvello {

// A timestamp drawn on screen so the far end can measure glass-to-glass latency: a
// band across the top of the screen, kTimePatternCells cells wide: one white and one
// black guard cell, then the 32 bits of a millisecond count, most significant first
// (white = 1). Cells are fractions of the width, so the pattern survives scaling.
inline constexpr int kTimePatternBits = 32;
inline constexpr int kTimePatternCells = kTimePatternBits + 2;

struct PatternCell {
    int x = 0, width = 0;
    bool white = false;
};

// The cells to paint for `ms` on a screen `width` pixels wide.
std::vector<PatternCell> timePatternCells(uint32_t ms, int width);
// Height of the band on a screen `height` pixels high.
int timePatternHeight(int height);

// Reads the pattern from a luma plane (any size the screen was scaled to, also when it
// was fitted into a picture of another shape between dark bars). Nothing when the guard cells are missing or
// too close in brightness to tell bits apart.
std::optional<uint32_t> readTimePattern(const uint8_t* luma, int stride, int width, int height);

}  // namespace tarvello
