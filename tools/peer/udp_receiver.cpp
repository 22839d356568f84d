#include "udp_receiver.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace tarvello::peer {

UdpReceiver::UdpReceiver(int socketFd) : socket_(socketFd) {}

UdpReceiver::~UdpReceiver() {
    stop();
    if (wakeFd_ >= 0) ::close(wakeFd_);
    if (stopFd_ >= 0) ::close(stopFd_);
}

bool UdpReceiver::start() {
    wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    stopFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ < 0 || stopFd_ < 0) return false;
    // Signals belong to the main thread, whose poll() they must interrupt.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    thread_ = std::thread([this] { loop(); });
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return true;
}

void UdpReceiver::stop() {
    if (!thread_.joinable()) return;
    const uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(stopFd_, &one, sizeof one);
    thread_.join();
}

std::vector<Bytes> UdpReceiver::take() {
    uint64_t counter = 0;
    [[maybe_unused]] auto n = ::read(wakeFd_, &counter, sizeof counter);
    std::lock_guard lock(mutex_);
    std::vector<Bytes> out(std::make_move_iterator(queue_.begin()), std::make_move_iterator(queue_.end()));
    queue_.clear();
    queuedBytes_ = 0;
    return out;
}

void UdpReceiver::loop() {
    Bytes buffer(65536);
    for (;;) {
        pollfd fds[2] = {{socket_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents || (fds[0].revents & POLLNVAL)) return;
        const uint64_t one = 1;
        int queued = 0;
        for (;;) {
            const ssize_t n = ::recv(socket_, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (n < 0) {
                // ICMP errors from earlier sends surface here; they are not fatal.
                if (errno == EINTR || errno == ECONNREFUSED) continue;
                break;
            }
            std::lock_guard lock(mutex_);
            if (queuedBytes_ + size_t(n) > maxQueuedBytes) {
                ++overflowed_;
                continue;
            }
            queue_.emplace_back(buffer.begin(), buffer.begin() + n);
            queuedBytes_ += size_t(n);
            // Wake the main loop in batches, also while a burst is still arriving.
            if (++queued % 32 == 0) {
                [[maybe_unused]] auto w = ::write(wakeFd_, &one, sizeof one);
            }
        }
        if (queued % 32 != 0) {
            [[maybe_unused]] auto w = ::write(wakeFd_, &one, sizeof one);
        }
    }
}

}  // namespace tarvello::peer
