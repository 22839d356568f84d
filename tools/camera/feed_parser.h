#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "protocol/camera_feed.h"

namespace tarvello::camera {

// Cuts the application's byte stream into pictures. The caller reads from the
// socket straight into nextRead() and reports how many bytes came with advance(),
// so a picture is copied once, from the kernel into its buffer. The buffer is
// bounded by the largest stride the header may name.
class FeedParser {
public:
    enum class Result { needMore, picture, badHeader };

    // Where the next bytes go; never empty.
    std::span<uint8_t> nextRead();
    // `n` bytes were written into the span nextRead() returned.
    Result advance(size_t n);

    // After Result::picture, until the next nextRead(): the picture and its header.
    const camerafeed::FeedHeader& header() const { return header_; }
    std::span<const uint8_t> picture() const { return {body_.data(), header_.pictureBytes()}; }
    // Hands the picture's buffer over (for a zero-copy swap) and takes `spare` in its place.
    void swapPicture(std::vector<uint8_t>& spare) { body_.swap(spare); }

    // The client went away: whatever was half-read is forgotten.
    void reset();
    // True while part of a header or picture has been read.
    bool midPicture() const { return !delivered_ && (got_ > 0 || inBody_); }

private:
    std::array<uint8_t, camerafeed::kHeaderSize> head_{};
    std::vector<uint8_t> body_;
    camerafeed::FeedHeader header_;
    size_t got_ = 0;  // bytes of the current header or body
    bool inBody_ = false;
    bool delivered_ = false;
};

}  // namespace tarvello::camera
