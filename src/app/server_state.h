#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace tarvello {

// The fields of the status model, copyable for readers off the main queue.
struct ServerStateValues {
    std::string status = "Starting\u2026";
    std::optional<std::string> client;
    int fps = 0;
    double mbps = 0.0;
    int targetMbps = 0;
    int64_t drops = 0;
    std::string resolution;
    std::string codec;
    std::deque<std::string> lines;  // oldest first
    bool locked = false;
    // A condition the user should know of beyond the status, e.g. someone guessing
    // the pairing code; empty when there is none.
    std::string warning;
};

// The observable status model the menu shows. The shared instance is touched only on
// the main queue: writers elsewhere hop there, assign fields, then call changed() once
// for the batch so observers redraw once. append() notifies by itself.
class ServerState : public ServerStateValues {
public:
    static constexpr size_t maxLines = 200;

    static ServerState& shared();

    // Adds a log line, dropping the oldest beyond maxLines.
    void append(std::string line);

    // Observers run synchronously inside changed(), in registration order. An observer
    // may unobserve itself or others while running.
    int observe(std::function<void()> fn);
    void unobserve(int id);
    void changed();

    ServerStateValues snapshot() const { return *this; }

private:
    std::map<int, std::function<void()>> observers_;
    int nextId_ = 1;
};

}  // namespace tarvello
