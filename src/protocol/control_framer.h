#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "protocol/byte_codec.h"

namespace tarvello {

struct Frame {
    uint8_t type = 0;  // raw code, not yet checked against MsgType
    Bytes payload;
};

// Length-prefixed frames on the control stream: u16 N (type + payload), type, payload.
class ControlFramer {
public:
    // Builds one complete frame. Returns an empty buffer when the type byte and the
    // payload exceed 65 535 bytes: such a message cannot be framed and is not sent.
    static Bytes encode(uint8_t type, const std::function<void(ByteWriter&)>& body);

    void append(std::span<const uint8_t> bytes);

    // Extracts the next complete frame, or nothing. A zero length consumes its two
    // bytes and yields nothing.
    std::optional<Frame> next();

    // Bytes received and not yet consumed as frames.
    size_t buffered() const { return buffer_.size() - start_; }
    void reset() {
        buffer_.clear();
        start_ = 0;
    }

private:
    Bytes buffer_;
    size_t start_ = 0;  // consumed prefix, compacted lazily so extraction stays O(frame)
};

}  // namespace tarvello
