#pragma once

#include <map>
#include <memory>
#include <mutex>

#include "platform/display.h"
#include "platform/host.h"

namespace tarvello {

class Logind;

// Permissions as X grants them: screen recording when the session display opens and
// its screen can be read, accessibility when it offers XTEST. Before any display
// exists, both follow whether a display can be made (Xvfb is there). Each display is
// probed once. The lock state is the login manager's hint for the user's session;
// without a manager or session (or without `logind`) the session counts as unlocked.
class LinuxHost final : public HostFacility {
public:
    LinuxHost(std::shared_ptr<const DisplayFacility> displays, bool canMakeDisplays,
              std::shared_ptr<Logind> logind = nullptr);
    bool screenRecordingAllowed() override;
    bool accessibilityTrusted() override;
    bool sessionLocked() override;

private:
    struct Probe {
        bool opens = false, captures = false, xtest = false;
    };
    Probe probe();

    std::shared_ptr<const DisplayFacility> displays_;
    const bool canMakeDisplays_;
    std::shared_ptr<Logind> logind_;
    std::mutex mutex_;
    std::map<std::string, Probe> probed_;  // by X display name
    bool lockFailureLogged_ = false;
};

}  // namespace tarvello
