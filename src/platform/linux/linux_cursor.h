#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

#include "platform/cursor.h"

namespace tarvello {

class LinuxDisplay;
class XConnection;

// The pointer picture of the session display (the main display made by `displays`), as
// XFixes reports it. Main queue only; the connection follows the display as sessions come
// and go.
class LinuxCursor final : public CursorFacility {
public:
    explicit LinuxCursor(std::shared_ptr<LinuxDisplay> displays);
    ~LinuxCursor() override;
    std::optional<CursorImage> current() override;

private:
    std::shared_ptr<LinuxDisplay> displays_;
    std::unique_ptr<XConnection> x_;
    bool xfixes_ = false;
};

// XFixes pixels (premultiplied ARGB, one per unsigned long) to straight RGBA bytes.
std::vector<uint8_t> straightRgbaFromArgb(const unsigned long* pixels, size_t count);

}  // namespace tarvello
