#include "picture_layout.h"

#include <cstring>

namespace tarvello::camera {

namespace {
constexpr uint8_t kLuma = 60, kCb = 150, kCr = 118;
}

std::vector<uint8_t> makePlaceholder(const PictureGeometry& g) {
    std::vector<uint8_t> out(g.bytes());
    const size_t lumaBytes = size_t(g.stride) * size_t(g.height);
    std::memset(out.data(), kLuma, lumaBytes);
    if (g.layout == PixelLayout::nv12) {
        for (size_t i = lumaBytes; i + 1 < out.size(); i += 2) {
            out[i] = kCb;
            out[i + 1] = kCr;
        }
    } else {
        const size_t planeBytes = (out.size() - lumaBytes) / 2;
        std::memset(out.data() + lumaBytes, kCb, planeBytes);
        std::memset(out.data() + lumaBytes + planeBytes, kCr, planeBytes);
    }
    return out;
}

bool copyNv12Into(std::span<const uint8_t> src, int srcStride, const PictureGeometry& g,
                  std::span<uint8_t> dst) {
    const size_t w = size_t(g.width), h = size_t(g.height), ss = size_t(srcStride), ds = size_t(g.stride);
    if (w == 0 || h == 0 || ss < w || ds < w || w % 2 || h % 2) return false;
    if (src.size() < ss * h * 3 / 2 || dst.size() < g.bytes()) return false;
    const uint8_t* sy = src.data();
    const uint8_t* suv = sy + ss * h;
    uint8_t* dy = dst.data();
    uint8_t* dc = dy + ds * h;
    if (g.layout == PixelLayout::nv12 && ss == ds) {
        std::memcpy(dy, sy, ss * h * 3 / 2);
        return true;
    }
    for (size_t r = 0; r < h; ++r) std::memcpy(dy + r * ds, sy + r * ss, w);
    if (g.layout == PixelLayout::nv12) {
        for (size_t r = 0; r < h / 2; ++r) std::memcpy(dc + r * ds, suv + r * ss, w);
        return true;
    }
    const size_t cs = ds / 2;
    uint8_t* du = dc;
    uint8_t* dv = dc + cs * (h / 2);
    for (size_t r = 0; r < h / 2; ++r) {
        const uint8_t* row = suv + r * ss;
        for (size_t x = 0; x < w / 2; ++x) {
            du[r * cs + x] = row[2 * x];
            dv[r * cs + x] = row[2 * x + 1];
        }
    }
    return true;
}

}  // namespace tarvello::camera
