#pragma once

#include <string>

namespace tarvello {

// Shows the monotonic time (uptimeMs32) as the time pattern in a band across the top of
// each monitor of X display `displayName` (following the monitors as they change),
// redrawn every few milliseconds, above every other window.
// With `motion`, the rest of each monitor scrolls a page of text-like blocks at 60 steps a
// second, so every frame changes everywhere, as when a long page is scrolled.
// Runs until SIGINT or SIGTERM or until the display goes away; returns an exit status.
// Meant as the session command when measuring glass-to-glass latency.
int runTimeProbe(const std::string& displayName, bool motion = false);

}  // namespace tarvello
