#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "protocol/byte_codec.h"

namespace tarvello {

enum class PngPixels {
    rgb24,   // 3 bytes per pixel: R, G, B
    rgba32,  // 4 bytes per pixel: R, G, B, straight (not premultiplied) alpha
};

// Compresses 8-bit sRGB pixels into a PNG file image. `strideBytes` is the distance
// between rows, 0 for tightly packed rows. Returns an empty buffer when the size is
// not positive, the buffer is too short or compression fails.
Bytes encodePng(int width, int height, std::span<const uint8_t> pixels, PngPixels format = PngPixels::rgb24,
                size_t strideBytes = 0);

// Writes tightly packed RGB24 pixels as a PNG file; false on any failure.
bool writePng(const std::string& path, int width, int height, std::span<const uint8_t> rgb24);

}  // namespace tarvello
