#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "base/child_process.h"
#include "platform/linux/xvfb_server.h"

namespace tarvello::test {

// A fixture of tests/fixtures (a Python GTK script, or another program) run as a display's session command,
// spoken to a line at a time through two FIFOs the test holds open for both ends, so neither side blocks on
// opening them.
class GtkFixture {
public:
    explicit GtkFixture(const std::string& script)
        : script_((std::filesystem::path(__FILE__).parent_path() / "../../fixtures" / script)
                      .lexically_normal()
                      .string()) {
        dir_ = makeScratchDirectory("tarvello-gtk-test");
        mkfifo((dir_ + "/in").c_str(), 0600);
        mkfifo((dir_ + "/out").c_str(), 0600);
        in_ = open((dir_ + "/in").c_str(), O_RDWR | O_CLOEXEC);
        out_ = open((dir_ + "/out").c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
    }
    ~GtkFixture() {
        if (in_ >= 0) close(in_);
        if (out_ >= 0) close(out_);
        std::filesystem::remove_all(dir_);
    }
    GtkFixture(const GtkFixture&) = delete;
    GtkFixture& operator=(const GtkFixture&) = delete;

    // Why the fixture cannot run here, or empty when it can.
    static std::string missing(const std::string& gtkVersion = "3.0") {
        ChildSpec probe;
        probe.path = "/usr/bin/python3";
        probe.args = {"python3", "-c", "import gi; gi.require_version('Gtk', '" + gtkVersion + "')"};
        probe.env = environmentWith({});
        std::string error;
        const pid_t pid = access(probe.path.c_str(), X_OK) == 0 ? spawnChild(probe, error) : -1;
        int status = -1;
        if (pid > 0) waitpid(pid, &status, 0);
        if (status != 0)
            return "/usr/bin/python3 with GTK " + gtkVersion + " bindings (python3-gi, gir1.2-gtk-" +
                   gtkVersion + ") is missing";
        return {};
    }

    // The shell command that runs the fixture with its FIFOs.
    std::string command() const { return commandFor("/usr/bin/python3 " + script_); }

    // The shell command that runs `program` in the fixture's place, on the same FIFOs.
    std::string commandFor(const std::string& program) const {
        return "exec " + program + " < " + dir_ + "/in > " + dir_ + "/out";
    }

    void send(const std::string& line) {
        const std::string l = line + "\n";
        EXPECT_EQ(write(in_, l.data(), l.size()), ssize_t(l.size()));
    }

    // The next line the fixture prints, or empty after `timeout` seconds.
    std::string readLine(double timeout = 20) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
        for (;;) {
            if (const auto end = buffer_.find('\n'); end != std::string::npos) {
                std::string line = buffer_.substr(0, end);
                buffer_.erase(0, end + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{out_, POLLIN, 0};
            ssize_t n = 0;
            if (poll(&p, 1, int(std::max<int64_t>(0, left.count()))) > 0) {
                char buf[256];
                n = read(out_, buf, sizeof buf);
                if (n > 0) buffer_.append(buf, size_t(n));
            }
            if (n <= 0 && left.count() <= 0) return {};
        }
    }

    std::string ask(const std::string& line) {
        send(line);
        return readLine(10);
    }

private:
    std::string script_, dir_, buffer_;
    int in_ = -1, out_ = -1;
};

}  // namespace tarvello::test
