#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "protocol/control_framer.h"
#include "protocol/datagram.h"
#include "protocol/messages.h"

namespace tarvello::test {

// A scripted phone over real loopback sockets, with bounded waits (timeouts only
// keep a failing test from hanging; nothing asserts on how long things take).
class TestPhone {
public:
    TestPhone() = default;
    ~TestPhone();
    TestPhone(const TestPhone&) = delete;
    TestPhone& operator=(const TestPhone&) = delete;

    // `from`: the local address to connect from (another 127.0.0.x plays another host).
    bool connect(uint16_t port, const std::string& host = "127.0.0.1", const std::string& from = {});
    void close();
    bool sendRaw(const Bytes& bytes);

    // Sends hello and waits for helloAck.
    std::optional<HelloAck> hello(const std::string& text, uint16_t width = 1179, uint16_t height = 2556,
                                  uint8_t refresh = 60, uint32_t version = 3, double timeout = 20);

    // Waits for the next frame of `type`; frames of other types are kept for later.
    std::optional<Frame> waitFor(MsgType type, double timeout = 10);
    // True when the server closed the connection within the timeout.
    bool waitClosed(double timeout = 10);

    // UDP side. `from` as for connect().
    bool openUdp(const std::string& from = {});
    int udpSocket() const { return udp_; }
    bool sendUdp(uint16_t port, const Bytes& datagram);
    std::optional<Bytes> recvUdp(double timeout = 5);
    // Waits for the first datagram of a frame whose header satisfies the predicate.
    template <class Pred>
    std::optional<VideoPacketHeader> waitVideo(Pred pred, double timeout = 10) {
        for (int i = 0; i < 100000; ++i) {
            auto d = recvUdp(timeout);
            if (!d) return std::nullopt;
            auto h = VideoPacketHeader::decode(*d);
            if (h && pred(*h)) return h;
        }
        return std::nullopt;
    }

private:
    bool pump(double timeout);

    int tcp_ = -1;
    int udp_ = -1;
    ControlFramer framer_;
    std::deque<Frame> pending_;
    bool closed_ = false;
};

}  // namespace tarvello::test
