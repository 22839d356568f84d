#include "video/encoder.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdarg>
#include <mutex>
#include <string>

#include "base/log.h"
#include "video/nal.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
#include <libavutil/hwcontext.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

namespace tarvello {

namespace {

// libavcodec's own messages (probe failures of hardware encoders, codec banners) join our
// log, warnings and worse only. Encoder threads call this too: a message may come in
// pieces, so each thread gathers its own line.
void libavLogLine(void* context, int level, const char* format, va_list args) {
    if (level > AV_LOG_WARNING) return;
    thread_local std::string pending;
    thread_local int printPrefix = 1;
    char piece[1024];
    av_log_format_line2(context, level, format, args, piece, sizeof piece, &printPrefix);
    pending += piece;
    // Bounded however a message is split: an unterminated run is cut into lines.
    if (pending.empty() || (pending.back() != '\n' && pending.size() < 4096)) return;
    while (!pending.empty() && (pending.back() == '\n' || pending.back() == '\r')) pending.pop_back();
    if (!pending.empty()) log("libav: " + pending);
    pending.clear();
}

void routeLibavLog() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_callback(&libavLogLine); });
}

enum class Family { nvenc, vaapi, qsv, x264, x265, other };

Family familyOf(const std::string& name) {
    auto endsWith = [&](std::string_view suffix) {
        return name.size() >= suffix.size() &&
               name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
    };
    if (endsWith("_nvenc")) return Family::nvenc;
    if (endsWith("_vaapi")) return Family::vaapi;
    if (endsWith("_qsv")) return Family::qsv;
    if (name == "libx264") return Family::x264;
    if (name == "libx265") return Family::x265;
    return Family::other;
}

// Encoders whose libavcodec wrapper applies a new bit_rate / rc_max_rate /
// rc_buffer_size between frames; the others read them only when opened.
bool retunesBitrate(Family f) {
    return f == Family::x264 || f == Family::nvenc;
}

constexpr const char* vaapiDevice = "/dev/dri/renderD128";

// The peak rate and the buffer holding one second of it.
int64_t peakRate(int64_t bitrate) {
    return bitrate + bitrate / 2;
}
int vbvBuffer(int64_t bitrate) {
    return int(std::min<int64_t>(peakRate(bitrate), INT_MAX));
}

void setRate(AVCodecContext* ctx, int64_t bitrate) {
    ctx->bit_rate = bitrate;
    ctx->rc_max_rate = peakRate(bitrate);
    ctx->rc_buffer_size = vbvBuffer(bitrate);
}

bool offers(const AVCodec* codec, AVPixelFormat fmt) {
    if (!codec->pix_fmts) return false;
    for (const AVPixelFormat* p = codec->pix_fmts; *p != AV_PIX_FMT_NONE; ++p)
        if (*p == fmt) return true;
    return false;
}

// Per-family settings that keep latency down and keyframes on demand only. Unknown
// keys stay in the dictionary and are ignored, so a missing option never fails a row.
void addOptions(AVDictionary** opts, Family family, const Encoder::Row& row) {
    auto set = [opts](const char* key, const std::string& value) {
        av_dict_set(opts, key, value.c_str(), 0);
    };
    auto withRows = [&row](std::string ours) { return row.params.empty() ? ours : ours + ":" + row.params; };
    const bool lowLatency = row.lowLatency;
    switch (family) {
        case Family::x264:
            set("preset", row.preset.empty() ? "ultrafast" : row.preset);
            set("tune", "zerolatency");
            set("forced-idr", "1");
            // ultrafast turns off CABAC and the deblocking filter: on text both together
            // cost about a tenth more CPU time a frame and keep edges from turning blocky
            // (tarvello-encoder-quality weighs them).
            set("x264-params", withRows("keyint=infinite:scenecut=0:bframes=0:deblock=1,1:cabac=1"));
            break;
        case Family::x265:
            set("preset", row.preset.empty() ? "ultrafast" : row.preset);
            set("tune", "zerolatency");
            set("forced-idr", "1");
            // Headers come from extradata (global header), so none are repeated in-band.
            set("x265-params",
                withRows("keyint=-1:scenecut=0:bframes=0:open-gop=0:lookahead-slices=0:repeat-headers=0:log-"
                         "level=warning"));
            break;
        case Family::nvenc:
            set("preset", "p1");
            set("tune", "ull");
            set("zerolatency", "1");
            set("delay", "0");
            set("forced-idr", "1");
            set("no-scenecut", "1");
            set("rc-lookahead", "0");
            break;
        case Family::vaapi:
            set("async_depth", "1");
            if (lowLatency) set("low_power", "1");
            break;
        case Family::qsv:
            set("async_depth", "1");
            set("forced_idr", "1");
            set("look_ahead", "0");
            if (lowLatency) set("low_power", "1");
            break;
        case Family::other: break;
    }
}

void releaseFramePtr(void* opaque, uint8_t*) {
    delete static_cast<VideoFramePtr*>(opaque);
}

// An AVFrame over the capture frame's planes, keeping the frame alive for as long as
// the encoder holds a reference: no copy on the way in.
AVFrame* wrapFrame(const VideoFramePtr& frame) {
    AVFrame* f = av_frame_alloc();
    if (!f) return nullptr;
    auto* holder = new VideoFramePtr(frame);
    f->buf[0] = av_buffer_create(const_cast<uint8_t*>(frame->y.data()), frame->y.size(), releaseFramePtr,
                                 holder, AV_BUFFER_FLAG_READONLY);
    if (!f->buf[0]) {
        delete holder;
        av_frame_free(&f);
        return nullptr;
    }
    f->data[0] = const_cast<uint8_t*>(frame->y.data());
    f->data[1] = const_cast<uint8_t*>(frame->uv.data());
    f->linesize[0] = frame->strideY;
    f->linesize[1] = frame->strideUV;
    f->format = AV_PIX_FMT_NV12;
    f->width = frame->width;
    f->height = frame->height;
    return f;
}

bool planesFit(const VideoFrame& f) {
    return f.strideY >= f.width && f.strideUV >= f.width &&
           f.y.size() >= size_t(f.strideY) * size_t(f.height) &&
           f.uv.size() >= size_t(f.strideUV) * size_t(f.height / 2);
}

}  // namespace

struct Encoder::Session {
    Row row;
    Family family = Family::other;
    AVCodecContext* ctx = nullptr;
    AVBufferRef* hwFrames = nullptr;
    SwsContext* sws = nullptr;
    AVFrame* converted = nullptr;  // the codec's own pixel format, when it takes no NV12
    AVPacket* packet = nullptr;
    std::vector<Bytes> extradataSets;
    int64_t nextPts = 0;
    bool reopenForBitrate = false;
    // The stamps of the frames in flight, by pts: an encoder that holds frames back
    // still hands each packet the times of the picture it came from.
    struct Stamp {
        int64_t pts = -1;
        FrameTimes times;
    };
    std::array<Stamp, 16> stamps;

    void remember(int64_t pts, const FrameTimes& times) {
        stamps[size_t(pts) % stamps.size()] = {pts, times};
    }
    FrameTimes recall(int64_t pts) const {
        if (pts < 0) return {};
        const Stamp& s = stamps[size_t(pts) % stamps.size()];
        return s.pts == pts ? s.times : FrameTimes{};
    }

    ~Session() {
        av_packet_free(&packet);
        av_frame_free(&converted);
        sws_freeContext(sws);
        avcodec_free_context(&ctx);
        av_buffer_unref(&hwFrames);
    }

    static std::unique_ptr<Session> open(const Row& row, int width, int height, int fps, int64_t bitrate);
    bool openVaapiFrames(int width, int height);
    AVFrame* prepare(const VideoFramePtr& frame);
};

std::unique_ptr<Encoder::Session> Encoder::Session::open(const Row& row, int width, int height, int fps,
                                                         int64_t bitrate) {
    const AVCodec* codec = avcodec_find_encoder_by_name(row.encoderName.c_str());
    const AVCodecID wanted = row.codec == VideoCodec::hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264;
    if (!codec || codec->id != wanted) return nullptr;

    auto s = std::make_unique<Session>();
    s->row = row;
    s->family = familyOf(row.encoderName);
    s->ctx = avcodec_alloc_context3(codec);
    s->packet = av_packet_alloc();
    if (!s->ctx || !s->packet) return nullptr;

    AVCodecContext* ctx = s->ctx;
    ctx->width = width;
    ctx->height = height;
    ctx->time_base = AVRational{1, fps};
    ctx->framerate = AVRational{fps, 1};
    ctx->sample_aspect_ratio = AVRational{1, 1};
    setRate(ctx, bitrate);
    ctx->max_b_frames = 0;
    // Quick Sync keeps the GOP length in 16 bits; elsewhere the largest int means
    // no periodic keyframe.
    ctx->gop_size = s->family == Family::qsv ? 0xFFFF : INT_MAX;
    ctx->flags |= AV_CODEC_FLAG_LOW_DELAY;
    // Said in the parameter sets, so no decoder has to guess (and a guess of BT.709
    // shifts every colour): what capture makes, sRGB pixels in BT.601 video range.
    ctx->color_range = AVCOL_RANGE_MPEG;
    ctx->color_primaries = AVCOL_PRI_BT709;
    ctx->color_trc = AVCOL_TRC_IEC61966_2_1;
    ctx->colorspace = AVCOL_SPC_SMPTE170M;
    ctx->thread_count = 0;
    // Frame threads would hold back one frame per thread; slices cost no latency.
    if (s->family == Family::x264) ctx->thread_type = FF_THREAD_SLICE;
    if (s->family == Family::x265) ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;

    AVPixelFormat inputFormat = AV_PIX_FMT_NV12;
    if (s->family == Family::vaapi) {
        if (!s->openVaapiFrames(width, height)) return nullptr;
        ctx->pix_fmt = AV_PIX_FMT_VAAPI;
        ctx->hw_frames_ctx = av_buffer_ref(s->hwFrames);
        if (!ctx->hw_frames_ctx) return nullptr;
    } else if (offers(codec, AV_PIX_FMT_NV12)) {
        ctx->pix_fmt = AV_PIX_FMT_NV12;
    } else if (offers(codec, AV_PIX_FMT_YUV420P)) {
        ctx->pix_fmt = inputFormat = AV_PIX_FMT_YUV420P;
    } else {
        return nullptr;
    }

    AVDictionary* opts = nullptr;
    addOptions(&opts, s->family, row);
    const int rc = avcodec_open2(ctx, codec, &opts);
    av_dict_free(&opts);
    if (rc < 0) return nullptr;

    if (ctx->extradata && ctx->extradata_size > 0)
        s->extradataSets = parameterSetsOf(row.codec, ByteSpan(ctx->extradata, size_t(ctx->extradata_size)));

    if (inputFormat != AV_PIX_FMT_NV12) {
        s->sws = sws_getContext(width, height, AV_PIX_FMT_NV12, width, height, inputFormat, SWS_POINT,
                                nullptr, nullptr, nullptr);
        s->converted = av_frame_alloc();
        if (!s->sws || !s->converted) return nullptr;
        s->converted->format = inputFormat;
        s->converted->width = width;
        s->converted->height = height;
        if (av_frame_get_buffer(s->converted, 0) < 0) return nullptr;
    }
    return s;
}

bool Encoder::Session::openVaapiFrames(int width, int height) {
    // Without the render node the row fails at once instead of probing displays.
    if (::access(vaapiDevice, R_OK | W_OK) != 0) return false;
    AVBufferRef* device = nullptr;
    if (av_hwdevice_ctx_create(&device, AV_HWDEVICE_TYPE_VAAPI, vaapiDevice, nullptr, 0) < 0) return false;
    hwFrames = av_hwframe_ctx_alloc(device);
    av_buffer_unref(&device);
    if (!hwFrames) return false;
    auto* frames = reinterpret_cast<AVHWFramesContext*>(hwFrames->data);
    frames->format = AV_PIX_FMT_VAAPI;
    frames->sw_format = AV_PIX_FMT_NV12;
    frames->width = width;
    frames->height = height;
    frames->initial_pool_size = 8;
    return av_hwframe_ctx_init(hwFrames) >= 0;
}

// The frame as the codec takes it: the capture planes themselves, a converted copy,
// or a hardware surface they were uploaded to. Null when that fails.
AVFrame* Encoder::Session::prepare(const VideoFramePtr& frame) {
    AVFrame* nv12 = wrapFrame(frame);
    if (!nv12) return nullptr;
    if (sws) {
        // The encoder may still hold the previous picture's buffer; never write into it.
        if (av_frame_make_writable(converted) < 0) {
            av_frame_free(&nv12);
            return nullptr;
        }
        sws_scale(sws, nv12->data, nv12->linesize, 0, frame->height, converted->data, converted->linesize);
        av_frame_free(&nv12);
        return av_frame_clone(converted);
    }
    if (hwFrames) {
        AVFrame* hw = av_frame_alloc();
        if (!hw || av_hwframe_get_buffer(hwFrames, hw, 0) < 0 || av_hwframe_transfer_data(hw, nv12, 0) < 0) {
            av_frame_free(&hw);
            av_frame_free(&nv12);
            return nullptr;
        }
        av_frame_free(&nv12);
        return hw;
    }
    return nv12;
}

const std::vector<Encoder::Row>& Encoder::defaultRows() {
    using enum VideoCodec;
    static const std::vector<Row> rows{
        {"hevc_nvenc", hevc, true, true}, {"h264_nvenc", h264, true, true},
        {"hevc_vaapi", hevc, true, true}, {"hevc_vaapi", hevc, false, true},
        {"h264_vaapi", h264, true, true}, {"h264_vaapi", h264, false, true},
        {"hevc_qsv", hevc, true, true},   {"hevc_qsv", hevc, false, true},
        {"h264_qsv", h264, true, true},   {"h264_qsv", h264, false, true},
        {"libx264", h264, true, false},   {"libx265", hevc, true, false},
    };
    return rows;
}

Encoder::Encoder(Output output, std::vector<Row> rows) : output_(std::move(output)), rows_(std::move(rows)) {
    routeLibavLog();
}

Encoder::~Encoder() {
    teardown();
}

bool Encoder::configure(int64_t width, int64_t height, int fps, int64_t bitrate) {
    std::lock_guard lock(mutex_);
    closeLocked();
    const bool sizeOk = width > 0 && height > 0 && width <= INT32_MAX && height <= INT32_MAX &&
                        width % 2 == 0 && height % 2 == 0;
    if (!sizeOk || fps <= 0 || bitrate <= 0) return false;
    width_ = width;
    height_ = height;
    fps_ = fps;
    bitrate_ = bitrate;

    for (const Row& row : rows_) {
        session_ = Session::open(row, int(width), int(height), fps, bitrate);
        if (session_) break;
    }
    if (!session_) {
        log("No hardware encoder available");
        return false;
    }
    codec_ = session_->row.codec;
    log(std::string("Encoder ") + codecName(codec_) + (session_->row.lowLatency ? " low-latency" : "") + " " +
        std::to_string(width) + "\u00D7" + std::to_string(height) + " @" + std::to_string(fps) + " " +
        std::to_string(bitrate / 1'000'000) + " Mb/s");
    forceKeyframe = true;
    return true;
}

void Encoder::encode(const VideoFramePtr& frame) {
    std::lock_guard lock(mutex_);
    if (!session_ || !frame) return;
    FrameTimes times = frame->times;
    times.encodeStart = monotonicSeconds();
    if (frame->width != width_ || frame->height != height_ || !planesFit(*frame)) return;

    const bool key = forceKeyframe.exchange(false);
    if (key && session_->reopenForBitrate) {
        // The forced keyframe makes reopening free: the new session starts with an IDR.
        if (auto fresh = Session::open(session_->row, int(width_), int(height_), fps_, bitrate_)) {
            closeLocked();
            session_ = std::move(fresh);
        }
    }
    Session& s = *session_;
    AVFrame* f = s.prepare(frame);
    if (!f) {
        if (key) forceKeyframe = true;
        return;
    }
    f->pts = s.nextPts++;
    s.remember(f->pts, times);
    if (key) {
        f->pict_type = AV_PICTURE_TYPE_I;
        f->key_frame = 1;
    }
    int rc = avcodec_send_frame(s.ctx, f);
    if (rc == AVERROR(EAGAIN)) {
        drainLocked(s);
        rc = avcodec_send_frame(s.ctx, f);
    }
    av_frame_free(&f);
    if (rc < 0 && key) forceKeyframe = true;
    drainLocked(s);
}

void Encoder::setBitrate(int64_t bitsPerSecond) {
    std::lock_guard lock(mutex_);
    if (!session_ || bitsPerSecond == bitrate_ || bitsPerSecond <= 0) return;
    bitrate_ = bitsPerSecond;
    if (retunesBitrate(session_->family))
        setRate(session_->ctx, bitsPerSecond);
    else
        session_->reopenForBitrate = true;
}

void Encoder::teardown() {
    std::lock_guard lock(mutex_);
    closeLocked();
}

void Encoder::closeLocked() {
    if (!session_) return;
    if (avcodec_send_frame(session_->ctx, nullptr) >= 0) drainLocked(*session_);
    session_.reset();
}

void Encoder::drainLocked(Session& s) {
    const VideoCodec codec = s.row.codec;
    while (avcodec_receive_packet(s.ctx, s.packet) == 0) {
        if (!(s.packet->flags & AV_PKT_FLAG_CORRUPT) && s.packet->size > 0) {
            const ByteSpan data(s.packet->data, size_t(s.packet->size));
            bool key = (s.packet->flags & AV_PKT_FLAG_KEY) != 0;
            if (!key) {
                const auto units = splitNalUnits(data);
                key = std::any_of(units.begin(), units.end(),
                                  [codec](ByteSpan nal) { return isKeyframeSlice(codec, nal); });
            }
            Bytes bytes = assembleFrame(codec, data, key, s.extradataSets);
            if (!bytes.empty() && output_) {
                FrameTimes times = s.recall(s.packet->pts);
                times.encoded = monotonicSeconds();
                output_(std::move(bytes), key, codec, times);
            }
        }
        av_packet_unref(s.packet);
    }
}

VideoCodec Encoder::codec() const {
    std::lock_guard lock(mutex_);
    return codec_;
}
bool Encoder::hasSession() const {
    std::lock_guard lock(mutex_);
    return session_ != nullptr;
}
int64_t Encoder::width() const {
    std::lock_guard lock(mutex_);
    return width_;
}
int64_t Encoder::height() const {
    std::lock_guard lock(mutex_);
    return height_;
}
int Encoder::fps() const {
    std::lock_guard lock(mutex_);
    return fps_;
}
int64_t Encoder::bitrate() const {
    std::lock_guard lock(mutex_);
    return bitrate_;
}

}  // namespace tarvello
