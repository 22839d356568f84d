#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/fit_rect.h"
#include "platform/capture.h"

namespace tarvello {

class LinuxDisplay;

// The part of an X screen a display shows, in root-window pixels.
struct CaptureArea {
    std::string connection;                   // X display name
    int x = 0, y = 0, width = 0, height = 0;  // width or height 0: the whole screen
    // The picture keeps the area's shape, centred between black bars; otherwise the area
    // is stretched over the whole output.
    bool letterbox = false;
};

// Captures an area of an X screen: XShm grabs, taken only when XDamage reports a change
// there (or the cursor moved, when it is drawn), at most `fps` a second, scaled and
// converted to NV12 video range (BT.601) by a FrameConverter.
class LinuxCapture final : public CaptureFacility {
public:
    // The area of a display; nothing when it is unknown or has gone.
    using AreaOf = std::function<std::optional<CaptureArea>(uint32_t display)>;
    using Shareable = std::function<std::vector<uint32_t>()>;

    // The whole screens of the private servers of `displays`.
    explicit LinuxCapture(std::shared_ptr<LinuxDisplay> displays);
    LinuxCapture(Shareable shareable, AreaOf areaOf);
    std::vector<uint32_t> shareableDisplays(std::string& error) override;
    std::unique_ptr<CaptureSource> makeSource(Queue& queue) override;

private:
    Shareable shareable_;
    AreaOf areaOf_;
};

}  // namespace tarvello
