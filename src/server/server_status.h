#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace tarvello {

// What the server reports of itself for a status display. The server keeps no status
// model of its own beyond this; whoever shows it installs an observer.
struct ServerStatus {
    std::string status = "Starting\u2026";
    std::optional<std::string> client;
    int fps = 0;
    double mbps = 0.0;
    int targetMbps = 0;
    int64_t drops = 0;
    std::string resolution;
    std::string codec;
    bool locked = false;
    // A condition the user should know of beyond the status, e.g. someone guessing
    // the pairing code; empty when there is none.
    std::string warning;
    // While the phone's session travels outside the tailnet, unencrypted: what to tell
    // the user about it; empty otherwise.
    std::string notEncrypted;
};

// Called with the whole status after every change, in the order of the changes, from
// whichever server thread made it; it must not block (hop to your own queue).
using ServerStatusObserver = std::function<void(const ServerStatus&)>;

}  // namespace tarvello
