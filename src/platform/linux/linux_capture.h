#pragma once

#include <memory>

#include "platform/capture.h"

namespace tarvello {

class LinuxDisplay;

// Captures the displays of a LinuxDisplay: XShm grabs of the X screen, taken only when
// XDamage reports a change (or the cursor moved, when it is drawn), at most `fps` a
// second, scaled and converted to NV12 video range (BT.601) by a FrameConverter.
class LinuxCapture final : public CaptureFacility {
public:
    explicit LinuxCapture(std::shared_ptr<LinuxDisplay> displays);
    std::vector<uint32_t> shareableDisplays(std::string& error) override;
    std::unique_ptr<CaptureSource> makeSource(Queue& queue) override;

private:
    std::shared_ptr<LinuxDisplay> displays_;
};

}  // namespace tarvello
