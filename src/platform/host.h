#pragma once

#include <cstdint>
#include <optional>

#include "protocol/messages.h"

namespace tarvello {

// Permission and lock state of the host. Any queue; calls are cheap.
class HostFacility {
public:
    virtual ~HostFacility() = default;
    virtual bool screenRecordingAllowed() = 0;
    virtual bool accessibilityTrusted() = 0;
    virtual bool sessionLocked() = 0;
    // Holds or releases the keep-awake assertion. Returns false when it could not be taken.
    virtual bool setKeepAwake(bool on) = 0;
};

}  // namespace tarvello
