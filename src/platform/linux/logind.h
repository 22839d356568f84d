#pragma once

#include <mutex>
#include <optional>
#include <string>

struct sd_bus;

namespace tarvello {

// A client of the login manager on the system bus. The connection is made on first use
// and again after it broke, so a bus or manager that appears later is found. Any thread;
// calls are serialised and give up after a short timeout.
class Logind {
public:
    // `address` empty: the system bus (DBUS_SYSTEM_BUS_ADDRESS, else its usual socket).
    explicit Logind(std::string address = {});
    ~Logind();
    Logind(const Logind&) = delete;
    Logind& operator=(const Logind&) = delete;

    // Takes an inhibitor lock; returns its descriptor, which holds the lock until it is
    // closed, or -1 with the reason.
    int inhibit(const std::string& what, const std::string& who, const std::string& why,
                const std::string& mode, std::string& error);

    // The LockedHint of the user's session: the caller's own, else the user's graphical
    // one. Nothing, with the reason, when there is no bus, manager or session.
    std::optional<bool> lockedHint(std::string& error);

private:
    sd_bus* connect(std::string& error);
    void dropIfBroken();

    std::mutex mutex_;
    const std::string address_;
    sd_bus* bus_ = nullptr;
};

}  // namespace tarvello
