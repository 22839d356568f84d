#pragma once

#include <signal.h>

#include <string>
#include <vector>

#include "camera/pipewire_session.h"

namespace tarvello::test {

// A headless Mutter (Wayland only, one 1280×720 virtual monitor) on the private session
// bus of a PipeWire session, with its own runtime directory. Everything it starts ends
// with it.
class MutterDesktop {
public:
    static bool available() { return PipeWireSession::available() && !findOnPath("mutter").empty(); }

    // `monitors`: the sizes of the desktop's own monitors, left to right.
    bool start(const std::vector<std::string>& monitors = {"1280x720"}) {
        if (!media.start()) return false;
        std::vector<std::string> args{"--headless", "--wayland", "--no-x11"};
        for (const auto& m : monitors) {
            args.push_back("--virtual-monitor");
            args.push_back(m);
        }
        mutter_ = media.spawn("mutter", args, "mutter.log");
        // Ready once its remote desktop service owns its name and the Wayland socket is there.
        return PipeWireSession::waitFor(
            [&] {
                return std::filesystem::exists(media.runtime / "wayland-0") &&
                       media.run("busctl", {"--user", "status", "org.gnome.Mutter.RemoteDesktop"})
                               .find("PID=") != std::string::npos;
            },
            20);
    }

    // The desktop's accessibility bus, as a GNOME session has it: the launcher owns
    // org.a11y.Bus on the session bus and runs the bus its applications register on.
    bool startAccessibility() {
        ChildSpec spec;
        spec.path = "/usr/libexec/at-spi-bus-launcher";
        spec.args = {spec.path};
        // Not the bus this process may have been told about: the one the launcher starts.
        auto removed = media.removedEnv();
        removed.push_back("AT_SPI_BUS_ADDRESS");
        spec.env = environmentWith(media.env(), removed);
        spec.deathSignal = SIGKILL;
        spec.outputPath = (media.root / "a11y.log").string();
        std::string error;
        a11y_ = spawnChild(spec, error);
        return a11y_ > 0 &&
               PipeWireSession::waitFor(
                   [&] {
                       return media.run("busctl", {"--user", "status", "org.a11y.Bus"}).find("PID=") !=
                              std::string::npos;
                   },
                   10);
    }

    ~MutterDesktop() {
        // The launcher ends the bus it started as it goes.
        if (a11y_ > 0) endChild(a11y_, SIGTERM, 3.0, false);
        if (mutter_ > 0) endChild(mutter_, SIGTERM, 3.0, false);
    }

    std::string busAddress() const { return "unix:path=" + (media.root / "bus").string(); }

    // Environment for a Wayland client of this desktop.
    std::vector<std::string> clientEnv() const {
        auto env = media.env();
        env.push_back("WAYLAND_DISPLAY=wayland-0");
        env.push_back("GDK_BACKEND=wayland");
        return env;
    }

    PipeWireSession media;

private:
    pid_t mutter_ = -1;
    pid_t a11y_ = -1;
};

}  // namespace tarvello::test
