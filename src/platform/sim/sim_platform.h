#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/sim_audio.h"
#include "platform/sim/sim_dock.h"

namespace tarvello {

// An in-memory display list: one physical display (id 1, 1920 × 1080 points at the
// origin) unless tests add more, and the virtual displays made through it. Every call
// that changes something is written to a journal tests can read.
class SimDisplay final : public DisplayFacility {
public:
    SimDisplay();

    std::optional<uint32_t> createVirtualDisplay(const VirtualDisplayDescriptor& descriptor) override;
    bool applySettings(uint32_t id, const VirtualDisplaySettings& settings) override;
    void removeVirtualDisplay(uint32_t id) override;
    uint32_t mainDisplay() const override;
    std::vector<DisplayInfo> displays() const override;
    std::optional<std::vector<DisplayMode>> modes(uint32_t id) const override;
    std::optional<DisplayMode> currentMode(uint32_t id) const override;
    std::optional<DisplayConfiguration> beginConfiguration() override;
    int completeConfiguration(const DisplayConfiguration& configuration) override;
    // Records the pause without sleeping.
    void pause(double seconds) override;

    // Adds a physical display to the right of the others.
    uint32_t addPhysicalDisplay(double width, double height);
    // The display `id` mirrors, 0 when none.
    uint32_t mirrorOf(uint32_t id) const;
    std::optional<DisplayInfo> info(uint32_t id) const;
    std::optional<VirtualDisplayDescriptor> lastDescriptor() const;
    // Lines such as "create 100", "settings 100", "remove 100", "pause 0.3", "origin 1 470 0",
    // "mirror 1 100", "mode 100 470x1022@60", "complete 0".
    std::vector<std::string> journal() const;

    std::atomic<bool> failCreate{false}, failSettings{false}, failBegin{false};
    // When false, HiDPI settings yield low-resolution modes only.
    std::atomic<bool> offerHiDPI{true};
    // Returned by every completeConfiguration when non-zero; nothing is then applied.
    std::atomic<int> configurationError{0};
    int created() const { return created_.load(); }
    int removed() const { return removed_.load(); }

private:
    struct Entry {
        DisplayInfo info;
        std::vector<DisplayMode> modes;
        std::optional<DisplayMode> current;
        uint32_t mirrorOf = 0;
    };
    void note(std::string line);
    void restorePhysicalRow();

    mutable std::mutex mutex_;
    std::map<uint32_t, Entry> entries_;
    std::vector<std::string> journal_;
    std::optional<VirtualDisplayDescriptor> lastDescriptor_;
    uint32_t nextPhysicalId_ = 1;
    uint32_t nextId_ = 100;
    std::atomic<int> created_{0}, removed_{0};
};

// Capture of the sim displays: a moving test picture at the configured rate.
class SimCapture final : public CaptureFacility {
public:
    // Lists the displays of `displays`; without one, only display 1.
    explicit SimCapture(std::shared_ptr<const SimDisplay> displays = nullptr);
    std::vector<uint32_t> shareableDisplays(std::string& error) override;
    std::unique_ptr<CaptureSource> makeSource(Queue& queue) override;
    // When non-empty, start() fails with this description.
    void setFailure(std::string description);
    std::string failure() const;
    // The next `times` starts fail as ones worth trying again, with this description.
    void failTransiently(std::string description, int times);
    std::string takeTransientFailure();
    // When non-empty, stop() of a source fails with this description.
    void setStopFailure(std::string description);
    std::string stopFailure() const;
    // The running stream ends by itself at its next frame, as when its X server dies.
    void loseStream(std::string reason);
    std::string takeLoss();

    std::atomic<int> starts{0};
    std::atomic<int> lookups{0};
    // While set, sources send idle samples (no change on screen) instead of pictures.
    std::atomic<bool> still{false};
    // Samples handed out so far, pictures and idle ones alike.
    std::atomic<int> samples{0};

private:
    std::shared_ptr<const SimDisplay> displays_;
    mutable std::mutex mutex_;
    std::string failure_, stopFailure_, loss_, transient_;
    int transientLeft_ = 0;
};

class SimInput final : public InputFacility {
public:
    bool post(const InputEvent& event) override;
    std::optional<Point> pointerLocation() override;

    std::vector<InputEvent> events() const;
    void clear();
    void setPointer(std::optional<Point> p);
    // While set, every post fails and records nothing.
    std::atomic<bool> failPosts{false};

private:
    mutable std::mutex mutex_;
    std::vector<InputEvent> events_;
    std::optional<Point> pointer_ = Point{};
};

class SimHost final : public HostFacility {
public:
    bool screenRecordingAllowed() override { return screen.load(); }
    bool accessibilityTrusted() override { return accessibility.load(); }
    bool sessionLocked() override {
        lockReads++;
        return locked.load();
    }
    std::atomic<bool> screen{true}, accessibility{true}, locked{false};
    std::atomic<int> lockReads{0};
};

// Assertions as a list; `fail` makes every creation fail.
class SimPower final : public PowerFacility {
public:
    uint32_t createAssertion(const std::string& name) override;
    void releaseAssertion(uint32_t id) override;
    void coverDisplay(uint32_t display) override;

    // Names of the assertions held now, oldest first.
    std::vector<std::string> held() const;
    int attempts() const;
    uint32_t covered() const;
    std::atomic<bool> fail{false};

private:
    mutable std::mutex mutex_;
    std::map<uint32_t, std::string> held_;
    uint32_t nextId_ = 1;
    int attempts_ = 0;
    uint32_t covered_ = 0;
};

// A lid hold the test can refuse.
class SimLid final : public LidFacility {
public:
    bool held() override { return held_.load(); }
    bool hold(bool on) override {
        held_ = on && !refuse.load();
        return held_.load();
    }
    std::atomic<bool> refuse{false};

private:
    std::atomic<bool> held_{false};
};

// Scripted tools: a path answers with its script, or cannot be launched when it has none.
class SimProcesses final : public ProcessFacility {
public:
    std::optional<ProcessResult> run(const std::string& path, const std::vector<std::string>& args) override;

    // The results `path` gives, one per run; the last repeats.
    void script(const std::string& path, std::vector<ProcessResult> results);
    // Each run as the path and its arguments joined by spaces.
    std::vector<std::string> runs() const;

private:
    mutable std::mutex mutex_;
    std::map<std::string, std::vector<ProcessResult>> scripts_;
    std::vector<std::string> runs_;
};

// A scripted element tree: elements by name, the focus per application and system-wide,
// display bounds. `stalled` makes every element call time out.
class SimAccessibility final : public AccessibilityFacility {
public:
    struct Element {
        std::optional<std::string> role;
        bool secure = false, editable = false;
        std::optional<AxTextRange> selection;
        std::map<int64_t, AxRect> characters;  // bounds by character index
    };

    bool ready(uint32_t display) override;
    bool interrupted() override;
    std::optional<int32_t> frontmostProcess() override;
    void requestEnhanced(int32_t pid) override;
    AxElementRef focusedElement(std::optional<int32_t> pid) override;
    std::optional<std::string> role(const AxElement& element) override;
    bool secure(const AxElement& element) override;
    bool editable(const AxElement& element) override;
    std::optional<AxTextRange> selectedRange(const AxElement& element) override;
    std::optional<AxRect> characterBounds(const AxElement& element, int64_t index) override;
    std::optional<AxRect> displayBounds(uint32_t display) override;

    // Steering, from any thread.
    void setElement(const std::string& name, Element element);
    void setFrontmost(std::optional<int32_t> pid);
    void setFocus(std::optional<int32_t> pid, std::optional<std::string> name);  // no pid: system-wide
    void setDisplay(uint32_t display, AxRect bounds);
    std::vector<int32_t> enhanceRequests() const;
    int polls() const;
    std::atomic<bool> trusted{true}, stalled{false};

private:
    const Element* find(const AxElement& element) const;
    mutable std::mutex mutex_;
    std::map<std::string, Element> elements_;
    std::optional<int32_t> frontmost_;
    std::map<std::optional<int32_t>, std::string> focus_;
    std::map<uint32_t, AxRect> displays_;
    std::vector<int32_t> enhanced_;
    bool interrupted_ = false;
    int polls_ = 0;
};

class SimCursor final : public CursorFacility {
public:
    std::optional<CursorImage> current() override;
    void set(std::optional<CursorImage> c);
    std::atomic<int> reads{0};

private:
    std::mutex mutex_;
    std::optional<CursorImage> cursor_;
};

// A camera device steered by the test: whether it exists, its in-use value and
// running state, a sink holding up to `capacity` pictures until takePictures().
class SimCamera final : public CameraFacility {
public:
    bool findDevice() override { return present.load(); }
    CameraUse readUse() override;
    bool openSink(std::string& error) override;
    void closeSink() override;
    bool sinkHasRoom() override;
    void pushPicture(std::shared_ptr<const VideoFrame> picture) override;
    void submitRequest(bool activate, std::function<void(std::optional<std::string> error)> done) override;

    std::atomic<bool> present{false};
    std::atomic<bool> hasUseValue{true};
    std::atomic<bool> used{false};
    std::atomic<bool> running{false};
    std::atomic<bool> sinkAvailable{true};
    std::atomic<int> capacity{1};
    std::atomic<bool> sinkOpen{false};
    std::atomic<int> opens{0};
    std::atomic<int> closes{0};

    std::vector<std::shared_ptr<const VideoFrame>> takePictures();
    // Activation requests (true = activate) in order; each finishes at once with `requestError`.
    std::vector<bool> requests() const;
    void setRequestError(std::optional<std::string> error);

private:
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<const VideoFrame>> pictures_;
    std::vector<bool> requests_;
    std::optional<std::string> requestError_;
};

struct SimHandles {
    std::shared_ptr<SimDisplay> display;
    std::shared_ptr<SimCapture> capture;
    std::shared_ptr<SimInput> input;
    std::shared_ptr<SimHost> host;
    std::shared_ptr<SimPower> power;
    std::shared_ptr<SimLid> lid;
    std::shared_ptr<SimProcesses> processes;
    std::shared_ptr<SimAccessibility> accessibility;
    std::shared_ptr<SimCursor> cursor;
    std::shared_ptr<SimAudio> audio;
    std::shared_ptr<SimCamera> camera;
    std::shared_ptr<MemoryPreferenceDomains> preferences;
    std::shared_ptr<SimDock> dock;
    std::shared_ptr<SimWorkspace> workspace;
};

// The stand-in set, with typed handles for tests to steer and inspect.
Platform makeSimPlatform(SimHandles& handles);

}  // namespace tarvello
