#include "video/decoder.h"

#include <cstring>

#include "video/nal.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace tarvello {
namespace {

// swscale's SIMD row writers may run a little past the last pixel of a row.
constexpr size_t kSlack = 64;

size_t alignUp(size_t v, size_t a) {
    return (v + a - 1) / a * a;
}

int swsColorspace(AVColorSpace cs) {
    switch (cs) {
        case AVCOL_SPC_BT709: return SWS_CS_ITU709;
        case AVCOL_SPC_BT2020_NCL:
        case AVCOL_SPC_BT2020_CL: return SWS_CS_BT2020;
        default: return SWS_CS_DEFAULT;
    }
}

bool fullRange(const AVFrame* f) {
    switch (f->format) {
        case AV_PIX_FMT_YUVJ420P:
        case AV_PIX_FMT_YUVJ422P:
        case AV_PIX_FMT_YUVJ444P: return true;
        default: return f->color_range == AVCOL_RANGE_JPEG;
    }
}

// Converts `src` to `dstFormat` at the same size into the given planes.
bool convert(const AVFrame* src, AVPixelFormat dstFormat, bool dstFullRange, uint8_t* const dst[],
             const int dstStride[]) {
    SwsContext* sws = sws_getContext(src->width, src->height, AVPixelFormat(src->format), src->width,
                                     src->height, dstFormat, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!sws) return false;
    const int* coeffs = sws_getCoefficients(swsColorspace(src->colorspace));
    sws_setColorspaceDetails(sws, coeffs, fullRange(src) ? 1 : 0, coeffs, dstFullRange ? 1 : 0, 0, 1 << 16,
                             1 << 16);
    const int rows = sws_scale(sws, src->data, src->linesize, 0, src->height, dst, dstStride);
    sws_freeContext(sws);
    return rows == src->height;
}

}  // namespace

DecodedPicture::DecodedPicture(AVFrame* frame) : frame_(av_frame_clone(frame)) {}
DecodedPicture::DecodedPicture(const DecodedPicture& o)
    : frame_(o.frame_ ? av_frame_clone(o.frame_) : nullptr) {}
DecodedPicture& DecodedPicture::operator=(const DecodedPicture& o) {
    if (this != &o) {
        av_frame_free(&frame_);
        frame_ = o.frame_ ? av_frame_clone(o.frame_) : nullptr;
    }
    return *this;
}
DecodedPicture::DecodedPicture(DecodedPicture&& o) noexcept : frame_(o.frame_) {
    o.frame_ = nullptr;
}
DecodedPicture& DecodedPicture::operator=(DecodedPicture&& o) noexcept {
    if (this != &o) {
        av_frame_free(&frame_);
        frame_ = o.frame_;
        o.frame_ = nullptr;
    }
    return *this;
}
DecodedPicture::~DecodedPicture() {
    av_frame_free(&frame_);
}

int DecodedPicture::width() const {
    return frame_ ? frame_->width : 0;
}
int DecodedPicture::height() const {
    return frame_ ? frame_->height : 0;
}

bool DecodedPicture::keyframe() const {
    if (!frame_) return false;
#ifdef AV_FRAME_FLAG_KEY
    return (frame_->flags & AV_FRAME_FLAG_KEY) != 0;
#else
    return frame_->key_frame != 0;
#endif
}

std::optional<DecodedPicture::Plane> DecodedPicture::luma() const {
    if (!frame_ || !frame_->data[0] || frame_->linesize[0] < frame_->width) return std::nullopt;
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(AVPixelFormat(frame_->format));
    if (!d || (d->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_HWACCEL)) || d->nb_components < 1 ||
        d->comp[0].plane != 0 || d->comp[0].depth != 8 || d->comp[0].step != 1) {
        return std::nullopt;
    }
    return Plane{frame_->data[0], frame_->linesize[0]};
}

Bytes DecodedPicture::toRgb24() const {
    if (!frame_ || frame_->width <= 0 || frame_->height <= 0) return {};
    const size_t w = size_t(frame_->width), h = size_t(frame_->height);
    const size_t stride = alignUp(w * 3, 64);
    Bytes scratch(stride * h + kSlack);
    uint8_t* dst[4] = {scratch.data(), nullptr, nullptr, nullptr};
    const int dstStride[4] = {int(stride), 0, 0, 0};
    if (!convert(frame_, AV_PIX_FMT_RGB24, true, dst, dstStride)) return {};
    Bytes rgb(w * 3 * h);
    for (size_t y = 0; y < h; ++y) std::memcpy(rgb.data() + y * w * 3, scratch.data() + y * stride, w * 3);
    return rgb;
}

std::shared_ptr<VideoFrame> DecodedPicture::toNv12() const {
    if (!frame_ || frame_->width <= 0 || frame_->height <= 0) return nullptr;
    auto out = std::make_shared<VideoFrame>();
    out->width = frame_->width;
    out->height = frame_->height;
    out->strideY = int(alignUp(size_t(frame_->width), 64));
    out->strideUV = out->strideY;
    const size_t h = size_t(frame_->height), chromaRows = (h + 1) / 2;
    out->y.resize(size_t(out->strideY) * h + kSlack);
    out->uv.resize(size_t(out->strideUV) * chromaRows + kSlack);
    uint8_t* dst[4] = {out->y.data(), out->uv.data(), nullptr, nullptr};
    const int dstStride[4] = {out->strideY, out->strideUV, 0, 0};
    if (!convert(frame_, AV_PIX_FMT_NV12, false, dst, dstStride)) return nullptr;
    out->y.resize(size_t(out->strideY) * h);
    out->uv.resize(size_t(out->strideUV) * chromaRows);
    return out;
}

std::optional<Bytes> lengthPrefixedToAnnexB(std::span<const uint8_t> frame) {
    Bytes out;
    out.reserve(frame.size() + 16);
    size_t at = 0;
    while (at < frame.size()) {
        if (frame.size() - at < 4) return std::nullopt;
        const size_t n = size_t(frame[at]) << 24 | size_t(frame[at + 1]) << 16 | size_t(frame[at + 2]) << 8 |
                         size_t(frame[at + 3]);
        at += 4;
        if (n > frame.size() - at) return std::nullopt;
        if (n == 0) continue;
        static constexpr uint8_t startCode[] = {0, 0, 0, 1};
        out.insert(out.end(), std::begin(startCode), std::end(startCode));
        out.insert(out.end(), frame.begin() + ptrdiff_t(at), frame.begin() + ptrdiff_t(at + n));
        at += n;
    }
    return out;
}

std::unique_ptr<Decoder> Decoder::create(VideoCodec codec, Limits limits) {
    std::unique_ptr<Decoder> d(new Decoder(codec, limits));
    if (!d->open()) return nullptr;
    return d;
}

Decoder::Decoder(VideoCodec codec, Limits limits) : codec_(codec), limits_(limits) {}

namespace {

// The last line of defence, for sizes no SPS check caught (H.264, or a parse that
// disagrees with libavcodec's): buffers larger than the limits are never handed out.
int boundedGetBuffer(AVCodecContext* ctx, AVFrame* frame, int flags) {
    const auto* limits = static_cast<const Decoder::Limits*>(ctx->opaque);
    if (limits &&
        (uint32_t(frame->width) > limits->maxWidth || uint32_t(frame->height) > limits->maxHeight)) {
        return AVERROR(EINVAL);
    }
    return avcodec_default_get_buffer2(ctx, frame, flags);
}

}  // namespace

bool Decoder::announcesOversizedPicture(std::span<const uint8_t> annexB) const {
    if (codec_ != VideoCodec::hevc) return false;
    for (ByteSpan nal : splitAnnexB(annexB)) {
        if (nalUnitType(codec_, nal) != 33) continue;  // SPS
        const auto size = hevcSpsPictureSize(nal);
        // An SPS too short to name its size is refused as well: libavcodec would not use it.
        if (!size || size->width > limits_.maxWidth || size->height > limits_.maxHeight) return true;
    }
    return false;
}

Decoder::~Decoder() {
    avcodec_free_context(&ctx_);
}

bool Decoder::open() {
    avcodec_free_context(&ctx_);
    const AVCodec* c = avcodec_find_decoder(codec_ == VideoCodec::hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264);
    if (!c) return false;
    ctx_ = avcodec_alloc_context3(c);
    if (!ctx_) return false;
    ctx_->flags |= AV_CODEC_FLAG_LOW_DELAY;
    // Frame threading would hold pictures back by one frame per thread.
    ctx_->thread_type = FF_THREAD_SLICE;
    ctx_->thread_count = 0;
    ctx_->max_pixels = int64_t(limits_.maxWidth) * limits_.maxHeight;
    ctx_->opaque = &limits_;
    ctx_->get_buffer2 = boundedGetBuffer;
    if (avcodec_open2(ctx_, c, nullptr) < 0) {
        avcodec_free_context(&ctx_);
        return false;
    }
    return true;
}

void Decoder::reset() {
    open();
}

std::vector<DecodedPicture> Decoder::decode(std::span<const uint8_t> lengthPrefixedFrame) {
    std::vector<DecodedPicture> pictures;
    auto annexB = lengthPrefixedToAnnexB(lengthPrefixedFrame);
    if (!ctx_ || !annexB || annexB->empty() ||
        annexB->size() > size_t(INT32_MAX) - AV_INPUT_BUFFER_PADDING_SIZE) {
        ++errors_;
        return pictures;
    }
    if (announcesOversizedPicture(*annexB)) {
        ++errors_;
        ++oversized_;
        return pictures;
    }
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    if (pkt && frame && av_new_packet(pkt, int(annexB->size())) == 0) {
        std::memcpy(pkt->data, annexB->data(), annexB->size());
        if (avcodec_send_packet(ctx_, pkt) >= 0) {
            while (avcodec_receive_frame(ctx_, frame) == 0) {
                pictures.emplace_back(frame);
                av_frame_unref(frame);
            }
        }
    }
    av_frame_free(&frame);
    av_packet_free(&pkt);
    // With low delay every good frame yields its picture at once.
    if (pictures.empty()) ++errors_;
    return pictures;
}

}  // namespace tarvello
