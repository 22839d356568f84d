// Per-frame encode time at the phone's full size on the moving test pattern, for
// every row of the encoder table that opens on this machine.
//
//   encoder_bench [--frames=N] [benchmark flags]
//                                            run the benchmarks, each over exactly
//                                            N frames when given
//   encoder_bench --dump-frames N FILE       write the N distinct pictures the
//                                            benchmark cycles through as raw NV12,
//                                            for running the same input through
//                                            the ffmpeg command line
// ENCODER_BENCH_VERBOSE=1 lets the codecs' own log through (settings, statistics).
// scripts/bench-encoder.sh runs it next to the ffmpeg command line.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/test_pattern.h"
#include "video/encoder.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

using namespace tarvello;

constexpr int width = 1178, height = 2556, fps = 60;
constexpr int64_t bitrate = 25'000'000;
// The benchmark cycles through this many distinct pictures (a second at 60 Hz).
constexpr int distinctFrames = 60;

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const auto i = size_t(p * double(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

void encodeFrames(benchmark::State& state, const Encoder::Row& row) {
    size_t bytes = 0;
    Encoder enc([&bytes](Bytes b, bool, VideoCodec, FrameTimes) { bytes += b.size(); }, {row});
    if (!enc.configure(width, height, fps, bitrate)) {
        state.SkipWithError((row.encoderName + " does not open here").c_str());
        return;
    }
    std::vector<double> ms;
    size_t i = 0;
    for (auto _ : state) {
        // Drawn just before it is encoded, as capture hands over a frame it has just
        // written: the picture is as warm in cache as a real one.
        auto frame = VideoFrame::make(width, height);
        drawTestPattern(*frame, i++ % distinctFrames);
        const auto start = std::chrono::steady_clock::now();
        enc.encode(frame);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(took.count());
        ms.push_back(took.count() * 1000);
    }
    enc.teardown();
    double sum = 0;
    for (double m : ms) sum += m;
    state.counters["mean_ms"] = ms.empty() ? 0 : sum / double(ms.size());
    state.counters["p50_ms"] = percentile(ms, 0.50);
    state.counters["p99_ms"] = percentile(ms, 0.99);
    state.counters["kB_per_frame"] = ms.empty() ? 0 : double(bytes) / 1000 / double(ms.size());
}

int dumpFrames(int count, const char* path) {
    std::FILE* out = std::strcmp(path, "-") == 0 ? stdout : std::fopen(path, "wb");
    if (!out) {
        std::perror(path);
        return 1;
    }
    auto f = VideoFrame::make(width, height);
    for (int i = 0; i < count; ++i) {
        drawTestPattern(*f, uint64_t(i));
        std::fwrite(f->y.data(), 1, f->y.size(), out);
        std::fwrite(f->uv.data(), 1, f->uv.size(), out);
    }
    return (out == stdout ? std::fflush(out) : std::fclose(out)) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--dump-frames") == 0) {
        if (argc != 4) {
            std::fprintf(stderr, "usage: %s --dump-frames N FILE\n", argv[0]);
            return 2;
        }
        return dumpFrames(std::atoi(argv[2]), argv[3]);
    }
    int64_t frames = 0;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--frames=", 9) == 0)
            frames = std::atoll(argv[i] + 9);
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    av_log_set_level(std::getenv("ENCODER_BENCH_VERBOSE") ? AV_LOG_INFO : AV_LOG_ERROR);
    for (const auto& row : Encoder::defaultRows()) {
        const std::string name = "Encode/" + row.encoderName + (row.lowLatency ? "/lowLatency" : "");
        auto* b = benchmark::RegisterBenchmark(name.c_str(), encodeFrames, row);
        b->UseManualTime()->Unit(benchmark::kMillisecond);
        if (frames > 0) b->Iterations(frames);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
