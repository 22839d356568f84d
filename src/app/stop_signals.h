#pragma once

#include <signal.h>

#include <functional>

namespace tarvello {

// SIGINT, SIGTERM and SIGHUP are taken by one thread with sigwait. Until the serving
// path says how to stop, a signal ends the process as it would by default; the first
// signal after that runs the stop, and a second one during the stop exits at once.
class StopSignals {
public:
    // Before any other thread exists: threads inherit the mask, so only the waiter sees them.
    static void takeOver();
    static void onStop(std::function<void()> action);
};

}  // namespace tarvello
