#pragma once

#include <cstdint>
#include <optional>
#include <string>
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
    // X display name (":17") when the display is the screen of an X server; empty otherwise.
    std::string connection;
};

// One mode of a display: its size in points and the pixels behind it. A mode whose
// pixel width exceeds its width is a HiDPI mode.
struct DisplayMode {
    int width = 0, height = 0;
    int pixelWidth = 0, pixelHeight = 0;
    double refreshRate = 0;
};

struct VirtualDisplayDescriptor {
    std::string name;
    double widthMillimeters = 0, heightMillimeters = 0;
    uint32_t vendorID = 0, productID = 0, serialNum = 0;
    // The largest backing the display must offer: twice the point size for HiDPI.
    int maxPixelsWide = 0, maxPixelsHigh = 0;
    // The phone's own pixels, for back-ends whose monitor has exactly the phone's size.
    int phonePixelsWide = 0, phonePixelsHigh = 0;
};

struct VirtualDisplaySettings {
    bool hiDPI = false;
    std::vector<DisplayMode> modes;  // width, height (points) and refreshRate are read
};

// Changes to the display arrangement, applied together by completeConfiguration.
struct DisplayConfiguration {
    struct Change {
        enum class Kind { origin, mirror, mode };
        Kind kind = Kind::origin;
        uint32_t display = 0;
        int x = 0, y = 0;       // origin
        uint32_t mirrorOf = 0;  // mirror; 0 ends mirroring
        DisplayMode mode;       // mode
    };
    std::vector<Change> changes;

    void setOrigin(uint32_t display, int x, int y) {
        changes.push_back({Change::Kind::origin, display, x, y, 0, {}});
    }
    void setMirror(uint32_t display, uint32_t of) {
        changes.push_back({Change::Kind::mirror, display, 0, 0, of, {}});
    }
    void setMode(uint32_t display, const DisplayMode& m) {
        changes.push_back({Change::Kind::mode, display, 0, 0, 0, m});
    }
};

// Creates and removes virtual displays, lists the online displays and arranges them.
// Creation, settings, configuration and pause are called on the main queue only; the
// listing calls (displays, mainDisplay, modes) may come from any queue. The facility owns
// what it creates until it is removed, and removes what is left when destroyed.
class DisplayFacility {
public:
    virtual ~DisplayFacility() = default;

    // Returns the new display's id (never 0), or nothing when the system refuses.
    virtual std::optional<uint32_t> createVirtualDisplay(const VirtualDisplayDescriptor& descriptor) = 0;
    // False when the settings are refused; the display then stays as it was.
    virtual bool applySettings(uint32_t id, const VirtualDisplaySettings& settings) = 0;
    virtual void removeVirtualDisplay(uint32_t id) = 0;

    // The display at the origin of the global space; 0 when there is none.
    virtual uint32_t mainDisplay() const = 0;
    // Online displays, main display first.
    virtual std::vector<DisplayInfo> displays() const = 0;
    // Every mode of a display, duplicate low-resolution ones included; nothing when the
    // display is unknown.
    virtual std::optional<std::vector<DisplayMode>> modes(uint32_t id) const = 0;
    virtual std::optional<DisplayMode> currentMode(uint32_t id) const = 0;

    // Nothing when a configuration cannot be begun.
    virtual std::optional<DisplayConfiguration> beginConfiguration() = 0;
    // Applies every change for this login session; 0 on success, else an error code.
    virtual int completeConfiguration(const DisplayConfiguration& configuration) = 0;

    // Lets the system settle after a display change. Blocks the caller.
    virtual void pause(double seconds) = 0;
};

}  // namespace tarvello
