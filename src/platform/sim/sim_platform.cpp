#include "platform/sim/sim_platform.h"

#include "dispatch/clock.h"
#include "dispatch/serial_queue.h"
#include "video/test_pattern.h"

namespace tarvello {

// ---- Display ----

std::optional<uint32_t> SimDisplay::createVirtualDisplay(int pixelWidth, int pixelHeight, double pointWidth,
                                                         double pointHeight, int) {
    if (failCreate.load() || pixelWidth < 1 || pixelHeight < 1) return std::nullopt;
    std::lock_guard lock(mutex_);
    DisplayInfo d;
    d.id = nextId_++;
    d.bounds = {1920, 0, pointWidth, pointHeight};
    d.pixelWidth = pixelWidth;
    d.pixelHeight = pixelHeight;
    d.isVirtual = true;
    virtuals_[d.id] = d;
    created_++;
    return d.id;
}

void SimDisplay::removeVirtualDisplay(uint32_t id) {
    std::lock_guard lock(mutex_);
    if (virtuals_.erase(id)) removed_++;
}

uint32_t SimDisplay::mainDisplay() const { return 1; }

std::vector<DisplayInfo> SimDisplay::displays() const {
    std::lock_guard lock(mutex_);
    std::vector<DisplayInfo> out;
    out.push_back({1, {0, 0, 1920, 1080}, 1920, 1080, false});
    for (auto& [id, d] : virtuals_) out.push_back(d);
    return out;
}

// ---- Capture: a moving test picture at the configured rate ----

namespace {
class SimCaptureSource final : public CaptureSource {
public:
    SimCaptureSource(Queue& q, SimCapture& owner) : queue_(q), owner_(owner) {}
    ~SimCaptureSource() override { stop(); }

    std::string start(const CaptureConfig& config, FrameHandler onFrame) override {
        stop();
        owner_.starts++;
        if (auto f = owner_.failure(); !f.empty()) return f;
        if (config.width < 2 || config.height < 2) return "Invalid capture size";
        config_ = config;
        onFrame_ = std::move(onFrame);
        const double interval = 1.0 / std::max(1, config.fps);
        timer_ = queue_.every(0.0, interval, [this] { tick(); });
        return {};
    }

    void stop() override {
        timer_.cancel();
        onFrame_ = nullptr;
    }

private:
    void tick() {
        if (!onFrame_) return;
        auto frame = VideoFrame::make(config_.width & ~1, config_.height & ~1);
        drawTestPattern(*frame, index_++);
        frame->presentationTime = defaultClock()->uptime();
        onFrame_(std::move(frame));
    }

    Queue& queue_;
    SimCapture& owner_;
    CaptureConfig config_;
    FrameHandler onFrame_;
    TimerHandle timer_;
    uint64_t index_ = 0;
};
}  // namespace

std::unique_ptr<CaptureSource> SimCapture::makeSource(Queue& queue) {
    return std::make_unique<SimCaptureSource>(queue, *this);
}

void SimCapture::setFailure(std::string description) {
    std::lock_guard lock(mutex_);
    failure_ = std::move(description);
}

std::string SimCapture::failure() const {
    std::lock_guard lock(mutex_);
    return failure_;
}

// ---- Input ----

void SimInput::post(const InputEvent& event) {
    std::lock_guard lock(mutex_);
    // A bounded record: a long-running headless server must not grow without end.
    if (events_.size() >= 100000) events_.erase(events_.begin(), events_.begin() + 50000);
    events_.push_back(event);
}

std::vector<InputEvent> SimInput::events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

// ---- Accessibility, cursor ----

std::optional<FocusedText> SimAccessibility::focused(uint32_t) {
    std::lock_guard lock(mutex_);
    return focused_;
}

void SimAccessibility::set(std::optional<FocusedText> f) {
    std::lock_guard lock(mutex_);
    focused_ = std::move(f);
}

std::optional<CursorImage> SimCursor::current() {
    std::lock_guard lock(mutex_);
    return cursor_;
}

void SimCursor::set(std::optional<CursorImage> c) {
    std::lock_guard lock(mutex_);
    cursor_ = std::move(c);
}

// ---- Audio, camera ----

bool SimAudio::startSpeakerTap(SpeakerHandler handler) {
    std::lock_guard lock(mutex_);
    speaker_ = std::move(handler);
    return true;
}

void SimAudio::stopSpeakerTap() {
    std::lock_guard lock(mutex_);
    speaker_ = nullptr;
}

bool SimAudio::startMicFeed() {
    std::lock_guard lock(mutex_);
    micFeed_ = true;
    return true;
}

void SimAudio::stopMicFeed() {
    std::lock_guard lock(mutex_);
    micFeed_ = false;
}

void SimAudio::pushMic(std::span<const int16_t> samples) {
    std::lock_guard lock(mutex_);
    if (micFeed_) micSamples_ += samples.size();
}

void SimAudio::play(std::span<const float> interleaved) {
    SpeakerHandler h;
    {
        std::lock_guard lock(mutex_);
        h = speaker_;
    }
    if (h) h(interleaved);
}

size_t SimAudio::micSamples() const {
    std::lock_guard lock(mutex_);
    return micSamples_;
}

void SimCamera::pushEncodedFrame(std::span<const uint8_t>) { frames++; }

// ---- Factory ----

Platform makeSimPlatform(SimHandles& h) {
    h.display = std::make_shared<SimDisplay>();
    h.capture = std::make_shared<SimCapture>();
    h.input = std::make_shared<SimInput>();
    h.host = std::make_shared<SimHost>();
    h.accessibility = std::make_shared<SimAccessibility>();
    h.cursor = std::make_shared<SimCursor>();
    h.audio = std::make_shared<SimAudio>();
    h.camera = std::make_shared<SimCamera>();
    Platform p;
    p.name = "sim";
    p.display = h.display;
    p.capture = h.capture;
    p.input = h.input;
    p.host = h.host;
    p.accessibility = h.accessibility;
    p.cursor = h.cursor;
    p.audio = h.audio;
    p.camera = h.camera;
    return p;
}

Platform makeSimPlatform() {
    SimHandles h;
    return makeSimPlatform(h);
}

std::optional<Platform> makePlatform(const std::string& name, std::string& error) {
    if (name == "sim") return makeSimPlatform();
    if (name == "linux") {
        error = "The Linux display back-end is not built yet; use --platform sim";
        return std::nullopt;
    }
    error = "Unknown platform \"" + name + "\" (known: sim)";
    return std::nullopt;
}

}  // namespace tarvello
