#include "platform/linux/gnome/desktop_switch.h"

#include <mutex>

#include "base/log.h"

namespace tarvello::gnome {

namespace {

struct State {
    DesktopFacilities desktop, privateDesktop;
    DesktopSwitchOptions options;
    mutable std::mutex mutex;
    bool onDesktop = false;

    const DesktopFacilities& active() const {
        std::lock_guard lock(mutex);
        return onDesktop ? desktop : privateDesktop;
    }
    void choose(bool d) {
        {
            std::lock_guard lock(mutex);
            onDesktop = d;
        }
        if (options.chosen) options.chosen(d);
    }
};

class SwitchDisplay final : public DisplayFacility {
public:
    explicit SwitchDisplay(std::shared_ptr<State> s) : s_(std::move(s)) {}

    std::optional<uint32_t> createVirtualDisplay(const VirtualDisplayDescriptor& d) override {
        if (s_->options.wantsDesktop && s_->options.wantsDesktop()) {
            if (auto id = s_->desktop.display->createVirtualDisplay(d)) {
                s_->choose(true);
                return id;
            }
            const std::string why = s_->options.refusal ? s_->options.refusal() : std::string("refused");
            log("This session shows a private desktop: your desktop is unavailable (" + why + ")");
        }
        s_->choose(false);
        return s_->privateDesktop.display->createVirtualDisplay(d);
    }
    bool applySettings(uint32_t id, const VirtualDisplaySettings& settings) override {
        return s_->active().display->applySettings(id, settings);
    }
    void removeVirtualDisplay(uint32_t id) override { s_->active().display->removeVirtualDisplay(id); }
    uint32_t mainDisplay() const override { return s_->active().display->mainDisplay(); }
    std::vector<DisplayInfo> displays() const override { return s_->active().display->displays(); }
    std::optional<std::vector<DisplayMode>> modes(uint32_t id) const override {
        return s_->active().display->modes(id);
    }
    std::optional<DisplayMode> currentMode(uint32_t id) const override {
        return s_->active().display->currentMode(id);
    }
    std::optional<DisplayConfiguration> beginConfiguration() override {
        return s_->active().display->beginConfiguration();
    }
    int completeConfiguration(const DisplayConfiguration& c) override {
        return s_->active().display->completeConfiguration(c);
    }
    void pause(double seconds) override { s_->active().display->pause(seconds); }

private:
    std::shared_ptr<State> s_;
};

// Made anew whenever the session's desktop changed since the last start.
class SwitchSource final : public CaptureSource {
public:
    SwitchSource(Queue& queue, std::shared_ptr<State> s) : queue_(queue), s_(std::move(s)) {}

    StartResult start(const CaptureConfig& config, CaptureHandlers handlers) override {
        auto capture = s_->active().capture;
        if (capture != from_) {
            if (inner_) inner_->stop();
            inner_ = capture->makeSource(queue_);
            from_ = capture;
        }
        return inner_->start(config, std::move(handlers));
    }
    std::string stop() override { return inner_ ? inner_->stop() : std::string(); }

private:
    Queue& queue_;
    std::shared_ptr<State> s_;
    std::shared_ptr<CaptureFacility> from_;
    std::unique_ptr<CaptureSource> inner_;
};

class SwitchCapture final : public CaptureFacility {
public:
    explicit SwitchCapture(std::shared_ptr<State> s) : s_(std::move(s)) {}
    std::vector<uint32_t> shareableDisplays(std::string& error) override {
        return s_->active().capture->shareableDisplays(error);
    }
    std::unique_ptr<CaptureSource> makeSource(Queue& queue) override {
        return std::make_unique<SwitchSource>(queue, s_);
    }

private:
    std::shared_ptr<State> s_;
};

class SwitchInput final : public InputFacility {
public:
    explicit SwitchInput(std::shared_ptr<State> s) : s_(std::move(s)) {}
    bool post(const InputEvent& e) override { return s_->active().input->post(e); }
    std::optional<Point> pointerLocation() override { return s_->active().input->pointerLocation(); }

private:
    std::shared_ptr<State> s_;
};

class SwitchCursor final : public CursorFacility {
public:
    explicit SwitchCursor(std::shared_ptr<State> s) : s_(std::move(s)) {}
    std::optional<CursorImage> current() override { return s_->active().cursor->current(); }

private:
    std::shared_ptr<State> s_;
};

class SwitchHost final : public HostFacility {
public:
    explicit SwitchHost(std::shared_ptr<State> s) : s_(std::move(s)) {}
    bool screenRecordingAllowed() override { return s_->active().host->screenRecordingAllowed(); }
    bool accessibilityTrusted() override { return s_->active().host->accessibilityTrusted(); }
    bool sessionLocked() override { return s_->active().host->sessionLocked(); }

private:
    std::shared_ptr<State> s_;
};

}  // namespace

DesktopFacilities makeDesktopSwitch(DesktopFacilities desktop, DesktopFacilities privateDesktop,
                                    DesktopSwitchOptions options) {
    auto s = std::make_shared<State>();
    s->desktop = std::move(desktop);
    s->privateDesktop = std::move(privateDesktop);
    s->onDesktop = options.startsOnDesktop;
    s->options = std::move(options);
    DesktopFacilities f;
    f.display = std::make_shared<SwitchDisplay>(s);
    f.capture = std::make_shared<SwitchCapture>(s);
    f.input = std::make_shared<SwitchInput>(s);
    f.cursor = std::make_shared<SwitchCursor>(s);
    f.host = std::make_shared<SwitchHost>(s);
    return f;
}

}  // namespace tarvello::gnome
