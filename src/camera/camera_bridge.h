#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <span>

#include "dispatch/serial_queue.h"
#include "platform/session_services.h"
#include "protocol/datagram.h"

namespace tarvello {

// Watches whether an application uses the virtual camera (every 400 ms on
// "tarvello.camera") and takes the phone's camera datagrams. Reassembly, decoding
// and the feed into the camera device come with the camera work; until then
// datagrams are counted and dropped.
class CameraBridge : public std::enable_shared_from_this<CameraBridge> {
public:
    static std::shared_ptr<CameraBridge> create(std::shared_ptr<CameraFacility> camera);
    ~CameraBridge();

    std::function<void(bool wanted)> onCameraRequest;

    void start();
    void stop();
    void receivePacket(const VideoPacketHeader& header, std::span<const uint8_t> payload);
    uint64_t packetsReceived() const { return packets_.load(); }
    void shutdown();

private:
    explicit CameraBridge(std::shared_ptr<CameraFacility> camera) : camera_(std::move(camera)) {}
    void poll();

    SerialQueue queue_{"tarvello.camera"};
    std::shared_ptr<CameraFacility> camera_;
    TimerHandle pollTimer_;
    std::optional<bool> lastUse_;
    std::atomic<bool> running_{false};
    std::atomic<uint64_t> packets_{0};
};

}  // namespace tarvello
