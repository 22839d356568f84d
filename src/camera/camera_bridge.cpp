#include "camera/camera_bridge.h"

#include "base/log.h"
#include "base/settings.h"
#include "video/decoder.h"
#include "video/nal.h"

namespace tarvello {

namespace {

constexpr double kPollInterval = 0.4;
constexpr double kStatsInterval = 5.0;
// About a second of a busy camera stream; beyond it datagrams are refused.
constexpr size_t kMaxBacklogBytes = size_t(8) << 20;
// The largest picture a phone camera sends; anything larger is refused before decoding.
constexpr uint32_t kMaxPictureWidth = 4096;
constexpr uint32_t kMaxPictureHeight = 2304;

}  // namespace

std::shared_ptr<CameraBridge> CameraBridge::create(std::shared_ptr<CameraFacility> camera,
                                                   std::shared_ptr<Clock> clock) {
    return std::shared_ptr<CameraBridge>(new CameraBridge(std::move(camera), std::move(clock)));
}

CameraBridge::CameraBridge(std::shared_ptr<CameraFacility> camera, std::shared_ptr<Clock> clock)
    : camera_(std::move(camera)), clock_(clock ? std::move(clock) : defaultClock()) {}

CameraBridge::~CameraBridge() {
    shutdown();
}

void CameraBridge::shutdown() {
    timer_.cancel();
    if (!queue_.isCurrent()) queue_.stop();
}

// ---- Camera-use poll ----

void CameraBridge::start() {
    queue_.async(weakly(shared_from_this(), [](CameraBridge& self) {
        if (self.timer_.active()) return;
        std::weak_ptr<CameraBridge> w = self.weak_from_this();
        self.timer_ = self.queue_.every(0.0, kPollInterval, [w] {
            if (auto s = w.lock()) s->poll();
        });
    }));
}

void CameraBridge::stop() {
    queue_.async(weakly(shared_from_this(), [](CameraBridge& self) {
        self.timer_.cancel();
        self.timer_ = {};
        if (self.watching_) {
            self.watching_ = false;
            if (self.onCameraRequest) self.onCameraRequest(false);
        }
        self.closeSink();
    }));
}

void CameraBridge::poll() {
    if (!deviceFound_) {
        deviceFound_ = camera_->findDevice();
        if (!deviceFound_) return;
    }
    const CameraUse use = camera_->readUse();
    const bool flag = use.inUse.value_or(false);
    if (flag) flagSeen_ = true;
    const bool running = use.runningSomewhere;

    if (watching_) {
        // Once the in-use value has been seen, it alone tells when the readers are gone.
        const bool inUse = flagSeen_ ? flag : running;
        if (inUse) return;
        watching_ = false;
        flagSeen_ = false;
        log("Camera no longer in use");
        closeSink();
        if (onCameraRequest) onCameraRequest(false);
        return;
    }
    if (!flag && !running) return;
    watching_ = true;
    log("An app is using the camera: using the iPhone camera");
    openSink();
    if (!sinkOpen_) log("Camera: could not open Tarvello Camera's input");
    if (onCameraRequest) onCameraRequest(true);
}

void CameraBridge::openSink() {
    if (sinkOpen_ || !deviceFound_) return;
    std::string status;
    if (camera_->openSink(status)) {
        sinkOpen_ = true;
    } else {
        log("Camera sink unavailable (" + status + ")");
    }
}

void CameraBridge::closeSink() {
    if (!sinkOpen_) return;
    camera_->closeSink();
    sinkOpen_ = false;
    decoder_.reset();
    paramSets_.clear();
    fragments_.reset();
}

// ---- Frame path ----

void CameraBridge::receivePacket(const VideoPacketHeader& header, std::span<const uint8_t> payload) {
    const size_t cost = payload.size() + sizeof(Bytes);
    if (backlog_.fetch_add(cost) + cost > kMaxBacklogBytes) {
        backlog_.fetch_sub(cost);
        backlogDrops_++;
        return;
    }
    queue_.async([w = weak_from_this(), id = header.frameId, index = header.fragIndex,
                  count = header.fragCount, bytes = Bytes(payload.begin(), payload.end()), cost] {
        auto self = w.lock();
        if (!self) return;
        self->backlog_.fetch_sub(cost);
        self->handlePacket(id, index, count, bytes);
    });
}

void CameraBridge::handlePacket(uint32_t frameId, uint16_t index, uint16_t count, const Bytes& payload) {
    stats_.packets++;
    writeStatsIfDue();
    if (!watching_) return;
    auto frame = fragments_.push(frameId, index, count, payload);
    if (!frame) return;
    stats_.frames++;
    decode(*frame);
}

void CameraBridge::decode(const Bytes& frame) {
    AccessUnit au = splitAccessUnit(frame);
    const bool carriesSets = !au.parameterSets.empty();
    if (carriesSets && au.parameterSets != paramSets_) {
        paramSets_ = std::move(au.parameterSets);
        format_ = describesFormat(paramSets_);
        decoder_.reset();
    }
    if (!format_ || au.pictureData.empty()) return;

    bool fresh = false;
    if (!decoder_) {
        decoder_ = Decoder::create(VideoCodec::hevc, Decoder::Limits{kMaxPictureWidth, kMaxPictureHeight});
        if (!decoder_) return;  // tried again with the next frame
        stats_.decoderCreations++;
        fresh = true;
    }
    // The decoder learns the format from parameter sets in its input: a new decoder
    // gets the stored ones, and sets that came with the frame are passed on as they came.
    Bytes input;
    if (fresh || carriesSets) {
        for (const Bytes& set : paramSets_) appendLengthPrefixed(input, set);
    }
    input.insert(input.end(), au.pictureData.begin(), au.pictureData.end());
    for (const DecodedPicture& picture : decoder_->decode(input)) {
        stats_.decoded++;
        if (!sinkOpen_ || !camera_->sinkHasRoom()) continue;  // dropped before conversion
        if (auto nv12 = picture.toNv12()) enqueue(*nv12);
    }
}

void CameraBridge::enqueue(const VideoFrame& picture) {
    auto out = transfer_.convert(picture);
    if (!out) return;
    out->presentationTime = clock_->uptime();
    camera_->pushPicture(std::move(out));
    stats_.sent++;
}

void CameraBridge::writeStatsIfDue() {
    const double now = clock_->uptime();
    if (lastStatsLine_ && now - *lastStatsLine_ <= kStatsInterval) return;
    lastStatsLine_ = now;
    log("Camera: " + std::to_string(stats_.packets) + " packets, " + std::to_string(stats_.frames) +
        " frames, " + std::to_string(stats_.decoded) + " decoded, " + std::to_string(stats_.sent) +
        " sent to Tarvello Camera (sink " + (sinkOpen_ ? "open" : "closed") + ")");
}

CameraBridge::Stats CameraBridge::stats() {
    Stats s;
    queue_.sync([&] { s = stats_; });
    s.backlogDrops = backlogDrops_.load();
    return s;
}

// ---- Activation ----

void CameraBridge::activate(Completion completion) {
    queue_.async(weakly(shared_from_this(), [c = std::move(completion)](CameraBridge& self) mutable {
        self.submit(true, std::move(c));
    }));
}

void CameraBridge::deactivate(Completion completion) {
    queue_.async(weakly(shared_from_this(), [c = std::move(completion)](CameraBridge& self) mutable {
        self.submit(false, std::move(c));
    }));
}

void CameraBridge::activateIfNeeded() {
    queue_.async(weakly(shared_from_this(), [](CameraBridge& self) {
        const bool activated = Settings::shared().d().getBool(SettingsKey::cameraActivated).value_or(false);
        if (activated || self.camera_->findDevice()) self.submit(true, std::nullopt);
    }));
}

bool CameraBridge::findCameraDevice() {
    bool found = false;
    if (queue_.isCurrent()) return camera_->findDevice();
    queue_.sync([&] { found = camera_->findDevice(); });
    return found;
}

void CameraBridge::submit(bool activate, std::optional<Completion> completion) {
    const uint64_t request = ++lastRequest_;
    // A new request's completion replaces a pending one, which is then never called.
    if (completion) {
        activationDone_ = std::move(*completion);
        answeringRequest_ = request;
    }
    std::weak_ptr<CameraBridge> w = weak_from_this();
    camera_->submitRequest(activate, [w, activate, request](std::optional<std::string> error) {
        auto self = w.lock();
        if (!self) return;
        self->queue_.async([w, activate, request, error = std::move(error)] {
            if (auto s = w.lock()) s->requestFinished(activate, request, error);
        });
    });
}

void CameraBridge::requestFinished(bool activated, uint64_t request, std::optional<std::string> error) {
    // Each finish records what its own request did; only the request the completion
    // belongs to answers it, so it never hears an earlier request's outcome.
    Completion done;
    if (request == answeringRequest_ && activationDone_) {
        done = std::move(*activationDone_);
        activationDone_.reset();
    }
    if (error) {
        log("Camera extension failed: " + *error);
        if (done) done(error);
        return;
    }
    log(activated ? "Camera extension installed" : "Camera extension removed");
    Settings::shared().d().setBool(SettingsKey::cameraActivated, activated);
    if (done) done(std::nullopt);
}

}  // namespace tarvello
