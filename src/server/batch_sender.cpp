#include "server/batch_sender.h"

#include <netinet/in.h>
#include <netinet/udp.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tarvello {

namespace {
constexpr int kBatch = 1024;  // UIO_MAXIOV: the most messages one sendmmsg takes
constexpr int kMaxStalls = 4;
// Segments per super-datagram: the whole must stay under the 64 KB IP limit.
constexpr int kSegmentsPerSend = 54;
}  // namespace

int BatchSender::sendFrame(int fd, const sockaddr* dest, socklen_t destLen, std::span<const uint8_t> frame,
                           VideoPacketHeader h) {
    const int count = fragmentCount(frame.size());
    if (count == 0) return 0;
    h.fragCount = static_cast<uint16_t>(count);
    if (segmentation_ && count > 1) {
        const int sent = sendSegmented(fd, dest, destLen, frame, h, count);
        if (sent >= 0) return sent;
        segmentation_ = false;  // refused by this kernel or route: fall back for good
    }
    return sendEach(fd, dest, destLen, frame, h, count);
}

int BatchSender::sendSegmented(int fd, const sockaddr* dest, socklen_t destLen,
                               std::span<const uint8_t> frame, VideoPacketHeader h, int count) {
    wire_.resize(frame.size() + size_t(count) * Pontel::headerSize);
    for (int i = 0; i < count; ++i) {
        const size_t k = size_t(i);
        h.fragIndex = static_cast<uint16_t>(i);
        uint8_t* out = wire_.data() + k * Pontel::maxDatagram;
        h.encode(out);
        const size_t off = k * Pontel::maxFragmentPayload;
        const size_t len = std::min<size_t>(Pontel::maxFragmentPayload, frame.size() - off);
        std::memcpy(out + Pontel::headerSize, frame.data() + off, len);
    }
    const int chunks = (count + kSegmentsPerSend - 1) / kSegmentsPerSend;
    iov_.resize(size_t(chunks));
    msgs_.resize(size_t(chunks));
    control_.resize(size_t(chunks));
    for (int c = 0; c < chunks; ++c) {
        const size_t k = size_t(c);
        const size_t begin = k * kSegmentsPerSend * Pontel::maxDatagram;
        const size_t end = std::min(wire_.size(), begin + size_t(kSegmentsPerSend) * Pontel::maxDatagram);
        iov_[k] = {wire_.data() + begin, end - begin};
        msghdr& m = msgs_[k].msg_hdr;
        m = {};
        m.msg_name = const_cast<sockaddr*>(dest);
        m.msg_namelen = destLen;
        m.msg_iov = &iov_[k];
        m.msg_iovlen = 1;
        if (end - begin > size_t(Pontel::maxDatagram)) {
            m.msg_control = control_[k].data();
            m.msg_controllen = CMSG_SPACE(sizeof(uint16_t));
            cmsghdr* cm = CMSG_FIRSTHDR(&m);
            cm->cmsg_level = SOL_UDP;
            cm->cmsg_type = UDP_SEGMENT;
            cm->cmsg_len = CMSG_LEN(sizeof(uint16_t));
            const uint16_t segment = Pontel::maxDatagram;
            std::memcpy(CMSG_DATA(cm), &segment, sizeof segment);
        }
    }
    const int r = sendmmsg(fd, msgs_.data(), static_cast<unsigned>(chunks), 0);
    if (r < 0 && (errno == EIO || errno == EINVAL || errno == ENOPROTOOPT || errno == EOPNOTSUPP)) return -1;
    if (r == chunks) return count;
    // Partial or blocked: finish the remaining chunks with the common retry loop.
    const int chunksSent = submit(fd, std::max(r, 0), chunks);
    return std::min(count, chunksSent * kSegmentsPerSend);
}

int BatchSender::sendEach(int fd, const sockaddr* dest, socklen_t destLen, std::span<const uint8_t> frame,
                          VideoPacketHeader h, int count) {
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
    return submit(fd, 0, count);
}

// Hands msgs_[from, count) to the kernel; returns how many of msgs_[0, count) went out.
int BatchSender::submit(int fd, int from, int count) {
    int sent = from, stalls = 0;
    while (sent < count) {
        const int r =
            sendmmsg(fd, msgs_.data() + sent, static_cast<unsigned>(std::min(count - sent, kBatch)), 0);
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
        ++sent;  // a message the stack refuses is skipped (fire and forget)
    }
    return sent;
}

}  // namespace tarvello
