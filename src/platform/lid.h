#pragma once

namespace tarvello {

// Keeps the computer running while its lid is closed. Any thread; calls may wait briefly
// on the system. What it holds lasts at most as long as this process.
class LidFacility {
public:
    virtual ~LidFacility() = default;
    // Whether closing the lid is held off now.
    virtual bool held() = 0;
    // Takes or lets go of the hold; returns whether it is held afterwards, which is not
    // what was asked for when the system refused.
    virtual bool hold(bool on) = 0;
};

}  // namespace tarvello
