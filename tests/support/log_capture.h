#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "base/log.h"

namespace tarvello::test {

// Collects every log line written while it exists.
class LogCapture {
public:
    LogCapture() {
        id_ = addLogListener([this](const std::string& line) {
            std::lock_guard lock(mutex_);
            lines_.push_back(line);
            cv_.notify_all();
        });
    }
    ~LogCapture() { removeLogListener(id_); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Lines containing `text`, timestamps included.
    int count(const std::string& text) const {
        std::lock_guard lock(mutex_);
        int n = 0;
        for (const auto& l : lines_) n += l.find(text) != std::string::npos;
        return n;
    }
    bool contains(const std::string& text) const { return count(text) > 0; }
    // Waits (bounded) until at least `n` lines contain `text`.
    bool waitFor(const std::string& text, int n = 1, double timeout = 10) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::duration<double>(timeout), [&] {
            int c = 0;
            for (const auto& l : lines_) c += l.find(text) != std::string::npos;
            return c >= n;
        });
    }
    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::string> lines_;
    int id_ = 0;
};

}  // namespace tarvello::test
