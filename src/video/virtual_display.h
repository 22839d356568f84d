#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "platform/display.h"

namespace tarvello {

// The session's display: the phone's pixel size, presented in points (pixels divided by
// the text scale) on a HiDPI backing of twice the point size (or, where the facility
// draws at the phone's pixels itself, on those pixels), made the main display.
// Called on the main queue only; create blocks for the facility's two settling pauses.
class VirtualDisplay {
public:
    struct Size {
        double width = 0, height = 0;
        bool operator==(const Size&) const = default;
    };

    explicit VirtualDisplay(std::shared_ptr<DisplayFacility> facility);
    ~VirtualDisplay();
    VirtualDisplay(const VirtualDisplay&) = delete;
    VirtualDisplay& operator=(const VirtualDisplay&) = delete;

    // Removes the display this object holds, then makes one for width × height pixels.
    // Returns true when the display exists and its settings were accepted.
    bool create(int width, int height, double refreshRate, double uiScale, bool mirror);
    void teardown();

    // 0 when there is none.
    uint32_t displayID() const { return display_.value_or(0); }
    Size pixelSize() const { return pixelSize_; }
    Size pointSize() const { return pointSize_; }

    // Point size for a pixel size and scale: rounded half away from zero, then even.
    // Nothing when the scale is not positive and finite or a side is out of range.
    static std::optional<Size> pointSizeFor(int pixelWidth, int pixelHeight, double uiScale);

private:
    void arrangeDisplays(bool mirror);
    void selectHiDPIMode();

    std::shared_ptr<DisplayFacility> facility_;
    std::optional<uint32_t> display_;
    Size pixelSize_;
    Size pointSize_;
};

}  // namespace tarvello
