#include "platform/linux/xvfb_server.h"

#include <X11/Xatom.h>
#include <X11/extensions/Xrandr.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <utility>
#include <vector>

#include "base/child_process.h"
#include "platform/linux/x11.h"

namespace tarvello {

namespace {

// Reads the display number Xvfb writes once it accepts connections. -1 on timeout or exit.
int readDisplayNumber(int fd, double timeout) {
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
    while (text.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return -1;
        pollfd p{fd, POLLIN, 0};
        const int r = poll(&p, 1, int(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return -1;
        char buf[32];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        text.append(buf, size_t(n));
    }
    char* end = nullptr;
    const long number = std::strtol(text.c_str(), &end, 10);
    if (end == text.c_str() || number < 0 || number > 65535) return -1;
    return int(number);
}

std::string lastLine(const std::string& path) {
    std::ifstream in(path);
    std::string line, last;
    while (std::getline(in, line)) {
        if (!line.empty()) last = line;
    }
    return last;
}

// Tells toolkits the density through the resource database, as a desktop session would.
void publishDpi(Display* d, int dpi) {
    const std::string resources = "Xft.dpi:\t" + std::to_string(dpi) + "\n";
    XChangeProperty(d, DefaultRootWindow(d), XA_RESOURCE_MANAGER, XA_STRING, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(resources.data()), int(resources.size()));
    XSync(d, False);
}

void publishDpi(const std::string& name, int dpi) {
    std::string error;
    if (auto x = XConnection::open(name, error)) publishDpi(x->get(), dpi);
}

int millimetres(int pixels, int dpi) {
    return std::max(1, int(std::lround(pixels * 25.4 / std::max(1, dpi))));
}

std::pair<int, int> rootSize(Display* d) {
    Window root = 0;
    int x = 0, y = 0;
    unsigned w = 0, h = 0, border = 0, depth = 0;
    if (!XGetGeometry(d, DefaultRootWindow(d), &root, &x, &y, &w, &h, &border, &depth)) return {0, 0};
    return {int(w), int(h)};
}

// The first output and a CRTC that can drive it: the one it has, else its first.
bool findOutput(Display* d, XRRScreenResources* res, RROutput& output, RRCrtc& crtc, XRROutputInfo*& info) {
    for (int i = 0; i < res->noutput; ++i) {
        XRROutputInfo* o = XRRGetOutputInfo(d, res, res->outputs[i]);
        if (!o) continue;
        if (o->crtc || o->ncrtc > 0) {
            output = res->outputs[i];
            crtc = o->crtc ? o->crtc : o->crtcs[0];
            info = o;
            return true;
        }
        XRRFreeOutputInfo(o);
    }
    return false;
}

// A mode of exactly width × height that the output offers, added when missing.
RRMode modeFor(Display* d, XRRScreenResources* res, RROutput output, const XRROutputInfo* info, int width,
               int height) {
    RRMode mode = 0;
    for (int i = 0; i < res->nmode && !mode; ++i) {
        if (int(res->modes[i].width) == width && int(res->modes[i].height) == height) mode = res->modes[i].id;
    }
    if (!mode) {
        std::string name = std::to_string(width) + "x" + std::to_string(height);
        XRRModeInfo m{};
        m.width = unsigned(width);
        m.height = unsigned(height);
        m.hTotal = unsigned(width);
        m.vTotal = unsigned(height);
        m.dotClock = static_cast<unsigned long>(width) * static_cast<unsigned long>(height) * 60;
        m.name = name.data();
        m.nameLength = unsigned(name.size());
        mode = XRRCreateMode(d, DefaultRootWindow(d), &m);
        if (!mode) return 0;
    }
    bool offered = false;
    for (int i = 0; i < info->nmode; ++i) offered |= info->modes[i] == mode;
    if (!offered) XRRAddOutputMode(d, output, mode);
    return mode;
}

}  // namespace

std::string makeScratchDirectory(const std::string& prefix) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + prefix + "-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) return {};
    return buf.data();
}

void removeScratchDirectory(const std::string& directory) {
    if (directory.empty()) return;
    if (DIR* d = opendir(directory.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string n = e->d_name;
            if (n != "." && n != "..") unlink((directory + "/" + n).c_str());
        }
        closedir(d);
    }
    rmdir(directory.c_str());
}

std::unique_ptr<XvfbServer> XvfbServer::start(const Options& options, std::string& error) {
    const std::string program = options.kind == Kind::xvnc ? "Xvnc" : "Xvfb";
    if (options.executable.empty()) {
        error = program + " not found on PATH";
        return nullptr;
    }
    if (options.width < 1 || options.height < 1) {
        error = "Invalid screen size " + std::to_string(options.width) + "×" + std::to_string(options.height);
        return nullptr;
    }
    presentProcessCookie();
    std::unique_ptr<XvfbServer> server(new XvfbServer);
    server->kind_ = options.kind;
    server->directory_ = makeScratchDirectory("tarvello-xvfb");
    if (server->directory_.empty()) {
        error = "Cannot make a directory for " + program + ": " + std::strerror(errno);
        return nullptr;
    }
    const std::string serverAuth = server->directory_ + "/server.auth";
    if (!writeXAuthority(serverAuth, -1, error)) return nullptr;

    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        error = std::string("pipe failed: ") + std::strerror(errno);
        return nullptr;
    }
    ChildSpec spec;
    spec.path = options.executable;
    const std::string size = std::to_string(options.width) + "x" + std::to_string(options.height);
    if (options.kind == Kind::xvnc) {
        spec.args = {"Xvnc", "-displayfd", "3", "-geometry", size, "-depth", "24",
                     // Only the X server: no port for remote viewers, so no viewer
                     // authentication is needed either.
                     "-rfbport", "-1", "-SecurityTypes", "None"};
    } else {
        spec.args = {"Xvfb", "-displayfd", "3", "-screen", "0", size + "x24"};
    }
    // -noreset keeps the server as it is when its last client leaves (the resources set below).
    for (const std::string& a :
         {std::string("-dpi"), std::to_string(options.dpi), std::string("-nolisten"), std::string("tcp"),
          std::string("-auth"), serverAuth, std::string("-noreset")}) {
        spec.args.push_back(a);
    }
    spec.env = environmentWith({});
    spec.deathSignal = SIGTERM;
    spec.outputPath = server->directory_ + "/server.log";
    spec.passFd = pipeFds[1];
    server->pid_ = spawnChild(spec, error);
    close(pipeFds[1]);
    if (server->pid_ < 0) {
        close(pipeFds[0]);
        return nullptr;
    }
    server->number_ = readDisplayNumber(pipeFds[0], options.startTimeout);
    close(pipeFds[0]);
    if (server->number_ < 0) {
        const std::string why = lastLine(spec.outputPath);
        error = program + " did not start" + (why.empty() ? std::string() : ": " + why);
        return nullptr;
    }
    if (!writeXAuthority(server->clientAuthority(), server->number_, error)) return nullptr;
    publishDpi(server->name(), options.dpi);
    return server;
}

XvfbServer::~XvfbServer() {
    {
        std::lock_guard noOpenInFlight(connectionsLock());
        endChild(pid_, SIGTERM, 2.0, false);
    }
    removeScratchDirectory(directory_);
}

bool XvfbServer::running() const {
    if (pid_ <= 0) return false;
    // Peek without reaping: the destructor reaps.
    siginfo_t info{};
    return waitid(P_PID, id_t(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
}

bool XvfbServer::resize(int width, int height, int dpi, std::string& error) {
    if (width < 1 || height < 1 || width > 32767 || height > 32767) {
        error = "Invalid screen size " + std::to_string(width) + "×" + std::to_string(height);
        return false;
    }
    auto x = XConnection::open(name(), error);
    if (!x) return false;
    Display* d = x->get();
    const auto [oldW, oldH] = rootSize(d);
    if (!resizable()) {
        if (oldW != width || oldH != height) {
            error = "Xvfb cannot change its screen from " + std::to_string(oldW) + "×" + std::to_string(oldH);
            return false;
        }
        publishDpi(d, dpi);
        return true;
    }
    int eventBase = 0, errorBase = 0;
    if (!XRRQueryExtension(d, &eventBase, &errorBase)) {
        error = "No RandR on " + name();
        return false;
    }
    XRRScreenResources* res = XRRGetScreenResourcesCurrent(d, DefaultRootWindow(d));
    if (!res) {
        error = "No RandR resources on " + name();
        return false;
    }
    RROutput output = 0;
    RRCrtc crtc = 0;
    XRROutputInfo* info = nullptr;
    bool done = false;
    const int code = trapXErrors(d, [&] {
        if (!findOutput(d, res, output, crtc, info)) return;
        const RRMode mode = modeFor(d, res, output, info, width, height);
        if (!mode) return;
        // One change as the clients see it: the screen and its CRTC together.
        XGrabServer(d);
        if (XRRCrtcInfo* c = XRRGetCrtcInfo(d, res, crtc)) {
            // A CRTC must fit inside the screen at every step: off while the screen shrinks.
            if (c->mode && (c->x + int(c->width) > width || c->y + int(c->height) > height)) {
                XRRSetCrtcConfig(d, res, crtc, CurrentTime, 0, 0, None, RR_Rotate_0, nullptr, 0);
            }
            XRRFreeCrtcInfo(c);
        }
        XRRSetScreenSize(d, DefaultRootWindow(d), width, height, millimetres(width, dpi),
                         millimetres(height, dpi));
        XRRSetCrtcConfig(d, res, crtc, CurrentTime, 0, 0, mode, RR_Rotate_0, &output, 1);
        XUngrabServer(d);
        done = true;
    });
    if (info) XRRFreeOutputInfo(info);
    XRRFreeScreenResources(res);
    const auto [newW, newH] = rootSize(d);
    if (!done || code != 0 || newW != width || newH != height) {
        error = "RandR did not give " + name() + " " + std::to_string(width) + "×" + std::to_string(height) +
                (code ? " (X error " + std::to_string(code) + ")" : std::string());
        return false;
    }
    publishDpi(d, dpi);
    return true;
}

}  // namespace tarvello
