#include "server/server.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <asio/ip/tcp.hpp>
#include <asio/ip/udp.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/write.hpp>
#include <charconv>
#include <cmath>
#include <random>

#include "app/host_info.h"
#include "app/log.h"
#include "app/notification_center.h"
#include "app/settings.h"
#include "app/stage_manager.h"
#include "app/text_format.h"
#include "audio/audio_bridge.h"
#include "camera/camera_bridge.h"
#include "input/injector.h"
#include "input/text_watcher.h"
#include "server/batch_sender.h"
#include "server/control_outbox.h"
#include "server/stage_report.h"
#include "video/capture.h"
#include "video/cursor_watcher.h"
#include "video/virtual_display.h"

namespace tarvello {

namespace {
constexpr double kKeyframeThrottle = 0.1;
constexpr double kCursorThrottle = 1.0 / 240.0;
constexpr int64_t kBitrateFloor = 4'000'000;
// Shown by the system's power reports while the assertion is held.
constexpr const char* kAssertionName = "Tarvello: keeps the Mac unlocked for the iPhone";

template <class Endpoint>
std::string describe(const Endpoint& ep) {
    auto addr = ep.address();
    if (addr.is_v6() && addr.to_v6().is_v4_mapped()) {
        addr = asio::ip::make_address_v4(asio::ip::v4_mapped, addr.to_v6());
    }
    if (addr.is_v6()) return "[" + addr.to_string() + "]:" + std::to_string(ep.port());
    return addr.to_string() + ":" + std::to_string(ep.port());
}

std::string plainAddress(asio::ip::address addr) {
    if (addr.is_v6() && addr.to_v6().is_v4_mapped())
        addr = asio::ip::make_address_v4(asio::ip::v4_mapped, addr.to_v6());
    return addr.to_string();
}

// Binds to the configured address, or to every interface: dual-stack IPv6 first, IPv4
// where the host has no IPv6. `open` (re)opens and binds the socket for one endpoint.
template <class Protocol, class Open>
std::error_code bindConfigured(const std::string& bindAddress, uint16_t port, Open open) {
    using Endpoint = typename Protocol::endpoint;
    std::error_code ec;
    if (!bindAddress.empty()) {
        const auto addr = asio::ip::make_address(bindAddress, ec);
        return ec ? ec : open(Endpoint(addr, port));
    }
    ec = open(Endpoint(Protocol::v6(), port));
    if (ec) ec = open(Endpoint(Protocol::v4(), port));
    return ec;
}

// DSCP in the IP header's traffic-class byte, so busy Wi-Fi queues media as interactive.
constexpr int kVideoTrafficClass = 34 << 2;  // AF41
constexpr int kAudioTrafficClass = 46 << 2;  // EF
void setTrafficClass(int fd, int tclass) {
    // One of the two fails on a single-stack socket; the other is the one that applies.
    setsockopt(fd, IPPROTO_IP, IP_TOS, &tclass, sizeof tclass);
    setsockopt(fd, IPPROTO_IPV6, IPV6_TCLASS, &tclass, sizeof tclass);
}

// More refused connections than this waiting for their close delay are closed at once:
// a flood must not run the process out of descriptors.
constexpr size_t kMaxLingering = 64;
// Connections waiting for a hello; beyond this the oldest gives way.
constexpr size_t kMaxPending = 32;
// A display lost again within this many seconds of the last loss ends the session.
constexpr double kDisplayLossWindow = 10.0;

uint32_t randomSessionId() {
    static thread_local std::random_device rd;
    std::uniform_int_distribution<uint32_t> dist(0, 4'294'967'294u);
    return dist(rd) + 1;
}
}  // namespace

struct ControlConnection {
    explicit ControlConnection(asio::io_context& io) : socket(io) {}
    uint64_t id = 0;
    asio::ip::tcp::socket socket;
    std::string remote;
    std::string remoteAddress;
    std::vector<uint8_t> readBuf = std::vector<uint8_t>(65536);
    ControlFramer framer;
    ControlOutbox outbox;
    bool closed = false;
    bool reported = false;
    bool refused = false;  // read no further: the refusal is on its way, then the close
    TimerHandle helloDeadline;
};

struct Server::Acceptor {
    explicit Acceptor(asio::io_context& io) : acceptor(io) {}
    asio::ip::tcp::acceptor acceptor;
};

struct VideoSocket {
    explicit VideoSocket(asio::io_context& io) : socket(io) {}
    asio::ip::udp::socket socket;
    std::vector<uint8_t> buf = std::vector<uint8_t>(65536);
    asio::ip::udp::endpoint from;
    std::optional<asio::ip::udp::endpoint> registered;  // the session's video flow
    // A new flow's decoder has no reference picture: deltas are useless to it until a keyframe.
    bool awaitingKeyframe = false;
    BatchSender sender;
};

// ---------------------------------------------------------------------------------
// Construction and start-up

std::shared_ptr<Server> Server::create(Platform platform, ServerOptions options) {
    return std::shared_ptr<Server>(new Server(std::move(platform), std::move(options)));
}

Server::Server(Platform platform, ServerOptions options)
    : platform_(std::move(platform)), options_(std::move(options)) {
    clock_ = options_.clock ? options_.clock : defaultClock();
    InjectorOptions injectorOptions;
    injectorOptions.clock = clock_;
    injectorOptions.preferences = platform_.preferences;
    injectorOptions.dock = platform_.dock;
    injectorOptions.workspace = platform_.workspace;
    injector_ = std::make_unique<Injector>(platform_.input, platform_.display, std::move(injectorOptions));
    display_ = std::make_unique<VirtualDisplay>(platform_.display);
    capture_ = Capture::create(platform_.capture);
    textWatcher_ = TextWatcher::create(platform_.accessibility);
    cursorWatcher_ = CursorWatcher::create(platform_.cursor);
    audio_ = AudioBridge::create(platform_.audio);
    camera_ = CameraBridge::create(platform_.camera);
    stageManager_ = options_.stageManager;
    if (!stageManager_) {
        StageManager::Environment env;
        env.processes = platform_.processes;
        env.preferences = platform_.preferences;
        env.dockAvailable = platform_.dock != nullptr;
        stageManager_ = StageManager::create(std::move(env));
    }
}

Server::~Server() {
    stop();
}

std::shared_ptr<Encoder> Server::encoder() {
    std::lock_guard lock(encoderMutex_);
    if (!encoder_) {
        std::weak_ptr<Server> w = weak_from_this();
        auto output = [w](Bytes bytes, bool isKeyframe, VideoCodec codec, FrameTimes times) {
            auto self = w.lock();
            if (!self) return;
            self->videoQueue_.async([w, b = std::move(bytes), isKeyframe, codec, times] {
                if (auto s = w.lock()) s->sendVideoFrame(b, isKeyframe, codec, times);
            });
        };
        encoder_ = options_.encoderRows.empty() ? std::make_shared<Encoder>(output)
                                                : std::make_shared<Encoder>(output, options_.encoderRows);
    }
    return encoder_;
}

bool Server::start() {
    setLineBufferedStdout();
    queue_.async(weakly(shared_from_this(), [](Server& s) {
        if (!s.control_) s.applyKeepAwake(Settings::shared().keepUnlocked());
    }));

    std::weak_ptr<Server> w = weak_from_this();
    injector_->onCursor = [w](float x, float y) {
        // Called on the server queue by the injector itself.
        auto s = w.lock();
        if (!s) return;
        const double t = s->now();
        if (t - s->lastCursorSent_ > kCursorThrottle) {
            s->lastCursorSent_ = t;
            s->send(buildCursor(x, y));
        }
    };
    injector_->onLeftUp = [w] {
        if (auto s = w.lock()) s->textWatcher_->checkSoon();
    };
    audio_->onSpeakerPacket = [w](Bytes packet) {
        auto s = w.lock();
        if (!s) return;
        s->videoQueue_.async([w, p = std::move(packet)] {
            if (auto s2 = w.lock()) s2->sendMedia(MediaKind::speakerAudio, p);
        });
    };
    auto onQueue = [w](std::function<void(Server&)> fn) {
        if (auto s = w.lock())
            s->queue_.async([w, fn = std::move(fn)] {
                if (auto s2 = w.lock()) fn(*s2);
            });
    };
    audio_->onMicRequest = [onQueue](bool wanted) {
        onQueue([wanted](Server& s) { s.send(buildMicRequest(wanted)); });
    };
    camera_->onCameraRequest = [onQueue](bool wanted) {
        onQueue([wanted](Server& s) { s.send(buildCameraRequest(wanted)); });
    };
    cursorWatcher_->onCursor = [onQueue](Bytes png, float hotX, float hotY, float width, float height) {
        onQueue([png = std::move(png), hotX, hotY, width, height](Server& s) {
            s.send(buildCursorImage(hotX, hotY, width, height, png));
        });
    };
    textWatcher_->onFocus = [onQueue](bool focused) {
        onQueue([focused](Server& s) { s.send(buildTextFocus(focused)); });
    };
    textWatcher_->onSelection = [onQueue](std::optional<Selection> sel) {
        SelectionMsg msg;
        if (sel) {
            msg = {true,
                   float(sel->start.x),
                   float(sel->start.y),
                   float(sel->end.x),
                   float(sel->end.y),
                   float(sel->height)};
        }
        onQueue([msg](Server& s) { s.send(buildSelection(msg)); });
    };
    capture_->onFrame = [w](VideoFramePtr frame) {
        if (auto s = w.lock()) s->encoder()->encode(frame);
    };
    capture_->onLost = [w](const std::string& reason) {
        if (auto s = w.lock()) s->queue_.async(weakly(s, [reason](Server& s2) { s2.captureLost(reason); }));
    };

    const bool ok = open();
    queue_.async(weakly(shared_from_this(), [](Server& s) { s.acceptNext(); }));
    videoQueue_.async(weakly(shared_from_this(), [](Server& s) { s.receiveNext(); }));

    updateStatus([](ServerStatus& s) { s.status = "Waiting for iPhone"; });

    std::string addresses;
    for (const auto& a : tailscaleAddresses()) addresses += (addresses.empty() ? "" : ", ") + a;
    log("Code: " + Settings::shared().token() + " · Tailscale: " + addresses);
    log(std::string("Permissions: screen ") + (platform_.host->screenRecordingAllowed() ? "ok" : "MISSING") +
        ", accessibility " + (platform_.host->accessibilityTrusted() ? "ok" : "MISSING"));

    videoQueue_.sync([&] {
        statsTimer_ = videoQueue_.every(options_.statsInterval, options_.statsInterval, [w] {
            if (auto s = w.lock()) s->statsTick();
        });
    });
    return ok;
}

bool Server::open() {
    if (opened_.exchange(true)) return portsOpen_;
    queue_.sync([&] { listen(); });
    bool videoOk = false;
    videoQueue_.sync([&] {
        openVideo();
        videoOk = video_ && video_->socket.is_open();
    });
    portsOpen_ = acceptor_ && acceptor_->acceptor.is_open() && videoOk;
    return portsOpen_;
}

void Server::listen() {
    using asio::ip::tcp;
    acceptor_ = std::make_unique<Acceptor>(queue_.context());
    auto& acc = acceptor_->acceptor;
    std::error_code ec =
        bindConfigured<tcp>(options_.bindAddress, options_.controlPort, [&](const tcp::endpoint& ep) {
            std::error_code e;
            acc.close(e);
            e.clear();
            acc.open(ep.protocol(), e);
            if (!e && ep.address().is_v6()) acc.set_option(asio::ip::v6_only(false), e);
            e.clear();
            if (!e) acc.set_option(tcp::acceptor::reuse_address(true), e);
            if (!e) acc.bind(ep, e);
            if (!e) acc.listen(asio::socket_base::max_listen_connections, e);
            return e;
        });
    if (ec) {
        log("TCP listener failed: " + ec.message());
        acc.close(ec);
        return;
    }
    boundControlPort_ = acc.local_endpoint(ec).port();
    log("Control listening on TCP " + std::to_string(boundControlPort_.load()));
}

void Server::acceptNext() {
    if (!acceptor_ || !acceptor_->acceptor.is_open()) return;
    auto conn = std::make_shared<ControlConnection>(queue_.context());
    std::weak_ptr<Server> w = weak_from_this();
    acceptor_->acceptor.async_accept(conn->socket, [w, conn](const std::error_code& ec) {
        auto s = w.lock();
        if (!s || s->stopped_.load()) return;
        if (ec == asio::error::operation_aborted) return;
        if (!ec) {
            s->accept(conn);
            s->acceptNext();
            return;
        }
        // Out of descriptors, say: the connection stays in the backlog, so retrying at
        // once would spin this queue.
        s->queue_.after(0.1, [w] {
            if (auto s2 = w.lock(); s2 && !s2->stopped_.load()) s2->acceptNext();
        });
    });
}

void Server::openVideo() {
    using asio::ip::udp;
    video_ = std::make_unique<VideoSocket>(videoQueue_.context());
    auto& sock = video_->socket;
    // No SO_REUSEADDR: another local user must not be able to bind the port beside us
    // and receive the phone's registration.
    std::error_code ec =
        bindConfigured<udp>(options_.bindAddress, options_.videoPort, [&](const udp::endpoint& ep) {
            std::error_code e;
            sock.close(e);
            e.clear();
            sock.open(ep.protocol(), e);
            if (!e && ep.address().is_v6()) sock.set_option(asio::ip::v6_only(false), e);
            e.clear();
            if (!e) sock.bind(ep, e);
            return e;
        });
    if (ec) {
        log("UDP listener failed: " + ec.message());
        sock.close(ec);
        return;
    }
    setTrafficClass(sock.native_handle(), kVideoTrafficClass);
    // A keyframe leaves as one burst; room for several keeps the kernel from
    // refusing the tail of it.
    const int want = 8 << 20;
    if (setsockopt(sock.native_handle(), SOL_SOCKET, SO_SNDBUFFORCE, &want, sizeof want) != 0) {
        setsockopt(sock.native_handle(), SOL_SOCKET, SO_SNDBUF, &want, sizeof want);
    }
    if (setsockopt(sock.native_handle(), SOL_SOCKET, SO_RCVBUFFORCE, &want, sizeof want) != 0) {
        setsockopt(sock.native_handle(), SOL_SOCKET, SO_RCVBUF, &want, sizeof want);
    }
    boundVideoPort_ = sock.local_endpoint(ec).port();
    log("Video listening on UDP " + std::to_string(boundVideoPort_.load()));
}

void Server::stop() {
    if (stopped_.exchange(true)) return;
    queue_.sync([this] {
        teardownWork_.cancel();
        std::error_code ec;
        if (acceptor_) acceptor_->acceptor.close(ec);
        if (control_) cancel(control_);
        control_.reset();
        authed_ = false;
        for (auto& conn : std::vector(pending_)) cancel(conn);
        pending_.clear();
        resizeWork_.cancel();
        foldFlush_.cancel();
        if (sessionActive_) {
            capture_->stop();
            textWatcher_->stop();
            cursorWatcher_->stop();
            audio_->stop();
            camera_->stop();
            stageManager_->stageManagerOff();
            stageManager_->restoreDock();
            sessionActive_ = false;
        }
        applyKeepAwake(false);
    });
    videoQueue_.sync([this] {
        statsTimer_.cancel();
        std::error_code ec;
        if (video_) video_->socket.close(ec);
    });
    capture_->shutdown();
    if (auto e = [&] {
            std::lock_guard lock(encoderMutex_);
            return encoder_;
        }()) {
        e->teardown();
    }
    textWatcher_->shutdown();
    audio_->shutdown();
    camera_->shutdown();
    cursorWatcher_->stop();
    mainQueue().sync([this] { display_->teardown(); });
    queue_.stop();
    videoQueue_.stop();
}

// ---------------------------------------------------------------------------------
// The control connection (pontel.server)

void Server::accept(std::shared_ptr<ControlConnection> conn) {
    conn->id = nextConnectionId_++;
    std::error_code ec;
    conn->socket.set_option(asio::ip::tcp::no_delay(true), ec);
    auto ep = conn->socket.remote_endpoint(ec);
    if (!ec) {
        conn->remote = describe(ep);
        conn->remoteAddress = plainAddress(ep.address());
    }
    logFolded(connectionLog_, "Connection from " + conn->remote);
    if (pending_.size() >= kMaxPending) {
        auto oldest = pending_.front();
        forgetPending(oldest);
        cancel(oldest);
    }
    pending_.push_back(conn);
    std::weak_ptr<Server> w = weak_from_this();
    std::weak_ptr<ControlConnection> wc = conn;
    conn->helloDeadline = queue_.after(options_.helloTimeout, [w, wc] {
        auto s = w.lock();
        auto c = wc.lock();
        if (!s || !c || c == s->control_) return;
        s->forgetPending(c);
        s->cancel(c);
    });
    readNext(conn);
}

void Server::forgetPending(const std::shared_ptr<ControlConnection>& conn) {
    conn->helloDeadline.cancel();
    std::erase(pending_, conn);
}

void Server::readNext(const std::shared_ptr<ControlConnection>& conn) {
    std::weak_ptr<Server> w = weak_from_this();
    conn->socket.async_read_some(asio::buffer(conn->readBuf), [w, conn](const std::error_code& ec, size_t n) {
        auto s = w.lock();
        if (!s) return;
        if (ec || n == 0) {
            s->cancel(conn);
            s->disconnected(conn);
            return;
        }
        if (conn->closed || conn->refused) return;
        conn->framer.append(std::span<const uint8_t>(conn->readBuf.data(), n));
        // A zero length yields no frame but still consumes bytes; keep going while
        // the framer makes progress so frames behind it are not left waiting.
        for (;;) {
            const size_t before = conn->framer.buffered();
            auto f = conn->framer.next();
            if (f) {
                s->handle(conn, f->type, f->payload);
                if (conn->closed || conn->refused) return;
            } else if (conn->framer.buffered() == before) {
                break;
            }
        }
        s->readNext(conn);
    });
}

void Server::cancel(const std::shared_ptr<ControlConnection>& conn) {
    if (!conn || conn->closed) return;
    conn->closed = true;
    conn->helloDeadline.cancel();
    std::error_code ec;
    conn->socket.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
    conn->socket.close(ec);
}

void Server::disconnected(const std::shared_ptr<ControlConnection>& conn) {
    if (conn->reported) return;
    conn->reported = true;
    if (conn != control_) {
        forgetPending(conn);
        return;
    }
    dropCurrent();
}

// The authenticated phone is gone: nobody may use its session id or video flow any
// more, but the session itself waits out the grace period for the phone to return.
void Server::dropCurrent() {
    control_.reset();
    authed_ = false;
    injector_->releaseAll();
    videoQueue_.async([w = weak_from_this()] {
        auto s = w.lock();
        if (!s || !s->video_) return;
        s->video_->registered.reset();
        s->currentSession_ = 0;
        s->peerAddress_.clear();
    });
    log("iPhone disconnected");
    updateStatus([](ServerStatus& s) {
        s.status = "Waiting for iPhone";
        s.client.reset();
    });
    teardownWork_.cancel();
    teardownWork_ = queue_.after(options_.teardownDelay, [w = weak_from_this()] {
        if (auto s = w.lock()) s->endSession();
    });
}

void Server::send(Bytes frame) {
    if (authed_) sendTo(control_, std::move(frame));
}

void Server::sendTo(const std::shared_ptr<ControlConnection>& conn, Bytes frame) {
    if (!conn || conn->closed || frame.empty()) return;
    if (conn->outbox.push(std::move(frame)) == ControlOutbox::Push::overflow) {
        log("iPhone stopped reading: closing its connection");
        cancel(conn);
        return;
    }
    writeNext(conn);
}

void Server::writeNext(const std::shared_ptr<ControlConnection>& conn) {
    if (conn->closed) return;
    const Bytes* frame = conn->outbox.beginWrite();
    if (!frame) return;
    std::weak_ptr<Server> w = weak_from_this();
    asio::async_write(conn->socket, asio::buffer(*frame), [w, conn](const std::error_code& ec, size_t) {
        auto s = w.lock();
        if (!s) return;
        conn->outbox.finishWrite();
        if (ec) {
            s->cancel(conn);
            return;
        }
        s->writeNext(conn);
    });
}

void Server::logFolded(LineFolder& folder, const std::string& line) {
    const auto out = folder.add(now());
    if (out.summary) log(*out.summary);
    if (out.pass) {
        log(line);
        return;
    }
    // The flood may stop inside the minute: say how much was held back once it is over.
    if (foldFlush_.active()) return;
    foldFlush_ = queue_.after(LineFolder::window, [w = weak_from_this()] {
        auto s = w.lock();
        if (!s) return;
        for (auto* f : {&s->refusalLog_, &s->connectionLog_}) {
            if (auto summary = f->flush(s->now())) log(*summary);
        }
    });
}

// ---------------------------------------------------------------------------------
// Messages

void Server::handle(const std::shared_ptr<ControlConnection>& conn, uint8_t rawType,
                    std::span<const uint8_t> payload) {
    auto type = msgTypeFromRaw(rawType);
    if (!type) return;
    if (*type == MsgType::hello) {
        handleHello(conn, payload);
        return;
    }
    // Nothing but a hello counts before the connection is accepted.
    if (!authed_ || conn != control_) return;
    switch (*type) {
        case MsgType::resize: {
            auto m = decodeResize(payload);
            requestResize(std::min<int>(m.width, HelloGate::maxSide),
                          std::min<int>(m.height, HelloGate::maxSide));
            break;
        }
        case MsgType::requestKeyframe: forceKeyframe(); break;
        case MsgType::ping: send(buildPong(decodePing(payload))); break;
        case MsgType::stats: adaptBitrate(decodeStats(payload)); break;
        case MsgType::uiScale: handleUiScale(decodeUiScale(payload)); break;
        default: injector_->handle(*type, payload); break;
    }
}

// A rotation can send a burst of sizes; each rebuild costs a display and an encoder, so
// the first goes at once and the rest collapse into the last one.
void Server::requestResize(int width, int height) {
    const double t = now();
    if (!resizeWork_.active() && t - lastResize_ >= options_.resizeInterval) {
        lastResize_ = t;
        if (width != pixelW_ || height != pixelH_) startSession(width, height, fps_);
        return;
    }
    pendingResize_ = {width, height};
    if (resizeWork_.active()) return;
    const double wait = std::clamp(lastResize_ + options_.resizeInterval - t, 0.0, options_.resizeInterval);
    resizeWork_ = queue_.after(wait, [w = weak_from_this()] {
        auto s = w.lock();
        if (!s || !s->pendingResize_) return;
        const auto [pw, ph] = *s->pendingResize_;
        s->pendingResize_.reset();
        s->lastResize_ = s->now();
        if (s->authed_ && (pw != s->pixelW_ || ph != s->pixelH_)) s->startSession(pw, ph, s->fps_);
    });
}

void Server::handleHello(const std::shared_ptr<ControlConnection>& conn, std::span<const uint8_t> payload) {
    auto& settings = Settings::shared();
    const HelloVerdict v =
        gate_.check(conn->remoteAddress, payload, now(), settings.token(), settings.uiScale());
    if (v.storeScale) {
        settings.d().setDouble(SettingsKey::uiScale, *v.storeScale);
        NotificationCenter::shared().post(Notification::settingsChanged);
    }
    if (!v.accepted) {
        refuse(conn, v.refusal);
        return;
    }
    authenticate(conn, v);
}

void Server::authenticate(const std::shared_ptr<ControlConnection>& conn, const HelloVerdict& v) {
    if (control_ != conn) {
        forgetPending(conn);
        if (control_) {
            // The phone's own new connection wins; the old one ends quietly.
            log("New connection replaces the previous one");
            control_->reported = true;
            cancel(control_);
            injector_->releaseAll();
        }
        control_ = conn;
    }
    authed_ = true;
    clientName_ = v.clientName;
    macStatus_.reset();
    sessionId_ = randomSessionId();
    videoQueue_.async([w = weak_from_this(), id = sessionId_, address = conn->remoteAddress] {
        auto s = w.lock();
        if (!s || !s->video_) return;
        s->video_->registered.reset();
        s->currentSession_ = id;
        s->peerAddress_ = address;
    });
    log("\"" + clientName_ + "\" authenticated: " + std::to_string(v.width) + "×" + std::to_string(v.height) +
        " px @" + std::to_string(v.refreshRate) + " Hz");
    updateStatus([name = clientName_](ServerStatus& s) { s.client = name; });
    startSession(v.width, v.height, v.refreshRate);
}

// By value: `conn` may be control_ itself, which dropCurrent() clears.
void Server::refuse(std::shared_ptr<ControlConnection> conn, const std::string& reason) {
    logFolded(refusalLog_, "Rejected: " + reason);
    sendTo(conn, buildHelloRefused(reason));
    conn->refused = true;
    if (conn == control_) {
        dropCurrent();
        conn->reported = true;
    } else {
        forgetPending(conn);
    }
    if (lingering_ >= kMaxLingering) {
        cancel(conn);
        return;
    }
    ++lingering_;
    queue_.after(options_.rejectCloseDelay, [w = weak_from_this(), conn] {
        auto s = w.lock();
        if (!s) return;
        --s->lingering_;
        s->cancel(conn);
    });
}

void Server::reject(const std::string& reason) {
    if (control_) refuse(control_, reason);
}

void Server::startSession(int width, int height, int refreshRate) {
    teardownWork_.cancel();
    if (width < 1 || height < 1) return;
    if (!platform_.host->screenRecordingAllowed()) {
        reject("Tarvello on the Mac doesn't have the Screen Recording permission");
        return;
    }
    pixelW_ = std::min(width, HelloGate::maxSide) & ~1;
    pixelH_ = std::min(height, HelloGate::maxSide) & ~1;
    fps_ = refreshRate >= 100 ? 120 : 60;
    auto& settings = Settings::shared();
    const int64_t limit = std::clamp<int64_t>(settings.maxBitrate(), 0, 1'000'000) * 1'000'000;
    bitrate_ = std::min(bitrate_, limit);
    sessionActive_ = true;
    const uint64_t generation = ++sessionGeneration_;

    // Making a display can take a second (a new X server starting): it runs on the main
    // queue while this one goes on answering the phone, and the session continues when
    // it is there. A newer start makes an older one's display moot.
    const double scale = settings.uiScale();
    const bool mirror = settings.mirrorMac();
    if (mainQueue().stopping()) {
        continueSession(generation, false, platform_.display->mainDisplay());
        return;
    }
    mainQueue().async(
        [w = weak_from_this(), generation, width = pixelW_, height = pixelH_, fps = fps_, scale, mirror] {
            auto s = w.lock();
            if (!s || s->sessionGeneration_.load() != generation) return;
            const bool created = s->display_->create(width, height, fps, scale, mirror);
            const uint32_t display = created ? s->display_->displayID() : s->platform_.display->mainDisplay();
            s->queue_.async([w, generation, created, display] {
                if (auto s2 = w.lock()) s2->continueSession(generation, created, display);
            });
        });
}

void Server::continueSession(uint64_t generation, bool created, uint32_t sessionDisplay) {
    if (generation != sessionGeneration_.load() || !sessionActive_) return;
    auto& settings = Settings::shared();
    injector_->setTargetDisplay(sessionDisplay);
    textWatcher_->setDisplay(sessionDisplay);
    textWatcher_->start();
    cursorWatcher_->start();
    cursorWatcher_->reset();

    const GestureConfig gestures = injector_->currentGestureConfig();
    log("Trackpad gestures: 0x" + formatHex(gestures.rawValue));
    send(buildGestureConfig(gestures));

    audio_->start(settings.soundOnIPhone(), settings.iPhoneMic());
    if (settings.iPhoneCamera()) camera_->start();
    if (!created) log("Fallback: capturing the main display");

    auto enc = encoder();
    if (!enc->configure(pixelW_, pixelH_, fps_, bitrate_)) {
        reject("Video encoder unavailable");
        return;
    }
    const std::string codec = codecName(enc->codec());
    updateStatus([res = std::to_string(pixelW_) + "×" + std::to_string(pixelH_) + " @" + std::to_string(fps_),
                  codec](ServerStatus& s) {
        s.resolution = res;
        s.codec = codec;
    });
    if (sleepAssertion_ == 0) applyKeepAwake(true);
    platform_.power->coverDisplay(sessionDisplay);
    if (settings.stageManager()) stageManager_->stageManagerOn();
    if (settings.showDock()) stageManager_->showDockForSession();

    CaptureConfig config;
    config.display = sessionDisplay;
    config.width = pixelW_;
    config.height = pixelH_;
    config.fps = fps_;
    config.showsCursor = settings.showsCursor();
    std::weak_ptr<Server> w = weak_from_this();
    capture_->start(config, [w, generation](const std::string& error) {
        if (auto s = w.lock()) {
            s->queue_.async([w, generation, error] {
                if (auto s2 = w.lock()) s2->captureStarted(generation, error);
            });
        }
    });
}

void Server::captureStarted(uint64_t generation, const std::string& error) {
    if (generation != sessionGeneration_.load() || !sessionActive_) return;  // superseded by a newer start
    if (!error.empty()) {
        log("Capture failed: " + error);
        reject("Capture failed: " + error);
        return;
    }
    capturedGeneration_ = generation;
    static const std::string hostName = localizedHostName();
    send(buildHelloAccepted(sessionId_, static_cast<uint16_t>(pixelW_), static_cast<uint16_t>(pixelH_),
                            encoder()->codec(), hostName));
    updateStatus([name = clientName_](ServerStatus& s) { s.status = "Connected: " + name; });
    forceKeyframe();
}

void Server::captureLost(const std::string& reason) {
    // A newer start has already replaced the display this capture watched.
    if (!sessionActive_ || capturedGeneration_ != sessionGeneration_.load()) return;
    const double t = now();
    if (t - lastDisplayLoss_ < kDisplayLossWindow || !authed_ || !control_) {
        // Lost again at once: making it over and over would leave the phone a session
        // that shows nothing. End it; the phone may connect again.
        log("The session's display was lost again (" + reason + "): ending the session");
        if (auto conn = control_) {
            dropCurrent();
            cancel(conn);
        } else {
            endSession();
        }
        return;
    }
    lastDisplayLoss_ = t;
    log("The session's display was lost (" + reason + "): making it again");
    startSession(pixelW_, pixelH_, fps_);
}

void Server::endSession() {
    teardownWork_.cancel();
    log("Session ended: stopping capture and virtual display");
    capture_->stop();
    textWatcher_->stop();
    cursorWatcher_->stop();
    audio_->stop();
    camera_->stop();
    {
        std::lock_guard lock(encoderMutex_);
        if (encoder_) encoder_->teardown();
    }
    mainQueue().async([w = weak_from_this()] {
        if (auto s = w.lock()) s->display_->teardown();
    });
    injector_->setTargetDisplay(platform_.display->mainDisplay());
    videoQueue_.async([w = weak_from_this()] {
        auto s = w.lock();
        if (!s || !s->video_) return;
        s->video_->registered.reset();
        s->currentSession_ = 0;
        s->peerAddress_.clear();
    });
    platform_.power->coverDisplay(0);
    applyKeepAwake(Settings::shared().keepUnlocked());
    stageManager_->stageManagerOff();
    stageManager_->restoreDock();
    sessionActive_ = false;
    ++sessionGeneration_;
    updateStatus([](ServerStatus& s) {
        s.fps = 0;
        s.mbps = 0.0;
        s.resolution.clear();
    });
}

void Server::updateStatus(const std::function<void(ServerStatus&)>& change) {
    // Reported under the lock so observers see the changes in the order they were made.
    std::lock_guard lock(statusMutex_);
    change(status_);
    if (options_.statusObserver) options_.statusObserver(status_);
}

void Server::forceKeyframe(bool throttled) {
    const double t = now();
    if (throttled && t - lastKeyframeRequest_ <= kKeyframeThrottle) return;
    lastKeyframeRequest_ = t;
    encoder()->forceKeyframe = true;
    capture_->repeatLastFrame();
}

void Server::adaptBitrate(const StatsMsg& stats) {
    const int64_t limit = std::clamp<int64_t>(Settings::shared().maxBitrate(), 0, 1'000'000) * 1'000'000;
    int64_t next = bitrate_;
    if (stats.dropped >= 1) {
        next = std::max(static_cast<int64_t>(static_cast<double>(bitrate_) * 0.75), kBitrateFloor);
    } else if (stats.received >= 1) {
        next = std::min(static_cast<int64_t>(static_cast<double>(bitrate_) * 1.08), limit);
    }
    bitrate_ = next;
    encoder()->setBitrate(next);
    send(buildServerStats(static_cast<uint32_t>(std::clamp<int64_t>(next / 1000, 0, UINT32_MAX)),
                          static_cast<uint8_t>(fps_)));
    updateStatus([next, dropped = stats.dropped](ServerStatus& s) {
        s.targetMbps = static_cast<int>(next / 1'000'000);
        s.drops += dropped;
    });
}

void Server::handleUiScale(float scale) {
    if (!(scale >= 1.0f && scale <= 4.0f)) return;  // NaN fails both
    const double value = scale;
    if (value == Settings::shared().uiScale()) return;
    Settings::shared().d().setDouble(SettingsKey::uiScale, value);
    log("Text size requested by iPhone: " + formatShortestDouble(value));
    NotificationCenter::shared().post(Notification::settingsChanged);
    startSession(pixelW_, pixelH_, fps_);
}

void Server::applyKeepAwake(bool on) {
    // A failed creation leaves 0 behind, so the next trigger tries again.
    if (on && sleepAssertion_ == 0) {
        sleepAssertion_ = platform_.power->createAssertion(kAssertionName);
    } else if (!on && sleepAssertion_ != 0) {
        platform_.power->releaseAssertion(sleepAssertion_);
        sleepAssertion_ = 0;
    }
}

MacStatus Server::lockStatus() {
    MacStatus status;
    if (platform_.host->sessionLocked()) status.insert(MacStatus::locked);
    if (!platform_.host->screenRecordingAllowed()) status.insert(MacStatus::noScreenRecording);
    if (!platform_.host->accessibilityTrusted()) status.insert(MacStatus::noAccessibility);
    return status;
}

void Server::pollLockAndStatus() {
    const MacStatus status = lockStatus();
    const bool locked = status.contains(MacStatus::locked);
    if (locked != lockedFlag_) {
        lockedFlag_ = locked;
        log(locked ? "Mac session locked" : "Mac session unlocked");
        updateStatus([locked](ServerStatus& s) { s.locked = locked; });
        // Display and capture may not have survived the lock: rebuild them at the same size.
        if (!locked && authed_ && control_ && pixelW_ >= 1) startSession(pixelW_, pixelH_, fps_);
    }
    if (authed_ && control_ && macStatus_ != status) {
        macStatus_ = status;
        send(buildMacStatus(status));
    }
    reportGuessing();
}

void Server::reportGuessing() {
    const double t = now();
    const bool guarding = gate_.throttle().guarding(t);
    if (guarding && t - lastGuessingLog_ >= 60.0) {
        lastGuessingLog_ = t;
        const std::string line =
            "Pairing code guessing: " + std::to_string(gate_.throttle().wrongCodesLastHour(t)) +
            " wrong codes in the last hour";
        log(line);
        updateStatus([line](ServerStatus& s) { s.warning = line; });
    } else if (!guarding && lastGuessingLog_ > -1e299) {
        lastGuessingLog_ = -1e300;
        updateStatus([](ServerStatus& s) { s.warning.clear(); });
    }
}

bool Server::lidAwakeEnabled() {
    return platform_.lid && platform_.lid->held();
}

bool Server::setLidAwake(bool enabled) {
    return platform_.lid && platform_.lid->hold(enabled);
}

void Server::restartSession() {
    queue_.async(weakly(shared_from_this(), [](Server& s) {
        if (s.authed_ && s.control_ && s.pixelW_ >= 1) s.startSession(s.pixelW_, s.pixelH_, s.fps_);
    }));
}

void Server::stageManagerChanged() {
    queue_.async(weakly(shared_from_this(), [](Server& s) {
        if (s.control_ && Settings::shared().boolValue(SettingsKey::stageManager))
            s.stageManager_->stageManagerOn();
    }));
}

void Server::showDockChanged() {
    queue_.async(weakly(shared_from_this(), [](Server& s) {
        if (s.control_ && Settings::shared().boolValue(SettingsKey::showDock))
            s.stageManager_->showDockForSession();
    }));
}

void Server::keepUnlockedChanged() {
    queue_.async(weakly(shared_from_this(), [](Server& s) {
        // With a phone connected the session holds the assertion anyway.
        if (!s.control_) s.applyKeepAwake(Settings::shared().keepUnlocked());
    }));
}

Server::Snapshot Server::snapshot() {
    Snapshot snap;
    queue_.sync([&] {
        snap.connected = control_ != nullptr;
        snap.authed = authed_;
        snap.sessionId = sessionId_;
        snap.pixelW = pixelW_;
        snap.pixelH = pixelH_;
        snap.fps = fps_;
        snap.bitrate = bitrate_;
        snap.teardownPending = teardownWork_.active();
        snap.clientName = clientName_;
        snap.pendingConnections = pending_.size();
    });
    videoQueue_.sync([&] {
        snap.videoRegistered = video_ && video_->registered.has_value();
        snap.frameId = frameId_;
        snap.foreignRegistrations = foreignRegistrations_;
    });
    return snap;
}

// ---------------------------------------------------------------------------------
// UDP (pontel.video)

void Server::receiveNext() {
    if (!video_ || !video_->socket.is_open()) return;
    std::weak_ptr<Server> w = weak_from_this();
    video_->socket.async_receive_from(
        asio::buffer(video_->buf), video_->from, [w](const std::error_code& ec, size_t n) {
            auto s = w.lock();
            if (!s || ec == asio::error::operation_aborted) return;
            if (!ec) s->onDatagram(std::span<const uint8_t>(s->video_->buf.data(), n));
            s->receiveNext();
        });
}

void Server::onDatagram(std::span<const uint8_t> d) {
    const bool fromRegistered = video_->registered && *video_->registered == video_->from;
    switch (classifyDatagram(d, fromRegistered)) {
        case DatagramClass::micAudio: audio_->receiveMic(d.subspan(Pontel::headerSize)); break;
        case DatagramClass::cameraVideo:
            if (auto h = VideoPacketHeader::decode(d))
                camera_->receivePacket(*h, d.subspan(Pontel::headerSize));
            break;
        case DatagramClass::registration: {
            auto id = decodeRegistration(d);
            if (!id || currentSession_ == 0 || *id != currentSession_ || fromRegistered) return;
            if (plainAddress(video_->from.address()) != peerAddress_) {
                ++foreignRegistrations_;
                return;
            }
            video_->registered = video_->from;
            video_->awaitingKeyframe = true;
            log("UDP video channel established with " + describe(video_->from));
            // The phone has nothing to decode until a keyframe reaches this address: the one
            // forced at helloAck went nowhere, so this one may not be throttled away.
            queue_.async(weakly(shared_from_this(), [](Server& s) { s.forceKeyframe(false); }));
            break;
        }
        case DatagramClass::ignored: break;
    }
}

void Server::sendVideoFrame(const Bytes& bytes, bool isKeyframe, VideoCodec codec, const FrameTimes& times) {
    if (!video_ || !video_->registered) return;
    if (video_->awaitingKeyframe && !isKeyframe) return;
    video_->awaitingKeyframe = false;
    ++frameId_;
    if (fragmentCount(bytes.size()) == 0) return;
    if (options_.stageReportInterval > 0 && !stageReport_)
        stageReport_ = std::make_unique<StageReport>(options_.stageReportInterval);
    const double sendStart = stageReport_ ? monotonicSeconds() : 0;

    VideoPacketHeader h;
    h.frameId = frameId_;
    h.flags = isKeyframe ? VideoPacketHeader::keyframe : 0;
    h.codec = static_cast<uint8_t>(codec);
    h.timestampMs = uptimeMs32(*clock_);

    const auto& dest = *video_->registered;
    video_->sender.sendFrame(video_->socket.native_handle(), static_cast<const sockaddr*>(dest.data()),
                             static_cast<socklen_t>(dest.size()), bytes, h);
    ++sentFrames_;
    sentBytes_ += static_cast<int64_t>(bytes.size());
    if (stageReport_) {
        if (auto line = stageReport_->add(times, sendStart, monotonicSeconds())) log(*line);
    }
}

void Server::sendMedia(MediaKind kind, const Bytes& payload) {
    if (!video_ || !video_->registered) return;
    ++mediaSeq_;
    VideoPacketHeader h;
    h.frameId = mediaSeq_;
    h.fragIndex = 0;
    h.fragCount = 1;
    h.flags = 0;
    h.codec = static_cast<uint8_t>(kind);
    h.timestampMs = uptimeMs32(*clock_);
    auto dg = buildMediaDatagram(h, payload);
    std::error_code ec;
    // Sound shares the socket with video; both are sent on this queue, so the class can
    // be switched around the one send.
    const bool audio = kind == MediaKind::speakerAudio;
    if (audio) setTrafficClass(video_->socket.native_handle(), kAudioTrafficClass);
    video_->socket.send_to(asio::buffer(dg), *video_->registered, 0, ec);
    if (audio) setTrafficClass(video_->socket.native_handle(), kVideoTrafficClass);
}

void Server::statsTick() {
    const int64_t frames = sentFrames_, bytes = sentBytes_;
    sentFrames_ = 0;
    sentBytes_ = 0;
    updateStatus([frames, bytes](ServerStatus& s) {
        s.fps = static_cast<int>(frames);
        s.mbps = static_cast<double>(bytes) * 8.0 / 1'000'000.0;
    });
    queue_.async(weakly(shared_from_this(), [](Server& s) { s.pollLockAndStatus(); }));
}

}  // namespace tarvello
