#include "platform/linux/gnome/gnome_backend.h"

#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>

#include "base/frame_converter.h"
#include "base/log.h"
#include "base/settings.h"
#include "dispatch/clock.h"
#include "dispatch/serial_queue.h"
#include "platform/key_codes.h"
#include "platform/linux/frame_pool.h"
#include "platform/linux/gnome/display_config.h"
#include "platform/linux/gnome/mutter_session.h"
#include "platform/linux/gnome/mutter_stream.h"
#include "platform/linux/linux_input.h"
#include "platform/linux/logind.h"

namespace tarvello::gnome {

namespace {

constexpr int kMaxOutstanding = 3;
constexpr double kFirstFrameTimeout = 5.0;
constexpr int kBtnLeft = 0x110, kBtnRight = 0x111, kBtnMiddle = 0x112;
constexpr uint32_t kAxisWheel = 1u << 1, kAxisFinger = 1u << 2;

// The left-hand modifier key that stands for each flag when a key event carries it.
constexpr std::pair<uint64_t, uint32_t> kFlagKeys[] = {{EventFlags::shift, 42},
                                                       {EventFlags::control, 29},
                                                       {EventFlags::alternate, 56},
                                                       {EventFlags::command, 125}};

void drawCursor(std::vector<uint8_t>& bgrx, int width, int height, int stride, const StreamCursor& c) {
    if (!c.visible || !c.image) return;
    const CursorImage& img = *c.image;
    const int left = c.x - img.hotX, top = c.y - img.hotY;
    for (int row = std::max(0, -top); row < img.height && top + row < height; ++row) {
        for (int col = std::max(0, -left); col < img.width && left + col < width; ++col) {
            const uint8_t* s = &img.rgba[(size_t(row) * size_t(img.width) + size_t(col)) * 4];
            const unsigned a = s[3];
            if (a == 0) continue;
            uint8_t* d = &bgrx[size_t(top + row) * size_t(stride) + size_t(left + col) * 4];
            d[0] = uint8_t((s[2] * a + d[0] * (255 - a)) / 255);
            d[1] = uint8_t((s[1] * a + d[1] * (255 - a)) / 255);
            d[2] = uint8_t((s[0] * a + d[2] * (255 - a)) / 255);
        }
    }
}

}  // namespace

std::optional<Point> streamPoint(const Geometry& g, Point location) {
    if (!(g.points.width > 0) || !(g.points.height > 0) || g.streamW < 1 || g.streamH < 1)
        return std::nullopt;
    const int phoneW = g.phoneW > 0 ? g.phoneW : g.streamW, phoneH = g.phoneH > 0 ? g.phoneH : g.streamH;
    const FitRect fit = fitInside(g.streamW, g.streamH, phoneW, phoneH);
    if (fit.width < 1 || fit.height < 1) return std::nullopt;
    // Points to phone pixels, then out of the picture's bars into the stream's pixels.
    const double px = (location.x - g.points.x) * phoneW / g.points.width;
    const double py = (location.y - g.points.y) * phoneH / g.points.height;
    const double x = (px - fit.x) * g.streamW / fit.width, y = (py - fit.y) * g.streamH / fit.height;
    return Point{std::clamp(x, 0.0, g.streamW - 1.0), std::clamp(y, 0.0, g.streamH - 1.0)};
}

std::optional<uint32_t> keysymForText(char32_t c) {
    if (c < 0x100) return keysymForCharacter(c);
    // Keymaps name their symbols with the legacy keysyms (EuroSign, not U20AC) and Mutter
    // looks a keysym up as it is, so the legacy one goes where there is one.
    const uint32_t sym = xkb_utf32_to_keysym(uint32_t(c));
    if (sym != XKB_KEY_NoSymbol) return sym;
    return keysymForCharacter(c);
}

std::optional<uint32_t> evdevKeyForKeyCode(uint16_t keyCode) {
    if (auto evdev = evdevKeyCode(keyCode)) return *evdev;
    return std::nullopt;
}

// What the facilities share: the one remote desktop session and its stream.
struct Shared {
    GnomeOptions options;
    mutable std::mutex mutex;
    std::shared_ptr<MutterBus> bus;
    std::shared_ptr<MutterSession> session;
    std::shared_ptr<MutterStream> stream;
    uint32_t id = 0;
    uint32_t nextId = 1;
    // Bounds in the points the server asked for; pixels are the phone's.
    DisplayInfo info;
    std::vector<DisplayMode> modes;
    double scale = 1;
    std::string connector;        // the phone's monitor (extend)
    std::optional<Layout> saved;  // the user's layout before it
    std::string lastError;
    bool mirror = false;  // this session's

    SettingsStore& store() const { return options.store ? *options.store : Settings::shared().d(); }
};

namespace {

// Lets Mutter settle a monitor change: it announces monitors a moment after the stream.
template <typename F>
bool settle(F done, double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

bool listed(const MonitorsState& state, const std::string& connector) {
    for (const auto& m : state.monitors)
        if (m.connector == connector) return true;
    return false;
}

// Puts `saved` back unless the desktop already shows it.
bool restoreLayout(DisplayConfig& config, const Layout& saved, std::string& error) {
    const auto state = config.state(error);
    if (!state) return false;
    const auto layout = restorable(saved, *state);
    if (!layout || *layout == state->layout) return true;
    return config.apply(state->serial, *layout, error);
}

class GnomeDisplay final : public DisplayFacility {
public:
    explicit GnomeDisplay(std::shared_ptr<Shared> shared) : s_(std::move(shared)) {}
    ~GnomeDisplay() override {
        if (s_->id) removeVirtualDisplay(s_->id);
    }

    std::optional<uint32_t> createVirtualDisplay(const VirtualDisplayDescriptor& d) override {
        std::lock_guard lock(s_->mutex);
        if (s_->session) {
            s_->lastError = "one session at a time";
            return std::nullopt;
        }
        const bool mirror = s_->options.mirrorNow ? s_->options.mirrorNow() : s_->options.mirror;
        s_->mirror = mirror;
        const int phoneW = (d.pixelsWide ? d.pixelsWide : d.maxPixelsWide) & ~1;
        const int phoneH = (d.pixelsHigh ? d.pixelsHigh : d.maxPixelsHigh) & ~1;
        std::string error;
        if (!mirror && (phoneW < 2 || phoneH < 2)) {
            s_->lastError = "no size for the phone's monitor";
            return std::nullopt;
        }
        if (!s_->bus) s_->bus = MutterBus::open(s_->options.busAddress, error);
        std::optional<MonitorsState> before;
        std::shared_ptr<MutterSession> session;
        std::shared_ptr<MutterStream> stream;
        if (s_->bus) {
            if (!mirror) before = DisplayConfig(s_->bus).state(error);
            if (mirror || before) {
                session = MutterSession::create(
                    s_->bus, mirror ? MutterSession::Kind::monitor : MutterSession::Kind::virtualMonitor, {},
                    error);
            }
        }
        if (session && session->start(error)) {
            stream = MutterStream::connect(session->node(), mirror ? 0 : phoneW, mirror ? 0 : phoneH, 120,
                                           s_->options.pipewireSocket, error);
            if (stream && !stream->waitUntilStreaming(kFirstFrameTimeout, error)) stream.reset();
        }
        if (!stream) {
            s_->lastError = error;
            if (session) session->stop();
            session.reset();
            // A compositor that went away or restarted is met on a new connection next time.
            s_->bus.reset();
            return std::nullopt;
        }
        const auto [streamW, streamH] = stream->size();
        // Without the phone's own size (a bare recording) the monitor's is taken.
        const int pixelW = phoneW >= 2 ? phoneW : streamW, pixelH = phoneH >= 2 ? phoneH : streamH;
        const double pointW = d.maxPixelsWide >= 2 ? d.maxPixelsWide / 2.0 : pixelW;
        const double pointH = d.maxPixelsHigh >= 2 ? d.maxPixelsHigh / 2.0 : pixelH;
        s_->session = std::move(session);
        s_->stream = std::move(stream);
        s_->id = s_->nextId++;
        s_->info = {};
        s_->info.id = s_->id;
        s_->info.pixelWidth = pixelW;
        s_->info.pixelHeight = pixelH;
        s_->info.bounds = {0, 0, pointW, pointH};
        s_->info.isVirtual = !mirror;
        s_->modes = {{int(pointW), int(pointH), pixelW, pixelH, 60}};
        s_->scale = pixelW / pointW;
        if (!mirror) {
            // A layout a crashed run kept is the user's; this run's would include its own changes.
            if (auto kept = s_->store().getString(kSavedLayoutKey)) s_->saved = decodeLayout(*kept);
            if (!s_->saved) {
                s_->saved = before->layout;
                s_->store().setString(kSavedLayoutKey, encodeLayout(before->layout));
            }
            findConnector(*before);
            place();
        }
        return s_->id;
    }

    bool applySettings(uint32_t id, const VirtualDisplaySettings& settings) override {
        std::lock_guard lock(s_->mutex);
        if (id != s_->id || !s_->id || settings.modes.empty()) return false;
        std::vector<DisplayMode> modes;
        for (const auto& m : settings.modes) {
            if (m.width < 1 || m.height < 1 || !(m.refreshRate > 0)) return false;
            modes.push_back({m.width, m.height, s_->info.pixelWidth, s_->info.pixelHeight, m.refreshRate});
        }
        const double scale = double(s_->info.pixelWidth) / modes.front().width;
        s_->modes = std::move(modes);
        s_->info.bounds.width = s_->modes.front().width;
        s_->info.bounds.height = s_->modes.front().height;
        if (std::abs(scale - s_->scale) > 1e-6) {
            s_->scale = scale;
            if (!s_->mirror) place();
        }
        return true;
    }

    void removeVirtualDisplay(uint32_t id) override {
        std::shared_ptr<MutterSession> session;
        std::shared_ptr<MutterStream> stream;
        std::optional<Layout> saved;
        std::string connector;
        {
            std::lock_guard lock(s_->mutex);
            if (id != s_->id || !s_->id) return;
            session = std::move(s_->session);
            stream = std::move(s_->stream);
            saved = std::move(s_->saved);
            s_->saved.reset();
            connector = std::move(s_->connector);
            s_->id = 0;
        }
        stream.reset();
        if (session) session->stop();
        if (!saved) return;
        DisplayConfig config(s_->bus);
        std::string error;
        // Mutter rearranges once the monitor is gone; ours goes on top of that.
        settle(
            [&] {
                auto state = config.state(error);
                return state && (connector.empty() || !listed(*state, connector));
            },
            3.0);
        if (restoreLayout(config, *saved, error)) {
            s_->store().remove(kSavedLayoutKey);
        } else {
            log("Could not restore the monitor layout (tried again at the next start): " + error);
        }
    }

    uint32_t mainDisplay() const override {
        std::lock_guard lock(s_->mutex);
        return s_->id;
    }
    std::vector<DisplayInfo> displays() const override {
        std::lock_guard lock(s_->mutex);
        if (!s_->id) return {};
        return {s_->info};
    }
    std::optional<std::vector<DisplayMode>> modes(uint32_t id) const override {
        std::lock_guard lock(s_->mutex);
        if (!id || id != s_->id) return std::nullopt;
        return s_->modes;
    }
    std::optional<DisplayMode> currentMode(uint32_t id) const override {
        std::lock_guard lock(s_->mutex);
        if (!id || id != s_->id) return std::nullopt;
        return s_->modes.front();
    }
    std::optional<DisplayConfiguration> beginConfiguration() override { return DisplayConfiguration{}; }
    int completeConfiguration(const DisplayConfiguration& configuration) override {
        // The phone's monitor was made the main one when it was placed; the user's other
        // monitors are never made to mirror it.
        for (const auto& c : configuration.changes) {
            if (c.kind == DisplayConfiguration::Change::Kind::mirror && c.mirrorOf != 0) return -1;
        }
        return 0;
    }
    void pause(double seconds) override {
        std::this_thread::sleep_for(std::chrono::duration<double>(std::clamp(seconds, 0.0, 5.0)));
    }

private:
    // The monitor that was not there before the session is the phone's.
    void findConnector(const MonitorsState& before) {
        DisplayConfig config(s_->bus);
        std::string error;
        settle(
            [&] {
                const auto now = config.state(error);
                if (!now) return false;
                for (const auto& m : now->monitors) {
                    if (!listed(before, m.connector)) {
                        s_->connector = m.connector;
                        return true;
                    }
                }
                return false;
            },
            3.0);
        if (s_->connector.empty()) log("The phone's monitor did not show in the monitor list");
    }

    // Main display at the origin at the text size's scale; the others in a row to its right.
    void place() {
        if (s_->connector.empty()) return;
        DisplayConfig config(s_->bus);
        std::string error;
        auto state = config.state(error);
        std::optional<Layout> layout;
        if (state) layout = placeFirst(*state, s_->connector, s_->scale);
        if (layout && config.apply(state->serial, *layout, error)) return;
        log("Could not place the phone's monitor: " + (error.empty() ? "it is not listed" : error));
    }

    std::shared_ptr<Shared> s_;
};

class GnomeCaptureSource final : public CaptureSource {
public:
    GnomeCaptureSource(Queue& queue, std::shared_ptr<Shared> shared) : queue_(queue), s_(std::move(shared)) {}
    ~GnomeCaptureSource() override { stop(); }

    StartResult start(const CaptureConfig& config, CaptureHandlers handlers) override {
        stop();
        {
            std::lock_guard lock(s_->mutex);
            if (!s_->id || config.display != s_->id || !s_->stream)
                return StartResult::tryAgain("Display " + std::to_string(config.display) +
                                             " not found for capture");
            stream_ = s_->stream;
        }
        outW_ = config.width & ~1;
        outH_ = config.height & ~1;
        if (outW_ < 2 || outH_ < 2) return StartResult::permanent("Capture size too small");
        handlers_ = std::move(handlers);
        showsCursor_ = config.showsCursor;
        interval_ = 1.0 / std::max(1, config.fps);
        lastGrab_ = -std::numeric_limits<double>::infinity();
        token_ = std::make_shared<int>(0);
        auto wake = [this, w = std::weak_ptr<int>(token_)] {
            queue_.async([this, w] {
                if (!w.expired()) process();
            });
        };
        pool_ = std::make_shared<FramePool>(outW_, outH_, kMaxOutstanding, wake);
        auto pending = pending_;
        stream_->setSinks(
            [pending, wake](const RawFrame& f) {
                bool schedule = false;
                {
                    std::lock_guard lock(pending->mutex);
                    const size_t bytes = size_t(f.stride) * size_t(f.height);
                    pending->pixels.resize(bytes);
                    std::memcpy(pending->pixels.data(), f.data, bytes);
                    pending->width = f.width;
                    pending->height = f.height;
                    pending->stride = f.stride;
                    pending->time = monotonicSeconds();
                    schedule = !pending->fresh;
                    pending->fresh = true;
                }
                if (schedule) wake();
            },
            [this, w = std::weak_ptr<int>(token_)](const std::string& reason) {
                queue_.async([this, w, reason] {
                    if (w.expired()) return;
                    auto h = handlers_.onStopped;
                    if (h) h(reason);
                });
            });
        return {};
    }

    std::string stop() override {
        if (stream_) stream_->setSinks({}, {});
        stream_.reset();
        handlers_ = {};
        token_.reset();
        timer_.cancel();
        timerSet_ = false;
        std::lock_guard lock(pending_->mutex);
        pending_->fresh = false;
        return {};
    }

private:
    struct Pending {
        std::mutex mutex;
        std::vector<uint8_t> pixels;
        int width = 0, height = 0, stride = 0;
        double time = 0;
        bool fresh = false;
    };

    void process() {
        if (!token_ || !handlers_.onFrame) return;
        const double now = monotonicSeconds();
        const double wait = lastGrab_ + interval_ - now;
        if (wait > 0) {
            if (!timerSet_) {
                timerSet_ = true;
                timer_ = queue_.after(wait, [this, w = std::weak_ptr<int>(token_)] {
                    if (w.expired()) return;
                    timerSet_ = false;
                    process();
                });
            }
            return;
        }
        auto frame = pool_->acquire();
        if (!frame) return;  // a frame coming back wakes us
        int w = 0, h = 0, stride = 0;
        double grabbed = 0;
        {
            std::lock_guard lock(pending_->mutex);
            if (!pending_->fresh) return;
            pending_->fresh = false;
            work_.swap(pending_->pixels);
            w = pending_->width;
            h = pending_->height;
            stride = pending_->stride;
            grabbed = pending_->time;
        }
        lastGrab_ = now;
        if (showsCursor_) drawCursor(work_, w, h, stride, stream_->cursor());
        const FitRect fit = fitInside(w, h, outW_, outH_);
        if (!converter_ || w != srcW_ || h != srcH_) {
            srcW_ = w;
            srcH_ = h;
            converter_ = FrameConverter::create(w, h, RgbLayout::bgrx, fit.width, fit.height);
            scratch_ = (fit.width == outW_ && fit.height == outH_) ? nullptr
                                                                   : newCaptureFrame(fit.width, fit.height);
        }
        if (!converter_) return;
        frame->times.grabStart = grabbed;
        frame->times.grabbed = grabbed;
        if (!scratch_) {
            if (!converter_->convert(work_.data(), stride, *frame)) return;
        } else {
            if (!converter_->convert(work_.data(), stride, *scratch_)) return;
            for (int row = 0; row < fit.height; ++row) {
                std::memcpy(&frame->y[size_t(fit.y + row) * size_t(frame->strideY) + size_t(fit.x)],
                            &scratch_->y[size_t(row) * size_t(scratch_->strideY)], size_t(fit.width));
            }
            for (int row = 0; row < fit.height / 2; ++row) {
                std::memcpy(&frame->uv[size_t(fit.y / 2 + row) * size_t(frame->strideUV) + size_t(fit.x)],
                            &scratch_->uv[size_t(row) * size_t(scratch_->strideUV)], size_t(fit.width));
            }
        }
        frame->times.converted = monotonicSeconds();
        handlers_.onFrame(std::move(frame), FrameStatus::complete);
    }

    Queue& queue_;
    std::shared_ptr<Shared> s_;
    std::shared_ptr<MutterStream> stream_;
    CaptureHandlers handlers_;
    std::shared_ptr<int> token_;
    std::shared_ptr<Pending> pending_ = std::make_shared<Pending>();
    std::shared_ptr<FramePool> pool_;
    std::unique_ptr<FrameConverter> converter_;
    std::unique_ptr<VideoFrame> scratch_;
    std::vector<uint8_t> work_;
    TimerHandle timer_;
    bool timerSet_ = false;
    bool showsCursor_ = false;
    int outW_ = 0, outH_ = 0, srcW_ = 0, srcH_ = 0;
    double interval_ = 1.0 / 60, lastGrab_ = 0;
};

class GnomeCapture final : public CaptureFacility {
public:
    explicit GnomeCapture(std::shared_ptr<Shared> shared) : s_(std::move(shared)) {}
    std::vector<uint32_t> shareableDisplays(std::string&) override {
        std::lock_guard lock(s_->mutex);
        if (!s_->id) return {};
        return {s_->id};
    }
    std::unique_ptr<CaptureSource> makeSource(Queue& queue) override {
        return std::make_unique<GnomeCaptureSource>(queue, s_);
    }

private:
    std::shared_ptr<Shared> s_;
};

class GnomeCursor final : public CursorFacility {
public:
    explicit GnomeCursor(std::shared_ptr<Shared> shared) : s_(std::move(shared)) {}
    std::optional<CursorImage> current() override {
        std::shared_ptr<MutterStream> stream;
        double scale = 1;
        {
            std::lock_guard lock(s_->mutex);
            stream = s_->stream;
            scale = s_->scale;
        }
        if (!stream) return std::nullopt;
        const auto c = stream->cursor();
        if (!c.image) return std::nullopt;
        CursorImage image = *c.image;
        image.scale = scale;
        return image;
    }

private:
    std::shared_ptr<Shared> s_;
};

class GnomeInput final : public InputFacility {
public:
    explicit GnomeInput(std::shared_ptr<Shared> shared) : s_(std::move(shared)) {}

    bool post(const InputEvent& e) override {
        std::shared_ptr<MutterSession> session;
        Geometry bounds;
        {
            std::lock_guard lock(s_->mutex);
            session = s_->session;
            bounds.points = s_->info.bounds;
            bounds.phoneW = s_->info.pixelWidth;
            bounds.phoneH = s_->info.pixelHeight;
            if (s_->stream) std::tie(bounds.streamW, bounds.streamH) = s_->stream->size();
        }
        if (!session) return false;
        std::lock_guard lock(mutex_);
        switch (e.type) {
            case InputEventType::mouseMoved:
            case InputEventType::leftMouseDragged:
            case InputEventType::rightMouseDragged:
            case InputEventType::otherMouseDragged: return move(*session, bounds, e);
            case InputEventType::leftMouseDown:
            case InputEventType::leftMouseUp:
            case InputEventType::rightMouseDown:
            case InputEventType::rightMouseUp:
            case InputEventType::otherMouseDown:
            case InputEventType::otherMouseUp: {
                const bool down = e.type == InputEventType::leftMouseDown ||
                                  e.type == InputEventType::rightMouseDown ||
                                  e.type == InputEventType::otherMouseDown;
                int button = kBtnLeft;
                if (e.type == InputEventType::rightMouseDown || e.type == InputEventType::rightMouseUp)
                    button = kBtnRight;
                if (e.type == InputEventType::otherMouseDown || e.type == InputEventType::otherMouseUp)
                    button = e.mouseButton == MouseButton::right ? kBtnRight : kBtnMiddle;
                if (!move(*session, bounds, e)) return false;
                return session->pointerButton(button, down);
            }
            case InputEventType::scrollWheel: {
                const bool finish =
                    e.scrollPhase == ScrollEventPhase::ended || e.momentumPhase == MomentumPhase::end;
                const uint32_t flags =
                    (e.continuous ? kAxisFinger : kAxisWheel) | (finish ? MutterSession::kAxisFinish : 0);
                return session->pointerAxis(-double(e.wheel2), -double(e.wheel1), flags);
            }
            case InputEventType::keyDown:
            case InputEventType::keyUp:
                if (e.keyCode == 0 && !e.text.empty()) {
                    return e.type == InputEventType::keyDown ? typeText(*session, e.text) : true;
                }
                return key(*session, e, e.type == InputEventType::keyDown);
            case InputEventType::flagsChanged: {
                const auto code = evdevKeyForKeyCode(e.keyCode);
                if (!code) return false;
                if (e.down) {
                    held_.insert(*code);
                } else {
                    held_.erase(*code);
                }
                return session->keycode(*code, e.down);
            }
            case InputEventType::gesture: return false;
        }
        return false;
    }

    std::optional<Point> pointerLocation() override {
        std::lock_guard lock(mutex_);
        return last_;
    }

private:
    bool move(MutterSession& session, const Geometry& g, const InputEvent& e) {
        if (last_ && *last_ == e.location && (e.deltaX || e.deltaY))
            return session.pointerRelative(double(e.deltaX), double(e.deltaY));
        if (last_ && *last_ == e.location) return true;
        const auto at = streamPoint(g, e.location);
        if (!at || !session.pointerAbsolute(at->x, at->y)) return false;
        last_ = e.location;
        return true;
    }

    bool key(MutterSession& session, const InputEvent& e, bool down) {
        const auto code = evdevKeyForKeyCode(e.keyCode);
        if (!code) return false;
        if (down) {
            // Modifiers the event carries but no flags event pressed go down with the key.
            auto& chord = chords_[*code];
            chord.clear();
            for (auto [flag, modifier] : kFlagKeys) {
                if (!(e.flags & flag) || heldFlag(flag)) continue;
                if (!session.keycode(modifier, true)) return false;
                chord.push_back(modifier);
            }
            return session.keycode(*code, true);
        }
        const bool ok = session.keycode(*code, false);
        auto it = chords_.find(*code);
        if (it != chords_.end()) {
            for (auto m = it->second.rbegin(); m != it->second.rend(); ++m) session.keycode(*m, false);
            chords_.erase(it);
        }
        return ok;
    }

    bool heldFlag(uint64_t flag) const {
        static const std::map<uint64_t, std::vector<uint32_t>> keys{{EventFlags::shift, {42, 54}},
                                                                    {EventFlags::control, {29, 97}},
                                                                    {EventFlags::alternate, {56, 100}},
                                                                    {EventFlags::command, {125, 126}}};
        for (uint32_t k : keys.at(flag)) {
            if (held_.count(k)) return true;
        }
        return false;
    }

    bool typeText(MutterSession& session, const std::u16string& text) {
        for (size_t i = 0; i < text.size(); ++i) {
            char32_t c = text[i];
            if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
                text[i + 1] < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
                ++i;
            }
            const auto sym = keysymForText(c);
            if (!sym) continue;
            if (!session.keysym(*sym, true) || !session.keysym(*sym, false)) return false;
        }
        return true;
    }

    std::shared_ptr<Shared> s_;
    std::mutex mutex_;
    std::optional<Point> last_;
    std::set<uint32_t> held_;
    std::map<uint32_t, std::vector<uint32_t>> chords_;
};

// Mutter grants recording and input to its remote desktop clients; the lock state is
// the login manager's for the user's own session.
class GnomeHost final : public HostFacility {
public:
    explicit GnomeHost(std::shared_ptr<Logind> logind) : logind_(std::move(logind)) {}
    bool screenRecordingAllowed() override { return true; }
    bool accessibilityTrusted() override { return true; }
    bool sessionLocked() override {
        if (!logind_) return false;
        std::string error;
        const auto locked = logind_->lockedHint(error);
        std::lock_guard lock(mutex_);
        if (!locked && !failureLogged_) log("Lock state unavailable (counted as unlocked): " + error);
        failureLogged_ = !locked.has_value();
        return locked.value_or(false);
    }

private:
    std::shared_ptr<Logind> logind_;
    std::mutex mutex_;
    bool failureLogged_ = false;
};

}  // namespace

bool restoreSavedLayout(const GnomeOptions& options, std::string& error) {
    SettingsStore& store = options.store ? *options.store : Settings::shared().d();
    const auto kept = store.getString(kSavedLayoutKey);
    if (!kept) return true;
    const auto saved = decodeLayout(*kept);
    if (!saved) {
        store.remove(kSavedLayoutKey);
        return true;
    }
    auto bus = MutterBus::open(options.busAddress, error);
    if (!bus) return false;
    DisplayConfig config(bus);
    if (!restoreLayout(config, *saved, error)) return false;
    store.remove(kSavedLayoutKey);
    return true;
}

GnomeBackend makeGnomeBackend(GnomeOptions options) {
    auto shared = std::make_shared<Shared>();
    shared->options = std::move(options);
    GnomeBackend b;
    b.display = std::make_shared<GnomeDisplay>(shared);
    b.capture = std::make_shared<GnomeCapture>(shared);
    b.input = std::make_shared<GnomeInput>(shared);
    b.cursor = std::make_shared<GnomeCursor>(shared);
    b.host = std::make_shared<GnomeHost>(shared->options.logind);
    b.lastError = [shared] {
        std::lock_guard lock(shared->mutex);
        return shared->lastError;
    };
    return b;
}

}  // namespace tarvello::gnome
