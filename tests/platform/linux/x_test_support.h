#pragma once

#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "platform/linux/linux_display.h"
#include "platform/linux/x11.h"
#include "support/log_capture.h"
#include "video/virtual_display.h"

namespace tarvello::test {

// A private Xvfb made the way a session makes it: through VirtualDisplay over
// LinuxDisplay, with `sessionCommand` as the stored setting. The display and its
// processes are gone when the fixture ends.
class XDisplayTest : public ::testing::Test {
protected:
    void TearDown() override {
        display.reset();
        facility.reset();
    }

    // Makes the display for width × height pixels at `scale`; returns its id (0 on failure).
    uint32_t makeDisplay(int width = 1178, int height = 2556, double scale = 2.5, bool mirror = false) {
        LinuxDisplay::Options options;
        options.sessionCommand = [this] { return sessionCommand; };
        facility = std::make_shared<LinuxDisplay>(options);
        display = std::make_unique<VirtualDisplay>(facility);
        if (!display->create(width, height, 60, scale, mirror)) return 0;
        return display->displayID();
    }

    std::string connectionName() const { return facility->connection(display->displayID()); }

    // An X connection of the test's own, to draw and look.
    std::unique_ptr<XConnection> connect() const {
        std::string error;
        auto x = XConnection::open(connectionName(), error);
        EXPECT_TRUE(x) << error;
        return x;
    }

    std::optional<std::string> sessionCommand = std::string();  // empty: no session
    std::shared_ptr<LinuxDisplay> facility;
    std::unique_ptr<VirtualDisplay> display;
    LogCapture logs;
};

// True once `pid` no longer exists (reaped children give ESRCH).
inline bool processGone(int pid) {
    return pid > 0 && kill(pid, 0) != 0 && errno == ESRCH;
}

// Waits (bounded) for a file to appear, then returns its contents.
inline std::string waitForFile(const std::filesystem::path& path, double timeout = 10) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
    while (!std::filesystem::exists(path) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void fillRect(Display* d, unsigned long rgb, int x, int y, int w, int h) {
    GC gc = XCreateGC(d, DefaultRootWindow(d), 0, nullptr);
    XSetForeground(d, gc, rgb);
    XFillRectangle(d, DefaultRootWindow(d), gc, x, y, unsigned(w), unsigned(h));
    XFreeGC(d, gc);
    XSync(d, False);
}

}  // namespace tarvello::test
