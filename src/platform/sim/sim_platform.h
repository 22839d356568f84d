#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <vector>

#include "platform/platform.h"

namespace tarvello {

class SimDisplay final : public DisplayFacility {
public:
    std::optional<uint32_t> createVirtualDisplay(int pixelWidth, int pixelHeight, double pointWidth,
                                                 double pointHeight, int refreshRate) override;
    void removeVirtualDisplay(uint32_t id) override;
    uint32_t mainDisplay() const override;
    std::vector<DisplayInfo> displays() const override;

    std::atomic<bool> failCreate{false};
    int created() const { return created_.load(); }
    int removed() const { return removed_.load(); }

private:
    mutable std::mutex mutex_;
    std::map<uint32_t, DisplayInfo> virtuals_;
    uint32_t nextId_ = 100;
    std::atomic<int> created_{0}, removed_{0};
};

class SimCapture final : public CaptureFacility {
public:
    std::unique_ptr<CaptureSource> makeSource(Queue& queue) override;
    // When non-empty, start() fails with this description.
    void setFailure(std::string description);
    std::string failure() const;
    std::atomic<int> starts{0};

private:
    mutable std::mutex mutex_;
    std::string failure_;
};

class SimInput final : public InputFacility {
public:
    void post(const InputEvent& event) override;
    std::vector<InputEvent> events() const;

private:
    mutable std::mutex mutex_;
    std::vector<InputEvent> events_;
};

class SimHost final : public HostFacility {
public:
    bool screenRecordingAllowed() override { return screen.load(); }
    bool accessibilityTrusted() override { return accessibility.load(); }
    bool sessionLocked() override { return locked.load(); }
    bool setKeepAwake(bool on) override {
        awake.store(on);
        return true;
    }
    std::atomic<bool> screen{true}, accessibility{true}, locked{false}, awake{false};
};

class SimAccessibility final : public AccessibilityFacility {
public:
    std::optional<FocusedText> focused(uint32_t display) override;
    void set(std::optional<FocusedText> f);

private:
    std::mutex mutex_;
    std::optional<FocusedText> focused_;
};

class SimCursor final : public CursorFacility {
public:
    std::optional<CursorImage> current() override;
    void set(std::optional<CursorImage> c);

private:
    std::mutex mutex_;
    std::optional<CursorImage> cursor_;
};

class SimAudio final : public AudioFacility {
public:
    bool startSpeakerTap(SpeakerHandler handler) override;
    void stopSpeakerTap() override;
    bool startMicFeed() override;
    void stopMicFeed() override;
    void pushMic(std::span<const int16_t> samples) override;
    bool micInUse() override { return micUsed.load(); }
    // Plays one packet of interleaved stereo frames through the tap, as the
    // real-time thread would.
    void play(std::span<const float> interleaved);
    size_t micSamples() const;
    std::atomic<bool> micUsed{false};

private:
    mutable std::mutex mutex_;
    SpeakerHandler speaker_;
    bool micFeed_ = false;
    size_t micSamples_ = 0;
};

class SimCamera final : public CameraFacility {
public:
    bool inUse() override { return used.load(); }
    void pushEncodedFrame(std::span<const uint8_t> frame) override;
    std::atomic<bool> used{false};
    std::atomic<int> frames{0};
};

struct SimHandles {
    std::shared_ptr<SimDisplay> display;
    std::shared_ptr<SimCapture> capture;
    std::shared_ptr<SimInput> input;
    std::shared_ptr<SimHost> host;
    std::shared_ptr<SimAccessibility> accessibility;
    std::shared_ptr<SimCursor> cursor;
    std::shared_ptr<SimAudio> audio;
    std::shared_ptr<SimCamera> camera;
};

// The stand-in set, with typed handles for tests to steer and inspect.
Platform makeSimPlatform(SimHandles& handles);

}  // namespace tarvello
