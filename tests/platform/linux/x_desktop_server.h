#pragma once

#include <X11/extensions/Xrandr.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "base/child_process.h"
#include "platform/linux/x11.h"
#include "platform/linux/xvfb_server.h"

namespace tarvello::test {

// An X server standing for the user's own desktop, not started the way the program
// starts its private servers. Xvfb keeps its screen size; Xvnc lets RandR resize it; Xorg
// with the dummy driver resizes too, and has unlit outputs besides the one it shows.
// Both take this process's cookie, and the client authority file lets a child process
// (which has a cookie of its own) in. Ended, with its directory, on destruction.
class DesktopServer {
public:
    enum class Kind { xvfb, xvnc, xorgDummy };

    static std::unique_ptr<DesktopServer> start(Kind kind, int width, int height, std::string& error) {
        presentProcessCookie();
        std::unique_ptr<DesktopServer> s(new DesktopServer);
        s->dir_ = makeScratchDirectory("tarvello-desktop-test");
        const std::string serverAuth = s->dir_ + "/server.auth";
        if (s->dir_.empty() || !writeXAuthority(serverAuth, -1, error)) return nullptr;
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return nullptr;
        ChildSpec spec;
        const std::string size = std::to_string(width) + "x" + std::to_string(height);
        if (kind == Kind::xvfb) {
            spec.path = findOnPath("Xvfb");
            spec.args = {"Xvfb", "-screen", "0", size + "x24"};
        } else if (kind == Kind::xorgDummy) {
            // Not on PATH: /usr/bin/Xorg is a wrapper that wants a console.
            spec.path = access("/usr/lib/xorg/Xorg", X_OK) == 0 ? "/usr/lib/xorg/Xorg" : "";
            const std::string config = s->dir_ + "/xorg.conf";
            if (!writeDummyConfig(config, width, height)) {
                error = "cannot write " + config;
                close(fds[0]);
                close(fds[1]);
                return nullptr;
            }
            // No input devices of its own (XTest's are always there), no console of its own.
            spec.args = {"Xorg",      "-config",     config,    "-logfile", s->dir_ + "/xorg.log",
                         "-sharevts", "-novtswitch", "-keeptty"};
        } else {
            spec.path = findOnPath("Xvnc");
            // No VNC listener: the test only needs the X side.
            spec.args = {"Xvnc", "-geometry",      size,  "-depth", "24", "-rfbport",
                         "-1",   "-SecurityTypes", "None"};
        }
        spec.args.insert(spec.args.end(), {"-displayfd", "3", "-dpi", "96", "-nolisten", "tcp", "-auth",
                                           serverAuth, "-noreset"});
        spec.env = environmentWith({});
        spec.outputPath = s->dir_ + "/server.log";
        spec.passFd = fds[1];
        if (spec.path.empty()) {
            error = spec.args[0] + " not found on PATH";
            close(fds[0]);
            close(fds[1]);
            return nullptr;
        }
        s->pid_ = spawnChild(spec, error);
        close(fds[1]);
        std::string text;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (s->pid_ > 0 && text.find('\n') == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            pollfd p{fds[0], POLLIN, 0};
            if (poll(&p, 1, 200) <= 0) continue;
            char buf[32];
            const ssize_t n = read(fds[0], buf, sizeof buf);
            if (n <= 0) break;
            text.append(buf, size_t(n));
        }
        close(fds[0]);
        if (text.find('\n') == std::string::npos) {
            error = spec.args[0] + " did not start";
            return nullptr;
        }
        s->number_ = std::atoi(text.c_str());
        if (!writeXAuthority(s->authority(), s->number_, error)) return nullptr;
        return s;
    }

    ~DesktopServer() {
        {
            std::lock_guard noOpenInFlight(connectionsLock());
            endChild(pid_, SIGTERM, 2.0, false);
        }
        removeScratchDirectory(dir_);
    }

    std::string name() const { return ":" + std::to_string(number_); }
    std::string authority() const { return dir_ + "/client.auth"; }
    const std::string& directory() const { return dir_; }

private:
    DesktopServer() = default;

    // One output lit at width × height from the start; the others wait for RandR.
    static bool writeDummyConfig(const std::string& path, int width, int height) {
        const double clock = (width + 60.0) * (height + 3.0) * 60 / 1e6;
        std::ofstream out(path);
        out << "Section \"ServerFlags\"\n"
               "  Option \"AutoAddDevices\" \"false\"\n"
               "  Option \"AutoAddGPU\" \"false\"\n"
               "  Option \"DontVTSwitch\" \"true\"\n"
               "EndSection\n"
               "Section \"Device\"\n  Identifier \"dummy\"\n  Driver \"dummy\"\n  VideoRam 256000\n"
               "EndSection\n"
               "Section \"Monitor\"\n  Identifier \"monitor\"\n  HorizSync 5.0 - 1000.0\n"
               "  VertRefresh 5.0 - 200.0\n"
            << "  Modeline \"desk\" " << clock << " " << width << " " << width + 20 << " " << width + 40
            << " " << width + 60 << " " << height << " " << height + 1 << " " << height + 2 << " "
            << height + 3
            << "\nEndSection\n"
               "Section \"Screen\"\n  Identifier \"screen\"\n  Device \"dummy\"\n  Monitor \"monitor\"\n"
               "  DefaultDepth 24\n  SubSection \"Display\"\n    Depth 24\n    Modes \"desk\"\n  "
               "EndSubSection\n"
               "EndSection\n";
        return bool(out.flush());
    }

    pid_t pid_ = -1;
    int number_ = -1;
    std::string dir_;
};

// Declares a RandR monitor `name` over x..x+width, full height from the top, optionally
// shown by `output`, and waits for the server to take it.
inline void declareMonitor(Display* d, const char* name, int x, int width, int height, bool primary = false,
                           RROutput output = None) {
    XRRMonitorInfo* m = XRRAllocateMonitor(d, output != None ? 1 : 0);
    m->name = XInternAtom(d, name, False);
    m->primary = primary;
    m->x = x;
    m->width = width;
    m->height = height;
    m->mwidth = width / 4;
    m->mheight = height / 4;
    if (output != None) m->outputs[0] = output;
    XRRSetMonitor(d, DefaultRootWindow(d), m);
    XFree(m);
    XSync(d, False);
}

}  // namespace tarvello::test
