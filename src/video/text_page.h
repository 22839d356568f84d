#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarvello {

// A picture of what a desktop shows most: lines of text, in stretches of a dark
// terminal with coloured words and of a light page with dark ones. The glyphs are
// drawn by this code (anti-aliased strokes, no font file), so the same arguments
// give the same bytes on every machine. For weighing encoder settings on text.
struct TextPage {
    static constexpr int cellWidth = 13, cellHeight = 26;

    int width = 0, height = 0;
    std::vector<uint8_t> bgrx;  // rows of width × 4 bytes, the fourth byte 255

    // Null-free: a size below one cell gives a page of background only.
    static TextPage render(int width, int height, uint32_t seed = 1);
    const uint8_t* row(int y) const { return bgrx.data() + size_t(y) * size_t(width) * 4; }
};

}  // namespace tarvello
