#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "dispatch/clock.h"
#include "dispatch/serial_queue.h"
#include "platform/platform.h"
#include "protocol/byte_codec.h"
#include "protocol/control_framer.h"
#include "protocol/datagram.h"
#include "protocol/messages.h"
#include "server/hello_gate.h"
#include "server/line_folder.h"
#include "server/server_status.h"
#include "server/session.h"
#include "server/session_desktop.h"
#include "video/encoder.h"

namespace tarvello {

class StageReport;
class ControlChannel;
struct VideoSocket;

struct ServerOptions {
    uint16_t controlPort = 47800;
    uint16_t videoPort = 47801;
    // Empty: every interface, IPv6 and IPv4.
    std::string bindAddress;
    double teardownDelay = 8.0;
    double rejectCloseDelay = 0.5;
    // A new connection that has not been accepted by then is closed.
    double helloTimeout = 5.0;
    // Resize requests closer together than this are coalesced into the last one.
    double resizeInterval = 0.25;
    double statsInterval = 1.0;
    std::shared_ptr<Clock> clock;           // default: the process clock
    std::vector<Encoder::Row> encoderRows;  // empty: the default candidate table
    // Seconds of frames between "Stage times" log lines (capture, convert, encode and
    // send p50/p95); 0: not measured.
    double stageReportInterval = 0;
    // Arranges the desktop for a session and puts it back; empty: the desktop is left alone.
    std::shared_ptr<SessionDesktop> sessionDesktop;
    // Told of every status change; empty: nobody shows the status.
    ServerStatusObserver statusObserver;
    // On for this run whatever the setting says (--tailnet-only); otherwise the setting
    // is read at every decision, so the switch applies to the running server.
    bool forceTailnetOnly = false;
    // Whether a peer's numeric address is inside the tailnet; empty: isTailscaleAddress.
    std::function<bool(const std::string&)> isTailnetPeer;
    // This computer's tailnet addresses; empty: tailscaleAddresses().
    std::function<std::vector<std::string>()> tailnetAddresses;
    // Seconds between looks at the tailnet addresses and the setting, to move the
    // control listener when Tailscale comes up, goes away or the switch changes.
    double tailnetPollInterval = 3.0;
};

// Owns the network side: the control listener and connection on "pontel.server", the
// UDP socket and the video flow on "pontel.video", and the session the phone drives.
class Server final : public SessionLink, public std::enable_shared_from_this<Server> {
public:
    static std::shared_ptr<Server> create(Platform platform, ServerOptions options = {});
    ~Server();

    // Binds both ports without serving them yet, so a launch can learn whether it is the
    // only copy before it repairs anything. False when a port is taken (logged). Idempotent.
    bool open();
    // Opens the ports (when open() was not called) and starts serving them and the stats
    // timer. False when a listener could not be opened (the reason is logged).
    bool start();
    // Closes everything and ends the session; idempotent. Never call from a server queue.
    void stop();

    uint16_t controlPort() const { return boundControlPort_.load(); }
    uint16_t videoPort() const { return boundVideoPort_.load(); }
    // The camera bridge, for the setup's camera activation.
    std::shared_ptr<CameraBridge> camera() const { return session_->camera(); }

    // Follow-ups of settings changes made in the menu.
    void restartSession();
    void stageManagerChanged();
    void showDockChanged();
    void keepUnlockedChanged();

    // The menu's lid switch; false where the platform has no lid to hold. Both may wait on
    // the login manager: never call them on the main or a server queue.
    bool lidAwakeEnabled();
    bool setLidAwake(bool enabled);

    // A consistent view of the session state, read on the server queue (for tests and
    // the status line).
    struct Snapshot {
        bool connected = false;
        bool authed = false;
        uint32_t sessionId = 0;
        int pixelW = 0, pixelH = 0, fps = 0;
        int64_t bitrate = 0;
        bool teardownPending = false;
        bool videoRegistered = false;
        uint32_t frameId = 0;
        std::string clientName;
        size_t pendingConnections = 0;
        uint64_t foreignRegistrations = 0;         // from addresses other than the phone's
        uint64_t offTailnetRegistrations = 0;      // dropped while only the tailnet is served
        std::vector<std::string> listenAddresses;  // empty: the configured bind
    };
    Snapshot snapshot();

    Queue& queue() { return queue_; }
    Queue& videoQueue() { return videoQueue_; }

private:
    struct Acceptor;
    void updateStatus(const std::function<void(ServerStatus&)>& change);
    Server(Platform platform, ServerOptions options);

    // SessionLink, on pontel.server
    void sendToPhone(Bytes frame) override;
    void refusePhone(const std::string& reason) override;
    void closePhone() override;
    bool phoneConnected() const override;
    void sessionReady(int width, int height, VideoCodec codec) override;
    void sessionEnded() override;
    void reportStatus(const std::function<void(ServerStatus&)>& change) override;

    // pontel.server
    void listen();
    bool bindListeners(const std::vector<std::string>& addresses);
    std::vector<std::string> wantedListenAddresses();
    void followTailnet();
    bool tailnetOnly() const;
    bool isTailnetPeer(const std::string& address) const;
    void acceptNext(const std::shared_ptr<Acceptor>& acceptor);
    void accept(std::shared_ptr<ControlChannel> conn);
    void disconnected(const std::shared_ptr<ControlChannel>& conn);
    void dropCurrent();
    void forgetPending(const std::shared_ptr<ControlChannel>& conn);
    void handle(const std::shared_ptr<ControlChannel>& conn, uint8_t rawType,
                std::span<const uint8_t> payload);
    void handleHello(const std::shared_ptr<ControlChannel>& conn, std::span<const uint8_t> payload);
    void authenticate(const std::shared_ptr<ControlChannel>& conn, const HelloVerdict& verdict);
    void refuse(std::shared_ptr<ControlChannel> conn, const std::string& reason);
    void reject(const std::string& reason);  // refuses the current connection
    void logFolded(LineFolder& folder, const std::string& line);
    void reportGuessing();
    void send(Bytes frame);
    void sendTo(const std::shared_ptr<ControlChannel>& conn, Bytes frame);

    // pontel.video
    void openVideo();
    void receiveNext();
    void onDatagram(std::span<const uint8_t> datagram);
    void sendVideoFrame(const Bytes& bytes, bool isKeyframe, VideoCodec codec, const FrameTimes& times);
    void sendMedia(MediaKind kind, const Bytes& payload);
    void statsTick();

    double now() const { return clock_->uptime(); }

    // Queues first: members below bind to their io_contexts and must go before them.
    SerialQueue queue_{"pontel.server"};
    SerialQueue videoQueue_{"pontel.video"};

    Platform platform_;
    ServerOptions options_;
    std::shared_ptr<Clock> clock_;
    std::atomic<bool> stopped_{false};
    std::atomic<bool> opened_{false};
    bool portsOpen_ = false;  // written once by open()
    std::atomic<uint16_t> boundControlPort_{0}, boundVideoPort_{0};

    // The session and the components it drives, made once with the server.
    std::shared_ptr<Session> session_;

    std::mutex statusMutex_;  // status_ changes on the server, video and main queues
    ServerStatus status_;

    // ---- owned by queue_ ----
    // One per listened address; empty addresses mean the configured bind (or everywhere).
    std::vector<std::shared_ptr<Acceptor>> acceptors_;
    std::vector<std::string> listenAddresses_, wantedAddresses_;
    TimerHandle tailnetPoll_;
    // The authenticated connection; session traffic goes to it alone.
    std::shared_ptr<ControlChannel> control_;
    // Connections waiting for their hello's verdict: they replace control_ only once
    // accepted, so an unauthenticated peer can neither take the session nor end it.
    std::vector<std::shared_ptr<ControlChannel>> pending_;
    size_t lingering_ = 0;  // refused connections waiting to close
    uint64_t nextConnectionId_ = 1;
    bool authed_ = false;
    HelloGate gate_;
    LineFolder refusalLog_{"refusals"};
    LineFolder connectionLog_{"connections"};
    TimerHandle foldFlush_;
    double lastGuessingLog_ = -1e300;
    uint32_t sessionId_ = 0;
    std::string clientName_ = "?";
    double lastCursorSent_ = 0;
    PairingThrottle throttle_;

    // ---- owned by videoQueue_ ----
    std::unique_ptr<VideoSocket> video_;
    uint32_t currentSession_ = 0;  // 0 outside a session: no registration matches
    std::string peerAddress_;      // registrations come only from the phone's address
    uint64_t foreignRegistrations_ = 0;
    uint64_t offTailnetRegistrations_ = 0;
    uint32_t frameId_ = 0;
    uint32_t mediaSeq_ = 0;
    int64_t sentFrames_ = 0, sentBytes_ = 0;
    TimerHandle statsTimer_;
    std::unique_ptr<StageReport> stageReport_;  // only when stage times were asked for
};

}  // namespace tarvello
