#include "video/text_page.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace tarvello {

namespace {

// Exactly specified by its recurrence, unlike the standard distributions: the page
// must not depend on the library it was built with.
struct Random {
    uint64_t state;
    uint32_t next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return uint32_t(state >> 32);
    }
    int below(int n) { return int(next() % uint32_t(n)); }
};

struct Segment {
    float x0, y0, x1, y1;  // in the ink box: 0..1 across, 0 the cap height, 1 the baseline
};

// A sixteen-segment display's strokes, more or less; x-height letters use the lower ones.
constexpr std::array<Segment, 13> kStrokes{{
    {0, 0, 0, 1},
    {1, 0, 1, 1},
    {0, 0.4f, 0, 1},
    {1, 0.4f, 1, 1},
    {0, 0, 1, 0},
    {0, 0.4f, 1, 0.4f},
    {0, 1, 1, 1},
    {0, 0, 1, 1},
    {0, 1, 1, 0},
    {0.5f, 0, 0.5f, 1},
    {0.5f, 0.4f, 0.5f, 1},
    {0, 0.7f, 1, 0.7f},
    {0, 0.4f, 1, 1},
}};
constexpr std::array<int, 8> kLowerStrokes{2, 3, 5, 6, 10, 11, 12, 8};

constexpr int kGlyphs = 72;
using Coverage = std::array<uint8_t, TextPage::cellWidth * TextPage::cellHeight>;

float distanceToSegment(float px, float py, float ax, float ay, float bx, float by) {
    const float dx = bx - ax, dy = by - ay;
    const float len2 = dx * dx + dy * dy;
    float t = len2 > 0 ? ((px - ax) * dx + (py - ay) * dy) / len2 : 0;
    t = std::clamp(t, 0.0f, 1.0f);
    const float ex = px - (ax + t * dx), ey = py - (ay + t * dy);
    return std::sqrt(ex * ex + ey * ey);
}

Coverage drawGlyph(Random& random) {
    constexpr float left = 2.5f, right = TextPage::cellWidth - 2.5f, top = 5.5f, baseline = 20.5f;
    constexpr float halfStroke = 0.95f;
    constexpr int kSamples = 4;
    const bool small = random.below(10) < 7;
    std::array<int, 4> picked{};
    const int count = 2 + random.below(3);
    for (int i = 0; i < count; ++i)
        picked[size_t(i)] = small ? kLowerStrokes[size_t(random.below(int(kLowerStrokes.size())))]
                                  : random.below(int(kStrokes.size()));
    Coverage cov{};
    for (int y = 0; y < TextPage::cellHeight; ++y) {
        for (int x = 0; x < TextPage::cellWidth; ++x) {
            int hits = 0;
            for (int sy = 0; sy < kSamples; ++sy) {
                for (int sx = 0; sx < kSamples; ++sx) {
                    const float px = float(x) + (float(sx) + 0.5f) / kSamples;
                    const float py = float(y) + (float(sy) + 0.5f) / kSamples;
                    for (int i = 0; i < count; ++i) {
                        const Segment& s = kStrokes[size_t(picked[size_t(i)])];
                        auto mapX = [&](float u) { return left + u * (right - left); };
                        auto mapY = [&](float v) { return top + v * (baseline - top); };
                        if (distanceToSegment(px, py, mapX(s.x0), mapY(s.y0), mapX(s.x1), mapY(s.y1)) <=
                            halfStroke) {
                            ++hits;
                            break;
                        }
                    }
                }
            }
            cov[size_t(y * TextPage::cellWidth + x)] = uint8_t(hits * 255 / (kSamples * kSamples));
        }
    }
    return cov;
}

struct Rgb {
    uint8_t r, g, b;
};

struct Style {
    Rgb background;
    std::array<Rgb, 4> ink;
};

constexpr Style kTerminal{{30, 30, 30}, {{{204, 204, 204}, {106, 153, 85}, {86, 156, 214}, {206, 145, 120}}}};
constexpr Style kDocument{{255, 255, 255}, {{{20, 20, 20}, {20, 20, 20}, {60, 60, 60}, {26, 13, 171}}}};
constexpr int kLinesPerStretch = 40;

void fillRow(uint8_t* row, int width, Rgb c) {
    for (int x = 0; x < width; ++x) {
        row[x * 4] = c.b;
        row[x * 4 + 1] = c.g;
        row[x * 4 + 2] = c.r;
        row[x * 4 + 3] = 255;
    }
}

void blend(uint8_t* px, Rgb bg, Rgb fg, uint8_t cov) {
    auto mix = [cov](uint8_t b, uint8_t f) { return uint8_t((b * (255 - cov) + f * cov + 127) / 255); };
    px[0] = mix(bg.b, fg.b);
    px[1] = mix(bg.g, fg.g);
    px[2] = mix(bg.r, fg.r);
}

}  // namespace

TextPage TextPage::render(int width, int height, uint32_t seed) {
    TextPage page;
    page.width = std::max(width, 0);
    page.height = std::max(height, 0);
    page.bgrx.resize(size_t(page.width) * size_t(page.height) * 4);
    Random random{0x9E3779B97F4A7C15ull ^ (uint64_t(seed) << 1 | 1)};

    std::array<Coverage, kGlyphs> glyphs;
    for (auto& g : glyphs) g = drawGlyph(random);

    const int columns = page.width / cellWidth;
    for (int line = 0; line * cellHeight < page.height; ++line) {
        const Style& style = (line / kLinesPerStretch) % 2 == 0 ? kTerminal : kDocument;
        const int top = line * cellHeight;
        const int rows = std::min(cellHeight, page.height - top);
        for (int y = 0; y < rows; ++y)
            fillRow(page.bgrx.data() + size_t(top + y) * size_t(page.width) * 4, page.width,
                    style.background);
        if (random.below(8) == 0 || columns < 2) continue;  // an empty line

        int column = random.below(5) * 2;
        const int end = std::min(columns, columns / 3 + random.below(columns - columns / 3 + 1));
        while (column < end) {
            const Rgb ink = style.ink[size_t(random.below(int(style.ink.size())))];
            const int length = 1 + random.below(9);
            for (int i = 0; i < length && column < end; ++i, ++column) {
                const Coverage& g = glyphs[size_t(random.below(kGlyphs))];
                for (int y = 0; y < rows; ++y) {
                    uint8_t* px = page.bgrx.data() +
                                  (size_t(top + y) * size_t(page.width) + size_t(column * cellWidth)) * 4;
                    for (int x = 0; x < cellWidth; ++x, px += 4)
                        if (const uint8_t c = g[size_t(y * cellWidth + x)])
                            blend(px, style.background, ink, c);
                }
            }
            ++column;  // the space between words
        }
    }
    return page;
}

}  // namespace tarvello
