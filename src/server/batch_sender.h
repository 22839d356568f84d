#pragma once

#include <sys/socket.h>
#include <sys/uio.h>

#include <array>
#include <span>
#include <vector>

#include "protocol/datagram.h"

namespace tarvello {

// Sends the fragments of one encoded frame back to back in sendmmsg batches. The
// payload goes straight from the frame (a header and a slice per datagram), and the
// scratch space is reused, so a send allocates nothing once warmed up. Not thread-safe:
// one per sending queue.
class BatchSender {
public:
    // Returns the number of datagrams handed to the kernel. `tmpl` supplies every header
    // field but fragIndex and fragCount. Nothing is sent for an empty or oversized frame.
    int sendFrame(int fd, const sockaddr* dest, socklen_t destLen, std::span<const uint8_t> frame,
                  VideoPacketHeader tmpl);

private:
    std::vector<std::array<uint8_t, 16>> headers_;
    std::vector<iovec> iov_;
    std::vector<mmsghdr> msgs_;
};

}  // namespace tarvello
