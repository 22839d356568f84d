#pragma once

#include <cstdint>
#include <string>

namespace tarvello {

// Keeps the machine and its displays from going idle (no screen saver, no display power
// saving, no idle action). Called on the server queue only, in any order; the back-end
// owns what it holds and lets go of it when destroyed.
class PowerFacility {
public:
    virtual ~PowerFacility() = default;
    // Takes an assertion shown to the system under `name`. Returns its id, never 0, or 0
    // when none could be taken (the back-end logs why; the caller simply tries again later).
    virtual uint32_t createAssertion(const std::string& name) = 0;
    // Lets go of an assertion; unknown ids are ignored.
    virtual void releaseAssertion(uint32_t id) = 0;
    // The session now shows `display` (made after the assertion was taken); while any
    // assertion is held it keeps that display awake too. 0 means the session has none.
    virtual void coverDisplay(uint32_t display) = 0;
};

}  // namespace tarvello
