#include "video/capture.h"

namespace tarvello {

std::shared_ptr<Capture> Capture::create(std::shared_ptr<CaptureFacility> facility) {
    return std::shared_ptr<Capture>(new Capture(std::move(facility)));
}

Capture::Capture(std::shared_ptr<CaptureFacility> facility) : facility_(std::move(facility)) {}

Capture::~Capture() { shutdown(); }

void Capture::shutdown() {
    if (queue_.isCurrent()) return;
    queue_.sync([this] {
        if (source_) source_->stop();
        source_.reset();
        last_.reset();
    });
    queue_.stop();
}

void Capture::start(const CaptureConfig& config, Completion completion) {
    queue_.async(weakly(shared_from_this(), [config, completion = std::move(completion)](Capture& self) {
        if (self.source_) self.source_->stop();
        self.last_.reset();
        if (!self.source_) self.source_ = self.facility_->makeSource(self.queue_);
        std::weak_ptr<Capture> weak = self.weak_from_this();
        auto error = self.source_->start(config, [weak](VideoFramePtr f) {
            if (auto s = weak.lock()) s->deliver(std::move(f));
        });
        if (completion) completion(error);
    }));
}

void Capture::stop() {
    queue_.async(weakly(shared_from_this(), [](Capture& self) {
        if (self.source_) self.source_->stop();
        self.last_.reset();
    }));
}

void Capture::repeatLastFrame() {
    queue_.async(weakly(shared_from_this(), [](Capture& self) {
        if (self.last_ && self.onFrame) self.onFrame(self.last_);
    }));
}

void Capture::deliver(VideoFramePtr frame) {
    last_ = frame;
    if (onFrame) onFrame(std::move(frame));
}

}  // namespace tarvello
