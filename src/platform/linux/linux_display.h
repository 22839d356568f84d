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

// Virtual displays as private Xvfb servers. Each display's X screen is its HiDPI
// backing (maxPixelsWide × maxPixelsHigh, twice the point size) at twice the usual
// density, and its modes are the point sizes backed by that screen. The session command
// runs on each display and ends with it. Only the displays made here are listed: the
// private servers share no screen with any other display.
class LinuxDisplay final : public DisplayFacility {
public:
    struct Options {
        std::string xvfbPath;  // empty: Xvfb on PATH
        // The stored sessionCommand setting, read at each creation; nothing when unset.
        std::function<std::optional<std::string>()> sessionCommand;
        int dpi = 192;  // twice the usual 96, as the backing is twice the point size
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
    void startSession(Entry& entry);
    static DisplayInfo infoOf(uint32_t id, const Entry& entry);
    uint32_t mainLocked() const;

    Options options_;
    mutable std::mutex mutex_;
    std::map<uint32_t, std::shared_ptr<Entry>> entries_;
    uint32_t nextId_ = 1;
};

}  // namespace tarvello
