#include "camera/camera_picture.h"

extern "C" {
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cstring>

#include "video/nal.h"

namespace tarvello {

namespace {

constexpr int kVps = 32, kSps = 33, kPps = 34;
constexpr uint8_t kBlackY = 16, kBlackC = 128;
// The scaler writes whole vector blocks past a row's end.
constexpr size_t kSlack = 64;
constexpr size_t kPoolSize = 3;

int evenDown(int v) {
    return v & ~1;
}

}  // namespace

AccessUnit splitAccessUnit(std::span<const uint8_t> frame) {
    AccessUnit au;
    for (ByteSpan nal : splitLengthPrefixed(frame)) {
        if (isParameterSet(VideoCodec::hevc, nal)) {
            au.parameterSets.emplace_back(nal.begin(), nal.end());
        } else {
            appendLengthPrefixed(au.pictureData, nal);
        }
    }
    return au;
}

bool describesFormat(const std::vector<Bytes>& sets) {
    bool vps = false, sps = false, pps = false;
    for (const Bytes& s : sets) {
        const int t = nalUnitType(VideoCodec::hevc, s);
        vps |= t == kVps;
        sps |= t == kSps;
        pps |= t == kPps;
    }
    return vps && sps && pps;
}

Letterboxer::Rect Letterboxer::fit(int width, int height) {
    if (width <= 0 || height <= 0) return {};
    Rect r;
    if (int64_t(width) * kHeight >= int64_t(height) * kWidth) {
        r.width = kWidth;
        r.height = std::max(2, evenDown(int((int64_t(height) * kWidth + width / 2) / width)));
    } else {
        r.height = kHeight;
        r.width = std::max(2, evenDown(int((int64_t(width) * kHeight + height / 2) / height)));
    }
    r.x = evenDown((kWidth - r.width) / 2);
    r.y = evenDown((kHeight - r.height) / 2);
    return r;
}

Letterboxer::~Letterboxer() {
    sws_freeContext(sws_);
}

std::shared_ptr<VideoFrame> Letterboxer::take() {
    for (auto& f : pool_) {
        if (f.use_count() == 1) return f;
    }
    auto f = VideoFrame::make(kWidth, kHeight);
    if (pool_.size() < kPoolSize) pool_.push_back(f);
    return f;
}

std::shared_ptr<VideoFrame> Letterboxer::convert(const VideoFrame& src) {
    if (src.width < 2 || src.height < 2 || src.y.size() < size_t(src.strideY) * size_t(src.height) ||
        src.uv.size() < size_t(src.strideUV) * size_t(src.height / 2)) {
        return nullptr;
    }
    if (src.width != srcWidth_ || src.height != srcHeight_ || !sws_) {
        sws_freeContext(sws_);
        rect_ = fit(src.width, src.height);
        sws_ = sws_getContext(src.width, src.height, AV_PIX_FMT_NV12, rect_.width, rect_.height,
                              AV_PIX_FMT_NV12, SWS_BILINEAR, nullptr, nullptr, nullptr);
        if (!sws_) return nullptr;
        srcWidth_ = src.width;
        srcHeight_ = src.height;
        scaledY_.assign(size_t(rect_.width) * size_t(rect_.height) + kSlack, kBlackY);
        scaledUV_.assign(size_t(rect_.width) * size_t(rect_.height / 2) + kSlack, kBlackC);
    }
    const uint8_t* in[4] = {src.y.data(), src.uv.data(), nullptr, nullptr};
    const int inStride[4] = {src.strideY, src.strideUV, 0, 0};
    uint8_t* out[4] = {scaledY_.data(), scaledUV_.data(), nullptr, nullptr};
    const int outStride[4] = {rect_.width, rect_.width, 0, 0};
    if (sws_scale(sws_, in, inStride, 0, src.height, out, outStride) != rect_.height) return nullptr;

    auto dst = take();
    const size_t w = size_t(dst->strideY);
    std::memset(dst->y.data(), kBlackY, dst->y.size());
    std::memset(dst->uv.data(), kBlackC, dst->uv.size());
    for (int r = 0; r < rect_.height; ++r) {
        std::memcpy(dst->y.data() + size_t(rect_.y + r) * w + size_t(rect_.x),
                    scaledY_.data() + size_t(r) * size_t(rect_.width), size_t(rect_.width));
    }
    for (int r = 0; r < rect_.height / 2; ++r) {
        std::memcpy(dst->uv.data() + size_t(rect_.y / 2 + r) * w + size_t(rect_.x),
                    scaledUV_.data() + size_t(r) * size_t(rect_.width), size_t(rect_.width));
    }
    return dst;
}

}  // namespace tarvello
