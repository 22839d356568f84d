#pragma once

namespace tarvello {

// Where a picture of srcW × srcH lands when fitted into dstW × dstH, shape kept, centred
// between bars. Sizes and offsets are even, as NV12 needs. All zero when a size is not positive.
struct FitRect {
    int x = 0, y = 0, width = 0, height = 0;
};
FitRect fitInside(int srcW, int srcH, int dstW, int dstH);

}  // namespace tarvello
