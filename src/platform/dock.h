#pragma once

#include <string>

namespace tarvello {

// Sends named notifications to the dock (expose, show desktop, launcher toggle).
// Called on the server queue.
class DockFacility {
public:
    virtual ~DockFacility() = default;
    // False when there is no dock to tell or the notification could not be delivered;
    // callers then take their fallback.
    virtual bool sendDockNotification(const std::string& name) = 0;
};

// Finds and opens applications and files the way the desktop would.
// Called on the server queue.
class WorkspaceFacility {
public:
    virtual ~WorkspaceFacility() = default;
    virtual bool fileExists(const std::string& path) = 0;
    // Opens the path as a file URL; false on failure.
    virtual bool openFile(const std::string& path) = 0;
};

}  // namespace tarvello
