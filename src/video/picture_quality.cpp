#include "video/picture_quality.h"

#include <cmath>
#include <limits>

namespace tarvello {

double planeSsim(const uint8_t* a, int strideA, const uint8_t* b, int strideB, int width, int height) {
    constexpr int kWindow = 8, kStep = 4;
    constexpr double c1 = (0.01 * 255) * (0.01 * 255), c2 = (0.03 * 255) * (0.03 * 255);
    if (width < kWindow || height < kWindow) return 0;
    double total = 0;
    int64_t windows = 0;
    for (int y = 0; y + kWindow <= height; y += kStep) {
        for (int x = 0; x + kWindow <= width; x += kStep) {
            // Integer sums are exact; a window's sums fit 32 bits comfortably.
            int64_t sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
            for (int j = 0; j < kWindow; ++j) {
                const uint8_t* ra = a + int64_t(y + j) * strideA + x;
                const uint8_t* rb = b + int64_t(y + j) * strideB + x;
                for (int i = 0; i < kWindow; ++i) {
                    const int va = ra[i], vb = rb[i];
                    sa += va;
                    sb += vb;
                    saa += va * va;
                    sbb += vb * vb;
                    sab += va * vb;
                }
            }
            constexpr double n = kWindow * kWindow;
            const double ma = double(sa) / n, mb = double(sb) / n;
            const double va = double(saa) / n - ma * ma, vb = double(sbb) / n - mb * mb;
            const double cov = double(sab) / n - ma * mb;
            total += (2 * ma * mb + c1) * (2 * cov + c2) / ((ma * ma + mb * mb + c1) * (va + vb + c2));
            ++windows;
        }
    }
    return total / double(windows);
}

double ssimDecibels(double ssim) {
    if (ssim >= 1) return std::numeric_limits<double>::infinity();
    return -10 * std::log10(1 - ssim);
}

}  // namespace tarvello
