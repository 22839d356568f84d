#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace tarvello {

// USB HID keyboard usage (keyboard/keypad page) and the virtual key code it maps to.
struct HidKeyCode {
    uint16_t usage;
    uint16_t keyCode;
};

// Every usage of the common key table, sorted by usage. Unlisted usages (0x46 to 0x48,
// everything above 0x64 but the modifiers) are unhandled, except Num Lock (below).
// Backslash and Non-US hash share 42.
inline constexpr std::array<HidKeyCode, 101> hidKeyCodes{{
    {0x04, 0},   {0x05, 11},  {0x06, 8},   {0x07, 2},   {0x08, 14},  {0x09, 3},   {0x0A, 5},   {0x0B, 4},
    {0x0C, 34},  {0x0D, 38},  {0x0E, 40},  {0x0F, 37},  {0x10, 46},  {0x11, 45},  {0x12, 31},  {0x13, 35},
    {0x14, 12},  {0x15, 15},  {0x16, 1},   {0x17, 17},  {0x18, 32},  {0x19, 9},   {0x1A, 13},  {0x1B, 7},
    {0x1C, 16},  {0x1D, 6},   {0x1E, 18},  {0x1F, 19},  {0x20, 20},  {0x21, 21},  {0x22, 23},  {0x23, 22},
    {0x24, 26},  {0x25, 28},  {0x26, 25},  {0x27, 29},  {0x28, 36},  {0x29, 53},  {0x2A, 51},  {0x2B, 48},
    {0x2C, 49},  {0x2D, 27},  {0x2E, 24},  {0x2F, 33},  {0x30, 30},  {0x31, 42},  {0x32, 42},  {0x33, 41},
    {0x34, 39},  {0x35, 50},  {0x36, 43},  {0x37, 47},  {0x38, 44},  {0x39, 57},  {0x3A, 122}, {0x3B, 120},
    {0x3C, 99},  {0x3D, 118}, {0x3E, 96},  {0x3F, 97},  {0x40, 98},  {0x41, 100}, {0x42, 101}, {0x43, 109},
    {0x44, 103}, {0x45, 111}, {0x49, 114}, {0x4A, 115}, {0x4B, 116}, {0x4C, 117}, {0x4D, 119}, {0x4E, 121},
    {0x4F, 124}, {0x50, 123}, {0x51, 125}, {0x52, 126}, {0x54, 75},  {0x55, 67},  {0x56, 78},  {0x57, 69},
    {0x58, 76},  {0x59, 83},  {0x5A, 84},  {0x5B, 85},  {0x5C, 86},  {0x5D, 87},  {0x5E, 88},  {0x5F, 89},
    {0x60, 91},  {0x61, 92},  {0x62, 82},  {0x63, 65},  {0x64, 10},  {0xE0, 59},  {0xE1, 56},  {0xE2, 58},
    {0xE3, 55},  {0xE4, 62},  {0xE5, 60},  {0xE6, 61},  {0xE7, 54},
}};

// Num Lock, which the common table leaves out: its key code is the keypad's Clear key,
// which sits where Num Lock does.
inline constexpr HidKeyCode numLockKey{0x53, 71};

// Linux evdev key code (linux/input-event-codes.h) of each usage: the key's position,
// which the computer's own keyboard layout turns into symbols. Sorted by usage.
struct HidEvdevCode {
    uint16_t usage;
    uint16_t evdev;
};
// clang-format off
inline constexpr std::array<HidEvdevCode, 102> hidEvdevCodes{{
    {0x04, 30},  {0x05, 48},  {0x06, 46},  {0x07, 32},  {0x08, 18},  {0x09, 33},  {0x0A, 34},  {0x0B, 35},
    {0x0C, 23},  {0x0D, 36},  {0x0E, 37},  {0x0F, 38},  {0x10, 50},  {0x11, 49},  {0x12, 24},  {0x13, 25},
    {0x14, 16},  {0x15, 19},  {0x16, 31},  {0x17, 20},  {0x18, 22},  {0x19, 47},  {0x1A, 17},  {0x1B, 45},
    {0x1C, 21},  {0x1D, 44},  {0x1E, 2},   {0x1F, 3},   {0x20, 4},   {0x21, 5},   {0x22, 6},   {0x23, 7},
    {0x24, 8},   {0x25, 9},   {0x26, 10},  {0x27, 11},  {0x28, 28},  {0x29, 1},   {0x2A, 14},  {0x2B, 15},
    {0x2C, 57},  {0x2D, 12},  {0x2E, 13},  {0x2F, 26},  {0x30, 27},  {0x31, 43},  {0x32, 43},  {0x33, 39},
    {0x34, 40},  {0x35, 41},  {0x36, 51},  {0x37, 52},  {0x38, 53},  {0x39, 58},  {0x3A, 59},  {0x3B, 60},
    {0x3C, 61},  {0x3D, 62},  {0x3E, 63},  {0x3F, 64},  {0x40, 65},  {0x41, 66},  {0x42, 67},  {0x43, 68},
    {0x44, 87},  {0x45, 88},  {0x49, 110}, {0x4A, 102}, {0x4B, 104}, {0x4C, 111}, {0x4D, 107}, {0x4E, 109},
    {0x4F, 106}, {0x50, 105}, {0x51, 108}, {0x52, 103}, {0x53, 69},  {0x54, 98},  {0x55, 55},  {0x56, 74},
    {0x57, 78},  {0x58, 96},  {0x59, 79},  {0x5A, 80},  {0x5B, 81},  {0x5C, 75},  {0x5D, 76},  {0x5E, 77},
    {0x5F, 71},  {0x60, 72},  {0x61, 73},  {0x62, 82},  {0x63, 83},  {0x64, 86},  {0xE0, 29},  {0xE1, 42},
    {0xE2, 56},  {0xE3, 125}, {0xE4, 97},  {0xE5, 54},  {0xE6, 100}, {0xE7, 126},
}};
// clang-format on
static_assert(hidEvdevCodes.back().usage == 0xE7, "every entry given");

// The modifier usages and their flag masks (EventFlags). A usage is a modifier exactly
// when it is listed here; Caps Lock is an ordinary key.
struct ModifierFlag {
    uint16_t usage;
    uint64_t flag;
};
inline constexpr std::array<ModifierFlag, 8> modifierFlags{{
    {0xE0, 0x40000},
    {0xE1, 0x20000},
    {0xE2, 0x80000},
    {0xE3, 0x100000},
    {0xE4, 0x40000},
    {0xE5, 0x20000},
    {0xE6, 0x80000},
    {0xE7, 0x100000},
}};

// The virtual key code of a usage, or nothing when the usage is unhandled.
constexpr std::optional<uint16_t> hidKeyCode(uint16_t usage) {
    size_t lo = 0, hi = hidKeyCodes.size();
    while (lo < hi) {
        const size_t mid = (lo + hi) / 2;
        if (hidKeyCodes[mid].usage < usage) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    if (lo < hidKeyCodes.size() && hidKeyCodes[lo].usage == usage) return hidKeyCodes[lo].keyCode;
    if (usage == numLockKey.usage) return numLockKey.keyCode;
    return std::nullopt;
}

namespace detail {
// Evdev code by virtual key code, 0 where none.
inline constexpr std::array<uint16_t, 128> evdevByKeyCode = [] {
    std::array<uint16_t, 128> table{};
    for (const auto& e : hidEvdevCodes) {
        for (const auto& h : hidKeyCodes) {
            if (h.usage == e.usage) table[h.keyCode] = e.evdev;
        }
        if (e.usage == numLockKey.usage) table[numLockKey.keyCode] = e.evdev;
    }
    return table;
}();
}  // namespace detail

// The evdev key code at the position of a virtual key code, or nothing when unmapped.
constexpr std::optional<uint16_t> evdevKeyCode(uint16_t keyCode) {
    if (keyCode >= detail::evdevByKeyCode.size() || detail::evdevByKeyCode[keyCode] == 0) return std::nullopt;
    return detail::evdevByKeyCode[keyCode];
}

// The flag mask of a modifier usage, or nothing when the usage is not a modifier.
constexpr std::optional<uint64_t> modifierFlag(uint16_t usage) {
    for (const auto& m : modifierFlags) {
        if (m.usage == usage) return m.flag;
    }
    return std::nullopt;
}

}  // namespace tarvello
