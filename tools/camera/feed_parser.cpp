#include "feed_parser.h"

namespace tarvello::camera {

std::span<uint8_t> FeedParser::nextRead() {
    if (delivered_) {
        delivered_ = false;
        inBody_ = false;
        got_ = 0;
    }
    if (!inBody_) return {head_.data() + got_, head_.size() - got_};
    return {body_.data() + got_, header_.pictureBytes() - got_};
}

FeedParser::Result FeedParser::advance(size_t n) {
    got_ += n;
    if (!inBody_) {
        if (got_ < head_.size()) return Result::needMore;
        auto h = camerafeed::decodeHeader(head_);
        if (!h) {
            reset();
            return Result::badHeader;
        }
        header_ = *h;
        inBody_ = true;
        got_ = 0;
        if (body_.size() < header_.pictureBytes()) body_.resize(header_.pictureBytes());
        return Result::needMore;
    }
    if (got_ < header_.pictureBytes()) return Result::needMore;
    delivered_ = true;
    return Result::picture;
}

void FeedParser::reset() {
    got_ = 0;
    inBody_ = false;
    delivered_ = false;
}

}  // namespace tarvello::camera
