#pragma once

#include <sys/socket.h>
#include <sys/uio.h>

#include <array>
#include <span>
#include <vector>

#include "protocol/datagram.h"

namespace tarvello {

// Sends the fragments of one encoded frame back to back. Where the kernel offers UDP
// segmentation offload, the datagrams are laid out once in a scratch buffer and
// handed over in a few 64 KB super-datagrams that the stack cuts at 1200 bytes;
// elsewhere each datagram is a header plus a slice of the frame, submitted in
// sendmmsg batches. Scratch space is reused, so a send allocates nothing once warmed
// up. Not thread-safe: one per sending queue.
class BatchSender {
public:
    // Returns the number of datagrams handed to the kernel. `tmpl` supplies every header
    // field but fragIndex and fragCount. Nothing is sent for an empty or oversized frame.
    int sendFrame(int fd, const sockaddr* dest, socklen_t destLen, std::span<const uint8_t> frame,
                  VideoPacketHeader tmpl);

    // Turns segmentation offload off (it is also turned off by itself when refused).
    void disableSegmentation() { segmentation_ = false; }
    bool segmentation() const { return segmentation_; }

private:
    int sendSegmented(int fd, const sockaddr* dest, socklen_t destLen, std::span<const uint8_t> frame,
                      VideoPacketHeader h, int count);
    int sendEach(int fd, const sockaddr* dest, socklen_t destLen, std::span<const uint8_t> frame,
                 VideoPacketHeader h, int count);
    int submit(int fd, int from, int count);

    bool segmentation_ = true;
    std::vector<uint8_t> wire_;
    std::vector<std::array<uint8_t, 64>> control_;
    std::vector<std::array<uint8_t, 16>> headers_;
    std::vector<iovec> iov_;
    std::vector<mmsghdr> msgs_;
};

}  // namespace tarvello
