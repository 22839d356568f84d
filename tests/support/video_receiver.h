#pragma once

#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "base/video_frame.h"
#include "protocol/frame_reassembler.h"
#include "video/decoder.h"

namespace tarvello::test {

// Decodes the video arriving on a phone's UDP socket on a thread of its own and keeps the
// newest picture. A lost frame or a decoding error raises a wish for a keyframe, which
// the test sends over its control connection (takeKeyframeWish). Ends before the phone
// closes the socket.
class VideoReceiver {
public:
    explicit VideoReceiver(int udpSocket) : fd_(udpSocket) {
        thread_ = std::thread([this] { run(); });
    }
    ~VideoReceiver() {
        stop_ = true;
        thread_.join();
    }
    VideoReceiver(const VideoReceiver&) = delete;
    VideoReceiver& operator=(const VideoReceiver&) = delete;

    std::shared_ptr<VideoFrame> latest() {
        std::lock_guard lock(mutex_);
        return latest_;
    }
    int decoded() const { return decoded_.load(); }
    bool takeKeyframeWish() { return wantsKeyframe_.exchange(false); }

private:
    void run() {
        FrameReassembler reassembler;
        std::unique_ptr<Decoder> decoder;
        bool awaitingKeyframe = true;
        uint64_t lost = 0;
        Bytes datagram(65536);
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            if (p.revents & POLLNVAL) return;  // the phone closed its socket
            const ssize_t n = ::recv(fd_, datagram.data(), datagram.size(), MSG_DONTWAIT);
            if (n <= 0) continue;
            const std::span<const uint8_t> bytes(datagram.data(), size_t(n));
            const auto header = VideoPacketHeader::decode(bytes);
            if (!header || !videoCodecFromRaw(header->codec)) continue;  // audio
            auto frame = reassembler.pushDatagram(bytes);
            if (reassembler.counters().framesLost > lost) {
                lost = reassembler.counters().framesLost;
                awaitingKeyframe = true;
                wantsKeyframe_ = true;
            }
            if (!frame) continue;
            const VideoCodec codec = *videoCodecFromRaw(frame->codec);
            if (!decoder || decoder->codec() != codec) {
                decoder = Decoder::create(codec);
                awaitingKeyframe = true;
                if (!decoder) continue;
            }
            if (awaitingKeyframe && !frame->keyframe) {
                wantsKeyframe_ = true;
                continue;
            }
            awaitingKeyframe = false;
            const uint64_t errors = decoder->errors();
            for (auto& picture : decoder->decode(frame->data)) {
                if (auto nv12 = picture.toNv12()) {
                    std::lock_guard lock(mutex_);
                    latest_ = std::move(nv12);
                }
                ++decoded_;
            }
            if (decoder->errors() != errors) {
                awaitingKeyframe = true;
                wantsKeyframe_ = true;
            }
        }
    }

    const int fd_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> wantsKeyframe_{false};
    std::atomic<int> decoded_{0};
    std::mutex mutex_;
    std::shared_ptr<VideoFrame> latest_;
    std::thread thread_;
};

}  // namespace tarvello::test
