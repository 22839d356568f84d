// The phone's camera path end to end: the last fragment of a cameraHEVC frame handed
// to the camera bridge -> decoded, letterboxed, written to tarvello-camera -> a
// PipeWire reader (GStreamer, writing raw frames into a pipe read here) has the
// picture. 1280 x 720 at 30 fps for five seconds in a private PipeWire session.
// Also reports the extension's CPU time per second of wall time while one reader reads.
//
//   ./build/camera_bench
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "camera/camera_bridge.h"
#include "camera/pipewire_session.h"
#include "platform/linux/linux_camera.h"
#include "protocol/camera_feed.h"
#include "protocol/datagram.h"
#include "video/encoder.h"

namespace tarvello {
namespace {

constexpr int kWidth = 1280, kHeight = 720, kFps = 30;
constexpr size_t kFrameBytes = size_t(kWidth) * kHeight * 3 / 2;
constexpr double kSeconds = 5.0;
// Each frame's brightness tells it from its neighbours; none is the placeholder's 60.
constexpr int kLevels[4] = {20, 100, 170, 235};

double now() {
    return monotonicSeconds();
}

double cpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text{std::istreambuf_iterator<char>(in), {}};
    const auto close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string f;
    double ticks = 0;
    for (int i = 3; fields >> f; ++i) {
        if (i == 14 || i == 15) ticks += std::stod(f);
        if (i == 15) break;
    }
    return ticks / double(sysconf(_SC_CLK_TCK));
}

std::vector<Bytes> encodeStream() {
    std::vector<Bytes> frames;
    Encoder encoder([&](Bytes b, bool, VideoCodec, FrameTimes) { frames.push_back(std::move(b)); },
                    {Encoder::Row{"libx265", VideoCodec::hevc, true, false}});
    if (!encoder.configure(kWidth, kHeight, kFps, 4'000'000)) return {};
    for (int i = 0; i < kFps; ++i) {
        auto f = VideoFrame::make(kWidth, kHeight);
        std::fill(f->y.begin(), f->y.end(), uint8_t(kLevels[i % 4]));
        encoder.encode(f);
    }
    encoder.teardown();
    return frames;
}

int levelOf(int luma) {
    for (int i = 0; i < 4; ++i) {
        if (std::abs(luma - kLevels[i]) <= 12) return i;
    }
    return -1;
}

void BM_CameraLastFragmentToReader(benchmark::State& state) {
    const auto self = std::filesystem::read_symlink("/proc/self/exe").parent_path();
    const std::string extensionPath = (self / "tarvello-camera").string();
    if (!test::PipeWireSession::available() || !test::PipeWireSession::gstreamerAvailable() ||
        access(extensionPath.c_str(), X_OK) != 0) {
        state.SkipWithError("needs pipewire, wireplumber, dbus-daemon, gst-launch-1.0 and tarvello-camera");
        return;
    }
    const auto stream = encodeStream();
    if (stream.size() != size_t(kFps)) {
        state.SkipWithError("no libx265");
        return;
    }

    for (auto _ : state) {
        test::PipeWireSession session;
        if (!session.start()) {
            state.SkipWithError("PipeWire session did not start");
            return;
        }
        const std::string socketPath = (session.runtime / camerafeed::kSocketName).string();
        const pid_t extension = session.spawn(extensionPath, {"--socket", socketPath}, "camera.log");
        const auto fifo = session.root / "frames.fifo";
        mkfifo(fifo.c_str(), 0600);
        const int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        fcntl(fd, F_SETFL, 0);
        const pid_t reader =
            session.spawn("gst-launch-1.0",
                          {"-q", "pipewiresrc", "target-object=tarvello-camera", "!",
                           "video/x-raw,format=NV12,width=1280,height=720", "!", "filesink",
                           "location=" + fifo.string(), "sync=false", "buffer-mode=unbuffered"},
                          "reader.log");

        std::mutex mutex;
        std::vector<std::pair<double, int>> arrivals;  // time, level
        std::atomic<bool> reading{true};
        std::thread readerThread([&] {
            std::vector<uint8_t> frame(kFrameBytes);
            while (reading) {
                size_t got = 0;
                while (got < frame.size()) {
                    const ssize_t n = read(fd, frame.data() + got, frame.size() - got);
                    if (n == 0) {
                        // No writer yet (or any more): the reader opens the pipe when it starts.
                        if (!reading) return;
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                        continue;
                    }
                    if (n < 0) {
                        if (errno == EINTR) continue;
                        return;
                    }
                    got += size_t(n);
                }
                const double t = now();
                std::lock_guard lock(mutex);
                arrivals.emplace_back(t, levelOf(frame[size_t(kHeight / 2) * kWidth + kWidth / 2]));
            }
        });

        LinuxCamera::Options o;
        o.socketPath = socketPath;
        auto bridge = CameraBridge::create(std::make_shared<LinuxCamera>(o));
        std::atomic<bool> watching{false};
        bridge->onCameraRequest = [&](bool on) { watching = on; };
        bridge->start();
        test::PipeWireSession::waitFor([&] { return watching.load(); });

        std::vector<std::pair<double, int>> sent;  // time of the last fragment, level
        const double cpuBefore = cpuSeconds(extension);
        const double start = now();
        const int total = int(kSeconds * kFps);
        for (int i = 0; i < total; ++i) {
            const double due = start + double(i) / kFps;
            while (now() < due) std::this_thread::sleep_for(std::chrono::microseconds(200));
            VideoPacketHeader h;
            h.frameId = uint32_t(i + 1);
            h.codec = static_cast<uint8_t>(MediaKind::cameraHEVC);
            for (const Bytes& d : fragmentFrame(stream[size_t(i % kFps)], h)) {
                auto hh = VideoPacketHeader::decode(d);
                bridge->receivePacket(*hh, std::span(d).subspan(Pontel::headerSize));
            }
            // The picture repeats the stream, whose 30 frames are not a multiple of the 4 levels.
            sent.emplace_back(now(), (i % kFps) % 4);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const double wall = now() - start;
        const double cpu = cpuSeconds(extension) - cpuBefore;

        const auto stats = bridge->stats();
        bridge->shutdown();
        endChild(reader, SIGINT, 3.0, false);
        reading = false;
        close(fd);
        readerThread.join();
        endChild(extension, SIGTERM, 3.0, false);

        // Each arrival belongs to the earliest unmatched frame of its brightness, a few ahead at most.
        std::vector<double> latencies;
        size_t next = 0;
        for (const auto& [t, level] : arrivals) {
            if (level < 0) continue;
            for (size_t j = next; j < std::min(sent.size(), next + 4); ++j) {
                if (sent[j].second == level && sent[j].first <= t) {
                    latencies.push_back((t - sent[j].first) * 1000.0);
                    next = j + 1;
                    break;
                }
            }
        }
        std::sort(latencies.begin(), latencies.end());
        auto pct = [&](double p) {
            return latencies.empty()
                       ? 0.0
                       : latencies[std::min(latencies.size() - 1, size_t(p * latencies.size()))];
        };
        state.SetIterationTime(wall);
        state.counters["p50_ms"] = pct(0.50);
        state.counters["p95_ms"] = pct(0.95);
        state.counters["max_ms"] = latencies.empty() ? 0.0 : latencies.back();
        state.counters["frames_sent"] = double(sent.size());
        state.counters["frames_matched"] = double(latencies.size());
        state.counters["frames_read"] = double(arrivals.size());
        state.counters["frames_decoded"] = double(stats.decoded);
        state.counters["frames_written"] = double(stats.sent);
        state.counters["extension_cpu_pct"] = 100.0 * cpu / wall;
    }
}
BENCHMARK(BM_CameraLastFragmentToReader)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace
}  // namespace tarvello

BENCHMARK_MAIN();
