#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "camera/camera_picture.h"
#include "camera/camera_reassembler.h"
#include "dispatch/clock.h"
#include "dispatch/serial_queue.h"
#include "platform/session_services.h"
#include "protocol/datagram.h"

namespace tarvello {

class Decoder;

// The application's side of the phone's camera. It activates the camera extension,
// watches whether some application uses the camera (every 400 ms on
// "tarvello.camera"), asks the phone for its camera while one does, and turns the
// phone's cameraHEVC datagrams into 1280 x 720 pictures for the camera device.
//
// Every operation returns at once; the work runs on the bridge's queue, where all of
// its state lives. Callbacks come on that queue. The owner calls shutdown() (or drops
// the bridge) once it is done with it.
class CameraBridge : public std::enable_shared_from_this<CameraBridge> {
public:
    static std::shared_ptr<CameraBridge> create(std::shared_ptr<CameraFacility> camera,
                                                std::shared_ptr<Clock> clock = nullptr);
    ~CameraBridge();

    // Told true when an application starts using the camera, false when it stops.
    std::function<void(bool wanted)> onCameraRequest;

    void start();
    void stop();
    // Copies the payload, so the caller's buffer may be reused at once.
    void receivePacket(const VideoPacketHeader& header, std::span<const uint8_t> payload);

    // Activation of the extension. `completion` is called once with the final outcome
    // (no text for success), unless a later activate or deactivate replaced it first.
    using Completion = std::function<void(std::optional<std::string> error)>;
    void activate(Completion completion);
    void deactivate(Completion completion);
    // At launch: re-activates when it was activated before or the camera exists.
    void activateIfNeeded();
    // True when the camera device exists. Blocks briefly on the bridge's queue.
    bool findCameraDevice();

    struct Stats {
        int64_t packets = 0, frames = 0, decoded = 0, sent = 0;
        int64_t decoderCreations = 0;  // decoders started: once per run of parameter sets
        int64_t backlogDrops = 0;      // datagrams refused while the queue was behind
    };
    // A snapshot taken on the bridge's queue.
    Stats stats();

    void shutdown();

private:
    CameraBridge(std::shared_ptr<CameraFacility> camera, std::shared_ptr<Clock> clock);

    void poll();
    void openSink();
    void closeSink();
    void handlePacket(uint32_t frameId, uint16_t index, uint16_t count, const Bytes& payload);
    void decode(const Bytes& frame);
    void enqueue(const VideoFrame& picture);
    void writeStatsIfDue();
    void submit(bool activate, std::optional<Completion> completion);
    void requestFinished(bool activated, uint64_t request, std::optional<std::string> error);

    SerialQueue queue_{"tarvello.camera"};
    std::shared_ptr<CameraFacility> camera_;
    std::shared_ptr<Clock> clock_;
    TimerHandle timer_;
    bool watching_ = false;
    bool flagSeen_ = false;
    bool deviceFound_ = false;
    bool sinkOpen_ = false;
    std::unique_ptr<Decoder> decoder_;
    bool format_ = false;
    std::vector<Bytes> paramSets_;
    CameraReassembler fragments_;
    Stats stats_;
    std::optional<double> lastStatsLine_;
    Letterboxer transfer_;
    std::optional<Completion> activationDone_;
    uint64_t lastRequest_ = 0;
    uint64_t answeringRequest_ = 0;  // the request activationDone_ waits for

    // Bytes handed to the queue and not yet handled: a bound, so a flood the decoder
    // cannot keep up with is refused at the door instead of piling up.
    std::atomic<size_t> backlog_{0};
    std::atomic<int64_t> backlogDrops_{0};
};

}  // namespace tarvello
