#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/child_process.h"

namespace tarvello::test {

// A message bus of the test's own (dbus-daemon with its own configuration, listening on a
// socket in a temporary directory) with a stand-in login manager on it: Inhibit hands out
// the write end of a pipe and remembers the call, GetSession("auto") names one session
// whose LockedHint the test sets. The bus and its daemon are gone when this ends.
class FakeLogind {
public:
    struct InhibitCall {
        std::string what, who, why, mode;
    };

    // `socketPath` empty: a socket in a new temporary directory. Without `withManager`
    // the bus runs with nobody owning the login manager's name.
    explicit FakeLogind(std::string socketPath = {}, bool withManager = true) {
        if (socketPath.empty()) {
            std::string tmpl = std::filesystem::temp_directory_path().string() + "/tarvello-bus-XXXXXX";
            if (!mkdtemp(tmpl.data())) return;
            dir_ = tmpl;
            socketPath = dir_ + "/bus";
        }
        address_ = "unix:path=" + socketPath;
        const std::string config = socketPath + ".conf";
        std::ofstream(config)
            << "<busconfig><type>session</type><listen>" << address_
            << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
               "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
               "<allow own=\"*\"/></policy></busconfig>";
        configPath_ = config;
        ChildSpec spec;
        spec.path = findOnPath("dbus-daemon");
        spec.args = {"dbus-daemon", "--nofork", "--nopidfile", "--config-file=" + config};
        spec.env = environmentWith({});
        std::string error;
        daemon_ = spawnChild(spec, error);
        if (daemon_ < 0) return;
        // The daemon is ready once a client gets through.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!bus_ && std::chrono::steady_clock::now() < deadline) {
            sd_bus* bus = nullptr;
            if (sd_bus_new(&bus) >= 0 && sd_bus_set_address(bus, address_.c_str()) >= 0 &&
                sd_bus_set_bus_client(bus, 1) >= 0 && sd_bus_start(bus) >= 0 &&
                (!withManager || sd_bus_request_name(bus, "org.freedesktop.login1", 0) >= 0)) {
                bus_ = bus;
            } else {
                sd_bus_flush_close_unref(bus);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
        if (!bus_) return;
        sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                 kManagerVtable, this);
        sd_bus_add_object_vtable(bus_, nullptr, kSessionPath, "org.freedesktop.login1.Session",
                                 kSessionVtable, this);
        thread_ = std::thread([this] {
            while (!stop_.load()) {
                if (sd_bus_process(bus_, nullptr) > 0) continue;
                sd_bus_wait(bus_, 20'000);
            }
        });
    }

    ~FakeLogind() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (bus_) sd_bus_flush_close_unref(bus_);
        for (int fd : locks_) close(fd);
        endChild(daemon_, SIGTERM, 2.0, false);
        if (!dir_.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(dir_, ec);
        } else if (!configPath_.empty()) {
            std::error_code ec;
            std::filesystem::remove(configPath_, ec);
        }
    }

    FakeLogind(const FakeLogind&) = delete;
    FakeLogind& operator=(const FakeLogind&) = delete;

    bool running() const { return bus_ != nullptr; }
    const std::string& address() const { return address_; }

    std::vector<InhibitCall> inhibitCalls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }

    // Locks handed out whose holders have not closed them yet.
    int openLocks() const {
        std::lock_guard lock(mutex_);
        int open = 0;
        for (int fd : locks_) {
            pollfd p{fd, POLLIN, 0};
            open += poll(&p, 1, 0) == 0;  // no hang-up yet
        }
        return open;
    }

    // Waits (bounded) until exactly `n` locks are open; returns the last count seen.
    int waitOpenLocks(int n) const {
        int open = openLocks();
        for (int i = 0; i < 500 && open != n; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            open = openLocks();
        }
        return open;
    }

    // Nothing: the caller has no session.
    void setSession(std::optional<bool> locked) {
        std::lock_guard lock(mutex_);
        session_ = locked;
    }

private:
    static constexpr const char* kSessionPath = "/org/freedesktop/login1/session/c1";

    static int inhibit(sd_bus_message* m, void* self, sd_bus_error*) {
        auto& f = *static_cast<FakeLogind*>(self);
        const char *what = nullptr, *who = nullptr, *why = nullptr, *mode = nullptr;
        int r = sd_bus_message_read(m, "ssss", &what, &who, &why, &mode);
        if (r < 0) return r;
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return -errno;
        {
            std::lock_guard lock(f.mutex_);
            f.calls_.push_back({what, who, why, mode});
            f.locks_.push_back(fds[0]);
        }
        r = sd_bus_reply_method_return(m, "h", fds[1]);
        close(fds[1]);  // the reply carried its own copy
        return r;
    }

    static int getSession(sd_bus_message* m, void* self, sd_bus_error* error) {
        auto& f = *static_cast<FakeLogind*>(self);
        const char* id = nullptr;
        int r = sd_bus_message_read(m, "s", &id);
        if (r < 0) return r;
        std::lock_guard lock(f.mutex_);
        if (std::string(id) != "auto" || !f.session_) {
            return sd_bus_error_set(error, "org.freedesktop.login1.NoSuchSession", "No session");
        }
        return sd_bus_reply_method_return(m, "o", kSessionPath);
    }

    static int lockedHint(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void* self,
                          sd_bus_error*) {
        auto& f = *static_cast<FakeLogind*>(self);
        std::lock_guard lock(f.mutex_);
        return sd_bus_message_append(reply, "b", int(f.session_.value_or(false)));
    }

    static constexpr sd_bus_vtable kManagerVtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("Inhibit", "ssss", "h", inhibit, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("GetSession", "s", "o", getSession, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_VTABLE_END,
    };
    static constexpr sd_bus_vtable kSessionVtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_PROPERTY("LockedHint", "b", lockedHint, 0, 0),
        SD_BUS_VTABLE_END,
    };

    std::string dir_, address_, configPath_;
    pid_t daemon_ = -1;
    sd_bus* bus_ = nullptr;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<InhibitCall> calls_;
    std::vector<int> locks_;
    std::optional<bool> session_;
};

}  // namespace tarvello::test
