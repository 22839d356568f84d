#pragma once

#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "base/child_process.h"
#include "base/video_frame.h"
#include "support/mutter_session.h"

namespace tarvello::test {

// The GTK window of a test (tests/fixtures/gtk_probe.py), fullscreen on the monitor of
// the size given on a headless Mutter; its reports read from its log.
class GtkProbe {
public:
    struct Widget {
        int x = 0, y = 0, width = 0, height = 0;
        double centreX() const { return x + width / 2.0; }
        double centreY() const { return y + height / 2.0; }
    };

    GtkProbe(const MutterDesktop& desktop, int width, int height)
        : log_(desktop.media.root /
               ("probe-" + std::to_string(width) + "x" + std::to_string(height) + ".log")) {
        ChildSpec spec;
        spec.path = "/usr/bin/python3";  // the system Python, where python3-gi lives
        spec.args = {spec.path, script(), std::to_string(width), std::to_string(height)};
        // Its accessibility bus is the one the desktop's session bus names, as for any
        // application of the user's, never one this process was told about.
        spec.env = environmentWith(desktop.clientEnv(), {"DISPLAY", "AT_SPI_BUS_ADDRESS", "NO_AT_BRIDGE"});
        spec.deathSignal = SIGKILL;
        spec.outputPath = log_.string();
        std::string error;
        pid_ = spawnChild(spec, error);
    }
    ~GtkProbe() {
        if (pid_ > 0) endChild(pid_, SIGTERM, 2.0, false);
    }
    GtkProbe(const GtkProbe&) = delete;
    GtkProbe& operator=(const GtkProbe&) = delete;

    static std::string script() {
        return (std::filesystem::path(__FILE__).parent_path() / "../fixtures/gtk_probe.py").string();
    }

    std::vector<std::string> lines() const {
        std::ifstream in(log_);
        std::vector<std::string> out;
        for (std::string line; std::getline(in, line);) out.push_back(line);
        return out;
    }
    std::string log() const {
        std::ifstream in(log_);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    bool said(const std::string& line) const {
        for (auto& l : lines())
            if (l == line) return true;
        return false;
    }
    int count(const std::string& line) const {
        int n = 0;
        for (auto& l : lines()) n += l == line;
        return n;
    }
    std::optional<std::pair<int, int>> lastClick() const {
        std::optional<std::pair<int, int>> click;
        for (auto& l : lines()) {
            int x = 0, y = 0;
            if (std::sscanf(l.c_str(), "click %d %d", &x, &y) == 2) click = {x, y};
        }
        return click;
    }
    // Where "window", "entry" or "button" lies in the window, once the probe said so.
    std::optional<Widget> widget(const std::string& name) const {
        for (auto& l : lines()) {
            Widget w;
            if (l.rfind(name + " ", 0) != 0) continue;
            const char* values = l.c_str() + name.size() + 1;
            if (name == "window" && std::sscanf(values, "%d %d", &w.width, &w.height) == 2) return w;
            if (std::sscanf(values, "%d %d %d %d", &w.x, &w.y, &w.width, &w.height) == 4) return w;
        }
        return std::nullopt;
    }

private:
    std::filesystem::path log_;
    pid_t pid_ = -1;
};

// BT.601 video range magenta, the probe window's colour.
inline bool magentaAt(const VideoFrame& f, int x, int y) {
    const int Y = f.y[size_t(y) * size_t(f.strideY) + size_t(x)];
    const int cb = f.uv[size_t(y / 2) * size_t(f.strideUV) + size_t(x & ~1)];
    const int cr = f.uv[size_t(y / 2) * size_t(f.strideUV) + size_t(x & ~1) + 1];
    return Y > 90 && Y < 125 && cb > 185 && cr > 200;
}
inline bool blackAt(const VideoFrame& f, int x, int y) {
    return f.y[size_t(y) * size_t(f.strideY) + size_t(x)] <= 20;
}

}  // namespace tarvello::test
