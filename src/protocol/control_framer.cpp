#include "protocol/control_framer.h"

#include <cstring>

namespace tarvello {

Bytes ControlFramer::encode(uint8_t type, const std::function<void(ByteWriter&)>& body) {
    ByteWriter w(32);
    w.writeU8(type);
    if (body) body(w);
    const size_t n = w.data.size();
    if (n > 0xFFFF) return {};
    Bytes out(n + 2);
    out[0] = static_cast<uint8_t>(n >> 8);
    out[1] = static_cast<uint8_t>(n);
    std::memcpy(out.data() + 2, w.data.data(), n);
    return out;
}

void ControlFramer::append(std::span<const uint8_t> bytes) {
    if (start_ > 0 && start_ >= buffer_.size() / 2) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
    }
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

std::optional<Frame> ControlFramer::next() {
    const size_t avail = buffer_.size() - start_;
    if (avail < 2) return std::nullopt;
    const uint8_t* p = buffer_.data() + start_;
    const size_t n = (size_t(p[0]) << 8) | p[1];
    if (n == 0) {
        start_ += 2;
        return std::nullopt;
    }
    if (avail < n + 2) return std::nullopt;
    Frame f;
    f.type = p[2];
    f.payload.assign(p + 3, p + 2 + n);
    start_ += n + 2;
    if (start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    }
    return f;
}

}  // namespace tarvello
