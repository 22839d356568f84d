// Per-frame time of turning a screen image into the phone's NV12 frame: the display's
// backing at text scale 2.5 (940x2044, scaled up) and at 2.0 (1178x2556, no scaling),
// on a page of text-like blocks that changes every frame.
//
//   frame_converter_bench [benchmark flags]
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "base/frame_converter.h"

namespace {

using namespace tarvello;

constexpr int kOutW = 1178, kOutH = 2556;

// BGRX pixels: dark blocks on a light page, a few coloured bands.
std::vector<uint8_t> page(int w, int h) {
    std::vector<uint8_t> img(size_t(w) * 4 * size_t(h), 0xF0);
    std::mt19937 random(3);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            uint8_t* p = &img[(size_t(y) * size_t(w) + size_t(x)) * 4];
            if (y % 28 < 18 && (x / 40 + y / 28) % 5 != 0 && random() % 8 != 0) p[0] = p[1] = p[2] = 0x30;
            if (y / 200 % 4 == 1) p[2] = uint8_t(x);  // a red ramp
        }
    }
    return img;
}

VideoFrame paddedFrame(int w, int h) {
    VideoFrame f;
    f.width = w;
    f.height = h;
    f.strideY = f.strideUV = (w + 63) / 64 * 64;
    f.y.resize(size_t(f.strideY) * size_t(h) + 64);
    f.uv.resize(size_t(f.strideUV) * size_t(h / 2) + 64);
    return f;
}

void convertScreen(benchmark::State& state, int srcW, int srcH) {
    auto converter = FrameConverter::create(srcW, srcH, RgbLayout::bgrx, kOutW, kOutH);
    if (!converter) {
        state.SkipWithError("no converter");
        return;
    }
    // Two pictures alternate, so the source is not the same cache-warm bytes each time.
    const std::vector<uint8_t> pictures[2] = {page(srcW, srcH), page(srcW, srcH + 1)};
    VideoFrame out = paddedFrame(kOutW, kOutH);
    size_t i = 0;
    for (auto _ : state) {
        const bool ok = converter->convert(pictures[i++ % 2].data(), srcW * 4, out);
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(out.y.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}

BENCHMARK_CAPTURE(convertScreen, scale2_5_upscaled, 940, 2044)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(convertScreen, scale2_0_same_size, 1178, 2556)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
