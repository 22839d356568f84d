#pragma once

#include <chrono>
#include <thread>

namespace tarvello::test {

// Polls `done` until it holds; the bound only keeps a failing test from hanging.
template <class F>
bool eventually(F done, double seconds = 10) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
}

}  // namespace tarvello::test
