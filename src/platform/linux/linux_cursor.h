#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

#include "platform/cursor.h"
#include "platform/display.h"

namespace tarvello {

class XConnection;

// The pointer picture of the session display (the main display of `displays`, when it is
// an X screen), as XFixes reports it. Main queue only; the connection follows the display
// as sessions come and go.
class LinuxCursor final : public CursorFacility {
public:
    explicit LinuxCursor(std::shared_ptr<const DisplayFacility> displays);
    ~LinuxCursor() override;
    std::optional<CursorImage> current() override;

private:
    std::shared_ptr<const DisplayFacility> displays_;
    std::unique_ptr<XConnection> x_;
    bool xfixes_ = false;
};

// XFixes pixels (premultiplied ARGB, one per unsigned long) to straight RGBA bytes.
std::vector<uint8_t> straightRgbaFromArgb(const unsigned long* pixels, size_t count);

}  // namespace tarvello
