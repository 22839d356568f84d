#include "server/session.h"

#include <algorithm>

#include "audio/audio_bridge.h"
#include "base/log.h"
#include "base/notification_center.h"
#include "base/settings.h"
#include "base/text_format.h"
#include "camera/camera_bridge.h"
#include "input/injector.h"
#include "input/text_watcher.h"
#include "server/hello_gate.h"
#include "video/capture.h"
#include "video/cursor_watcher.h"
#include "video/virtual_display.h"

namespace tarvello {

namespace {
constexpr double kKeyframeThrottle = 0.1;
constexpr int64_t kBitrateFloor = 4'000'000;
// A display lost again within this many seconds of the last loss ends the session.
constexpr double kDisplayLossWindow = 10.0;
// Shown by the system's power reports while the assertion is held.
constexpr const char* kAssertionName = "Tarvello: keeps this computer unlocked for the iPhone";

int64_t bitrateLimit() {
    return std::clamp<int64_t>(Settings::shared().maxBitrate(), 0, 1'000'000) * 1'000'000;
}
}  // namespace

std::shared_ptr<Session> Session::create(Platform platform, Queue& queue, SessionLink& link,
                                         Options options) {
    auto session =
        std::shared_ptr<Session>(new Session(std::move(platform), queue, link, std::move(options)));
    std::weak_ptr<Session> w = session;
    session->capture_->onFrame = [w](VideoFramePtr frame) {
        if (auto s = w.lock()) s->encoder()->encode(frame);
    };
    session->capture_->onLost = [w](const std::string& reason) {
        if (auto s = w.lock())
            s->queue_.async([w, reason] {
                if (auto s2 = w.lock()) s2->captureLost(reason);
            });
    };
    return session;
}

Session::Session(Platform platform, Queue& queue, SessionLink& link, Options options)
    : platform_(std::move(platform)), queue_(queue), link_(link), options_(std::move(options)) {
    if (!options_.clock) options_.clock = defaultClock();
    InjectorOptions injectorOptions;
    injectorOptions.clock = options_.clock;
    injectorOptions.preferences = platform_.preferences;
    injectorOptions.dock = platform_.dock;
    injectorOptions.workspace = platform_.workspace;
    injectorOptions.desktop = platform_.desktop;
    injector_ = std::make_unique<Injector>(platform_.input, platform_.display, std::move(injectorOptions));
    display_ = std::make_unique<VirtualDisplay>(platform_.display);
    capture_ = Capture::create(platform_.capture);
    textWatcher_ = TextWatcher::create(platform_.accessibility);
    cursorWatcher_ = CursorWatcher::create(platform_.cursor);
    audio_ = AudioBridge::create(platform_.audio);
    camera_ = CameraBridge::create(platform_.camera);
}

Session::~Session() = default;

std::shared_ptr<Encoder> Session::encoder() {
    std::lock_guard lock(encoderMutex_);
    if (!encoder_) {
        encoder_ = options_.encoderRows.empty()
                       ? std::make_shared<Encoder>(options_.encoderOutput)
                       : std::make_shared<Encoder>(options_.encoderOutput, options_.encoderRows);
    }
    return encoder_;
}

void Session::start(int width, int height, int refreshRate) {
    teardown_.cancel();
    if (width < 1 || height < 1) return;
    if (!platform_.host->screenRecordingAllowed()) {
        link_.refusePhone("Tarvello on the Mac doesn't have the Screen Recording permission");
        return;
    }
    pixelW_ = std::min(width, HelloGate::maxSide) & ~1;
    pixelH_ = std::min(height, HelloGate::maxSide) & ~1;
    fps_ = refreshRate >= 100 ? 120 : 60;
    auto& settings = Settings::shared();
    bitrate_ = std::min(bitrate_, bitrateLimit());
    active_ = true;
    const uint64_t generation = ++generation_;

    // Making a display can take a second (a new X server starting): it runs on the main
    // queue while this one goes on answering the phone, and the session continues when
    // it is there. A newer start makes an older one's display moot.
    const double scale = settings.uiScale();
    const bool mirror = settings.mirrorMac();
    if (mainQueue().stopping()) {
        continueStart(generation, false, platform_.display->mainDisplay());
        return;
    }
    mainQueue().async(
        [w = weak_from_this(), generation, width = pixelW_, height = pixelH_, fps = fps_, scale, mirror] {
            auto s = w.lock();
            if (!s || s->generation_.load() != generation) return;
            const bool created = s->display_->create(width, height, fps, scale, mirror);
            const uint32_t display = created ? s->display_->displayID() : s->platform_.display->mainDisplay();
            s->queue_.async([w, generation, created, display] {
                if (auto s2 = w.lock()) s2->continueStart(generation, created, display);
            });
        });
}

void Session::sendGestureConfig(bool always) {
    if (!active_) return;
    const GestureConfig gestures = injector_->currentGestureConfig();
    if (!always && gestures == sentGestures_) return;
    sentGestures_ = gestures;
    log("Trackpad gestures: 0x" + formatHex(gestures.rawValue));
    link_.sendToPhone(buildGestureConfig(gestures));
}

void Session::continueStart(uint64_t generation, bool created, uint32_t sessionDisplay) {
    if (generation != generation_.load() || !active_) return;
    auto& settings = Settings::shared();
    injector_->setTargetDisplay(sessionDisplay);
    textWatcher_->setDisplay(sessionDisplay);
    textWatcher_->start();
    cursorWatcher_->start();
    cursorWatcher_->reset();

    sendGestureConfig(true);

    audio_->start(settings.soundOnIPhone(), settings.iPhoneMic());
    if (settings.iPhoneCamera()) camera_->start();
    if (!created) log("Fallback: capturing the main display");

    auto enc = encoder();
    if (!enc->configure(pixelW_, pixelH_, fps_, bitrate_)) {
        link_.refusePhone("Video encoder unavailable");
        return;
    }
    const std::string codec = codecName(enc->codec());
    link_.reportStatus(
        [res = std::to_string(pixelW_) + "×" + std::to_string(pixelH_) + " @" + std::to_string(fps_),
         codec](ServerStatus& s) {
            s.resolution = res;
            s.codec = codec;
        });
    if (sleepAssertion_ == 0) applyKeepAwake(true);
    platform_.power->coverDisplay(sessionDisplay);
    if (options_.desktop) options_.desktop->arrangeForSession(settings.stageManager(), settings.showDock());

    CaptureConfig config;
    config.display = sessionDisplay;
    config.width = pixelW_;
    config.height = pixelH_;
    config.fps = fps_;
    config.showsCursor = settings.showsCursor();
    capture_->start(config, [w = weak_from_this(), generation](const std::string& error) {
        if (auto s = w.lock()) {
            s->queue_.async([w, generation, error] {
                if (auto s2 = w.lock()) s2->captureStarted(generation, error);
            });
        }
    });
}

void Session::captureStarted(uint64_t generation, const std::string& error) {
    if (generation != generation_.load() || !active_) return;  // superseded by a newer start
    if (!error.empty()) {
        log("Capture failed: " + error);
        link_.refusePhone("Capture failed: " + error);
        return;
    }
    capturedGeneration_ = generation;
    link_.sessionReady(pixelW_, pixelH_, encoder()->codec());
    forceKeyframe();
}

void Session::captureLost(const std::string& reason) {
    // A newer start has already replaced the display this capture watched.
    if (!active_ || capturedGeneration_ != generation_.load()) return;
    const double t = now();
    if (t - lastDisplayLoss_ < kDisplayLossWindow || !link_.phoneConnected()) {
        // Lost again at once: making it over and over would leave the phone a session
        // that shows nothing. End it; the phone may connect again.
        log("The session's display was lost again (" + reason + "): ending the session");
        if (link_.phoneConnected())
            link_.closePhone();
        else
            end();
        return;
    }
    lastDisplayLoss_ = t;
    log("The session's display was lost (" + reason + "): making it again");
    start(pixelW_, pixelH_, fps_);
}

void Session::restart() {
    if (link_.phoneConnected() && pixelW_ >= 1) start(pixelW_, pixelH_, fps_);
}

// Each rebuild costs a display and an encoder.
void Session::requestResize(int width, int height) {
    const double t = now();
    if (!resizeWork_.active() && t - lastResize_ >= options_.resizeInterval) {
        lastResize_ = t;
        if (width != pixelW_ || height != pixelH_) start(width, height, fps_);
        return;
    }
    pendingResize_ = {width, height};
    if (resizeWork_.active()) return;
    const double wait = std::clamp(lastResize_ + options_.resizeInterval - t, 0.0, options_.resizeInterval);
    resizeWork_ = queue_.after(wait, [w = weak_from_this()] {
        auto s = w.lock();
        if (!s || !s->pendingResize_) return;
        const auto [pw, ph] = *s->pendingResize_;
        s->pendingResize_.reset();
        s->lastResize_ = s->now();
        if (s->link_.phoneConnected() && (pw != s->pixelW_ || ph != s->pixelH_)) s->start(pw, ph, s->fps_);
    });
}

void Session::endAfter(double delay) {
    teardown_.cancel();
    teardown_ = queue_.after(delay, [w = weak_from_this()] {
        if (auto s = w.lock()) s->end();
    });
}

void Session::end() {
    teardown_.cancel();
    log("Session ended: stopping capture and virtual display");
    capture_->stop();
    textWatcher_->stop();
    cursorWatcher_->stop();
    audio_->stop();
    camera_->stop();
    {
        std::lock_guard lock(encoderMutex_);
        if (encoder_) encoder_->teardown();
    }
    mainQueue().async([w = weak_from_this()] {
        if (auto s = w.lock()) s->display_->teardown();
    });
    injector_->setTargetDisplay(platform_.display->mainDisplay());
    link_.sessionEnded();
    platform_.power->coverDisplay(0);
    applyKeepAwake(Settings::shared().keepUnlocked());
    if (options_.desktop) options_.desktop->restoreAfterSession();
    active_ = false;
    ++generation_;
    link_.reportStatus([](ServerStatus& s) {
        s.fps = 0;
        s.mbps = 0.0;
        s.resolution.clear();
    });
}

void Session::forceKeyframe(bool throttled) {
    const double t = now();
    if (throttled && t - lastKeyframeRequest_ <= kKeyframeThrottle) return;
    lastKeyframeRequest_ = t;
    encoder()->forceKeyframe = true;
    capture_->repeatLastFrame();
}

void Session::adaptBitrate(const StatsMsg& stats) {
    const int64_t limit = bitrateLimit();
    int64_t next = bitrate_;
    if (stats.dropped >= 1) {
        next = std::max(static_cast<int64_t>(static_cast<double>(bitrate_) * 0.75), kBitrateFloor);
    } else if (stats.received >= 1) {
        next = std::min(static_cast<int64_t>(static_cast<double>(bitrate_) * 1.08), limit);
    }
    bitrate_ = next;
    encoder()->setBitrate(next);
    link_.sendToPhone(buildServerStats(static_cast<uint32_t>(std::clamp<int64_t>(next / 1000, 0, UINT32_MAX)),
                                       static_cast<uint8_t>(fps_)));
    link_.reportStatus([next, dropped = stats.dropped](ServerStatus& s) {
        s.targetMbps = static_cast<int>(next / 1'000'000);
        s.drops += dropped;
    });
}

void Session::handleUiScale(float scale) {
    if (!(scale >= 1.0f && scale <= 4.0f)) return;  // NaN fails both
    const double value = scale;
    if (value == Settings::shared().uiScale()) return;
    Settings::shared().d().setDouble(SettingsKey::uiScale, value);
    log("Text size requested by iPhone: " + formatShortestDouble(value));
    NotificationCenter::shared().post(Notification::settingsChanged);
    start(pixelW_, pixelH_, fps_);
}

void Session::applyKeepAwake(bool on) {
    // A failed creation leaves 0 behind, so the next trigger tries again.
    if (on && sleepAssertion_ == 0) {
        sleepAssertion_ = platform_.power->createAssertion(kAssertionName);
    } else if (!on && sleepAssertion_ != 0) {
        platform_.power->releaseAssertion(sleepAssertion_);
        sleepAssertion_ = 0;
    }
}

MacStatus Session::lockStatus() {
    MacStatus status;
    if (platform_.host->sessionLocked()) status.insert(MacStatus::locked);
    if (!platform_.host->screenRecordingAllowed()) status.insert(MacStatus::noScreenRecording);
    if (!platform_.host->accessibilityTrusted()) status.insert(MacStatus::noAccessibility);
    return status;
}

void Session::pollLockAndStatus() {
    const MacStatus status = lockStatus();
    const bool locked = status.contains(MacStatus::locked);
    if (locked != lockedFlag_) {
        lockedFlag_ = locked;
        log(locked ? "Mac session locked" : "Mac session unlocked");
        link_.reportStatus([locked](ServerStatus& s) { s.locked = locked; });
        // Display and capture may not have survived the lock: rebuild them at the same size.
        if (!locked) restart();
    }
    if (link_.phoneConnected() && macStatus_ != status) {
        macStatus_ = status;
        link_.sendToPhone(buildMacStatus(status));
    }
}

void Session::stageManagerChanged() {
    if (link_.phoneConnected() && options_.desktop && Settings::shared().boolValue(SettingsKey::stageManager))
        options_.desktop->arrangeForSession(true, false);
}

void Session::showDockChanged() {
    if (link_.phoneConnected() && options_.desktop && Settings::shared().boolValue(SettingsKey::showDock))
        options_.desktop->arrangeForSession(false, true);
}

void Session::keepUnlockedChanged() {
    // With a phone connected the session holds the assertion anyway.
    if (!link_.phoneConnected()) applyKeepAwake(Settings::shared().keepUnlocked());
}

void Session::stop() {
    teardown_.cancel();
    resizeWork_.cancel();
    if (active_) {
        capture_->stop();
        textWatcher_->stop();
        cursorWatcher_->stop();
        audio_->stop();
        camera_->stop();
        if (options_.desktop) options_.desktop->restoreAfterSession();
        active_ = false;
    }
    applyKeepAwake(false);
}

void Session::shutdown() {
    capture_->shutdown();
    if (auto e = [&] {
            std::lock_guard lock(encoderMutex_);
            return encoder_;
        }()) {
        e->teardown();
    }
    textWatcher_->shutdown();
    audio_->shutdown();
    camera_->shutdown();
    cursorWatcher_->stop();
    mainQueue().sync([this] { display_->teardown(); });
}

}  // namespace tarvello
