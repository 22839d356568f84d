#pragma once

#include <cstdint>
#include <memory>

#include "platform/display.h"

namespace tarvello {

// The session's display: created for the phone's pixel size, presented at half
// density of its backing. Called on the main queue only.
class VirtualDisplay {
public:
    explicit VirtualDisplay(std::shared_ptr<DisplayFacility> facility);

    // Replaces any display this object holds. Returns false when none could be made.
    bool create(int pixelWidth, int pixelHeight, int fps, double uiScale, bool mirror);
    void teardown();
    // 0 when there is none.
    uint32_t displayID() const { return id_; }

private:
    std::shared_ptr<DisplayFacility> facility_;
    uint32_t id_ = 0;
};

}  // namespace tarvello
