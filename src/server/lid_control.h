#pragma once

#include <string>
#include <string_view>

#include "platform/processes.h"

namespace tarvello {

// Whether `pmset -g` output says sleep is disabled: some line whose first two words are
// "SleepDisabled" and "1".
bool pmsetSleepDisabled(std::string_view output);

// The osascript source that changes the lid setting behind the system's administrator prompt.
std::string lidAwakeScript(bool enabled);

// Whether the machine stays awake with its lid closed, as the power tool reports it;
// false when the tool cannot be run. Blocks for the tool's lifetime.
bool lidAwakeEnabled(ProcessFacility& processes);

// Asks for administrator rights and changes the lid setting; returns the state read back
// afterwards, never the one asked for. Blocks until the user answers.
bool setLidAwake(ProcessFacility& processes, bool enabled);

}  // namespace tarvello
