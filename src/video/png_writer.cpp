#include "video/png_writer.h"

#include <png.h>

#include <cstdio>
#include <cstring>

namespace tarvello {

Bytes encodePng(int width, int height, std::span<const uint8_t> pixels, PngPixels format,
                size_t strideBytes) {
    const size_t channels = format == PngPixels::rgba32 ? 4 : 3;
    if (width <= 0 || height <= 0) return {};
    const size_t rowBytes = size_t(width) * channels;
    if (strideBytes == 0) strideBytes = rowBytes;
    if (strideBytes < rowBytes || strideBytes > size_t(INT32_MAX)) return {};
    if (pixels.size() < strideBytes * size_t(height - 1) + rowBytes) return {};

    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = png_uint_32(width);
    image.height = png_uint_32(height);
    image.format = format == PngPixels::rgba32 ? PNG_FORMAT_RGBA : PNG_FORMAT_RGB;
    const png_int_32 stride = png_int_32(strideBytes);  // in 8-bit components, i.e. bytes

    png_alloc_size_t size = 0;
    if (!png_image_write_to_memory(&image, nullptr, &size, 0, pixels.data(), stride, nullptr) || size == 0) {
        png_image_free(&image);
        return {};
    }
    Bytes out(size);
    if (!png_image_write_to_memory(&image, out.data(), &size, 0, pixels.data(), stride, nullptr)) {
        png_image_free(&image);
        return {};
    }
    out.resize(size);
    return out;
}

bool writePng(const std::string& path, int width, int height, std::span<const uint8_t> rgb24) {
    const Bytes png = encodePng(width, height, rgb24, PngPixels::rgb24);
    if (png.empty()) return false;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool written = std::fwrite(png.data(), 1, png.size(), f) == png.size();
    const bool closed = std::fclose(f) == 0;
    return written && closed;
}

}  // namespace tarvello
