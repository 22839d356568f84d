#include "base/notification_center.h"

#include <vector>

#include "dispatch/serial_queue.h"

namespace tarvello {

NotificationCenter& NotificationCenter::shared() {
    static NotificationCenter* instance = new NotificationCenter();
    return *instance;
}

int NotificationCenter::observe(std::string name, std::function<void()> fn) {
    std::lock_guard lock(mutex_);
    int id = nextId_++;
    observers_.emplace(id, Observer{std::move(name), std::move(fn)});
    return id;
}

void NotificationCenter::unobserve(int id) {
    std::lock_guard lock(mutex_);
    observers_.erase(id);
}

void NotificationCenter::post(std::string name) {
    MainQueue& main = mainQueue();
    if (main.isCurrent()) {
        deliver(name);
        return;
    }
    main.async([this, name = std::move(name)] { deliver(name); });
}

void NotificationCenter::deliver(const std::string& name) {
    std::vector<int> ids;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [id, observer] : observers_) {
            if (observer.name == name) ids.push_back(id);
        }
    }
    for (int id : ids) {
        // Called without the lock so observers may observe, unobserve and post.
        std::function<void()> fn;
        {
            std::lock_guard lock(mutex_);
            auto it = observers_.find(id);
            if (it == observers_.end()) continue;
            fn = it->second.fn;
        }
        fn();
    }
}

}  // namespace tarvello
