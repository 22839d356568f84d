#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

namespace tarvello {

// A private X server on a display number it picks itself (-displayfd), reachable only
// through its local socket (-nolisten tcp) and only with this process's cookie. It
// receives SIGTERM when the thread that started it ends, and is ended and reaped by the
// destructor, which also removes its directory (authority files and log).
//
// Xvfb's screen keeps the size it started with. Xvnc, run as a plain X server with no
// remote-viewer port, lets RandR change its screen, so the clients on it live through a
// change of size.
class XvfbServer {
public:
    enum class Kind { xvfb, xvnc };
    struct Options {
        std::string executable;  // path of Xvfb, or of Xvnc for Kind::xvnc
        int width = 0, height = 0;
        int dpi = 96;
        double startTimeout = 10;  // seconds to wait for the display number
        Kind kind = Kind::xvfb;
    };

    static std::unique_ptr<XvfbServer> start(const Options& options, std::string& error);
    ~XvfbServer();
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    int displayNumber() const { return number_; }
    std::string name() const { return ":" + std::to_string(number_); }
    pid_t pid() const { return pid_; }
    // An Xauthority file for clients of this display (for XAUTHORITY).
    std::string clientAuthority() const { return directory_ + "/client.auth"; }
    const std::string& directory() const { return directory_; }
    bool running() const;
    bool resizable() const { return kind_ == Kind::xvnc; }

    // Gives the screen width × height pixels at `dpi` through RandR, telling the clients
    // on it, and publishes the density for toolkits (Xft.dpi). A server that cannot
    // change size accepts only its present size.
    bool resize(int width, int height, int dpi, std::string& error);

private:
    XvfbServer() = default;
    Kind kind_ = Kind::xvfb;
    pid_t pid_ = -1;
    int number_ = -1;
    std::string directory_;
};

// Removes a directory made for a server or session and the files in it (not recursive).
void removeScratchDirectory(const std::string& directory);

// Makes a private scratch directory under $TMPDIR (or /tmp); empty on failure.
std::string makeScratchDirectory(const std::string& prefix);

}  // namespace tarvello
