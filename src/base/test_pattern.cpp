#include "base/test_pattern.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace tarvello {

namespace {

constexpr size_t noiseSize = 1 << 16;
constexpr int counterBits = 16;

const std::array<uint8_t, noiseSize>& noiseTable() {
    static const auto table = [] {
        std::array<uint8_t, noiseSize> t{};
        uint32_t state = 0x12345678u;
        for (auto& v : t) {
            state = state * 1664525u + 1013904223u;
            v = uint8_t(16 + (state >> 24) * 219 / 255);
        }
        return t;
    }();
    return table;
}

struct Colour {
    uint8_t y, u, v;
};
// Video-range bars: white, yellow, cyan, green, magenta, red, blue, black.
constexpr std::array<Colour, 8> bars{{{235, 128, 128},
                                      {210, 16, 146},
                                      {170, 166, 16},
                                      {145, 54, 34},
                                      {106, 202, 222},
                                      {81, 90, 240},
                                      {41, 240, 110},
                                      {16, 128, 128}}};

// Position on a back-and-forth path of the given span.
int bounce(uint64_t step, int span) {
    if (span <= 0) return 0;
    const uint64_t period = uint64_t(span) * 2;
    const auto p = int(step % period);
    return p <= span ? p : int(period) - p;
}

int counterBlockSize(int width) {
    return std::clamp(width / (counterBits + 4), 8, 32);
}

}  // namespace

void drawTestPattern(VideoFrame& frame, uint64_t frameIndex) {
    const int w = frame.width, h = frame.height;
    if (w <= 0 || h <= 0 || frame.strideY < w || frame.strideUV < w - (w & 1)) return;
    if (frame.y.size() < size_t(frame.strideY) * size_t(h) ||
        frame.uv.size() < size_t(frame.strideUV) * size_t(h / 2))
        return;
    const int cw = w / 2, ch = h / 2;

    // Bars drift right by 4 pixels a frame.
    const int shift = int((frameIndex * 4) % uint64_t(w));
    std::vector<uint8_t> yRow(static_cast<size_t>(w)), uvRow(static_cast<size_t>(cw) * 2);
    for (int x = 0; x < w; ++x) yRow[size_t(x)] = bars[size_t((x + w - shift) % w) * 8 / size_t(w)].y;
    for (int x = 0; x < cw; ++x) {
        const Colour& c = bars[size_t((2 * x + w - shift) % w) * 8 / size_t(w)];
        uvRow[size_t(2 * x)] = c.u;
        uvRow[size_t(2 * x + 1)] = c.v;
    }
    for (int r = 0; r < h; ++r)
        std::memcpy(&frame.y[size_t(r) * size_t(frame.strideY)], yRow.data(), size_t(w));
    for (int r = 0; r < ch; ++r)
        std::memcpy(&frame.uv[size_t(r) * size_t(frame.strideUV)], uvRow.data(), uvRow.size());

    // Noise band scrolling up two rows a frame, like scrolled text: detail the encoder
    // can follow with motion vectors but must still code where new rows enter.
    const auto& noise = noiseTable();
    const int bandTop = h / 3, bandBottom = bandTop + h / 6;
    constexpr uint64_t rowStep = 613;
    for (int r = bandTop; r < bandBottom; ++r) {
        size_t from = size_t((uint64_t(r) + frameIndex * 2) * rowStep % noiseSize);
        uint8_t* dst = &frame.y[size_t(r) * size_t(frame.strideY)];
        for (int x = 0; x < w;) {
            const size_t n = std::min(size_t(w - x), noiseSize - from);
            std::memcpy(dst + x, &noise[from], n);
            x += int(n);
            from = 0;
        }
    }
    for (int r = bandTop / 2; r < bandBottom / 2; ++r)
        std::memset(&frame.uv[size_t(r) * size_t(frame.strideUV)], 128, size_t(cw) * 2);

    // A bouncing red box, on even coordinates so luma and chroma line up.
    const int box = std::max(2, std::min(w, h) / 6) & ~1;
    const int bx = bounce(frameIndex * 6, w - box) & ~1, by = bounce(frameIndex * 4, h - box) & ~1;
    for (int r = by; r < std::min(h, by + box); ++r)
        std::memset(&frame.y[size_t(r) * size_t(frame.strideY) + size_t(bx)], 81,
                    size_t(std::min(box, w - bx)));
    for (int r = by / 2; r < std::min(ch, (by + box) / 2); ++r) {
        uint8_t* dst = &frame.uv[size_t(r) * size_t(frame.strideUV)];
        for (int x = bx / 2; x < std::min(cw, (bx + box) / 2); ++x) {
            dst[size_t(2 * x)] = 90;
            dst[size_t(2 * x + 1)] = 240;
        }
    }

    // Frame counter: the low 16 bits as black (0) and white (1) blocks on grey.
    const int b = counterBlockSize(w);
    if (w < b * counterBits || h < b) return;
    for (int r = 0; r < b; ++r) {
        uint8_t* dst = &frame.y[size_t(r) * size_t(frame.strideY)];
        for (int bit = 0; bit < counterBits; ++bit)
            std::memset(dst + bit * b, (frameIndex >> bit) & 1 ? 235 : 16, size_t(b));
    }
    for (int r = 0; r < b / 2; ++r)
        std::memset(&frame.uv[size_t(r) * size_t(frame.strideUV)], 128, size_t(b * counterBits));
}

uint64_t readTestPatternIndex(const uint8_t* luma, int stride, int width, int height) {
    const int b = counterBlockSize(width);
    if (!luma || width < b * counterBits || height < b) return 0;
    uint64_t index = 0;
    for (int bit = 0; bit < counterBits; ++bit)
        if (luma[size_t(b / 2) * size_t(stride) + size_t(bit * b + b / 2)] > 128) index |= uint64_t(1) << bit;
    return index;
}

}  // namespace tarvello
