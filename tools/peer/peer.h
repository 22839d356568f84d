#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "options.h"
#include "protocol/control_framer.h"
#include "protocol/frame_reassembler.h"
#include "protocol/messages.h"
#include "protocol/peer_script.h"
#include "udp_receiver.h"
#include "video/decoder.h"
#include "video/latency_stats.h"

namespace tarvello::peer {

enum ExitCode : int {
    exitOk = 0,
    exitUsage = 1,
    exitRefused = 2,
    exitNoFrames = 3,
    exitNotAccepted = 4,
    exitSaveFailed = 5,
};

// One run of the phone's side of a session, on the calling thread (plus a UDP
// receiving thread). Never blocks past the deadline.
class Peer {
public:
    using Clock = std::chrono::steady_clock;

    Peer(PeerOptions options, Script script);
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    int run();

    // Set from a signal handler: ends the run as if its time were up.
    static void requestStop();

private:
    enum class Phase { waitingAck, streaming };

    bool connectControl();
    bool openVideoSocket();
    void sendControl(const Bytes& frame);
    void flushControl(Clock::time_point until);
    bool readControl();  // false when the connection closed
    void handleMessage(const Frame& frame);
    void onHelloAck(const HelloAck& ack);
    void sendRegistration();
    void sendDatagram(const Bytes& datagram);
    void onDatagram(const Bytes& datagram);
    void onFrame(ReassembledFrame frame);
    void needKeyframe();
    void runScript();
    void tick();
    void printSummary() const;
    void measureLatency(const DecodedPicture& picture);
    void updateLatencyWindow(Clock::time_point now);
    Clock::time_point latencyWindowEdge(bool closing) const;
    void printLatencyReport(Clock::time_point now) const;
    bool frameGoalMet() const;
    Clock::time_point nextWake() const;
    void say(const char* fmt, ...) const __attribute__((format(printf, 2, 3)));
    bool prepareCamera();
    void sendCameraFrame();

    PeerOptions opt_;
    Script script_;
    Clock::time_point start_;
    Clock::time_point deadline_;

    int tcp_ = -1;
    int udp_ = -1;
    sockaddr_storage videoAddr_{};
    socklen_t videoAddrLen_ = 0;
    std::unique_ptr<UdpReceiver> receiver_;
    ControlFramer framer_;
    Bytes outgoing_;

    Phase phase_ = Phase::waitingAck;
    bool accepted_ = false;
    bool closed_ = false;
    int refusedExit_ = 0;
    Clock::time_point acceptedAt_;
    uint32_t sessionId_ = 0;
    std::optional<VideoCodec> codec_;

    // Registration
    bool videoArrived_ = false;
    int registrationsSent_ = 0;
    Clock::time_point nextRegistration_;

    // Script
    size_t scriptIndex_ = 0;
    Clock::time_point scriptWake_;

    // Video
    FrameReassembler reassembler_;
    std::unique_ptr<Decoder> decoder_;
    bool awaitingKeyframe_ = true;
    Clock::time_point lastKeyframeRequest_{};
    bool haveRequestedKeyframe_ = false;
    uint64_t lostSeen_ = 0;
    std::optional<DecodedPicture> lastPicture_;
    uint64_t decoded_ = 0;
    uint64_t keyframes_ = 0;
    uint64_t completed_ = 0;
    std::optional<bool> firstKeyframe_;
    int width_ = 0;
    int height_ = 0;

    // Once-a-second reporting
    Clock::time_point nextTick_;
    uint64_t tickDecoded_ = 0;
    uint64_t tickCompleted_ = 0;
    uint64_t tickLost_ = 0;
    uint64_t tickBytes_ = 0;
    uint64_t datagramBytes_ = 0;
    std::map<uint64_t, Clock::time_point> pings_;
    double rttMs_ = 0;
    uint32_t kbpsTarget_ = 0;

    // Glass-to-glass measurement (--latency): the window opens `warmup` seconds after
    // acceptance and closes `latency` seconds later, which ends the run.
    enum class Window { before, open, closed };
    Window window_ = Window::before;
    Clock::time_point windowOpened_;
    GlassToGlassMeter meter_;
    LatencyHistogram decodeTimes_;  // milliseconds per frame in the window
    uint64_t windowDecoded_ = 0, windowBytes_ = 0, windowLost_ = 0;

    // The phone's camera (--camera): one second of a still picture's stream, sent in a loop.
    std::vector<Bytes> cameraFrames_;
    bool cameraOn_ = false;
    uint32_t cameraFrameId_ = 0;
    uint64_t cameraSent_ = 0;
    uint64_t cameraSinceKeyframe_ = 0;
    Clock::time_point nextCameraFrame_;
};

}  // namespace tarvello::peer
