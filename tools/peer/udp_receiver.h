#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "protocol/byte_codec.h"

namespace tarvello::peer {

// Drains a UDP socket on its own thread so that decoding on the main thread never
// makes the kernel's small receive buffer overflow. Datagrams wait in a queue of
// bounded size; `wakeFd()` turns readable when some are waiting.
class UdpReceiver {
public:
    static constexpr size_t maxQueuedBytes = size_t(64) << 20;

    explicit UdpReceiver(int socketFd);  // does not take ownership of the socket
    ~UdpReceiver();
    UdpReceiver(const UdpReceiver&) = delete;
    UdpReceiver& operator=(const UdpReceiver&) = delete;

    bool start();
    void stop();  // idempotent; joins the thread

    int wakeFd() const { return wakeFd_; }
    // Everything queued so far, oldest first; clears the wake-up.
    std::vector<Bytes> take();
    // Datagrams dropped because the queue was full.
    uint64_t overflowed() const { return overflowed_.load(); }

private:
    void loop();

    int socket_;
    int wakeFd_ = -1;
    int stopFd_ = -1;
    std::thread thread_;
    std::mutex mutex_;
    std::deque<Bytes> queue_;
    size_t queuedBytes_ = 0;
    std::atomic<uint64_t> overflowed_{0};
};

}  // namespace tarvello::peer
