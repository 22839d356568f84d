#pragma once

#include <cstdint>

namespace tarvello {

// Structural similarity of two 8-bit planes of the same size, the mean over 8 × 8
// windows on a 4-pixel grid (the usual constants for 8-bit samples): 1 for equal
// planes, lower the more edges and texture differ. 0 for planes under 8 × 8.
double planeSsim(const uint8_t* a, int strideA, const uint8_t* b, int strideB, int width, int height);

// The same as a figure that spreads out the values close to 1: −10·log10(1 − ssim).
double ssimDecibels(double ssim);

}  // namespace tarvello
