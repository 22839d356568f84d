#include "support/test_phone.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace tarvello::test {

namespace {
int toMs(double seconds) {
    return static_cast<int>(seconds * 1000);
}
double nowSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}
}  // namespace

TestPhone::~TestPhone() {
    close();
    if (udp_ >= 0) ::close(udp_);
}

namespace {
bool bindFrom(int fd, const std::string& from) {
    if (from.empty()) return true;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    if (inet_pton(AF_INET, from.c_str(), &a.sin_addr) != 1) return false;
    return ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}
}  // namespace

bool TestPhone::connect(uint16_t port, const std::string& host, const std::string& from) {
    close();
    tcp_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (tcp_ < 0 || !bindFrom(tcp_, from)) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, host.c_str(), &a.sin_addr);
    if (::connect(tcp_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
    int one = 1;
    setsockopt(tcp_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    framer_.reset();
    pending_.clear();
    closed_ = false;
    return true;
}

void TestPhone::close() {
    if (tcp_ >= 0) ::close(tcp_);
    tcp_ = -1;
}

bool TestPhone::sendRaw(const Bytes& bytes) {
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t n = ::send(tcp_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return false;
        off += size_t(n);
    }
    return true;
}

bool TestPhone::pump(double timeout) {
    if (tcp_ < 0 || closed_) return false;
    pollfd p{tcp_, POLLIN, 0};
    if (::poll(&p, 1, toMs(timeout)) <= 0) return false;
    uint8_t buf[65536];
    ssize_t n = ::recv(tcp_, buf, sizeof buf, 0);
    if (n <= 0) {
        closed_ = true;
        return false;
    }
    framer_.append(std::span<const uint8_t>(buf, size_t(n)));
    while (auto f = framer_.next()) pending_.push_back(std::move(*f));
    return true;
}

std::optional<Frame> TestPhone::waitFor(MsgType type, double timeout) {
    const double deadline = nowSeconds() + timeout;
    for (;;) {
        for (auto it = pending_.begin(); it != pending_.end(); ++it) {
            if (it->type == static_cast<uint8_t>(type)) {
                Frame f = std::move(*it);
                pending_.erase(it);
                return f;
            }
        }
        const double left = deadline - nowSeconds();
        if (left <= 0) return std::nullopt;
        if (!pump(left) && closed_) return std::nullopt;
    }
}

bool TestPhone::waitClosed(double timeout) {
    const double deadline = nowSeconds() + timeout;
    while (!closed_) {
        const double left = deadline - nowSeconds();
        if (left <= 0) return false;
        pump(left);
    }
    return true;
}

std::optional<HelloAck> TestPhone::hello(const std::string& text, uint16_t width, uint16_t height,
                                         uint8_t refresh, uint32_t version, double timeout) {
    Hello h;
    h.version = version;
    h.width = width;
    h.height = height;
    h.refreshRate = refresh;
    h.text = text;
    if (!sendRaw(buildHello(h))) return std::nullopt;
    auto f = waitFor(MsgType::helloAck, timeout);
    if (!f) return std::nullopt;
    return decodeHelloAck(f->payload);
}

bool TestPhone::openUdp(const std::string& from) {
    if (udp_ >= 0) ::close(udp_);  // the phone moves to a new port
    udp_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (udp_ < 0) return false;
    int big = 8 << 20;
    setsockopt(udp_, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, from.empty() ? "127.0.0.1" : from.c_str(), &a.sin_addr);
    return ::bind(udp_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

bool TestPhone::sendUdp(uint16_t port, const Bytes& d) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    return ::sendto(udp_, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a) ==
           ssize_t(d.size());
}

std::optional<Bytes> TestPhone::recvUdp(double timeout) {
    pollfd p{udp_, POLLIN, 0};
    if (::poll(&p, 1, toMs(timeout)) <= 0) return std::nullopt;
    Bytes b(65536);
    ssize_t n = ::recv(udp_, b.data(), b.size(), 0);
    if (n < 0) return std::nullopt;
    b.resize(size_t(n));
    return b;
}

}  // namespace tarvello::test
