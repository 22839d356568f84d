#pragma once

#include <cstdint>
#include <string>

namespace tarvello {

// The shortest decimal text that reads back as the same double, with ".0" kept for
// whole numbers (2 prints as "2.0", 2.5 as "2.5").
std::string formatShortestDouble(double v);

// Lowercase hexadecimal without leading zeros ("f7f").
std::string formatHex(uint64_t v);

}  // namespace tarvello
