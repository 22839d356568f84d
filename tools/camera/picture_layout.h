#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tarvello::camera {

// The two layouts the camera offers readers: NV12 first, I420 for readers that
// take only planar pictures. Both are 4:2:0, so a picture has the same size in either.
enum class PixelLayout { nv12, i420 };

struct PictureGeometry {
    PixelLayout layout = PixelLayout::nv12;
    int width = 0;
    int height = 0;
    int stride = 0;  // luma row stride; NV12 chroma rows share it, I420 chroma rows use stride / 2

    size_t bytes() const { return size_t(stride) * size_t(height) * 3 / 2; }
};

// The flat dark-blue picture shown while no live picture comes: luma 60, Cb 150,
// Cr 118, every byte of each plane (row padding included).
std::vector<uint8_t> makePlaceholder(const PictureGeometry& g);

// Copies an NV12 picture of g.width x g.height (rows `srcStride` apart) into `dst`,
// laid out as `g`. False when `dst` or `src` is too small.
bool copyNv12Into(std::span<const uint8_t> src, int srcStride, const PictureGeometry& g,
                  std::span<uint8_t> dst);

}  // namespace tarvello::camera
