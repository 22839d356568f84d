#pragma once

#include <algorithm>
#include <memory>
#include <optional>
#include <string>

#include "platform/linux/gnome/display_config.h"
#include "platform/linux/gnome/mutter_session.h"

namespace tarvello::test {

// Regions by connector, so layouts compare whatever order Mutter lists them in.
inline gnome::Layout sortedLayout(gnome::Layout l) {
    std::sort(l.begin(), l.end(), [](const auto& a, const auto& b) { return a.monitors < b.monitors; });
    return l;
}

// Mutter's monitors and their layout now, the layout sorted; nothing (and why) when it
// does not answer.
inline std::optional<gnome::MonitorsState> mutterState(const std::shared_ptr<gnome::MutterBus>& bus,
                                                       std::string& error) {
    auto s = gnome::DisplayConfig(bus).state(error);
    if (s) s->layout = sortedLayout(std::move(s->layout));
    return s;
}

}  // namespace tarvello::test
