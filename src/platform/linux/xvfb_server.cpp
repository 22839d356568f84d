#include "platform/linux/xvfb_server.h"

#include <X11/Xatom.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
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
void publishDpi(const std::string& name, int dpi) {
    std::string error;
    auto x = XConnection::open(name, error);
    if (!x) return;
    const std::string resources = "Xft.dpi:\t" + std::to_string(dpi) + "\n";
    XChangeProperty(x->get(), DefaultRootWindow(x->get()), XA_RESOURCE_MANAGER, XA_STRING, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(resources.data()), int(resources.size()));
    XSync(x->get(), False);
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
    if (options.executable.empty()) {
        error = "Xvfb not found on PATH";
        return nullptr;
    }
    if (options.width < 1 || options.height < 1) {
        error = "Invalid screen size " + std::to_string(options.width) + "×" + std::to_string(options.height);
        return nullptr;
    }
    presentProcessCookie();
    std::unique_ptr<XvfbServer> server(new XvfbServer);
    server->directory_ = makeScratchDirectory("tarvello-xvfb");
    if (server->directory_.empty()) {
        error = std::string("Cannot make a directory for Xvfb: ") + std::strerror(errno);
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
    spec.args = {"Xvfb", "-displayfd", "3", "-screen", "0",
                 std::to_string(options.width) + "x" + std::to_string(options.height) + "x24", "-dpi",
                 std::to_string(options.dpi), "-nolisten", "tcp", "-auth", serverAuth,
                 // Keep the server as it is when its last client leaves (the resources set below).
                 "-noreset"};
    spec.env = environmentWith({});
    spec.deathSignal = SIGTERM;
    spec.outputPath = server->directory_ + "/xvfb.log";
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
        error = "Xvfb did not start" + (why.empty() ? std::string() : ": " + why);
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

}  // namespace tarvello
