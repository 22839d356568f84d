#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// Constants every networked component shares with the phone app.
namespace Pontel {
inline constexpr uint32_t protocolVersion = 3;
inline constexpr uint16_t controlPort = 47800;
inline constexpr uint16_t videoPort = 47801;
inline constexpr int maxDatagram = 1200;
inline constexpr int headerSize = 16;
inline constexpr int maxFragmentPayload = maxDatagram - headerSize;        // 1184
inline constexpr std::array<uint8_t, 4> udpMagic{0x50, 0x4E, 0x55, 0x50};  // "PNUP"
inline constexpr int maxFragments = 65534;
inline constexpr size_t maxFrameBytes = size_t(maxFragments) * maxFragmentPayload;  // 77 592 256
}  // namespace Pontel
