#include "peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "dispatch/clock.h"
#include "video/encoder.h"
#include "video/png_writer.h"

namespace tarvello::peer {
namespace {

using namespace std::chrono_literals;

std::atomic<bool> stopRequested{false};

constexpr auto kRegistrationInterval = 500ms;
constexpr int kMaxRegistrations = 6;
constexpr auto kKeyframeRequestInterval = 300ms;
constexpr size_t kMaxOutgoing = size_t(1) << 20;
constexpr size_t kMaxPingsTracked = 16;
constexpr int kCameraRate = 30;  // --camera frames per second, and per keyframe

double seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

std::string codecLabel(uint8_t raw) {
    if (auto c = videoCodecFromRaw(raw)) return codecName(*c);
    return "codec(" + std::to_string(raw) + ")";
}

}  // namespace

void Peer::requestStop() {
    stopRequested = true;
}

Peer::Peer(PeerOptions options, Script script) : opt_(std::move(options)), script_(std::move(script)) {}

Peer::~Peer() {
    if (receiver_) receiver_->stop();
    if (tcp_ >= 0) ::close(tcp_);
    if (udp_ >= 0) ::close(udp_);
}

void Peer::say(const char* fmt, ...) const {
    if (opt_.quiet) return;
    va_list args;
    va_start(args, fmt);
    std::vprintf(fmt, args);
    va_end(args);
    std::putchar('\n');
}

bool Peer::connectControl() {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const std::string port = std::to_string(opt_.controlPort);
    if (int rc = ::getaddrinfo(opt_.host.c_str(), port.c_str(), &hints, &list); rc != 0) {
        std::fprintf(stderr, "Cannot resolve %s: %s\n", opt_.host.c_str(), ::gai_strerror(rc));
        return false;
    }
    int lastError = 0;
    for (addrinfo* ai = list; ai && tcp_ < 0; ai = ai->ai_next) {
        int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) {
            lastError = errno;
            continue;
        }
        int rc = ::connect(fd, ai->ai_addr, ai->ai_addrlen);
        if (rc < 0 && errno == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now());
            rc = ::poll(&p, 1, int(std::max<int64_t>(0, left.count())));
            if (rc == 1) {
                int err = 0;
                socklen_t len = sizeof err;
                ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
                rc = err == 0 ? 0 : -1;
                errno = err;
            } else {
                errno = rc == 0 ? ETIMEDOUT : errno;
                rc = -1;
            }
        }
        if (rc < 0) {
            lastError = errno;
            ::close(fd);
            continue;
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        tcp_ = fd;
        std::memcpy(&videoAddr_, ai->ai_addr, ai->ai_addrlen);
        videoAddrLen_ = socklen_t(ai->ai_addrlen);
        if (ai->ai_family == AF_INET6) {
            reinterpret_cast<sockaddr_in6*>(&videoAddr_)->sin6_port = htons(opt_.videoPort);
        } else {
            reinterpret_cast<sockaddr_in*>(&videoAddr_)->sin_port = htons(opt_.videoPort);
        }
    }
    ::freeaddrinfo(list);
    if (tcp_ < 0) {
        std::fprintf(stderr, "Cannot connect to %s port %u: %s\n", opt_.host.c_str(), opt_.controlPort,
                     std::strerror(lastError));
        return false;
    }
    return true;
}

bool Peer::openVideoSocket() {
    const int family = videoAddr_.ss_family;
    udp_ = ::socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (udp_ < 0) return false;
    // Keyframes arrive as one burst of datagrams; give the kernel room for them.
    const int size = 8 << 20;
    if (::setsockopt(udp_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
        ::setsockopt(udp_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    sockaddr_storage local{};
    local.ss_family = sa_family_t(family);
    const socklen_t len = family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (::bind(udp_, reinterpret_cast<sockaddr*>(&local), len) != 0) return false;
    receiver_ = std::make_unique<UdpReceiver>(udp_);
    return receiver_->start();
}

void Peer::sendControl(const Bytes& frame) {
    if (closed_ || tcp_ < 0) return;
    if (outgoing_.size() + frame.size() > kMaxOutgoing) return;  // the server stopped reading
    outgoing_.insert(outgoing_.end(), frame.begin(), frame.end());
    while (!outgoing_.empty()) {
        const ssize_t n = ::send(tcp_, outgoing_.data(), outgoing_.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) closed_ = true;
            return;
        }
        outgoing_.erase(outgoing_.begin(), outgoing_.begin() + n);
    }
}

void Peer::flushControl(Clock::time_point until) {
    while (!outgoing_.empty() && !closed_ && Clock::now() < until) {
        pollfd p{tcp_, POLLOUT, 0};
        if (::poll(&p, 1, 50) > 0) sendControl({});
    }
}

bool Peer::readControl() {
    uint8_t buffer[65536];
    for (;;) {
        const ssize_t n = ::recv(tcp_, buffer, sizeof buffer, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
            return false;
        }
        if (n == 0) return false;
        framer_.append(std::span<const uint8_t>(buffer, size_t(n)));
        while (auto frame = framer_.next()) {
            handleMessage(*frame);
            if (refusedExit_) return true;
        }
    }
}

void Peer::onHelloAck(const HelloAck& ack) {
    if (!ack.accepted) {
        std::fprintf(stderr, "Refused: %s\n", ack.text.c_str());
        refusedExit_ = exitRefused;
        return;
    }
    if (auto c = videoCodecFromRaw(ack.codec)) codec_ = c;
    if (accepted_) {
        say("Session: %" PRIu32 " %ux%u %s", ack.sessionId, ack.width, ack.height,
            codecLabel(ack.codec).c_str());
        if (ack.sessionId != sessionId_) {
            sessionId_ = ack.sessionId;
            videoArrived_ = false;
            registrationsSent_ = 0;
            sendRegistration();
        }
        return;
    }
    accepted_ = true;
    phase_ = Phase::streaming;
    sessionId_ = ack.sessionId;
    acceptedAt_ = Clock::now();
    std::printf("Accepted: session %" PRIu32 " %ux%u %s host \"%s\"\n", ack.sessionId, ack.width, ack.height,
                codecLabel(ack.codec).c_str(), ack.text.c_str());
    if (!openVideoSocket()) {
        std::fprintf(stderr, "Cannot open the UDP socket: %s\n", std::strerror(errno));
        closed_ = true;
        return;
    }
    nextTick_ = acceptedAt_ + 1s;
    scriptWake_ = acceptedAt_;
    sendRegistration();
}

void Peer::sendRegistration() {
    if (opt_.noRegister || udp_ < 0) return;
    sendDatagram(buildRegistration(opt_.registerSession.value_or(sessionId_)));
    ++registrationsSent_;
    nextRegistration_ = Clock::now() + kRegistrationInterval;
}

void Peer::sendDatagram(const Bytes& datagram) {
    if (udp_ < 0) return;
    ::sendto(udp_, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&videoAddr_),
             videoAddrLen_);
}

void Peer::handleMessage(const Frame& frame) {
    const auto& p = frame.payload;
    auto type = msgTypeFromRaw(frame.type);
    if (!type) {
        say("message 0x%02x (%zu bytes)", frame.type, p.size());
        return;
    }
    switch (*type) {
        case MsgType::helloAck: onHelloAck(decodeHelloAck(p)); break;
        case MsgType::pong: {
            const uint64_t value = decodePing(p);
            if (auto it = pings_.find(value); it != pings_.end()) {
                rttMs_ = seconds(Clock::now() - it->second) * 1000.0;
                pings_.erase(pings_.begin(), std::next(it));
            } else {
                say("pong %" PRIu64, value);
            }
            break;
        }
        case MsgType::serverStats: kbpsTarget_ = decodeServerStats(p).kbps; break;
        case MsgType::cursor: {
            auto c = decodeCursor(p);
            say("cursor %.4f %.4f %d", double(c.x), double(c.y), c.shown ? 1 : 0);
            break;
        }
        case MsgType::cursorImage: {
            auto c = decodeCursorImage(p);
            say("cursorImage hot %.1f,%.1f size %.1fx%.1f png %zu bytes", double(c.hotX), double(c.hotY),
                double(c.width), double(c.height), c.png.size());
            break;
        }
        case MsgType::textFocus: say("textFocus %u", ByteReader(p).readU8()); break;
        case MsgType::selection: {
            auto s = decodeSelection(p);
            say("selection %d %.4f %.4f %.4f %.4f %.4f", s.present ? 1 : 0, double(s.startX),
                double(s.startY), double(s.endX), double(s.endY), double(s.height));
            break;
        }
        case MsgType::gestureConfig: say("gestureConfig 0x%" PRIx32, ByteReader(p).readU32()); break;
        case MsgType::macStatus: {
            const auto s = MacStatus::fromRaw(ByteReader(p).readU8());
            say("macStatus 0x%02x%s%s%s", s.rawValue, s.contains(MacStatus::locked) ? " locked" : "",
                s.contains(MacStatus::noScreenRecording) ? " noScreenRecording" : "",
                s.contains(MacStatus::noAccessibility) ? " noAccessibility" : "");
            break;
        }
        case MsgType::micRequest: say("micRequest %u", ByteReader(p).readU8()); break;
        case MsgType::cameraRequest: {
            const unsigned wanted = ByteReader(p).readU8();
            say("cameraRequest %u", wanted);
            if (!cameraFrames_.empty()) {
                cameraOn_ = wanted != 0;
                cameraSinceKeyframe_ = 0;
                nextCameraFrame_ = Clock::now();
            }
            break;
        }
        default: say("message 0x%02x (%zu bytes)", frame.type, p.size()); break;
    }
}

void Peer::needKeyframe() {
    const auto now = Clock::now();
    if (haveRequestedKeyframe_ && now - lastKeyframeRequest_ < kKeyframeRequestInterval) return;
    haveRequestedKeyframe_ = true;
    lastKeyframeRequest_ = now;
    sendControl(buildRequestKeyframe());
}

void Peer::onDatagram(const Bytes& datagram) {
    datagramBytes_ += datagram.size();
    auto header = VideoPacketHeader::decode(datagram);
    if (!header || !videoCodecFromRaw(header->codec)) return;  // audio and anything unknown
    videoArrived_ = true;
    auto frame = reassembler_.pushDatagram(datagram);
    if (reassembler_.counters().framesLost > lostSeen_) {
        lostSeen_ = reassembler_.counters().framesLost;
        awaitingKeyframe_ = true;
        if (!frame) needKeyframe();
    }
    if (frame) onFrame(std::move(*frame));
}

void Peer::onFrame(ReassembledFrame frame) {
    ++completed_;
    if (!firstKeyframe_) firstKeyframe_ = frame.keyframe;
    if (frame.keyframe) ++keyframes_;
    const VideoCodec codec = *videoCodecFromRaw(frame.codec);
    if (!decoder_ || decoder_->codec() != codec) {
        codec_ = codec;
        awaitingKeyframe_ = true;
        decoder_ = Decoder::create(codec);
        if (!decoder_) {
            std::fprintf(stderr, "No %s decoder available\n", codecName(codec));
            return;
        }
    }
    if (awaitingKeyframe_ && !frame.keyframe) {
        needKeyframe();
        return;
    }
    awaitingKeyframe_ = false;
    const uint64_t errorsBefore = decoder_->errors();
    const auto decodeStart = Clock::now();
    auto pictures = decoder_->decode(frame.data);
    if (window_ == Window::open)
        decodeTimes_.add(std::chrono::duration<double, std::milli>(Clock::now() - decodeStart).count());
    if (decoder_->errors() != errorsBefore) {
        awaitingKeyframe_ = true;
        needKeyframe();
    }
    for (auto& picture : pictures) {
        if (window_ == Window::open) measureLatency(picture);
        ++decoded_;
        width_ = picture.width();
        height_ = picture.height();
        if (opt_.saveFrame) lastPicture_ = std::move(picture);
    }
}

void Peer::measureLatency(const DecodedPicture& picture) {
    const double nowMs = SystemClock().uptime() * 1000.0;
    const auto luma = picture.luma();
    if (!luma) return;
    meter_.add(luma->data, luma->stride, picture.width(), picture.height(), nowMs);
}

Peer::Clock::time_point Peer::latencyWindowEdge(bool closing) const {
    const double at = opt_.warmup + (closing ? opt_.latency.value_or(0) : 0);
    return acceptedAt_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(at));
}

void Peer::updateLatencyWindow(Clock::time_point now) {
    if (!opt_.latency || phase_ != Phase::streaming) return;
    if (window_ == Window::before && now >= latencyWindowEdge(false)) {
        window_ = Window::open;
        windowOpened_ = now;
        windowDecoded_ = decoded_;
        windowBytes_ = datagramBytes_;
        windowLost_ = reassembler_.counters().framesLost;
    }
    if (window_ == Window::open && now >= latencyWindowEdge(true)) {
        window_ = Window::closed;
        printLatencyReport(now);
    }
}

void Peer::printLatencyReport(Clock::time_point now) const {
    const double span = std::max(1e-3, seconds(now - windowOpened_));
    const auto& h = meter_.latencies();
    std::printf("latency seconds=%.1f frames=%" PRIu64 " measured=%" PRIu64 " unreadable=%" PRIu64
                " repeated=%" PRIu64 " implausible=%" PRIu64
                " p50_ms=%.1f p95_ms=%.1f p99_ms=%.1f max_ms=%.1f fps=%.1f mbps=%.2f drops=%" PRIu64
                " decode_p50_ms=%.1f decode_p95_ms=%.1f\n",
                span, decoded_ - windowDecoded_, h.count(), meter_.unreadable(), meter_.repeated(),
                meter_.implausible(), h.percentile(50), h.percentile(95), h.percentile(99), h.max(),
                double(decoded_ - windowDecoded_) / span,
                double(datagramBytes_ - windowBytes_) * 8 / 1e6 / span,
                reassembler_.counters().framesLost - windowLost_, decodeTimes_.percentile(50),
                decodeTimes_.percentile(95));
}

void Peer::runScript() {
    const auto now = Clock::now();
    while (scriptIndex_ < script_.actions.size() && now >= scriptWake_) {
        const ScriptAction& a = script_.actions[scriptIndex_++];
        switch (a.kind) {
            case ScriptAction::Kind::control: sendControl(a.bytes); break;
            case ScriptAction::Kind::udp: sendDatagram(a.bytes); break;
            case ScriptAction::Kind::sleep:
                scriptWake_ = now + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(a.seconds));
                break;
        }
    }
}

void Peer::tick() {
    const auto now = Clock::now();
    const auto& c = reassembler_.counters();
    const uint64_t frames = completed_ - tickCompleted_;
    const uint64_t lost = c.framesLost - tickLost_;
    sendControl(buildStats(uint32_t(std::min<uint64_t>(frames, UINT32_MAX)),
                           uint32_t(std::min<uint64_t>(lost, UINT32_MAX))));

    const uint64_t pingValue =
        uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count());
    pings_[pingValue] = now;
    while (pings_.size() > kMaxPingsTracked) pings_.erase(pings_.begin());
    sendControl(buildPing(pingValue));
    // The host drops keyframe requests that come too soon after another, and a still
    // screen sends nothing that would make us ask again: keep asking while we wait.
    if (awaitingKeyframe_) needKeyframe();

    const double elapsed = std::max(1e-3, seconds(now - (nextTick_ - 1s)));
    say("fps %" PRIu64 " Mb/s %.2f drops %" PRIu64 " rtt %.1f ms kbps-target %" PRIu32,
        decoded_ - tickDecoded_, double(datagramBytes_ - tickBytes_) * 8 / 1e6 / elapsed, lost, rttMs_,
        kbpsTarget_);

    tickDecoded_ = decoded_;
    tickCompleted_ = completed_;
    tickLost_ = c.framesLost;
    tickBytes_ = datagramBytes_;
    nextTick_ += 1s;
    if (nextTick_ <= now) nextTick_ = now + 1s;  // after a stall, do not catch up in a burst
}

bool Peer::frameGoalMet() const {
    return opt_.frames && decoded_ >= *opt_.frames;
}

Peer::Clock::time_point Peer::nextWake() const {
    auto wake = deadline_;
    if (phase_ == Phase::streaming) {
        wake = std::min(wake, nextTick_);
        if (opt_.seconds) {
            wake = std::min(wake, acceptedAt_ + std::chrono::duration_cast<Clock::duration>(
                                                    std::chrono::duration<double>(*opt_.seconds)));
        }
        if (opt_.latency && window_ != Window::closed)
            wake = std::min(wake, latencyWindowEdge(window_ == Window::open));
        if (!opt_.noRegister && !videoArrived_ && registrationsSent_ < kMaxRegistrations) {
            wake = std::min(wake, nextRegistration_);
        }
        if (cameraOn_) wake = std::min(wake, nextCameraFrame_);
        // Also a trailing sleep, whose end finishes the script.
        if (scriptIndex_ < script_.actions.size() || Clock::now() < scriptWake_) {
            wake = std::min(wake, scriptWake_);
        }
    }
    return wake;
}

void Peer::printSummary() const {
    const auto& c = reassembler_.counters();
    std::printf("summary frames=%" PRIu64 " keyframes=%" PRIu64
                " first_keyframe=%d width=%d height=%d codec=%s"
                " lost=%" PRIu64 " datagrams=%" PRIu64 " bytes=%" PRIu64 "\n",
                decoded_, keyframes_, firstKeyframe_.value_or(false) ? 1 : 0, width_, height_,
                codec_ ? codecName(*codec_) : "none", c.framesLost, c.datagrams, c.bytes);
}

int Peer::run() {
    start_ = Clock::now();
    deadline_ =
        start_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(opt_.timeout));
    if (opt_.cameraWidth && !prepareCamera()) return exitUsage;
    if (!connectControl()) return exitNotAccepted;

    Hello hello;
    hello.version = opt_.version;
    hello.width = opt_.width;
    hello.height = opt_.height;
    hello.refreshRate = opt_.refresh;
    hello.text = (opt_.noCode ? std::string() : opt_.code) + "\n" + opt_.name;
    if (opt_.scale) hello.text += "\n" + *opt_.scale;
    sendControl(buildHello(hello));

    bool timedOut = false;
    for (;;) {
        const auto now = Clock::now();
        if (stopRequested || closed_ || refusedExit_) break;
        if (now >= deadline_) {
            timedOut = true;
            break;
        }
        if (phase_ == Phase::streaming) {
            if (opt_.seconds && seconds(now - acceptedAt_) >= *opt_.seconds) break;
            updateLatencyWindow(now);
            if (window_ == Window::closed) break;
            runScript();
            // A trailing sleep counts: the script is done once its last wait has passed.
            const bool scriptDone = scriptIndex_ >= script_.actions.size() && now >= scriptWake_;
            if (opt_.frames && frameGoalMet() && scriptDone) break;
            if (!opt_.frames && !opt_.seconds && opt_.script && scriptDone) break;
            if (!opt_.noRegister && !videoArrived_ && registrationsSent_ < kMaxRegistrations &&
                now >= nextRegistration_) {
                sendRegistration();
            }
            if (now >= nextTick_) tick();
            if (cameraOn_ && now >= nextCameraFrame_) sendCameraFrame();
        }

        pollfd fds[2] = {{tcp_, short(POLLIN | (outgoing_.empty() ? 0 : POLLOUT)), 0},
                         {receiver_ ? receiver_->wakeFd() : -1, POLLIN, 0}};
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(nextWake() - Clock::now());
        const int rc = ::poll(fds, 2, int(std::clamp<int64_t>(wait.count(), 0, 1000)));
        if (rc < 0) {
            if (errno == EINTR) continue;
            std::fprintf(stderr, "poll: %s\n", std::strerror(errno));
            break;
        }
        if (fds[0].revents & POLLOUT) sendControl({});
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            if (!readControl()) closed_ = true;
        }
        if (receiver_ && (fds[1].revents & POLLIN)) {
            // Every taken datagram is handled: dropping the rest of a batch once the
            // goal is met would count frames as lost that arrived intact.
            for (const auto& d : receiver_->take()) onDatagram(d);
        }
    }

    if (refusedExit_ && !accepted_) return refusedExit_;
    if (!accepted_) {
        if (stopRequested) {
            std::fprintf(stderr, "Interrupted before acceptance\n");
        } else if (timedOut) {
            std::fprintf(stderr, "Timed out before acceptance\n");
        } else {
            std::fprintf(stderr, "Connection closed before acceptance\n");
        }
        return exitNotAccepted;
    }
    if (closed_ && !opt_.quiet) std::printf("Connection closed by the server\n");
    if (timedOut) std::fprintf(stderr, "Deadline reached\n");

    flushControl(std::min(deadline_ + 1s, Clock::now() + 1s));
    if (receiver_) receiver_->stop();

    int status = exitOk;
    if (opt_.saveFrame) {
        if (!lastPicture_) {
            std::fprintf(stderr, "No frame to save to %s\n", opt_.saveFrame->c_str());
        } else {
            const Bytes rgb = lastPicture_->toRgb24();
            if (rgb.empty() ||
                !writePng(*opt_.saveFrame, lastPicture_->width(), lastPicture_->height(), rgb)) {
                std::fprintf(stderr, "Cannot write %s\n", opt_.saveFrame->c_str());
                status = exitSaveFailed;
            }
        }
    }
    // A run cut short still reports what it measured.
    if (window_ == Window::open) printLatencyReport(Clock::now());
    if (opt_.cameraWidth) std::printf("camera sent=%" PRIu64 "\n", cameraSent_);
    printSummary();
    if (refusedExit_) return refusedExit_;
    if ((opt_.frames || opt_.seconds || opt_.latency) && decoded_ == 0) return exitNoFrames;
    if (opt_.latency && meter_.latencies().count() == 0) return exitNoFrames;
    return status;
}

// ---- The phone's camera ----

bool Peer::prepareCamera() {
    const int w = opt_.cameraWidth, h = opt_.cameraHeight;
    auto picture = VideoFrame::make(w, h);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) picture->y[size_t(y) * size_t(w) + size_t(x)] = x < w / 2 ? 200 : 50;
    }
    Encoder encoder(
        [this](Bytes bytes, bool, VideoCodec, FrameTimes) { cameraFrames_.push_back(std::move(bytes)); },
        {Encoder::Row{"libx265", VideoCodec::hevc, true, false}});
    if (!encoder.configure(w, h, 30, 2'000'000)) {
        std::fprintf(stderr, "--camera: no HEVC encoder (libx265) for %dx%d\n", w, h);
        return false;
    }
    // One second of stream, sent in a loop: it starts with its keyframe, so every pass
    // decodes as a stream of its own.
    for (int i = 0; i < kCameraRate; ++i) encoder.encode(picture);
    encoder.teardown();
    if (cameraFrames_.size() != size_t(kCameraRate)) {
        std::fprintf(stderr, "--camera: the encoder gave %zu frames\n", cameraFrames_.size());
        cameraFrames_.clear();
        return false;
    }
    return true;
}

void Peer::sendCameraFrame() {
    constexpr auto kCameraInterval = std::chrono::microseconds(1'000'000 / kCameraRate);
    const size_t index = size_t(cameraSinceKeyframe_ % kCameraRate);
    const bool keyframe = index == 0;
    ++cameraSinceKeyframe_;
    VideoPacketHeader h;
    h.frameId = ++cameraFrameId_;
    h.flags = keyframe ? VideoPacketHeader::keyframe : 0;
    h.codec = static_cast<uint8_t>(MediaKind::cameraHEVC);
    h.timestampMs = uptimeMs32(*defaultClock());
    for (const Bytes& d : fragmentFrame(cameraFrames_[index], h)) sendDatagram(d);
    ++cameraSent_;
    nextCameraFrame_ += kCameraInterval;
    if (nextCameraFrame_ < Clock::now()) nextCameraFrame_ = Clock::now() + kCameraInterval;
}

}  // namespace tarvello::peer
