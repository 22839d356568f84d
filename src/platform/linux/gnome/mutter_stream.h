#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/cursor.h"

namespace tarvello::gnome {

// One picture as the compositor delivered it: 32-bit pixels, blue first in memory.
// Valid only during the callback.
struct RawFrame {
    const uint8_t* data = nullptr;
    int width = 0, height = 0, stride = 0;
};

// The pointer as the stream's metadata describes it, in stream pixels.
struct StreamCursor {
    bool visible = false;
    int x = 0, y = 0;
    std::shared_ptr<const CursorImage> image;  // the last bitmap sent; kept while it stays the same
};

// A consumer of a Mutter screen cast node over PipeWire, in shared memory. For a virtual
// monitor the size asked for here becomes the monitor's size; for a recorded monitor the
// compositor's size is taken. Frames come on PipeWire's thread, only when the compositor
// sends one (it sends on damage). Ended, and its thread joined, by the destructor.
class MutterStream {
public:
    using FrameSink = std::function<void(const RawFrame&)>;
    using StopSink = std::function<void(const std::string& reason)>;

    // Both in pixels; width and height 0 take whatever size the compositor offers.
    // `socket` empty: the user's PipeWire.
    static std::unique_ptr<MutterStream> connect(uint32_t node, int width, int height, int maxFps,
                                                 const std::string& socket, std::string& error);
    ~MutterStream();
    MutterStream(const MutterStream&) = delete;
    MutterStream& operator=(const MutterStream&) = delete;

    // Replaces the receivers; an empty sink drops frames. The previous sink is not
    // running once this returns.
    void setSinks(FrameSink frames, StopSink stopped);
    // Waits until the stream has negotiated its size; false on timeout or failure.
    bool waitUntilStreaming(double seconds, std::string& error);
    std::pair<int, int> size() const;
    StreamCursor cursor() const;
    bool failed(std::string& reason) const;

    struct Impl;

private:
    MutterStream() = default;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tarvello::gnome
