#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "server/server_status.h"

namespace tarvello {

// The fields of the status model, copyable for readers off the main queue: the server's
// own report and the log lines.
struct ServerStateValues : ServerStatus {
    std::deque<std::string> lines;  // oldest first
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

// The observer the app gives the server: each report replaces the server's part of the
// shared model on the main queue.
ServerStatusObserver serverStateObserver();

// The app's log sink: appends each line to the shared model on the main queue.
void installServerStateLogSink();

}  // namespace tarvello
