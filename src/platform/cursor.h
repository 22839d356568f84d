#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace tarvello {

// The pointer's current picture: RGBA pixels with straight alpha, the hot spot in
// pixels from the top left, and how many pixels make one point of the display it shows on.
struct CursorImage {
    int width = 0, height = 0;
    int hotX = 0, hotY = 0;
    double scale = 1.0;
    std::vector<uint8_t> rgba;  // width × height × 4 bytes, rows top to bottom
};

// The session display's pointer picture. Called on the main queue only, at 20 Hz while a
// session runs, so each call is cheap.
class CursorFacility {
public:
    virtual ~CursorFacility() = default;
    // Nothing when no pointer picture can be read (no display yet, display gone).
    virtual std::optional<CursorImage> current() = 0;
};

}  // namespace tarvello
