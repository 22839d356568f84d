#include "camera/camera_bridge.h"

namespace tarvello {

std::shared_ptr<CameraBridge> CameraBridge::create(std::shared_ptr<CameraFacility> camera) {
    return std::shared_ptr<CameraBridge>(new CameraBridge(std::move(camera)));
}

CameraBridge::~CameraBridge() { shutdown(); }

void CameraBridge::shutdown() {
    pollTimer_.cancel();
    if (!queue_.isCurrent()) queue_.stop();
}

void CameraBridge::start() {
    queue_.async(weakly(shared_from_this(), [](CameraBridge& self) {
        self.running_ = true;
        self.pollTimer_.cancel();
        self.lastUse_.reset();
        std::weak_ptr<CameraBridge> w = self.weak_from_this();
        self.pollTimer_ = self.queue_.every(0.0, 0.4, [w] {
            if (auto s = w.lock()) s->poll();
        });
    }));
}

void CameraBridge::stop() {
    queue_.async(weakly(shared_from_this(), [](CameraBridge& self) {
        self.running_ = false;
        self.pollTimer_.cancel();
        if (self.lastUse_.value_or(false) && self.onCameraRequest) self.onCameraRequest(false);
        self.lastUse_.reset();
    }));
}

void CameraBridge::poll() {
    const bool used = camera_->inUse();
    if (lastUse_ != used) {
        const bool first = !lastUse_;
        lastUse_ = used;
        if (!(first && !used) && onCameraRequest) onCameraRequest(used);
    }
}

void CameraBridge::receivePacket(const VideoPacketHeader&, std::span<const uint8_t>) {
    if (running_.load()) packets_++;
}

}  // namespace tarvello
