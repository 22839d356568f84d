#pragma once

#include <string>

namespace tarvello {

// Shows the monotonic time (uptimeMs32) as the time pattern in a band across the top of
// X display `displayName`, redrawn every few milliseconds, above every other window.
// Runs until SIGINT or SIGTERM or until the display goes away; returns an exit status.
// Meant as the session command when measuring glass-to-glass latency.
int runTimeProbe(const std::string& displayName);

}  // namespace tarvello
