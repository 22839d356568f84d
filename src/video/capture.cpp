#include "video/capture.h"

#include <algorithm>

#include "base/log.h"

namespace tarvello {

namespace {
constexpr double kRepeatStep = 0.001;
const char* const kCancelled = "Capture start cancelled";
}  // namespace

std::shared_ptr<Capture> Capture::create(std::shared_ptr<CaptureFacility> facility) {
    return create(std::move(facility), Options{});
}

std::shared_ptr<Capture> Capture::create(std::shared_ptr<CaptureFacility> facility, Options options) {
    return std::shared_ptr<Capture>(new Capture(std::move(facility), options));
}

Capture::Capture(std::shared_ptr<CaptureFacility> facility, Options options)
    : facility_(std::move(facility)), options_(options) {}

Capture::~Capture() {
    shutdown();
}

void Capture::shutdown() {
    if (queue_.isCurrent()) return;
    queue_.sync([this] {
        ++generation_;
        pending_ = nullptr;
        stopSource();
        lastFrame_.reset();
    });
    queue_.stop();
}

void Capture::start(const CaptureConfig& config, Completion completion) {
    queue_.async(
        weakly(shared_from_this(), [config, completion = std::move(completion)](Capture& self) mutable {
            self.finish(kCancelled);
            const uint64_t generation = ++self.generation_;
            if (auto error = self.stopSource(); !error.empty()) {
                if (completion) completion(error);
                return;
            }
            self.pending_ = std::move(completion);
            self.lookUp(generation, config, 1);
        }));
}

void Capture::lookUp(uint64_t generation, CaptureConfig config, int attempt) {
    if (generation != generation_) return;
    std::string error;
    const auto ids = facility_->shareableDisplays(error);
    if (!error.empty()) {
        finish(error);
        return;
    }
    if (std::find(ids.begin(), ids.end(), config.display) != ids.end()) {
        run(generation, config, attempt);
        return;
    }
    retry_ = queue_.after(
        options_.lookupInterval, weakly(shared_from_this(), [generation, config, attempt](Capture& self) {
            if (generation != self.generation_) return;
            if (attempt >= self.options_.lookupAttempts) {
                self.finish("Display " + std::to_string(config.display) + " not found for capture");
            } else {
                self.lookUp(generation, config, attempt + 1);
            }
        }));
}

void Capture::run(uint64_t generation, const CaptureConfig& config, int attempt) {
    if (config.width < 2 || config.height < 2) {
        finish("Invalid capture size " + std::to_string(config.width) + "×" + std::to_string(config.height));
        return;
    }
    if (config.fps < 1) {
        finish("Invalid capture frame rate " + std::to_string(config.fps));
        return;
    }
    auto source = facility_->makeSource(queue_);
    std::weak_ptr<Capture> weak = weak_from_this();
    CaptureHandlers handlers;
    handlers.onFrame = [weak, generation](std::shared_ptr<VideoFrame> frame, FrameStatus status) {
        if (auto self = weak.lock()) self->deliver(generation, std::move(frame), status);
    };
    handlers.onStopped = [weak, generation](const std::string& error) {
        log("Capture stopped: " + error);
        auto self = weak.lock();
        if (self && generation == self->generation_ && self->onLost) self->onLost(error);
    };
    const StartResult started = source->start(config, std::move(handlers));
    if (started.kind == StartResult::Kind::tryAgain && attempt < options_.lookupAttempts) {
        // A display still coming up: look again, within the same budget as finding it.
        retry_ = queue_.after(options_.lookupInterval,
                              weakly(shared_from_this(), [generation, config, attempt](Capture& self) {
                                  if (generation == self.generation_)
                                      self.lookUp(generation, config, attempt + 1);
                              }));
        return;
    }
    if (!started.succeeded()) {
        finish(started.reason);
        return;
    }
    source_ = std::move(source);
    log("Capture started on display " + std::to_string(config.display) + " (" + std::to_string(config.width) +
        "×" + std::to_string(config.height) + " @" + std::to_string(config.fps) + ")");
    finish({});
}

void Capture::finish(const std::string& error) {
    if (!pending_) return;
    auto completion = std::move(pending_);
    pending_ = nullptr;
    completion(error);
}

void Capture::stop(Completion completion) {
    queue_.async(weakly(shared_from_this(), [completion = std::move(completion)](Capture& self) {
        self.finish(kCancelled);
        ++self.generation_;
        auto error = self.stopSource();
        if (completion) completion(error);
    }));
}

std::string Capture::stopSource() {
    retry_.cancel();
    if (!source_) return {};
    auto source = std::move(source_);
    auto error = source->stop();
    if (error.empty()) lastFrame_.reset();
    return error;
}

void Capture::repeatLastFrame() {
    queue_.async(weakly(shared_from_this(), [](Capture& self) {
        if (!self.lastFrame_) return;
        self.lastPTS_ += kRepeatStep;
        auto again = std::make_shared<VideoFrame>(*self.lastFrame_);
        again->presentationTime = self.lastPTS_;
        // Nothing was grabbed for it: its capture stamps belong to the original.
        again->times = {};
        if (self.onFrame) self.onFrame(std::move(again));
    }));
}

void Capture::deliver(uint64_t generation, std::shared_ptr<VideoFrame> frame, FrameStatus status) {
    if (generation != generation_ || status != FrameStatus::complete || !frame) return;
    // Repeats advance the clock by 1 ms each; a real frame never goes back behind them.
    if (frame->presentationTime <= lastPTS_) frame->presentationTime = lastPTS_ + kRepeatStep;
    lastPTS_ = frame->presentationTime;
    lastFrame_ = frame;
    if (onFrame) onFrame(std::move(frame));
}

}  // namespace tarvello
