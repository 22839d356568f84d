#pragma once

#include <atomic>

namespace tarvello {

// Switches the window-manager features the session wants and puts them back after.
// The desktop-specific switching comes with the desktop-integration work; for now
// this records the requested state so the session lifecycle is complete.
class StageDock {
public:
    void applySession(bool stageManager, bool showDock) {
        stageOn_ = stageManager;
        dockShown_ = showDock;
        applied_ = true;
    }
    void stageManagerOn() { stageOn_ = true; }
    void showDockForSession() { dockShown_ = true; }
    void restore() {
        stageOn_ = false;
        dockShown_ = false;
        applied_ = false;
    }
    bool applied() const { return applied_.load(); }

private:
    std::atomic<bool> stageOn_{false}, dockShown_{false}, applied_{false};
};

}  // namespace tarvello
