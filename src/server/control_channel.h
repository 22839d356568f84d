#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "dispatch/serial_queue.h"
#include "protocol/byte_codec.h"
#include "protocol/control_framer.h"
#include "server/control_outbox.h"

namespace tarvello {

// One control connection: frames in through the framer, frames out through the outbox
// with its drop policy. Lives on the queue whose io_context made it; every call and
// every handler runs there.
class ControlChannel : public std::enable_shared_from_this<ControlChannel> {
public:
    struct Handlers {
        // One whole frame. The channel may be closed or refused on return; then it reads no further.
        std::function<void(const std::shared_ptr<ControlChannel>&, uint8_t type, std::span<const uint8_t>)>
            frame;
        // The peer closed, or reading failed. Called once a read ends, even after close().
        std::function<void(const std::shared_ptr<ControlChannel>&)> ended;
    };

    explicit ControlChannel(asio::io_context& io) : socket_(io) {}

    // For the acceptor to fill.
    asio::ip::tcp::socket& socket() { return socket_; }
    // Once accepted: learns the peer's address and starts reading.
    void begin(uint64_t id, Handlers handlers);

    // Queues a frame; a reader that lets one-shot frames pile up past the outbox's
    // limit is closed (logged).
    void send(Bytes frame);
    // Shuts the socket; idempotent.
    void close();

    uint64_t id() const { return id_; }
    bool closed() const { return closed_; }
    const std::string& remote() const { return remote_; }                // "address:port"
    const std::string& remoteAddress() const { return remoteAddress_; }  // the address alone

    // Owned by the server: whether its end was dealt with, and whether it is refused
    // (read no further: the refusal is on its way, then the close).
    bool reported = false;
    bool refused = false;
    TimerHandle helloDeadline;

private:
    void readNext();
    void writeNext();

    asio::ip::tcp::socket socket_;
    uint64_t id_ = 0;
    std::string remote_;
    std::string remoteAddress_;
    std::vector<uint8_t> readBuf_ = std::vector<uint8_t>(65536);
    ControlFramer framer_;
    ControlOutbox outbox_;
    Handlers handlers_;
    bool closed_ = false;
};

// The address alone, IPv4-mapped IPv6 shown as IPv4.
inline std::string plainAddress(asio::ip::address address) {
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    return address.to_string();
}

// "address:port" (IPv6 in brackets), for TCP and UDP endpoints alike.
template <class Endpoint>
std::string describeEndpoint(const Endpoint& ep) {
    const std::string address = plainAddress(ep.address());
    const bool v6 = address.find(':') != std::string::npos;
    return (v6 ? "[" + address + "]" : address) + ":" + std::to_string(ep.port());
}

}  // namespace tarvello
