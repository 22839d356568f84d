#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace tarvello {

struct DisplayRect {
    double x = 0, y = 0, width = 0, height = 0;
};

struct DisplayInfo {
    uint32_t id = 0;
    DisplayRect bounds;  // points
    int pixelWidth = 0, pixelHeight = 0;
    bool isVirtual = false;
};

// Creates and removes virtual displays and lists the displays there are.
// Called on the main queue only. The facility owns what it creates until removed.
class DisplayFacility {
public:
    virtual ~DisplayFacility() = default;
    // A display of pixelWidth × pixelHeight backing at `refreshRate`, presented as
    // pointWidth × pointHeight points. Returns its id, or nothing on failure.
    virtual std::optional<uint32_t> createVirtualDisplay(int pixelWidth, int pixelHeight, double pointWidth,
                                                         double pointHeight, int refreshRate) = 0;
    virtual void removeVirtualDisplay(uint32_t id) = 0;
    virtual uint32_t mainDisplay() const = 0;
    virtual std::vector<DisplayInfo> displays() const = 0;
};

}  // namespace tarvello
