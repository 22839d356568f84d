#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

struct sd_bus;

namespace tarvello::gnome {

// Whether Mutter's remote desktop and screen cast services answer on the session bus
// (`address` empty: DBUS_SESSION_BUS_ADDRESS). Nothing when they do; the reason otherwise.
std::optional<std::string> remoteDesktopUnavailable(const std::string& address = {});

// The session bus connection the back-end talks to Mutter on. Calls are serialised;
// each gives up after a short timeout so a hung compositor cannot stall a queue.
class MutterBus {
public:
    static std::shared_ptr<MutterBus> open(const std::string& address, std::string& error);
    ~MutterBus();
    MutterBus(const MutterBus&) = delete;
    MutterBus& operator=(const MutterBus&) = delete;

    sd_bus* get() const { return bus_; }
    std::mutex& mutex() { return mutex_; }

private:
    MutterBus() = default;
    sd_bus* bus_ = nullptr;
    std::mutex mutex_;
};

// One remote desktop session with its screen cast session and one stream: either a new
// virtual monitor (extend) or the primary monitor (mirror). The stream's PipeWire node
// is known once start() returns. Input goes to the stream's area. Thread-safe.
class MutterSession {
public:
    enum class Kind { virtualMonitor, monitor };
    // Axis flags of NotifyPointerAxis.
    static constexpr uint32_t kAxisFinish = 1;

    // `connector` names the monitor to record (Kind::monitor); empty: the primary one.
    static std::unique_ptr<MutterSession> create(std::shared_ptr<MutterBus> bus, Kind kind,
                                                 const std::string& connector, std::string& error);
    ~MutterSession();
    MutterSession(const MutterSession&) = delete;
    MutterSession& operator=(const MutterSession&) = delete;

    // Starts the session and waits for the stream's node; false with the reason.
    bool start(std::string& error);
    void stop();
    bool closed() const;

    uint32_t node() const { return node_; }
    const std::string& connector() const { return connector_; }

    bool pointerAbsolute(double x, double y);
    bool pointerRelative(double dx, double dy);
    bool pointerButton(int evdevButton, bool down);
    bool pointerAxis(double dx, double dy, uint32_t flags);
    bool keycode(uint32_t evdevKey, bool down);
    bool keysym(uint32_t keysym, bool down);

private:
    MutterSession() = default;
    bool callv(const char* path, const char* interface, const char* method, std::string* error,
               const char* signature, ...);
    bool waitForNode(std::string& error);

    std::shared_ptr<MutterBus> bus_;
    std::string remotePath_, castPath_, streamPath_, connector_;
    uint32_t node_ = 0;
    bool started_ = false, stopped_ = false;
    struct Watch;
    std::unique_ptr<Watch> watch_;
};

}  // namespace tarvello::gnome
