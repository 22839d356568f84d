#include <gtest/gtest.h>

#include <thread>

#include "dispatch/serial_queue.h"

// The process's main queue is normally run by main(); in the tests a background
// thread plays the main thread so work posted there runs.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    std::thread mainThread([] { tarvello::mainQueue().run(); });
    int rc = RUN_ALL_TESTS();
    tarvello::mainQueue().quit();
    mainThread.join();
    return rc;
}
