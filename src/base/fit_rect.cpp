#include "base/fit_rect.h"

#include <algorithm>
#include <cstdint>

namespace tarvello {

FitRect fitInside(int srcW, int srcH, int dstW, int dstH) {
    if (srcW <= 0 || srcH <= 0 || dstW <= 0 || dstH <= 0) return {};
    FitRect r;
    if (int64_t(srcW) * dstH >= int64_t(srcH) * dstW) {
        r.width = dstW;
        r.height = int(int64_t(srcH) * dstW / srcW);
    } else {
        r.height = dstH;
        r.width = int(int64_t(srcW) * dstH / srcH);
    }
    r.width = std::min(dstW & ~1, std::max(2, r.width & ~1));
    r.height = std::min(dstH & ~1, std::max(2, r.height & ~1));
    r.x = ((dstW - r.width) / 2) & ~1;
    r.y = ((dstH - r.height) / 2) & ~1;
    return r;
}

}  // namespace tarvello
