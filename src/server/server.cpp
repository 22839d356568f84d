#include "server/server.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <asio/ip/tcp.hpp>
#include <asio/ip/udp.hpp>
#include <asio/ip/v6_only.hpp>
#include <charconv>
#include <cmath>
#include <random>

#include "audio/audio_bridge.h"
#include "base/host_info.h"
#include "base/log.h"
#include "base/notification_center.h"
#include "base/settings.h"
#include "base/text_format.h"
#include "camera/camera_bridge.h"
#include "input/injector.h"
#include "input/text_watcher.h"
#include "server/batch_sender.h"
#include "server/control_channel.h"
#include "server/session.h"
#include "server/stage_report.h"
#include "video/cursor_watcher.h"

namespace tarvello {

namespace {
constexpr double kCursorThrottle = 1.0 / 240.0;

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

constexpr const char* kTailnetOnlyRefusal = "This computer accepts only Tailscale connections";

uint32_t randomSessionId() {
    static thread_local std::random_device rd;
    std::uniform_int_distribution<uint32_t> dist(0, 4'294'967'294u);
    return dist(rd) + 1;
}
}  // namespace

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
    auto server = std::shared_ptr<Server>(new Server(platform, std::move(options)));
    std::weak_ptr<Server> w = server;
    Session::Options session;
    session.clock = server->clock_;
    session.encoderRows = server->options_.encoderRows;
    session.desktop = server->options_.sessionDesktop;
    session.resizeInterval = server->options_.resizeInterval;
    session.encoderOutput = [w](Bytes bytes, bool isKeyframe, VideoCodec codec, FrameTimes times) {
        auto self = w.lock();
        if (!self) return;
        self->videoQueue_.async([w, b = std::move(bytes), isKeyframe, codec, times] {
            if (auto s = w.lock()) s->sendVideoFrame(b, isKeyframe, codec, times);
        });
    };
    server->session_ = Session::create(std::move(platform), server->queue_, *server, std::move(session));
    return server;
}

Server::Server(Platform platform, ServerOptions options)
    : platform_(std::move(platform)), options_(std::move(options)) {
    clock_ = options_.clock ? options_.clock : defaultClock();
}

Server::~Server() {
    stop();
}

bool Server::start() {
    setLineBufferedStdout();
    queue_.async(weakly(shared_from_this(), [](Server& s) { s.session_->keepUnlockedChanged(); }));

    std::weak_ptr<Server> w = weak_from_this();
    auto& injector = session_->injector();
    auto& audio = session_->audio();
    auto& textWatcher = session_->textWatcher();
    injector.onCursor = [w](float x, float y) {
        // Called on the server queue by the injector itself.
        auto s = w.lock();
        if (!s) return;
        const double t = s->now();
        if (t - s->lastCursorSent_ > kCursorThrottle) {
            s->lastCursorSent_ = t;
            s->send(buildCursor(x, y));
        }
    };
    injector.onLeftUp = [w] {
        if (auto s = w.lock()) s->session_->textWatcher().checkSoon();
    };
    if (platform_.desktop) {
        // A window manager that comes, goes or is replaced changes what the gestures can do.
        platform_.desktop->watch([w] {
            if (auto s = w.lock())
                s->queue_.async(weakly(s, [](Server& s2) { s2.session_->sendGestureConfig(false); }));
        });
    }
    audio.onSpeakerPacket = [w](Bytes packet) {
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
    audio.onMicRequest = [onQueue](bool wanted) {
        onQueue([wanted](Server& s) { s.send(buildMicRequest(wanted)); });
    };
    session_->camera()->onCameraRequest = [onQueue](bool wanted) {
        onQueue([wanted](Server& s) { s.send(buildCameraRequest(wanted)); });
    };
    session_->cursorWatcher().onCursor = [onQueue](Bytes png, float hotX, float hotY, float width,
                                                   float height) {
        onQueue([png = std::move(png), hotX, hotY, width, height](Server& s) {
            s.send(buildCursorImage(hotX, hotY, width, height, png));
        });
    };
    textWatcher.onFocus = [onQueue](bool focused) {
        onQueue([focused](Server& s) { s.send(buildTextFocus(focused)); });
    };
    textWatcher.onSelection = [onQueue](std::optional<Selection> sel) {
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
    const bool ok = open();
    queue_.async(weakly(shared_from_this(), [](Server& s) {
        for (const auto& a : s.acceptors_) s.acceptNext(a);
        s.tailnetPoll_ = s.queue_.every(s.options_.tailnetPollInterval, s.options_.tailnetPollInterval,
                                        [w = s.weak_from_this()] {
                                            if (auto s2 = w.lock(); s2 && !s2->stopped_.load())
                                                s2->followTailnet();
                                        });
    }));
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
    bool controlOk = false;
    queue_.sync([&] {
        for (const auto& a : acceptors_) controlOk = controlOk || a->acceptor.is_open();
    });
    portsOpen_ = controlOk && videoOk;
    return portsOpen_;
}

void Server::listen() {
    wantedAddresses_ = wantedListenAddresses();
    listenAddresses_ = wantedAddresses_;
    if (bindListeners(listenAddresses_)) return;
    if (!listenAddresses_.empty()) {
        // A tailnet address that cannot be bound must not leave the phone with no way in:
        // the peer check still keeps everyone else out.
        listenAddresses_.clear();
        bindListeners(listenAddresses_);
    }
}

std::vector<std::string> Server::wantedListenAddresses() {
    if (!tailnetOnly()) return {};
    auto addresses = options_.tailnetAddresses ? options_.tailnetAddresses() : tailscaleAddresses();
    std::sort(addresses.begin(), addresses.end());
    addresses.erase(std::unique(addresses.begin(), addresses.end()), addresses.end());
    return addresses;
}

// Empty `addresses`: the configured bind address, or every interface. Closes whatever
// listened before; the port stays the one first bound, so the phone need not learn a new one.
bool Server::bindListeners(const std::vector<std::string>& addresses) {
    using asio::ip::tcp;
    std::error_code ec;
    for (const auto& a : acceptors_) a->acceptor.close(ec);
    acceptors_.clear();
    const uint16_t port = boundControlPort_.load() ? boundControlPort_.load() : options_.controlPort;
    auto bindOne = [&](const std::string& address) {
        auto acceptor = std::make_shared<Acceptor>(queue_.context());
        auto& acc = acceptor->acceptor;
        std::error_code bindError = bindConfigured<tcp>(address, port, [&](const tcp::endpoint& ep) {
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
        if (bindError) {
            log("TCP listener failed" + (address.empty() ? std::string() : " on " + address) + ": " +
                bindError.message());
            acc.close(bindError);
            return false;
        }
        boundControlPort_ = acc.local_endpoint(bindError).port();
        acceptors_.push_back(std::move(acceptor));
        return true;
    };
    bool ok = true;
    if (addresses.empty()) {
        ok = bindOne(options_.bindAddress);
    } else {
        for (const auto& a : addresses) ok = bindOne(a) && ok;
    }
    if (!ok) {
        for (const auto& a : acceptors_) a->acceptor.close(ec);
        acceptors_.clear();
        return false;
    }
    std::string where;
    for (const auto& a : addresses) where += (where.empty() ? " on " : ", ") + a;
    log("Control listening on TCP " + std::to_string(boundControlPort_.load()) + where);
    return true;
}

bool Server::tailnetOnly() const {
    return options_.forceTailnetOnly || Settings::shared().tailnetOnly();
}

bool Server::isTailnetPeer(const std::string& address) const {
    return options_.isTailnetPeer ? options_.isTailnetPeer(address) : isTailscaleAddress(address);
}

// Tailscale comes up after us, goes away, or the switch changes under a running server.
void Server::followTailnet() {
    if (tailnetOnly() && control_ && !isTailnetPeer(control_->remoteAddress())) reject(kTailnetOnlyRefusal);
    // Compared with what was wanted, not what was bound: an address that would not bind
    // is tried again when the set changes, not at every look.
    const auto wanted = wantedListenAddresses();
    if (wanted == wantedAddresses_) return;
    wantedAddresses_ = wanted;
    listenAddresses_ = wanted;
    if (!bindListeners(listenAddresses_) && !listenAddresses_.empty()) {
        listenAddresses_.clear();
        bindListeners(listenAddresses_);
    }
    for (const auto& a : acceptors_) acceptNext(a);
}

void Server::acceptNext(const std::shared_ptr<Acceptor>& acceptor) {
    if (!acceptor->acceptor.is_open()) return;
    auto conn = std::make_shared<ControlChannel>(queue_.context());
    std::weak_ptr<Server> w = weak_from_this();
    std::weak_ptr<Acceptor> wa = acceptor;
    acceptor->acceptor.async_accept(conn->socket(), [w, wa, conn](const std::error_code& ec) {
        auto s = w.lock();
        auto a = wa.lock();
        if (!s || !a || s->stopped_.load()) return;
        if (ec == asio::error::operation_aborted) return;
        if (!ec) {
            s->accept(conn);
            s->acceptNext(a);
            return;
        }
        // Out of descriptors, say: the connection stays in the backlog, so retrying at
        // once would spin this queue.
        s->queue_.after(0.1, [w, wa] {
            auto s2 = w.lock();
            auto a2 = wa.lock();
            if (s2 && a2 && !s2->stopped_.load()) s2->acceptNext(a2);
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
    if (platform_.desktop) platform_.desktop->watch({});
    queue_.sync([this] {
        std::error_code ec;
        tailnetPoll_.cancel();
        for (const auto& a : acceptors_) a->acceptor.close(ec);
        if (control_) control_->close();
        control_.reset();
        authed_ = false;
        for (auto& conn : std::vector(pending_)) conn->close();
        pending_.clear();
        foldFlush_.cancel();
        session_->stop();
    });
    videoQueue_.sync([this] {
        statsTimer_.cancel();
        std::error_code ec;
        if (video_) video_->socket.close(ec);
    });
    session_->shutdown();
    queue_.stop();
    videoQueue_.stop();
}

// ---------------------------------------------------------------------------------
// The control connection (pontel.server)

void Server::accept(std::shared_ptr<ControlChannel> conn) {
    std::weak_ptr<Server> ws = weak_from_this();
    conn->begin(nextConnectionId_++, {[ws](const std::shared_ptr<ControlChannel>& c, uint8_t type,
                                           std::span<const uint8_t> payload) {
                                          if (auto s = ws.lock()) s->handle(c, type, payload);
                                      },
                                      [ws](const std::shared_ptr<ControlChannel>& c) {
                                          if (auto s = ws.lock()) s->disconnected(c);
                                      }});
    logFolded(connectionLog_, "Connection from " + conn->remote());
    if (pending_.size() >= kMaxPending) {
        auto oldest = pending_.front();
        forgetPending(oldest);
        oldest->close();
    }
    pending_.push_back(conn);
    std::weak_ptr<Server> w = weak_from_this();
    std::weak_ptr<ControlChannel> wc = conn;
    conn->helloDeadline = queue_.after(options_.helloTimeout, [w, wc] {
        auto s = w.lock();
        auto c = wc.lock();
        if (!s || !c || c == s->control_) return;
        s->forgetPending(c);
        c->close();
    });
}

void Server::forgetPending(const std::shared_ptr<ControlChannel>& conn) {
    conn->helloDeadline.cancel();
    std::erase(pending_, conn);
}

void Server::disconnected(const std::shared_ptr<ControlChannel>& conn) {
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
    session_->injector().releaseAll();
    sessionEnded();
    log("iPhone disconnected");
    updateStatus([](ServerStatus& s) {
        s.status = "Waiting for iPhone";
        s.client.reset();
        s.notEncrypted.clear();
    });
    session_->endAfter(options_.teardownDelay);
}

void Server::send(Bytes frame) {
    if (authed_) sendTo(control_, std::move(frame));
}

void Server::sendTo(const std::shared_ptr<ControlChannel>& conn, Bytes frame) {
    if (conn) conn->send(std::move(frame));
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

void Server::handle(const std::shared_ptr<ControlChannel>& conn, uint8_t rawType,
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
            session_->requestResize(std::min<int>(m.width, HelloGate::maxSide),
                                    std::min<int>(m.height, HelloGate::maxSide));
            break;
        }
        case MsgType::requestKeyframe: session_->forceKeyframe(); break;
        case MsgType::ping: send(buildPong(decodePing(payload))); break;
        case MsgType::stats: session_->adaptBitrate(decodeStats(payload)); break;
        case MsgType::uiScale: session_->handleUiScale(decodeUiScale(payload)); break;
        default: session_->injector().handle(*type, payload); break;
    }
}

void Server::handleHello(const std::shared_ptr<ControlChannel>& conn, std::span<const uint8_t> payload) {
    // Before the gate: a peer on the wrong network has not guessed at the code.
    if (tailnetOnly() && !isTailnetPeer(conn->remoteAddress())) {
        refuse(conn, kTailnetOnlyRefusal);
        return;
    }
    auto& settings = Settings::shared();
    const HelloVerdict v =
        gate_.check(conn->remoteAddress(), payload, now(), settings.token(), settings.uiScale());
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

void Server::authenticate(const std::shared_ptr<ControlChannel>& conn, const HelloVerdict& v) {
    if (control_ != conn) {
        forgetPending(conn);
        if (control_) {
            // The phone's own new connection wins; the old one ends quietly.
            log("New connection replaces the previous one");
            control_->reported = true;
            control_->close();
            session_->injector().releaseAll();
        }
        control_ = conn;
    }
    authed_ = true;
    clientName_ = v.clientName;
    session_->phoneChanged();
    sessionId_ = randomSessionId();
    videoQueue_.async([w = weak_from_this(), id = sessionId_, address = conn->remoteAddress()] {
        auto s = w.lock();
        if (!s || !s->video_) return;
        s->video_->registered.reset();
        s->currentSession_ = id;
        s->peerAddress_ = address;
    });
    log("\"" + clientName_ + "\" authenticated: " + std::to_string(v.width) + "×" + std::to_string(v.height) +
        " px @" + std::to_string(v.refreshRate) + " Hz");
    std::string notEncrypted;
    if (!isTailnetPeer(conn->remoteAddress())) {
        notEncrypted = "Connection from " + conn->remoteAddress() +
                       " is not encrypted; switch on Only over Tailscale to require it";
        log(notEncrypted);
    }
    updateStatus([name = clientName_, notEncrypted](ServerStatus& s) {
        s.client = name;
        s.notEncrypted = notEncrypted;
    });
    session_->start(v.width, v.height, v.refreshRate);
}

// By value: `conn` may be control_ itself, which dropCurrent() clears.
void Server::refuse(std::shared_ptr<ControlChannel> conn, const std::string& reason) {
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
        conn->close();
        return;
    }
    ++lingering_;
    queue_.after(options_.rejectCloseDelay, [w = weak_from_this(), conn] {
        auto s = w.lock();
        if (!s) return;
        --s->lingering_;
        conn->close();
    });
}

void Server::reject(const std::string& reason) {
    if (control_) refuse(control_, reason);
}

// ---------------------------------------------------------------------------------
// What the session asks of the connection (pontel.server)

void Server::sendToPhone(Bytes frame) {
    send(std::move(frame));
}

void Server::refusePhone(const std::string& reason) {
    reject(reason);
}

void Server::closePhone() {
    if (auto conn = control_) {
        dropCurrent();
        conn->close();
    }
}

bool Server::phoneConnected() const {
    return authed_ && control_ != nullptr;
}

void Server::sessionReady(int width, int height, VideoCodec codec) {
    static const std::string hostName = localizedHostName();
    send(buildHelloAccepted(sessionId_, static_cast<uint16_t>(width), static_cast<uint16_t>(height), codec,
                            hostName));
    updateStatus([name = clientName_](ServerStatus& s) { s.status = "Connected: " + name; });
}

// Also when the phone leaves: nobody may use its session id or video flow any more.
void Server::sessionEnded() {
    videoQueue_.async([w = weak_from_this()] {
        auto s = w.lock();
        if (!s || !s->video_) return;
        s->video_->registered.reset();
        s->currentSession_ = 0;
        s->peerAddress_.clear();
    });
}

void Server::reportStatus(const std::function<void(ServerStatus&)>& change) {
    updateStatus(change);
}

void Server::updateStatus(const std::function<void(ServerStatus&)>& change) {
    // Reported under the lock so observers see the changes in the order they were made.
    std::lock_guard lock(statusMutex_);
    change(status_);
    if (options_.statusObserver) options_.statusObserver(status_);
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
    queue_.async(weakly(shared_from_this(), [](Server& s) { s.session_->restart(); }));
}

void Server::stageManagerChanged() {
    queue_.async(weakly(shared_from_this(), [](Server& s) { s.session_->stageManagerChanged(); }));
}

void Server::showDockChanged() {
    queue_.async(weakly(shared_from_this(), [](Server& s) { s.session_->showDockChanged(); }));
}

void Server::keepUnlockedChanged() {
    queue_.async(weakly(shared_from_this(), [](Server& s) { s.session_->keepUnlockedChanged(); }));
}

Server::Snapshot Server::snapshot() {
    Snapshot snap;
    queue_.sync([&] {
        snap.connected = control_ != nullptr;
        snap.authed = authed_;
        snap.sessionId = sessionId_;
        const auto session = session_->snapshot();
        snap.pixelW = session.pixelW;
        snap.pixelH = session.pixelH;
        snap.fps = session.fps;
        snap.bitrate = session.bitrate;
        snap.teardownPending = session.endPending;
        snap.clientName = clientName_;
        snap.pendingConnections = pending_.size();
        snap.listenAddresses = listenAddresses_;
    });
    videoQueue_.sync([&] {
        snap.videoRegistered = video_ && video_->registered.has_value();
        snap.frameId = frameId_;
        snap.foreignRegistrations = foreignRegistrations_;
        snap.offTailnetRegistrations = offTailnetRegistrations_;
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
        case DatagramClass::micAudio: session_->audio().receiveMic(d.subspan(Pontel::headerSize)); break;
        case DatagramClass::cameraVideo:
            if (auto h = VideoPacketHeader::decode(d))
                session_->camera()->receivePacket(*h, d.subspan(Pontel::headerSize));
            break;
        case DatagramClass::registration: {
            auto id = decodeRegistration(d);
            if (!id || currentSession_ == 0 || *id != currentSession_ || fromRegistered) return;
            if (tailnetOnly() && !isTailnetPeer(plainAddress(video_->from.address()))) {
                ++offTailnetRegistrations_;
                return;
            }
            if (plainAddress(video_->from.address()) != peerAddress_) {
                ++foreignRegistrations_;
                return;
            }
            video_->registered = video_->from;
            video_->awaitingKeyframe = true;
            log("UDP video channel established with " + describeEndpoint(video_->from));
            // The phone has nothing to decode until a keyframe reaches this address: the one
            // forced at helloAck went nowhere, so this one may not be throttled away.
            queue_.async(weakly(shared_from_this(), [](Server& s) { s.session_->forceKeyframe(false); }));
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
    queue_.async(weakly(shared_from_this(), [](Server& s) {
        s.session_->pollLockAndStatus();
        s.reportGuessing();
    }));
}

}  // namespace tarvello
