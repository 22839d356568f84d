#include "video/virtual_display.h"

#include <cmath>
#include <string>

#include "app/log.h"
#include "app/text_format.h"

namespace tarvello {

VirtualDisplay::VirtualDisplay(std::shared_ptr<DisplayFacility> facility) : facility_(std::move(facility)) {}

bool VirtualDisplay::create(int pixelWidth, int pixelHeight, int fps, double uiScale, bool) {
    teardown();
    if (!std::isfinite(uiScale) || uiScale <= 0) uiScale = 2.5;
    const double pw = std::floor(pixelWidth / uiScale), ph = std::floor(pixelHeight / uiScale);
    auto id = facility_->createVirtualDisplay(pixelWidth, pixelHeight, pw, ph, fps);
    if (!id) {
        log("Virtual display creation failed");
        return false;
    }
    id_ = *id;
    log("Virtual display " + std::to_string(id_) + " created: " + std::to_string(pixelWidth) + "×" +
        std::to_string(pixelHeight) + " px, scale " + formatShortestDouble(uiScale));
    return true;
}

void VirtualDisplay::teardown() {
    if (id_ == 0) return;
    facility_->removeVirtualDisplay(id_);
    id_ = 0;
}

}  // namespace tarvello
