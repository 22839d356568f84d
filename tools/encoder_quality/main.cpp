// Weighs libx264 settings on text: each setting encodes the same scrolling text page
// at several bitrates through our Encoder, and the table gives the luma SSIM of what a
// phone would decode against the captured frame, with the encode time per frame.
//
//   tarvello-encoder-quality [--frames N] [--scroll PX] [--size WxH] [--fps N] [--mbps A,B,...]
//
// Timing covers Encoder::encode alone (conversion and decoding stay outside it): its
// wall time, which the machine's other load moves, and the CPU time the process spent
// in it across the codec's threads, which holds still under load. The table comes
// after the encoders' own log lines.
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "base/frame_converter.h"
#include "video/decoder.h"
#include "video/encoder.h"
#include "video/picture_quality.h"
#include "video/text_page.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

using namespace tarvello;

struct Setting {
    const char* name;
    const char* preset;
    const char* params;
};

// Each spelled out in full, so the table does not move with our own defaults. A lone
// number turns the filter on at that strength: "deblock=0" would not turn it off.
constexpr Setting kSettings[] = {
    {"ultrafast", "ultrafast", "no-deblock=1:cabac=0"},
    {"ultrafast+deblock", "ultrafast", "deblock=1,1:cabac=0"},
    {"ultrafast+deblock+cabac", "ultrafast", "deblock=1,1:cabac=1"},
    {"superfast", "superfast", "deblock=0,0:cabac=1"},
};

struct Options {
    int width = 1178, height = 2556, fps = 60, frames = 120, scroll = 6;
    std::vector<int> mbps{8, 20, 40};
};

struct Result {
    double ssimMean = 0, ssimMin = 1, keySsim = 0;
    double msMean = 0, msP95 = 0, cpuMsMean = 0, kbPerFrame = 0;
    int decoded = 0;
};

double processCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}

std::shared_ptr<VideoFrame> paddedFrame(int w, int h) {
    auto f = std::make_shared<VideoFrame>();
    f->width = w;
    f->height = h;
    f->strideY = f->strideUV = (w + 63) / 64 * 64;
    f->y.assign(size_t(f->strideY) * size_t(h) + 64, 16);
    f->uv.assign(size_t(f->strideUV) * size_t(h / 2) + 64, 128);
    return f;
}

bool measure(const Options& o, const TextPage& page, const Setting& setting, int mbps, Result& r) {
    std::vector<Bytes> out;
    Encoder::Row row{"libx264", VideoCodec::h264, true, false, setting.preset, setting.params};
    Encoder enc([&out](Bytes b, bool, VideoCodec, FrameTimes) { out.push_back(std::move(b)); }, {row});
    if (!enc.configure(o.width, o.height, o.fps, int64_t(mbps) * 1'000'000)) return false;
    auto converter = FrameConverter::create(o.width, o.height, RgbLayout::bgrx, o.width, o.height);
    auto decoder = Decoder::create(VideoCodec::h264);
    if (!converter || !decoder) return false;

    std::vector<double> ms, ssim;
    double cpuMs = 0;
    size_t bytes = 0;
    for (int i = 0; i < o.frames; ++i) {
        auto frame = paddedFrame(o.width, o.height);
        if (!converter->convert(page.row(i * o.scroll), page.width * 4, *frame)) return false;
        out.clear();
        const double cpuStart = processCpuMs();
        const auto start = std::chrono::steady_clock::now();
        enc.encode(frame);
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        cpuMs += processCpuMs() - cpuStart;
        for (const Bytes& b : out) {
            bytes += b.size();
            for (const auto& picture : decoder->decode(b)) {
                const auto luma = picture.luma();
                if (!luma || picture.width() != o.width || picture.height() != o.height) continue;
                const double s =
                    planeSsim(frame->y.data(), frame->strideY, luma->data, luma->stride, o.width, o.height);
                if (r.decoded == 0) r.keySsim = s;
                ssim.push_back(s);
                ++r.decoded;
            }
        }
    }
    enc.teardown();
    double sum = 0;
    for (double s : ssim) sum += s;
    r.ssimMean = ssim.empty() ? 0 : sum / double(ssim.size());
    r.ssimMin = ssim.empty() ? 0 : *std::min_element(ssim.begin(), ssim.end());
    sum = 0;
    for (double m : ms) sum += m;
    r.msMean = sum / double(ms.size());
    r.msP95 = percentile(ms, 0.95);
    r.cpuMsMean = cpuMs / double(o.frames);
    r.kbPerFrame = double(bytes) / 1000 / double(o.frames);
    return true;
}

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (!v) return false;
        if (a == "--frames") {
            o.frames = std::atoi(v);
        } else if (a == "--scroll") {
            o.scroll = std::atoi(v);
        } else if (a == "--fps") {
            o.fps = std::atoi(v);
        } else if (a == "--size") {
            if (std::sscanf(v, "%dx%d", &o.width, &o.height) != 2) return false;
        } else if (a == "--mbps") {
            o.mbps.clear();
            std::stringstream list(v);
            for (std::string item; std::getline(list, item, ',');) o.mbps.push_back(std::atoi(item.c_str()));
        } else {
            return false;
        }
        ++i;
    }
    return o.frames > 0 && o.scroll >= 0 && o.fps > 0 && o.width >= 16 && o.height >= 16 &&
           o.width % 2 == 0 && o.height % 2 == 0 && !o.mbps.empty() &&
           std::all_of(o.mbps.begin(), o.mbps.end(), [](int m) { return m > 0; });
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, o)) {
        std::fprintf(stderr, "usage: %s [--frames N] [--scroll PX] [--size WxH] [--fps N] [--mbps A,B,...]\n",
                     argv[0]);
        return 2;
    }
    av_log_set_level(AV_LOG_ERROR);
    const TextPage page = TextPage::render(o.width, o.height + o.frames * o.scroll);
    std::vector<std::string> lines;
    int failures = 0;
    for (int mbps : o.mbps) {
        for (const Setting& s : kSettings) {
            Result r;
            char line[256];
            if (!measure(o, page, s, mbps, r) || r.decoded != o.frames) {
                std::snprintf(line, sizeof line, "%-24s %5d | failed (%d of %d frames decoded)", s.name, mbps,
                              r.decoded, o.frames);
                ++failures;
            } else {
                std::snprintf(line, sizeof line,
                              "%-24s %5d | %9.5f %6.2f %9.5f %9.5f | %8.2f %8.2f %8.2f | %8.1f", s.name, mbps,
                              r.ssimMean, ssimDecibels(r.ssimMean), r.ssimMin, r.keySsim, r.msMean, r.msP95,
                              r.cpuMsMean, r.kbPerFrame);
            }
            lines.emplace_back(line);
        }
    }
    std::printf(
        "\nlibx264 on a text page %dx%d scrolling %d px a frame, %d frames @%d (frame interval %.1f ms)\n",
        o.width, o.height, o.scroll, o.frames, o.fps, 1000.0 / o.fps);
    std::printf("%-24s %5s | %9s %6s %9s %9s | %8s %8s %8s | %8s\n", "setting", "Mb/s", "SSIM mean", "(dB)",
                "SSIM min", "keyframe", "wall ms", "wall p95", "CPU ms", "kB/frame");
    for (const auto& line : lines) std::printf("%s\n", line.c_str());
    return failures == 0 ? 0 : 1;
}
