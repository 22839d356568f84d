#include "platform/linux/gnome/display_config.h"

#include <systemd/sd-bus.h>

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>

#include "platform/linux/gnome/mutter_session.h"
#include "platform/linux/sd_bus_reply.h"

namespace tarvello::gnome {

namespace {

constexpr const char* kService = "org.gnome.Mutter.DisplayConfig";
constexpr const char* kPath = "/org/gnome/Mutter/DisplayConfig";
constexpr const char* kInterface = "org.gnome.Mutter.DisplayConfig";
constexpr uint32_t kTemporary = 1;
constexpr uint32_t kPhysicalLayout = 2;

using sdbus::describe;
using sdbus::Reply;

bool rotated(uint32_t transform) {
    // 90° and 270°, flipped or not.
    return transform % 2 == 1;
}

// Reads the a{sv} the message is at, keeping the value of `key` when it has type `t`.
template <typename T>
int readDict(sd_bus_message* m, const char* key, char t, T* out, bool* found) {
    int r = sd_bus_message_enter_container(m, 'a', "{sv}");
    if (r < 0) return r;
    while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
        const char* k = nullptr;
        if ((r = sd_bus_message_read(m, "s", &k)) < 0) return r;
        const char sig[2] = {t, 0};
        if (std::string_view(k) == key && sd_bus_message_verify_type(m, 'v', sig) > 0) {
            if ((r = sd_bus_message_enter_container(m, 'v', sig)) < 0) return r;
            if ((r = sd_bus_message_read_basic(m, t, out)) < 0) return r;
            if ((r = sd_bus_message_exit_container(m)) < 0) return r;
            *found = true;
        } else if ((r = sd_bus_message_skip(m, "v")) < 0) {
            return r;
        }
        if ((r = sd_bus_message_exit_container(m)) < 0) return r;
    }
    if (r < 0) return r;
    return sd_bus_message_exit_container(m);
}

int readMonitors(sd_bus_message* m, std::vector<Monitor>& out) {
    int r = sd_bus_message_enter_container(m, 'a', "((ssss)a(siiddada{sv})a{sv})");
    if (r < 0) return r;
    while ((r = sd_bus_message_enter_container(m, 'r', "(ssss)a(siiddada{sv})a{sv}")) > 0) {
        Monitor mon;
        const char *connector = nullptr, *vendor = nullptr, *product = nullptr, *serial = nullptr;
        if ((r = sd_bus_message_read(m, "(ssss)", &connector, &vendor, &product, &serial)) < 0) return r;
        mon.connector = connector;
        if ((r = sd_bus_message_enter_container(m, 'a', "(siiddada{sv})")) < 0) return r;
        while ((r = sd_bus_message_enter_container(m, 'r', "siiddada{sv}")) > 0) {
            MonitorMode mode;
            const char* id = nullptr;
            double preferred = 1;
            if ((r = sd_bus_message_read(m, "siidd", &id, &mode.width, &mode.height, &mode.refresh,
                                         &preferred)) < 0)
                return r;
            mode.id = id;
            const void* scales = nullptr;
            size_t bytes = 0;
            if ((r = sd_bus_message_read_array(m, 'd', &scales, &bytes)) < 0) return r;
            const auto* d = static_cast<const double*>(scales);
            mode.scales.assign(d, d + bytes / sizeof(double));
            int current = 0;
            bool found = false;
            if ((r = readDict(m, "is-current", 'b', &current, &found)) < 0) return r;
            mode.current = found && current;
            mon.modes.push_back(std::move(mode));
            if ((r = sd_bus_message_exit_container(m)) < 0) return r;
        }
        if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0) return r;
        if ((r = sd_bus_message_skip(m, "a{sv}")) < 0) return r;
        if ((r = sd_bus_message_exit_container(m)) < 0) return r;
        out.push_back(std::move(mon));
    }
    if (r < 0) return r;
    return sd_bus_message_exit_container(m);
}

int readLayout(sd_bus_message* m, const std::vector<Monitor>& monitors, Layout& out) {
    int r = sd_bus_message_enter_container(m, 'a', "(iiduba(ssss)a{sv})");
    if (r < 0) return r;
    while ((r = sd_bus_message_enter_container(m, 'r', "iiduba(ssss)a{sv}")) > 0) {
        LogicalMonitor lm;
        int primary = 0;
        if ((r = sd_bus_message_read(m, "iidub", &lm.x, &lm.y, &lm.scale, &lm.transform, &primary)) < 0)
            return r;
        lm.primary = primary;
        if ((r = sd_bus_message_enter_container(m, 'a', "(ssss)")) < 0) return r;
        const char *connector = nullptr, *vendor = nullptr, *product = nullptr, *serial = nullptr;
        while ((r = sd_bus_message_read(m, "(ssss)", &connector, &vendor, &product, &serial)) > 0) {
            std::string mode;
            for (const auto& mon : monitors) {
                if (mon.connector != connector) continue;
                if (const auto* c = mon.currentMode()) mode = c->id;
            }
            lm.monitors.emplace_back(connector, mode);
        }
        if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0) return r;
        if ((r = sd_bus_message_skip(m, "a{sv}")) < 0) return r;
        if ((r = sd_bus_message_exit_container(m)) < 0) return r;
        out.push_back(std::move(lm));
    }
    if (r < 0) return r;
    return sd_bus_message_exit_container(m);
}

const Monitor* findMonitor(const MonitorsState& state, const std::string& connector) {
    for (const auto& m : state.monitors)
        if (m.connector == connector) return &m;
    return nullptr;
}

}  // namespace

const MonitorMode* Monitor::currentMode() const {
    for (const auto& m : modes)
        if (m.current) return &m;
    return nullptr;
}

double nearestScale(const std::vector<double>& supported, double wanted) {
    if (supported.empty()) return std::max(1.0, std::round(wanted));
    return *std::min_element(supported.begin(), supported.end(), [wanted](double a, double b) {
        return std::abs(a - wanted) < std::abs(b - wanted);
    });
}

int layoutWidth(const LogicalMonitor& lm, const MonitorsState& state) {
    if (lm.monitors.empty()) return 0;
    const Monitor* mon = findMonitor(state, lm.monitors.front().first);
    if (!mon) return 0;
    const MonitorMode* mode = nullptr;
    for (const auto& m : mon->modes)
        if (m.id == lm.monitors.front().second) mode = &m;
    if (!mode) mode = mon->currentMode();
    if (!mode) return 0;
    const int w = rotated(lm.transform) ? mode->height : mode->width;
    if (state.physical || !(lm.scale > 0)) return w;
    return int(std::lround(w / lm.scale));
}

std::optional<Layout> placeFirst(const MonitorsState& state, const std::string& connector, double scale) {
    const Monitor* mon = findMonitor(state, connector);
    if (!mon || !mon->currentMode()) return std::nullopt;
    const MonitorMode& mode = *mon->currentMode();
    Layout out;
    out.push_back({0, 0, nearestScale(mode.scales, scale), 0, true, {{connector, mode.id}}});
    int x = layoutWidth(out.front(), state);
    Layout others;
    for (const auto& lm : state.layout) {
        const bool ours = std::any_of(lm.monitors.begin(), lm.monitors.end(),
                                      [&](const auto& c) { return c.first == connector; });
        if (!ours) others.push_back(lm);
    }
    std::stable_sort(others.begin(), others.end(),
                     [](const auto& a, const auto& b) { return a.x != b.x ? a.x < b.x : a.y < b.y; });
    for (auto lm : others) {
        lm.x = x;
        lm.y = 0;
        lm.primary = false;
        x += layoutWidth(lm, state);
        out.push_back(std::move(lm));
    }
    return out;
}

std::optional<Layout> restorable(const Layout& saved, const MonitorsState& state) {
    Layout out;
    for (auto lm : saved) {
        auto& list = lm.monitors;
        list.erase(std::remove_if(list.begin(), list.end(),
                                  [&](const auto& c) { return findMonitor(state, c.first) == nullptr; }),
                   list.end());
        if (list.empty()) continue;
        for (auto& [connector, mode] : list) {
            const Monitor* mon = findMonitor(state, connector);
            const bool known = std::any_of(mon->modes.begin(), mon->modes.end(),
                                           [&](const MonitorMode& m) { return m.id == mode; });
            if (!known && mon->currentMode()) mode = mon->currentMode()->id;
        }
        out.push_back(std::move(lm));
    }
    if (out.empty()) return std::nullopt;
    if (std::none_of(out.begin(), out.end(), [](const auto& lm) { return lm.primary; }))
        out.front().primary = true;
    return out;
}

std::string encodeLayout(const Layout& layout) {
    auto list = nlohmann::json::array();
    for (const auto& lm : layout) {
        auto monitors = nlohmann::json::array();
        for (const auto& [connector, mode] : lm.monitors) monitors.push_back({connector, mode});
        list.push_back({{"x", lm.x},
                        {"y", lm.y},
                        {"scale", lm.scale},
                        {"transform", lm.transform},
                        {"primary", lm.primary},
                        {"monitors", monitors}});
    }
    return list.dump();
}

std::optional<Layout> decodeLayout(const std::string& text) {
    const auto j = nlohmann::json::parse(text, nullptr, false);
    if (!j.is_array() || j.empty()) return std::nullopt;
    Layout out;
    try {
        for (const auto& e : j) {
            LogicalMonitor lm;
            lm.x = e.at("x").get<int>();
            lm.y = e.at("y").get<int>();
            lm.scale = e.at("scale").get<double>();
            lm.transform = e.at("transform").get<uint32_t>();
            lm.primary = e.at("primary").get<bool>();
            for (const auto& m : e.at("monitors"))
                lm.monitors.emplace_back(m.at(0).get<std::string>(), m.at(1).get<std::string>());
            if (lm.monitors.empty() || !(lm.scale > 0) || lm.transform > 7) return std::nullopt;
            out.push_back(std::move(lm));
        }
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
    return out;
}

std::optional<MonitorsState> DisplayConfig::state(std::string& error) {
    std::lock_guard lock(bus_->mutex());
    Reply reply;
    int r = sd_bus_call_method(bus_->get(), kService, kPath, kInterface, "GetCurrentState", &reply.error,
                               &reply.message, "");
    MonitorsState s;
    if (r >= 0) r = sd_bus_message_read(reply.message, "u", &s.serial);
    if (r >= 0) r = readMonitors(reply.message, s.monitors);
    if (r >= 0) r = readLayout(reply.message, s.monitors, s.layout);
    uint32_t mode = 0;
    bool found = false;
    if (r >= 0) r = readDict(reply.message, "layout-mode", 'u', &mode, &found);
    if (r < 0) {
        error = "GetCurrentState failed: " + describe(reply.error, r);
        return std::nullopt;
    }
    s.physical = found && mode == kPhysicalLayout;
    return s;
}

bool DisplayConfig::apply(uint32_t serial, const Layout& layout, std::string& error) {
    std::lock_guard lock(bus_->mutex());
    sd_bus_message* m = nullptr;
    int r =
        sd_bus_message_new_method_call(bus_->get(), &m, kService, kPath, kInterface, "ApplyMonitorsConfig");
    if (r >= 0) r = sd_bus_message_append(m, "uu", serial, kTemporary);
    if (r >= 0) r = sd_bus_message_open_container(m, 'a', "(iiduba(ssa{sv}))");
    for (const auto& lm : layout) {
        if (r >= 0) r = sd_bus_message_open_container(m, 'r', "iiduba(ssa{sv})");
        if (r >= 0)
            r = sd_bus_message_append(m, "iidub", lm.x, lm.y, lm.scale, lm.transform, int(lm.primary));
        if (r >= 0) r = sd_bus_message_open_container(m, 'a', "(ssa{sv})");
        for (const auto& [connector, mode] : lm.monitors)
            if (r >= 0) r = sd_bus_message_append(m, "(ssa{sv})", connector.c_str(), mode.c_str(), 0);
        if (r >= 0) r = sd_bus_message_close_container(m);
        if (r >= 0) r = sd_bus_message_close_container(m);
    }
    if (r >= 0) r = sd_bus_message_close_container(m);
    if (r >= 0) r = sd_bus_message_append(m, "a{sv}", 0);
    Reply reply;
    if (r >= 0) r = sd_bus_call(bus_->get(), m, 0, &reply.error, &reply.message);
    sd_bus_message_unref(m);
    if (r < 0) error = "ApplyMonitorsConfig failed: " + describe(reply.error, r);
    return r >= 0;
}

}  // namespace tarvello::gnome
