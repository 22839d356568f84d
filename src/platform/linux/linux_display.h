#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/display.h"

namespace tarvello {

class XvfbServer;

// Virtual displays as private X servers drawn at the phone's pixels: the X screen is the
// session's picture (pixelsWide × pixelsHigh), its density the text scale times the
// usual 96 dots per inch, and its modes are the point sizes shown on it. The session
// command runs on each display.
//
// A removed display keeps its server and session command for the next one (the user's
// applications and unsaved work live there), until this object ends. The next display
// takes it over, changed to its size and density in place through RandR, so the
// applications live on and are told the new size. Without Xvnc the server is Xvfb,
// whose screen cannot change: a kept one serves only a display of its own size.
// Only the displays made here are listed: the private servers share no screen with
// any other display.
class LinuxDisplay final : public DisplayFacility {
public:
    struct Options {
        std::string xvfbPath;  // empty: Xvfb on PATH
        // The server that can change size. Nothing: Xvnc on PATH, if any; empty: Xvfb only.
        std::optional<std::string> xvncPath;
        // The stored sessionCommand setting, read at each creation; nothing when unset.
        std::function<std::optional<std::string>()> sessionCommand;
        int dpi = 96;  // at text scale 1
    };

    LinuxDisplay();
    explicit LinuxDisplay(Options options);
    ~LinuxDisplay() override;

    std::optional<uint32_t> createVirtualDisplay(const VirtualDisplayDescriptor& descriptor) override;
    bool applySettings(uint32_t id, const VirtualDisplaySettings& settings) override;
    void removeVirtualDisplay(uint32_t id) override;
    uint32_t mainDisplay() const override;
    std::vector<DisplayInfo> displays() const override;
    std::optional<std::vector<DisplayMode>> modes(uint32_t id) const override;
    std::optional<DisplayMode> currentMode(uint32_t id) const override;
    std::optional<DisplayConfiguration> beginConfiguration() override;
    int completeConfiguration(const DisplayConfiguration& configuration) override;
    void pause(double seconds) override;

    // The X display name of display `id` (":17"), empty when there is none or its
    // server has gone.
    std::string connection(uint32_t id) const;
    // The pids of display `id`'s X server and session command, or -1.
    int serverProcess(uint32_t id) const;
    int sessionProcess(uint32_t id) const;

private:
    struct Entry;
    void startSession(Entry& entry, double scale);
    std::shared_ptr<Entry> takeKept(int width, int height, int dpi);
    static void end(const std::shared_ptr<Entry>& entry);
    static DisplayInfo infoOf(uint32_t id, const Entry& entry);
    uint32_t mainLocked() const;

    Options options_;
    mutable std::mutex mutex_;
    std::map<uint32_t, std::shared_ptr<Entry>> entries_;
    std::shared_ptr<Entry> kept_;  // the last removed display's desktop
    uint32_t nextId_ = 1;
};

}  // namespace tarvello
