#pragma once

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/dock.h"

namespace tarvello {

// Records the notifications it is sent. With `available` false it behaves as a
// system without a dock: every notification fails.
class SimDock final : public DockFacility {
public:
    bool sendDockNotification(const std::string& name) override {
        if (!available.load()) return false;
        std::lock_guard lock(mutex_);
        sent_.push_back(name);
        return true;
    }
    std::vector<std::string> sent() const {
        std::lock_guard lock(mutex_);
        return sent_;
    }
    std::atomic<bool> available{true};

private:
    mutable std::mutex mutex_;
    std::vector<std::string> sent_;
};

// A file system of the paths it is told exist; records what it opens.
class SimWorkspace final : public WorkspaceFacility {
public:
    bool fileExists(const std::string& path) override {
        std::lock_guard lock(mutex_);
        return files_.contains(path);
    }
    bool openFile(const std::string& path) override {
        std::lock_guard lock(mutex_);
        opened_.push_back(path);
        return files_.contains(path);
    }
    void addFile(const std::string& path) {
        std::lock_guard lock(mutex_);
        files_.insert(path);
    }
    std::vector<std::string> opened() const {
        std::lock_guard lock(mutex_);
        return opened_;
    }

private:
    mutable std::mutex mutex_;
    std::set<std::string> files_;
    std::vector<std::string> opened_;
};

}  // namespace tarvello
