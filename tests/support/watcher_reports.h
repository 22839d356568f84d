#pragma once

#include <mutex>
#include <optional>
#include <vector>

#include "input/text_watcher.h"

namespace tarvello::test {

// What a text watcher reported, in order. The watcher calls back from its own queue;
// readers on the test thread hold `mutex`.
struct WatcherReports {
    void recordReports(TextWatcher& watcher) {
        watcher.onFocus = [this](bool f) {
            std::lock_guard lock(mutex);
            focus.push_back(f);
        };
        watcher.onSelection = [this](std::optional<Selection> s) {
            std::lock_guard lock(mutex);
            selections.push_back(s);
        };
    }

    std::mutex mutex;
    std::vector<bool> focus;
    std::vector<std::optional<Selection>> selections;
};

}  // namespace tarvello::test
