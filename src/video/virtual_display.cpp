#include "video/virtual_display.h"

#include <cmath>
#include <string>

#include "app/log.h"
#include "app/text_format.h"

namespace tarvello {

namespace {

constexpr double kPixelsPerInch = 460;
constexpr uint32_t kVendorID = 0x504E;
constexpr uint32_t kProductID = 0x544C;
constexpr int kMaxListed = 16;

std::string sizeText(long long w, long long h) {
    return std::to_string(w) + "×" + std::to_string(h);
}

std::string resultText(int code) {
    return code == 0 ? "ok" : "error " + std::to_string(code);
}

// One side in points, or nothing when the quotient cannot be a display side.
std::optional<double> pointSide(int pixels, double uiScale) {
    const double q = pixels / uiScale;
    if (!std::isfinite(q) || q <= -1 || q >= 4294967296.0) return std::nullopt;
    const double rounded = std::round(q);
    if (rounded < 0) return std::nullopt;
    const uint32_t even = static_cast<uint32_t>(rounded) & ~uint32_t{1};
    // The display facility takes signed 32-bit sides, and the backing is twice the side.
    if (even >= (uint32_t{1} << 30)) return std::nullopt;
    return static_cast<double>(even);
}

}  // namespace

VirtualDisplay::VirtualDisplay(std::shared_ptr<DisplayFacility> facility) : facility_(std::move(facility)) {}

VirtualDisplay::~VirtualDisplay() {
    teardown();
}

std::optional<VirtualDisplay::Size> VirtualDisplay::pointSizeFor(int pixelWidth, int pixelHeight,
                                                                 double uiScale) {
    if (!std::isfinite(uiScale) || uiScale <= 0) return std::nullopt;
    auto w = pointSide(pixelWidth, uiScale), h = pointSide(pixelHeight, uiScale);
    if (!w || !h) return std::nullopt;
    return Size{*w, *h};
}

bool VirtualDisplay::create(int width, int height, double refreshRate, double uiScale, bool mirror) {
    teardown();

    const int pixelW = width & ~1, pixelH = height & ~1;
    pixelSize_ = {double(pixelW), double(pixelH)};

    VirtualDisplayDescriptor descriptor;
    descriptor.name = "Pontel";
    descriptor.widthMillimeters = pixelW * 25.4 / kPixelsPerInch;
    descriptor.heightMillimeters = pixelH * 25.4 / kPixelsPerInch;
    descriptor.vendorID = kVendorID;
    descriptor.productID = kProductID;
    // Each size gets its own serial, so no stored arrangement of another size is reused.
    descriptor.serialNum = (static_cast<uint32_t>(pixelW) << 16) ^ static_cast<uint32_t>(pixelH);

    const auto points = pointSizeFor(pixelW, pixelH, uiScale);
    if (!points) {
        log("Virtual display not created: text scale " + formatShortestDouble(uiScale) + " does not fit " +
            sizeText(pixelW, pixelH) + " px");
        return false;
    }
    const int pointW = int(points->width), pointH = int(points->height);
    if (!std::isfinite(refreshRate) || refreshRate <= 0) refreshRate = 60;

    VirtualDisplaySettings settings;
    settings.hiDPI = true;
    settings.modes.push_back({pointW, pointH, 0, 0, refreshRate});
    if (refreshRate > 60) settings.modes.push_back({pointW, pointH, 0, 0, 60.0});
    pointSize_ = *points;

    descriptor.maxPixelsWide = 2 * pointW;
    descriptor.maxPixelsHigh = 2 * pointH;
    descriptor.phonePixelsWide = pixelW;
    descriptor.phonePixelsHigh = pixelH;

    const auto id = facility_->createVirtualDisplay(descriptor);
    if (!id) {
        log("Could not create the virtual display");
        return false;
    }
    if (!facility_->applySettings(*id, settings)) {
        log("Virtual display settings rejected");
        facility_->removeVirtualDisplay(*id);
        return false;
    }
    display_ = *id;
    log("Virtual display " + std::to_string(*id) + " created: " + sizeText(pixelW, pixelH) + " px, scale " +
        formatShortestDouble(uiScale));

    facility_->pause(0.3);
    arrangeDisplays(mirror);
    facility_->pause(0.2);
    selectHiDPIMode();
    return true;
}

void VirtualDisplay::arrangeDisplays(bool mirror) {
    const uint32_t id = displayID();
    if (id == 0) return;

    auto listed = facility_->displays();
    if (listed.size() > kMaxListed) listed.resize(kMaxListed);
    std::vector<DisplayInfo> others;
    double virtualWidth = 0;
    for (const auto& d : listed) {
        if (d.id == id) {
            virtualWidth = d.bounds.width;
        } else {
            others.push_back(d);
        }
    }

    auto config = facility_->beginConfiguration();
    if (!config) return;
    config->setOrigin(id, 0, 0);
    auto x = static_cast<int32_t>(virtualWidth);
    for (const auto& d : others) {
        config->setMirror(d.id, 0);
        config->setOrigin(d.id, x, 0);
        x += static_cast<int32_t>(d.bounds.width);
    }
    log("Virtual display set as main: " + resultText(facility_->completeConfiguration(*config)));

    if (!mirror) return;
    facility_->pause(0.2);
    auto mirroring = facility_->beginConfiguration();
    if (!mirroring) return;
    for (const auto& d : others) mirroring->setMirror(d.id, id);
    const int rc = facility_->completeConfiguration(*mirroring);
    log("Mirroring other displays: " +
        (rc == 0 ? std::string("ok") : resultText(rc) + " (staying extended)"));
}

void VirtualDisplay::selectHiDPIMode() {
    const uint32_t id = displayID();
    if (id == 0) return;

    const int pointW = int(pointSize_.width), pointH = int(pointSize_.height);
    std::optional<DisplayMode> chosen;
    if (auto all = facility_->modes(id)) {
        for (const auto& m : *all) {
            if (m.width != pointW || m.height != pointH || m.pixelWidth <= m.width) continue;
            if (!chosen || m.refreshRate > chosen->refreshRate) chosen = m;
        }
    }
    if (!chosen) {
        log("HiDPI mode " + sizeText(pointW, pointH) + " not found");
        return;
    }

    auto config = facility_->beginConfiguration();
    if (!config) return;
    config->setMode(id, *chosen);
    const int rc = facility_->completeConfiguration(*config);
    if (auto current = facility_->currentMode(id)) {
        log("Active mode (" + resultText(rc) + "): " + sizeText(current->width, current->height) +
            " points, " + sizeText(current->pixelWidth, current->pixelHeight) + " px");
    }
}

void VirtualDisplay::teardown() {
    if (!display_) return;
    const uint32_t id = *display_;
    log("Virtual display " + std::to_string(id) + " removed");
    display_.reset();
    facility_->removeVirtualDisplay(id);
}

}  // namespace tarvello
