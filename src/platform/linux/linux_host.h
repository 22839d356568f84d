#pragma once

#include <map>
#include <memory>
#include <mutex>

#include "platform/host.h"

namespace tarvello {

class LinuxDisplay;

// Permissions as X grants them: screen recording when the session display opens and
// its screen can be read, accessibility when it offers XTEST. Before any display
// exists, both follow whether a display can be made (Xvfb is there). Each display is
// probed once. Locking and keep-awake are not built here yet.
class LinuxHost final : public HostFacility {
public:
    LinuxHost(std::shared_ptr<LinuxDisplay> displays, bool canMakeDisplays);
    bool screenRecordingAllowed() override;
    bool accessibilityTrusted() override;
    bool sessionLocked() override { return false; }
    bool setKeepAwake(bool on) override;

private:
    struct Probe {
        bool opens = false, captures = false, xtest = false;
    };
    Probe probe();

    std::shared_ptr<LinuxDisplay> displays_;
    const bool canMakeDisplays_;
    std::mutex mutex_;
    std::map<std::string, Probe> probed_;  // by X display name
};

}  // namespace tarvello
