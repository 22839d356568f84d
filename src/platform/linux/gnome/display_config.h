#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarvello::gnome {

class MutterBus;

// One monitor as Mutter lists it: its connector and modes.
struct MonitorMode {
    std::string id;
    int width = 0, height = 0;
    double refresh = 0;
    std::vector<double> scales;  // the scales this mode supports
    bool current = false;
};
struct Monitor {
    std::string connector;
    std::vector<MonitorMode> modes;
    const MonitorMode* currentMode() const;
};

// A region of the desktop: one monitor, or several that mirror each other.
struct LogicalMonitor {
    int x = 0, y = 0;
    double scale = 1;
    uint32_t transform = 0;
    bool primary = false;
    std::vector<std::pair<std::string, std::string>> monitors;  // connector, mode id
    friend bool operator==(const LogicalMonitor&, const LogicalMonitor&) = default;
};
using Layout = std::vector<LogicalMonitor>;

struct MonitorsState {
    uint32_t serial = 0;
    std::vector<Monitor> monitors;
    Layout layout;
    // Positions in physical pixels rather than logical ones (Mutter's layout mode 2).
    bool physical = false;
};

// The scale in `supported` nearest to `wanted`; `wanted` rounded when none are listed.
double nearestScale(const std::vector<double>& supported, double wanted);

// Width of a region as positions count it.
int layoutWidth(const LogicalMonitor& m, const MonitorsState& state);

// The layout with `connector` the primary region at the origin, at `scale`, and every
// other region in a row to its right, top-aligned, each keeping its own scale and mode.
// Nothing when the connector is not listed.
std::optional<Layout> placeFirst(const MonitorsState& state, const std::string& connector, double scale);

// `saved` without the regions whose monitors are gone; nothing when none is left.
std::optional<Layout> restorable(const Layout& saved, const MonitorsState& state);

std::string encodeLayout(const Layout& layout);
std::optional<Layout> decodeLayout(const std::string& text);

// Mutter's display configuration interface on a session bus.
class DisplayConfig {
public:
    explicit DisplayConfig(std::shared_ptr<MutterBus> bus) : bus_(std::move(bus)) {}
    std::optional<MonitorsState> state(std::string& error);
    // Applies for this login session only, so Mutter's stored configuration stays the user's.
    bool apply(uint32_t serial, const Layout& layout, std::string& error);

private:
    std::shared_ptr<MutterBus> bus_;
};

}  // namespace tarvello::gnome
