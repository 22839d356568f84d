#pragma once

#include <cstdint>

#include "base/video_frame.h"

namespace tarvello {

// Draws a deterministic moving picture into an allocated NV12 frame: colour bars
// drifting sideways, a band of scrolling fine noise (detail an encoder must spend
// bits on), a bouncing box, and the frame index as a row of black and white blocks
// in the top-left corner. The same size and index always give the same bytes. Costs
// little more than writing the planes once.
void drawTestPattern(VideoFrame& frame, uint64_t frameIndex);

// The frame index read back from the block row of a (possibly lossy) decoded luma
// plane; the blocks are large enough to survive compression.
uint64_t readTestPatternIndex(const uint8_t* luma, int stride, int width, int height);

}  // namespace tarvello
