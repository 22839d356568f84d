#include "base/frame_converter.h"

#include <libyuv/convert_argb.h>
#include <libyuv/convert_from_argb.h>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace tarvello {

namespace {
constexpr size_t kSlack = 64;

int alignedStride(int width) {
    return (width + 63) / 64 * 64;
}

bool fits(const VideoFrame& f, int width, int height) {
    return f.width == width && f.height == height && f.strideY >= width && f.strideUV >= width &&
           f.y.size() >= size_t(f.strideY) * size_t(height) + kSlack &&
           f.uv.size() >= size_t(f.strideUV) * size_t(height / 2) + kSlack;
}
}  // namespace

std::unique_ptr<FrameConverter> FrameConverter::create(int srcWidth, int srcHeight, RgbLayout layout,
                                                       int width, int height) {
    if (srcWidth < 2 || srcHeight < 2 || width < 2 || height < 2 || width % 2 != 0 || height % 2 != 0)
        return nullptr;
    std::unique_ptr<FrameConverter> c(new FrameConverter);
    c->srcWidth_ = srcWidth;
    c->srcHeight_ = srcHeight;
    c->width_ = width;
    c->height_ = height;
    c->layout_ = layout;
    if (layout == RgbLayout::xrgb) c->argb_.resize(size_t(srcWidth) * 4 * size_t(srcHeight));
    if (srcWidth != width || srcHeight != height) {
        c->planeStride_ = alignedStride(srcWidth);
        c->y_.resize(size_t(c->planeStride_) * size_t(srcHeight) + kSlack);
        c->uv_.resize(size_t(c->planeStride_) * size_t((srcHeight + 1) / 2) + kSlack);
        // Both sides are video-range NV12: swscale only scales, it converts nothing.
        c->sws_ = sws_getContext(srcWidth, srcHeight, AV_PIX_FMT_NV12, width, height, AV_PIX_FMT_NV12,
                                 SWS_BILINEAR, nullptr, nullptr, nullptr);
        if (!c->sws_) return nullptr;
    }
    return c;
}

FrameConverter::~FrameConverter() {
    sws_freeContext(sws_);
}

bool FrameConverter::convert(const uint8_t* src, int srcStride, VideoFrame& out) {
    if (!src || srcStride < srcWidth_ * 4 || !fits(out, width_, height_)) return false;
    const uint8_t* argb = src;
    int argbStride = srcStride;
    if (layout_ == RgbLayout::xrgb) {
        // libyuv calls X, R, G, B in memory "BGRA" (its names read a little-endian word).
        libyuv::BGRAToARGB(src, srcStride, argb_.data(), srcWidth_ * 4, srcWidth_, srcHeight_);
        argb = argb_.data();
        argbStride = srcWidth_ * 4;
    }
    if (!sws_) {
        return libyuv::ARGBToNV12(argb, argbStride, out.y.data(), out.strideY, out.uv.data(), out.strideUV,
                                  width_, height_) == 0;
    }
    if (libyuv::ARGBToNV12(argb, argbStride, y_.data(), planeStride_, uv_.data(), planeStride_, srcWidth_,
                           srcHeight_) != 0) {
        return false;
    }
    const uint8_t* const srcPlanes[2] = {y_.data(), uv_.data()};
    const int srcStrides[2] = {planeStride_, planeStride_};
    uint8_t* const dstPlanes[2] = {out.y.data(), out.uv.data()};
    const int dstStrides[2] = {out.strideY, out.strideUV};
    return sws_scale(sws_, srcPlanes, srcStrides, 0, srcHeight_, dstPlanes, dstStrides) == height_;
}

}  // namespace tarvello
