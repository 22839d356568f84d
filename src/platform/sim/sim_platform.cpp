#include "platform/sim/sim_platform.h"

#include <algorithm>
#include <sstream>

#include "base/test_pattern.h"
#include "dispatch/clock.h"
#include "dispatch/serial_queue.h"

namespace tarvello {

// ---- Display ----

namespace {
constexpr int kIllegalArgument = 1001;

std::string number(double v) {
    std::ostringstream out;
    out << v;
    return out.str();
}
}  // namespace

SimDisplay::SimDisplay() {
    addPhysicalDisplay(1920, 1080);
}

void SimDisplay::note(std::string line) {
    journal_.push_back(std::move(line));
}

uint32_t SimDisplay::addPhysicalDisplay(double width, double height) {
    std::lock_guard lock(mutex_);
    double x = 0;
    for (const auto& [id, e] : entries_) x = std::max(x, e.info.bounds.x + e.info.bounds.width);
    Entry e;
    e.info = {nextPhysicalId_++, {x, 0, width, height}, int(width), int(height), false, {}};
    DisplayMode m{int(width), int(height), int(width), int(height), 60};
    e.modes = {m};
    e.current = m;
    const uint32_t id = e.info.id;
    entries_[id] = e;
    return id;
}

std::optional<uint32_t> SimDisplay::createVirtualDisplay(const VirtualDisplayDescriptor& d) {
    std::lock_guard lock(mutex_);
    lastDescriptor_ = d;
    if (failCreate.load() || d.maxPixelsWide < 2 || d.maxPixelsHigh < 2) {
        note("create failed");
        return std::nullopt;
    }
    double x = 0;
    for (const auto& [id, e] : entries_) x = std::max(x, e.info.bounds.x + e.info.bounds.width);
    Entry e;
    e.info.id = nextId_++;
    e.info.bounds = {x, 0, d.maxPixelsWide / 2.0, d.maxPixelsHigh / 2.0};
    e.info.pixelWidth = d.maxPixelsWide;
    e.info.pixelHeight = d.maxPixelsHigh;
    e.info.isVirtual = true;
    entries_[e.info.id] = e;
    created_++;
    note("create " + std::to_string(e.info.id));
    return e.info.id;
}

bool SimDisplay::applySettings(uint32_t id, const VirtualDisplaySettings& settings) {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(id);
    if (failSettings.load() || it == entries_.end() || !it->second.info.isVirtual || settings.modes.empty()) {
        note("settings " + std::to_string(id) + " rejected");
        return false;
    }
    auto& e = it->second;
    e.modes.clear();
    for (const auto& m : settings.modes) {
        if (settings.hiDPI && offerHiDPI.load())
            e.modes.push_back({m.width, m.height, 2 * m.width, 2 * m.height, m.refreshRate});
        e.modes.push_back({m.width, m.height, m.width, m.height, m.refreshRate});
    }
    // The system starts a new display in a low-resolution mode.
    e.current = e.modes.back();
    for (const auto& m : e.modes) {
        if (m.pixelWidth == m.width) {
            e.current = m;
            break;
        }
    }
    e.info.bounds.width = e.current->width;
    e.info.bounds.height = e.current->height;
    e.info.pixelWidth = e.current->pixelWidth;
    e.info.pixelHeight = e.current->pixelHeight;
    note("settings " + std::to_string(id));
    return true;
}

void SimDisplay::restorePhysicalRow() {
    for (const auto& [id, e] : entries_) {
        if (e.info.isVirtual) return;
    }
    double x = 0;
    for (auto& [id, e] : entries_) {
        e.info.bounds.x = x;
        e.info.bounds.y = 0;
        e.mirrorOf = 0;
        x += e.info.bounds.width;
    }
}

void SimDisplay::removeVirtualDisplay(uint32_t id) {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(id);
    if (it == entries_.end() || !it->second.info.isVirtual) return;
    entries_.erase(it);
    for (auto& [other, e] : entries_) {
        if (e.mirrorOf == id) e.mirrorOf = 0;
    }
    restorePhysicalRow();
    removed_++;
    note("remove " + std::to_string(id));
}

uint32_t SimDisplay::mainDisplay() const {
    std::lock_guard lock(mutex_);
    for (const auto& [id, e] : entries_) {
        if (e.info.bounds.x == 0 && e.info.bounds.y == 0 && e.mirrorOf == 0) return id;
    }
    return entries_.empty() ? 0 : entries_.begin()->first;
}

std::vector<DisplayInfo> SimDisplay::displays() const {
    const uint32_t main = mainDisplay();
    std::lock_guard lock(mutex_);
    std::vector<DisplayInfo> out;
    if (auto it = entries_.find(main); it != entries_.end()) out.push_back(it->second.info);
    for (const auto& [id, e] : entries_) {
        if (id != main) out.push_back(e.info);
    }
    return out;
}

std::optional<std::vector<DisplayMode>> SimDisplay::modes(uint32_t id) const {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(id);
    if (it == entries_.end()) return std::nullopt;
    return it->second.modes;
}

std::optional<DisplayMode> SimDisplay::currentMode(uint32_t id) const {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(id);
    if (it == entries_.end()) return std::nullopt;
    return it->second.current;
}

std::optional<DisplayConfiguration> SimDisplay::beginConfiguration() {
    if (failBegin.load()) return std::nullopt;
    return DisplayConfiguration{};
}

int SimDisplay::completeConfiguration(const DisplayConfiguration& configuration) {
    std::lock_guard lock(mutex_);
    using Kind = DisplayConfiguration::Change::Kind;
    for (const auto& c : configuration.changes) {
        switch (c.kind) {
            case Kind::origin:
                note("origin " + std::to_string(c.display) + " " + std::to_string(c.x) + " " +
                     std::to_string(c.y));
                break;
            case Kind::mirror:
                note("mirror " + std::to_string(c.display) + " " + std::to_string(c.mirrorOf));
                break;
            case Kind::mode:
                note("mode " + std::to_string(c.display) + " " + std::to_string(c.mode.width) + "x" +
                     std::to_string(c.mode.height) + "@" + number(c.mode.refreshRate));
                break;
        }
    }
    int rc = configurationError.load();
    for (const auto& c : configuration.changes) {
        if (!entries_.count(c.display) ||
            (c.kind == Kind::mirror && c.mirrorOf && !entries_.count(c.mirrorOf))) {
            rc = rc ? rc : kIllegalArgument;
        }
    }
    if (rc == 0) {
        for (const auto& c : configuration.changes) {
            auto& e = entries_[c.display];
            switch (c.kind) {
                case Kind::origin:
                    e.info.bounds.x = c.x;
                    e.info.bounds.y = c.y;
                    break;
                case Kind::mirror: e.mirrorOf = c.mirrorOf; break;
                case Kind::mode:
                    for (const auto& m : e.modes) {
                        if (m.width == c.mode.width && m.height == c.mode.height &&
                            m.pixelWidth == c.mode.pixelWidth && m.refreshRate == c.mode.refreshRate) {
                            e.current = m;
                            e.info.bounds.width = m.width;
                            e.info.bounds.height = m.height;
                            e.info.pixelWidth = m.pixelWidth;
                            e.info.pixelHeight = m.pixelHeight;
                        }
                    }
                    break;
            }
        }
    }
    note("complete " + std::to_string(rc));
    return rc;
}

void SimDisplay::pause(double seconds) {
    std::lock_guard lock(mutex_);
    note("pause " + number(seconds));
}

uint32_t SimDisplay::mirrorOf(uint32_t id) const {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(id);
    return it == entries_.end() ? 0 : it->second.mirrorOf;
}

std::optional<DisplayInfo> SimDisplay::info(uint32_t id) const {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(id);
    if (it == entries_.end()) return std::nullopt;
    return it->second.info;
}

std::optional<VirtualDisplayDescriptor> SimDisplay::lastDescriptor() const {
    std::lock_guard lock(mutex_);
    return lastDescriptor_;
}

std::vector<std::string> SimDisplay::journal() const {
    std::lock_guard lock(mutex_);
    return journal_;
}

// ---- Capture: a moving test picture at the configured rate ----

namespace {
class SimCaptureSource final : public CaptureSource {
public:
    SimCaptureSource(Queue& q, SimCapture& owner) : queue_(q), owner_(owner) {}
    ~SimCaptureSource() override { stop(); }

    StartResult start(const CaptureConfig& config, CaptureHandlers handlers) override {
        stop();
        owner_.starts++;
        if (auto f = owner_.failure(); !f.empty()) return StartResult::permanent(f);
        if (auto f = owner_.takeTransientFailure(); !f.empty()) return StartResult::tryAgain(f);
        if (config.width < 2 || config.height < 2) return StartResult::permanent("Invalid capture size");
        config_ = config;
        handlers_ = std::move(handlers);
        const double interval = 1.0 / std::max(1, config.fps);
        timer_ = queue_.every(0.0, interval, [this] { tick(); });
        return {};
    }

    std::string stop() override {
        timer_.cancel();
        handlers_ = {};
        return owner_.stopFailure();
    }

private:
    void tick() {
        if (!handlers_.onFrame) return;
        if (auto loss = owner_.takeLoss(); !loss.empty()) {
            timer_.cancel();
            auto handlers = std::exchange(handlers_, {});
            if (handlers.onStopped) handlers.onStopped(loss);
            return;
        }
        if (owner_.still.load()) {
            handlers_.onFrame(nullptr, FrameStatus::idle);
            ++owner_.samples;
            return;
        }
        auto frame = VideoFrame::make(config_.width & ~1, config_.height & ~1);
        drawTestPattern(*frame, index_++);
        frame->presentationTime = defaultClock()->uptime();
        handlers_.onFrame(std::move(frame), FrameStatus::complete);
        ++owner_.samples;
    }

    Queue& queue_;
    SimCapture& owner_;
    CaptureConfig config_;
    CaptureHandlers handlers_;
    TimerHandle timer_;
    uint64_t index_ = 0;
};
}  // namespace

SimCapture::SimCapture(std::shared_ptr<const SimDisplay> displays) : displays_(std::move(displays)) {}

std::vector<uint32_t> SimCapture::shareableDisplays(std::string&) {
    lookups++;
    if (!displays_) return {1};
    std::vector<uint32_t> ids;
    for (const auto& d : displays_->displays()) ids.push_back(d.id);
    return ids;
}

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

void SimCapture::failTransiently(std::string description, int times) {
    std::lock_guard lock(mutex_);
    transient_ = std::move(description);
    transientLeft_ = times;
}

std::string SimCapture::takeTransientFailure() {
    std::lock_guard lock(mutex_);
    if (transientLeft_ <= 0) return {};
    --transientLeft_;
    return transient_;
}

void SimCapture::setStopFailure(std::string description) {
    std::lock_guard lock(mutex_);
    stopFailure_ = std::move(description);
}

std::string SimCapture::stopFailure() const {
    std::lock_guard lock(mutex_);
    return stopFailure_;
}

void SimCapture::loseStream(std::string reason) {
    std::lock_guard lock(mutex_);
    loss_ = std::move(reason);
}

std::string SimCapture::takeLoss() {
    std::lock_guard lock(mutex_);
    return std::exchange(loss_, {});
}

// ---- Input ----

bool SimInput::post(const InputEvent& event) {
    if (failPosts.load()) return false;
    std::lock_guard lock(mutex_);
    // A bounded record: a long-running headless server must not grow without end.
    if (events_.size() >= 100000) events_.erase(events_.begin(), events_.begin() + 50000);
    events_.push_back(event);
    switch (event.type) {
        case InputEventType::keyDown:
        case InputEventType::keyUp:
        case InputEventType::flagsChanged:
        case InputEventType::scrollWheel:
        case InputEventType::gesture: break;
        default: pointer_ = event.location; break;
    }
    return true;
}

std::optional<Point> SimInput::pointerLocation() {
    std::lock_guard lock(mutex_);
    return pointer_;
}

std::vector<InputEvent> SimInput::events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

void SimInput::clear() {
    std::lock_guard lock(mutex_);
    events_.clear();
}

void SimInput::setPointer(std::optional<Point> p) {
    std::lock_guard lock(mutex_);
    pointer_ = p;
}

// ---- Accessibility, cursor ----

namespace {
struct SimElement final : AxElement {
    explicit SimElement(std::string n) : name(std::move(n)) {}
    bool sameAs(const AxElement& other) const override {
        auto* o = dynamic_cast<const SimElement*>(&other);
        return o && o->name == name;
    }
    std::string name;
};
}  // namespace

bool SimAccessibility::ready(uint32_t) {
    std::lock_guard lock(mutex_);
    polls_++;
    interrupted_ = false;
    return trusted.load();
}

bool SimAccessibility::interrupted() {
    std::lock_guard lock(mutex_);
    return interrupted_;
}

std::optional<int32_t> SimAccessibility::frontmostProcess() {
    std::lock_guard lock(mutex_);
    return frontmost_;
}

void SimAccessibility::requestEnhanced(int32_t pid) {
    std::lock_guard lock(mutex_);
    enhanced_.push_back(pid);
}

AxElementRef SimAccessibility::focusedElement(std::optional<int32_t> pid) {
    std::lock_guard lock(mutex_);
    if (stalled.load()) {
        interrupted_ = true;
        return nullptr;
    }
    auto it = focus_.find(pid);
    if (it == focus_.end()) return nullptr;
    return std::make_shared<SimElement>(it->second);
}

const SimAccessibility::Element* SimAccessibility::find(const AxElement& element) const {
    auto* e = dynamic_cast<const SimElement*>(&element);
    if (!e) return nullptr;
    auto it = elements_.find(e->name);
    return it == elements_.end() ? nullptr : &it->second;
}

std::optional<std::string> SimAccessibility::role(const AxElement& element) {
    std::lock_guard lock(mutex_);
    const Element* e = find(element);
    return e ? e->role : std::nullopt;
}

bool SimAccessibility::secure(const AxElement& element) {
    std::lock_guard lock(mutex_);
    const Element* e = find(element);
    return e && e->secure;
}

bool SimAccessibility::editable(const AxElement& element) {
    std::lock_guard lock(mutex_);
    const Element* e = find(element);
    return e && e->editable;
}

std::optional<AxTextRange> SimAccessibility::selectedRange(const AxElement& element) {
    std::lock_guard lock(mutex_);
    if (stalled.load()) {
        interrupted_ = true;
        return std::nullopt;
    }
    const Element* e = find(element);
    return e ? e->selection : std::nullopt;
}

std::optional<AxRect> SimAccessibility::characterBounds(const AxElement& element, int64_t index) {
    std::lock_guard lock(mutex_);
    const Element* e = find(element);
    if (!e) return std::nullopt;
    auto it = e->characters.find(index);
    return it == e->characters.end() ? std::nullopt : std::optional<AxRect>(it->second);
}

std::optional<AxRect> SimAccessibility::displayBounds(uint32_t display) {
    std::lock_guard lock(mutex_);
    auto it = displays_.find(display);
    return it == displays_.end() ? std::nullopt : std::optional<AxRect>(it->second);
}

void SimAccessibility::setElement(const std::string& name, Element element) {
    std::lock_guard lock(mutex_);
    elements_[name] = std::move(element);
}

void SimAccessibility::setFrontmost(std::optional<int32_t> pid) {
    std::lock_guard lock(mutex_);
    frontmost_ = pid;
}

void SimAccessibility::setFocus(std::optional<int32_t> pid, std::optional<std::string> name) {
    std::lock_guard lock(mutex_);
    if (name) {
        focus_[pid] = *name;
    } else {
        focus_.erase(pid);
    }
}

void SimAccessibility::setDisplay(uint32_t display, AxRect bounds) {
    std::lock_guard lock(mutex_);
    displays_[display] = bounds;
}

std::vector<int32_t> SimAccessibility::enhanceRequests() const {
    std::lock_guard lock(mutex_);
    return enhanced_;
}

int SimAccessibility::polls() const {
    std::lock_guard lock(mutex_);
    return polls_;
}

std::optional<CursorImage> SimCursor::current() {
    reads++;
    std::lock_guard lock(mutex_);
    return cursor_;
}

void SimCursor::set(std::optional<CursorImage> c) {
    std::lock_guard lock(mutex_);
    cursor_ = std::move(c);
}

// ---- Power, tools ----

uint32_t SimPower::createAssertion(const std::string& name) {
    std::lock_guard lock(mutex_);
    attempts_++;
    if (fail.load()) return 0;
    const uint32_t id = nextId_++;
    held_[id] = name;
    return id;
}

void SimPower::releaseAssertion(uint32_t id) {
    std::lock_guard lock(mutex_);
    held_.erase(id);
}

void SimPower::coverDisplay(uint32_t display) {
    std::lock_guard lock(mutex_);
    covered_ = display;
}

std::vector<std::string> SimPower::held() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    for (const auto& [id, name] : held_) names.push_back(name);
    return names;
}

int SimPower::attempts() const {
    std::lock_guard lock(mutex_);
    return attempts_;
}

uint32_t SimPower::covered() const {
    std::lock_guard lock(mutex_);
    return covered_;
}

std::optional<ProcessResult> SimProcesses::run(const std::string& path,
                                               const std::vector<std::string>& args) {
    std::lock_guard lock(mutex_);
    std::string line = path;
    for (const auto& a : args) line += " " + a;
    runs_.push_back(std::move(line));
    auto it = scripts_.find(path);
    if (it == scripts_.end() || it->second.empty()) return std::nullopt;
    ProcessResult r = it->second.front();
    if (it->second.size() > 1) it->second.erase(it->second.begin());
    return r;
}

void SimProcesses::script(const std::string& path, std::vector<ProcessResult> results) {
    std::lock_guard lock(mutex_);
    scripts_[path] = std::move(results);
}

std::vector<std::string> SimProcesses::runs() const {
    std::lock_guard lock(mutex_);
    return runs_;
}

// ---- Camera ----

CameraUse SimCamera::readUse() {
    CameraUse u;
    if (hasUseValue) u.inUse = used.load();
    u.runningSomewhere = running.load();
    return u;
}

bool SimCamera::openSink(std::string& error) {
    if (!sinkAvailable) {
        error = "-1";
        return false;
    }
    opens++;
    sinkOpen = true;
    return true;
}

void SimCamera::closeSink() {
    closes++;
    sinkOpen = false;
}

bool SimCamera::sinkHasRoom() {
    std::lock_guard lock(mutex_);
    return sinkOpen && int(pictures_.size()) < capacity.load();
}

void SimCamera::pushPicture(std::shared_ptr<const VideoFrame> picture) {
    std::lock_guard lock(mutex_);
    if (sinkOpen) pictures_.push_back(std::move(picture));
}

std::vector<std::shared_ptr<const VideoFrame>> SimCamera::takePictures() {
    std::lock_guard lock(mutex_);
    return std::exchange(pictures_, {});
}

void SimCamera::submitRequest(bool activate, std::function<void(std::optional<std::string>)> done) {
    std::optional<std::string> error;
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(activate);
        error = requestError_;
    }
    if (done) done(error);
}

std::vector<bool> SimCamera::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void SimCamera::setRequestError(std::optional<std::string> error) {
    std::lock_guard lock(mutex_);
    requestError_ = std::move(error);
}

// ---- Factory ----

Platform makeSimPlatform(SimHandles& h) {
    h.display = std::make_shared<SimDisplay>();
    h.capture = std::make_shared<SimCapture>(h.display);
    h.input = std::make_shared<SimInput>();
    h.host = std::make_shared<SimHost>();
    h.power = std::make_shared<SimPower>();
    h.lid = std::make_shared<SimLid>();
    h.processes = std::make_shared<SimProcesses>();
    h.accessibility = std::make_shared<SimAccessibility>();
    h.cursor = std::make_shared<SimCursor>();
    h.audio = std::make_shared<SimAudio>();
    h.camera = std::make_shared<SimCamera>();
    h.preferences = std::make_shared<MemoryPreferenceDomains>();
    h.dock = std::make_shared<SimDock>();
    h.workspace = std::make_shared<SimWorkspace>();
    Platform p;
    p.name = "sim";
    p.display = h.display;
    p.capture = h.capture;
    p.input = h.input;
    p.host = h.host;
    p.power = h.power;
    p.lid = h.lid;
    p.processes = h.processes;
    p.accessibility = h.accessibility;
    p.cursor = h.cursor;
    p.audio = h.audio;
    p.camera = h.camera;
    p.preferences = h.preferences;
    p.dock = h.dock;
    p.workspace = h.workspace;
    return p;
}

Platform makeSimPlatform() {
    SimHandles h;
    return makeSimPlatform(h);
}

}  // namespace tarvello
