#include "server/batch_sender.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>

namespace tarvello {

namespace {
constexpr int kBatch = 1024;  // UIO_MAXIOV: the most messages one sendmmsg takes
constexpr int kMaxStalls = 4;
}  // namespace

int BatchSender::sendFrame(int fd, const sockaddr* dest, socklen_t destLen, std::span<const uint8_t> frame,
                           VideoPacketHeader h) {
    const int count = fragmentCount(frame.size());
    if (count == 0) return 0;
    h.fragCount = static_cast<uint16_t>(count);
    headers_.resize(size_t(count));
    iov_.resize(size_t(count) * 2);
    msgs_.resize(size_t(count));
    for (int i = 0; i < count; ++i) {
        const size_t k = size_t(i);
        h.fragIndex = static_cast<uint16_t>(i);
        h.encode(headers_[k].data());
        const size_t off = k * Pontel::maxFragmentPayload;
        const size_t len = std::min<size_t>(Pontel::maxFragmentPayload, frame.size() - off);
        iov_[2 * k] = {headers_[k].data(), size_t(Pontel::headerSize)};
        iov_[2 * k + 1] = {const_cast<uint8_t*>(frame.data() + off), len};
        msghdr& m = msgs_[k].msg_hdr;
        m = {};
        m.msg_name = const_cast<sockaddr*>(dest);
        m.msg_namelen = destLen;
        m.msg_iov = &iov_[2 * k];
        m.msg_iovlen = 2;
    }
    int sent = 0, stalls = 0;
    while (sent < count) {
        const int r = sendmmsg(fd, msgs_.data() + sent, static_cast<unsigned>(std::min(count - sent, kBatch)), 0);
        if (r > 0) {
            sent += r;
            continue;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) {
            if (stalls++ >= kMaxStalls) break;  // the network is not draining: drop the rest
            // The send buffer is full: wait briefly for room rather than cut the frame.
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 5);
            continue;
        }
        ++sent;  // a datagram the stack refuses is skipped (fire and forget)
    }
    return sent;
}

}  // namespace tarvello
