#pragma once

namespace tarvello {

// Permission and lock state of the host. Called on the server queue (and once at
// start-up from the thread that starts the server); each call answers now, without
// caching what may change.
class HostFacility {
public:
    virtual ~HostFacility() = default;
    virtual bool screenRecordingAllowed() = 0;
    virtual bool accessibilityTrusted() = 0;
    // The user's login session is locked; false when that cannot be known.
    virtual bool sessionLocked() = 0;
};

}  // namespace tarvello
