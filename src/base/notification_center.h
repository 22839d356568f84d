#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace tarvello {

namespace Notification {
// The iPhone changed a setting the menu shows (uiScale).
inline constexpr const char* settingsChanged = "pontelSettingsChanged";
// Any part may ask for the onboarding window.
inline constexpr const char* showOnboarding = "tarvelloShowOnboarding";
}  // namespace Notification

// Process-wide named notifications without payload, always delivered on the main queue.
// observe, unobserve and post may be called from any thread.
class NotificationCenter {
public:
    static NotificationCenter& shared();

    int observe(std::string name, std::function<void()> fn);
    // Once this returns on the main queue, the observer is not called again. From another
    // thread, a delivery already running on the main queue may still finish.
    void unobserve(int id);
    // On the main queue, observers run before post returns; from elsewhere, delivery is
    // queued to the main queue and post returns at once.
    void post(std::string name);

private:
    void deliver(const std::string& name);

    struct Observer {
        std::string name;
        std::function<void()> fn;
    };
    std::mutex mutex_;
    std::map<int, Observer> observers_;
    int nextId_ = 1;
};

}  // namespace tarvello
