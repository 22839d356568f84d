#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "base/video_frame.h"
#include "protocol/byte_codec.h"
#include "protocol/messages.h"

struct AVFrame;
struct AVCodecContext;

namespace tarvello {

// One decoded picture. It holds a reference to the decoder's buffers, so keeping it
// is cheap; conversions copy out.
class DecodedPicture {
public:
    explicit DecodedPicture(AVFrame* frame);  // takes a new reference to `frame`
    DecodedPicture(const DecodedPicture&);
    DecodedPicture& operator=(const DecodedPicture&);
    DecodedPicture(DecodedPicture&&) noexcept;
    DecodedPicture& operator=(DecodedPicture&&) noexcept;
    ~DecodedPicture();

    int width() const;
    int height() const;
    bool keyframe() const;

    // The 8-bit luma plane, valid while this picture lives; nothing for pictures of
    // another depth or an RGB format.
    struct Plane {
        const uint8_t* data = nullptr;
        int stride = 0;
    };
    std::optional<Plane> luma() const;

    // Packed RGB, 3 bytes per pixel, rows of width * 3 bytes; empty on failure.
    Bytes toRgb24() const;
    // NV12, video range; null on failure.
    std::shared_ptr<VideoFrame> toNv12() const;

private:
    AVFrame* frame_ = nullptr;
};

// Rewrites 4-byte big-endian length-prefixed NAL units as an Annex-B stream. Zero
// lengths are skipped; a length running past the end makes the whole input invalid.
std::optional<Bytes> lengthPrefixedToAnnexB(std::span<const uint8_t> frame);

// Software HEVC or H.264 decoder for frames of 4-byte length-prefixed NAL units,
// tuned for low delay: a picture comes out for the frame that carried it.
// Not thread-safe; one owner calls it.
class Decoder {
public:
    // The largest picture accepted; a frame whose parameter sets announce a larger
    // one is refused before libavcodec reads them, so a hostile SPS cannot make it
    // allocate picture buffers or per-picture tables of that size.
    struct Limits {
        uint32_t maxWidth = 8192;
        uint32_t maxHeight = 8192;
    };

    // Null when libavcodec has no decoder for the codec.
    static std::unique_ptr<Decoder> create(VideoCodec codec) { return create(codec, Limits{}); }
    static std::unique_ptr<Decoder> create(VideoCodec codec, Limits limits);
    ~Decoder();
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    // Decodes one frame. Malformed or undecodable input yields no picture and
    // counts an error; decoding continues with the next frame.
    std::vector<DecodedPicture> decode(std::span<const uint8_t> lengthPrefixedFrame);

    // Forgets all decoding state, parameter sets included.
    void reset();

    VideoCodec codec() const { return codec_; }
    uint64_t errors() const { return errors_; }
    // Frames refused for the picture size their parameter sets announced.
    uint64_t oversized() const { return oversized_; }
    const Limits& limits() const { return limits_; }

private:
    Decoder(VideoCodec codec, Limits limits);
    bool open();
    bool announcesOversizedPicture(std::span<const uint8_t> annexB) const;

    VideoCodec codec_;
    Limits limits_;
    uint64_t oversized_ = 0;
    AVCodecContext* ctx_ = nullptr;
    uint64_t errors_ = 0;
};

}  // namespace tarvello
