#include "app/server_state.h"

#include <vector>

#include "base/log.h"
#include "dispatch/serial_queue.h"

namespace tarvello {

ServerState& ServerState::shared() {
    // Never destroyed: main-queue work may still reach it while the process exits.
    static ServerState* instance = new ServerState();
    return *instance;
}

void ServerState::append(std::string line) {
    lines.push_back(std::move(line));
    while (lines.size() > maxLines) lines.pop_front();
    changed();
}

int ServerState::observe(std::function<void()> fn) {
    int id = nextId_++;
    observers_.emplace(id, std::move(fn));
    return id;
}

void ServerState::unobserve(int id) {
    observers_.erase(id);
}

void ServerState::changed() {
    std::vector<int> ids;
    ids.reserve(observers_.size());
    for (const auto& entry : observers_) ids.push_back(entry.first);
    for (int id : ids) {
        // Re-looked up each time: an earlier observer may have removed this one.
        auto it = observers_.find(id);
        if (it == observers_.end()) continue;
        auto fn = it->second;  // the observer may erase itself while running
        fn();
    }
}

ServerStatusObserver serverStateObserver() {
    return [](const ServerStatus& report) {
        mainQueue().async([report] {
            auto& state = ServerState::shared();
            static_cast<ServerStatus&>(state) = report;
            state.changed();
        });
    };
}

void installServerStateLogSink() {
    installLogSink(
        [](const std::string& line) { mainQueue().async([line] { ServerState::shared().append(line); }); });
}

}  // namespace tarvello
