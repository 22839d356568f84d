#pragma once

#include <memory>
#include <vector>

#include "base/video_frame.h"
#include "protocol/byte_codec.h"
#include "protocol/datagram.h"
#include "video/encoder.h"

namespace tarvello::test {

// The known camera picture: the left half bright (luma 200), the right half dark
// (luma 50), neutral chroma. Survives coding and scaling with a clear edge.
inline std::shared_ptr<VideoFrame> knownCameraPicture(int width, int height) {
    auto f = VideoFrame::make(width, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x)
            f->y[size_t(y) * size_t(f->strideY) + size_t(x)] = x < width / 2 ? 200 : 50;
    }
    return f;
}

// `count` HEVC frames of the known picture from libx265, the first a keyframe with
// its parameter sets; each frame is length-prefixed NAL units.
inline std::vector<Bytes> encodeKnownPicture(int width, int height, int count) {
    std::vector<Bytes> frames;
    Encoder encoder(
        [&frames](Bytes bytes, bool, VideoCodec, FrameTimes) { frames.push_back(std::move(bytes)); },
        {Encoder::Row{"libx265", VideoCodec::hevc, true, false}});
    if (!encoder.configure(width, height, 30, 2'000'000)) return {};
    const auto picture = knownCameraPicture(width, height);
    for (int i = 0; i < count; ++i) encoder.encode(picture);
    encoder.teardown();
    return frames;
}

// The cameraHEVC datagrams of one frame.
inline std::vector<Bytes> cameraDatagrams(const Bytes& frame, uint32_t frameId) {
    VideoPacketHeader h;
    h.frameId = frameId;
    h.codec = static_cast<uint8_t>(MediaKind::cameraHEVC);
    return fragmentFrame(frame, h);
}

}  // namespace tarvello::test
