#include "platform/linux/linux_cursor.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>

#include <algorithm>
#include <string>

#include "platform/linux/x11.h"

namespace tarvello {

namespace {
// Larger pictures are not pointers; their PNG could not be sent anyway.
constexpr int kMaxSide = 512;
}  // namespace

std::vector<uint8_t> straightRgbaFromArgb(const unsigned long* pixels, size_t count) {
    std::vector<uint8_t> out(count * 4);
    for (size_t i = 0; i < count; ++i) {
        const auto argb = static_cast<uint32_t>(pixels[i]);
        const uint32_t a = argb >> 24;
        uint8_t* p = &out[i * 4];
        p[3] = uint8_t(a);
        if (a == 0) continue;  // fully transparent: colour carries nothing
        auto unpremultiply = [a](uint32_t c) {
            return uint8_t(std::min<uint32_t>(255, (c * 255 + a / 2) / a));
        };
        p[0] = unpremultiply((argb >> 16) & 0xFF);
        p[1] = unpremultiply((argb >> 8) & 0xFF);
        p[2] = unpremultiply(argb & 0xFF);
    }
    return out;
}

LinuxCursor::LinuxCursor(std::shared_ptr<const DisplayFacility> displays) : displays_(std::move(displays)) {}

LinuxCursor::~LinuxCursor() = default;

std::optional<CursorImage> LinuxCursor::current() {
    const uint32_t main = displays_->mainDisplay();
    std::optional<DisplayInfo> info;
    for (auto& d : displays_->displays()) {
        if (d.id == main) info = std::move(d);
    }
    if (!info || info->connection.empty() || !(info->bounds.width > 0)) {
        x_.reset();
        return std::nullopt;
    }
    if (!x_ || x_->lost() || x_->name() != info->connection) {
        x_.reset();
        std::string error;
        x_ = XConnection::open(info->connection, error);
        if (!x_) return std::nullopt;
        int event = 0, errorBase = 0;
        xfixes_ = XFixesQueryExtension(x_->get(), &event, &errorBase);
    }
    if (!xfixes_) return std::nullopt;

    XFixesCursorImage* raw = XFixesGetCursorImage(x_->get());
    if (!raw) return std::nullopt;
    std::optional<CursorImage> out;
    if (raw->width >= 1 && raw->height >= 1 && raw->width <= kMaxSide && raw->height <= kMaxSide) {
        CursorImage c;
        c.width = raw->width;
        c.height = raw->height;
        c.hotX = raw->xhot;
        c.hotY = raw->yhot;
        c.scale = info->pixelWidth / info->bounds.width;
        c.rgba = straightRgbaFromArgb(raw->pixels, size_t(raw->width) * size_t(raw->height));
        out = std::move(c);
    }
    XFree(raw);
    return out;
}

}  // namespace tarvello
