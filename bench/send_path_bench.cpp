// Cost of putting one encoded frame on the wire: the batched, copy-free send path
// against the plain way (build each datagram, one sendto per datagram).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "protocol/datagram.h"
#include "server/batch_sender.h"

using namespace tarvello;

namespace {

constexpr size_t kFrameBytes = 167'000;

// A loopback receiver drained by its own thread, so sends never find a full queue.
struct Sink {
    Sink() {
        rx = socket(AF_INET, SOCK_DGRAM, 0);
        tx = socket(AF_INET, SOCK_DGRAM, 0);
        int big = 16 << 20;
        setsockopt(rx, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
        setsockopt(tx, SOL_SOCKET, SO_SNDBUFFORCE, &big, sizeof big);
        addr.sin_family = AF_INET;
        inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
        bind(rx, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        socklen_t len = sizeof addr;
        getsockname(rx, reinterpret_cast<sockaddr*>(&addr), &len);
        drainer = std::thread([this] {
            uint8_t buf[2048];
            while (!stop) {
                pollfd p{rx, POLLIN, 0};
                if (poll(&p, 1, 50) > 0) {
                    while (recv(rx, buf, sizeof buf, MSG_DONTWAIT) > 0) received++;
                }
            }
        });
    }
    ~Sink() {
        stop = true;
        drainer.join();
        close(rx);
        close(tx);
    }
    int rx = -1, tx = -1;
    sockaddr_in addr{};
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> received{0};
    std::thread drainer;
};

Bytes makeFrame() {
    Bytes f(kFrameBytes);
    for (size_t i = 0; i < f.size(); ++i) f[i] = static_cast<uint8_t>(i * 31);
    return f;
}

void BM_SendFrameBatched(benchmark::State& state) {
    Sink sink;
    BatchSender sender;
    if (state.range(0) == 0) sender.disableSegmentation();
    const Bytes frame = makeFrame();
    VideoPacketHeader h;
    h.codec = 2;
    for (auto _ : state) {
        ++h.frameId;
        benchmark::DoNotOptimize(
            sender.sendFrame(sink.tx, reinterpret_cast<sockaddr*>(&sink.addr), sizeof sink.addr, frame, h));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kFrameBytes));
    state.counters["datagrams"] = fragmentCount(kFrameBytes);
    state.SetLabel(sender.segmentation() ? "segmentation offload" : "sendmmsg, one message per datagram");
}
BENCHMARK(BM_SendFrameBatched)->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_SendFramePerDatagram(benchmark::State& state) {
    Sink sink;
    const Bytes frame = makeFrame();
    VideoPacketHeader h;
    h.codec = 2;
    for (auto _ : state) {
        ++h.frameId;
        for (auto& d : fragmentFrame(frame, h)) {
            sendto(sink.tx, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&sink.addr), sizeof sink.addr);
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kFrameBytes));
}
BENCHMARK(BM_SendFramePerDatagram)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
