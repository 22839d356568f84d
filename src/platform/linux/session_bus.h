#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

namespace tarvello {

// A private D-Bus daemon in a process group of its own, so the services it activates end
// with it. Listens on an abstract socket (nothing left on disk); ended and reaped by the
// destructor.
class BusDaemon {
public:
    struct Options {
        std::string executable;        // empty: dbus-daemon on PATH
        std::string configFile;        // empty: the standard session configuration
        std::string address;           // "unix:abstract=..."
        std::vector<std::string> env;  // the daemon's and its services' whole environment
        std::string logPath;           // empty: /dev/null
        double startTimeout = 5;
    };
    static std::unique_ptr<BusDaemon> start(const Options& options, std::string& error);
    ~BusDaemon();
    BusDaemon(const BusDaemon&) = delete;
    BusDaemon& operator=(const BusDaemon&) = delete;

    const std::string& address() const { return address_; }
    pid_t pid() const { return pid_; }

private:
    BusDaemon() = default;
    pid_t pid_ = -1;
    std::string address_;
};

// The address of the accessibility bus this process keeps for the applications on its
// displays: one for the whole run, because the process's own accessibility client cannot
// move to another bus once connected. Fixed per process, so it is known before the bus runs.
std::string accessibilityBusAddress();

// Starts that bus unless it runs; true when it does. Safe from any thread: the daemon is
// spawned from a thread that lives as long as the process, and ends with it.
bool ensureAccessibilityBus(std::string& error);

// Where display `displayName` (":17") keeps its session bus.
std::string sessionBusAddress(const std::string& displayName);

class AccessibilityBusService;

// The session bus of one display: started with the display, ended with it. Its services
// see the display; the session command gets environment() added to its own.
// This process answers org.a11y.Bus on it, so toolkits asking the session bus where the
// accessibility bus is (rather than reading AT_SPI_BUS_ADDRESS) reach the one it keeps.
class SessionBus {
public:
    static std::unique_ptr<SessionBus> start(const std::string& displayName, const std::string& authorityFile,
                                             const std::string& logPath, std::string& error);
    ~SessionBus();
    // DBUS_SESSION_BUS_ADDRESS and the switches that make toolkits expose their
    // accessibility tree. No AT_SPI_BUS_ADDRESS: some Qt releases connect to a bus given
    // that way but never switch their bridge on; org.a11y.Bus on this bus names it instead.
    std::vector<std::string> environment() const;
    const std::string& address() const { return daemon_->address(); }
    pid_t pid() const { return daemon_->pid(); }

private:
    explicit SessionBus(std::unique_ptr<BusDaemon> daemon);
    std::unique_ptr<BusDaemon> daemon_;
    std::unique_ptr<AccessibilityBusService> service_;  // ends before the daemon
};

}  // namespace tarvello
