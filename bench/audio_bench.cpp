// Latency of the two audio paths through a sound server of the benchmark's own.
//
// Speaker: an application writes a click into the default output (a fresh low-latency
// stream, so nothing of its own is queued ahead of the click) → the 5 ms packet that
// carries it leaves the process as a UDP datagram (sent from a "pontel.video" queue the
// way the server sends media).
// Microphone: a UDP datagram carrying a marker is received while the phone streams at
// the real rate → an application recording from the microphone reads the marker.
// Microphone start: an application starts recording, the phone is asked and talks →
// the application reads the phone's first packet.
//
// Each iteration is one click or marker; its time is that latency. Counters p50_ms and
// p95_ms summarise the run. Needs the pulseaudio binary (Debian package pulseaudio).
#include <benchmark/benchmark.h>

#ifdef TARVELLO_HAVE_PULSE
#include <arpa/inet.h>
#include <poll.h>
#include <pulse/pulseaudio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <thread>

#include "audio/audio_bridge.h"
#include "audio/audio_install.h"
#include "audio/pulse_daemon.h"
#include "base/settings.h"
#include "base/settings_store.h"
#include "dispatch/serial_queue.h"
#include "platform/linux/linux_audio.h"
#include "protocol/datagram.h"

using namespace tarvello;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kIterations = 60;

struct Loopback {
    Loopback() {
        rx = socket(AF_INET, SOCK_DGRAM, 0);
        tx = socket(AF_INET, SOCK_DGRAM, 0);
        addr.sin_family = AF_INET;
        inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
        bind(rx, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        socklen_t len = sizeof addr;
        getsockname(rx, reinterpret_cast<sockaddr*>(&addr), &len);
    }
    ~Loopback() {
        close(rx);
        close(tx);
    }
    void send(const Bytes& d) const {
        sendto(tx, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    }
    // One datagram, or none within 50 ms.
    std::optional<Bytes> receive() const {
        pollfd p{rx, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) return std::nullopt;
        Bytes b(2048);
        const ssize_t n = recv(rx, b.data(), b.size(), 0);
        if (n <= 0) return std::nullopt;
        b.resize(size_t(n));
        return b;
    }
    int rx = -1, tx = -1;
    sockaddr_in addr{};
};

// A private daemon with the devices installed.
struct SoundServer {
    test::PulseDaemon daemon;
    std::unique_ptr<test::ClientEnvironment> env;
    std::shared_ptr<LinuxAudio> audio;

    bool start(std::string& error) {
        if (!test::PulseDaemon::available()) {
            error = "pulseaudio is not installed";
            return false;
        }
        if (!daemon.start()) {
            error = "the sound server did not start";
            return false;
        }
        env = std::make_unique<test::ClientEnvironment>(daemon.clientEnv());
        Settings::useStore(std::make_shared<MemoryStore>());
        LinuxAudio::Options options;
        options.persist.configHome = daemon.config;
        options.persist.systemScript = daemon.systemScript;
        audio = std::make_shared<LinuxAudio>(options);
        if (!installAudio(*audio)) {
            error = "the devices could not be installed";
            return false;
        }
        return true;
    }
    ~SoundServer() {
        audio.reset();
        daemon.stop();
    }
};

// An application playing into the default output through its own connection.
class Player {
public:
    Player() {
        loop_ = pa_threaded_mainloop_new();
        pa_threaded_mainloop_start(loop_);
        pa_threaded_mainloop_lock(loop_);
        ctx_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "audio bench player");
        pa_context_set_state_callback(
            ctx_, [](pa_context*, void* l) { signal(l); }, loop_);
        pa_context_connect(ctx_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr);
        while (PA_CONTEXT_IS_GOOD(pa_context_get_state(ctx_)) &&
               pa_context_get_state(ctx_) != PA_CONTEXT_READY)
            pa_threaded_mainloop_wait(loop_);
        pa_threaded_mainloop_unlock(loop_);
    }
    ~Player() {
        pa_threaded_mainloop_lock(loop_);
        closeLocked();
        pa_context_disconnect(ctx_);
        pa_context_unref(ctx_);
        pa_threaded_mainloop_unlock(loop_);
        pa_threaded_mainloop_stop(loop_);
        pa_threaded_mainloop_free(loop_);
    }

    // A new stream on the default sink, ready and empty.
    bool open() {
        pa_threaded_mainloop_lock(loop_);
        closeLocked();
        const pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, 48000, 2};
        stream_ = pa_stream_new(ctx_, "click", &spec, nullptr);
        pa_stream_set_state_callback(
            stream_, [](pa_stream*, void* l) { signal(l); }, loop_);
        const uint32_t bytes = 240 * 8;
        pa_buffer_attr attr{uint32_t(-1), bytes, bytes, uint32_t(-1), uint32_t(-1)};
        pa_stream_connect_playback(stream_, nullptr, &attr, PA_STREAM_ADJUST_LATENCY, nullptr, nullptr);
        while (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_)) &&
               pa_stream_get_state(stream_) != PA_STREAM_READY)
            pa_threaded_mainloop_wait(loop_);
        const bool ok = pa_stream_get_state(stream_) == PA_STREAM_READY;
        pa_threaded_mainloop_unlock(loop_);
        return ok;
    }

    void click() {
        std::vector<float> frames(480, 0.5f);
        pa_threaded_mainloop_lock(loop_);
        pa_stream_write(stream_, frames.data(), frames.size() * sizeof(float), nullptr, 0, PA_SEEK_RELATIVE);
        pa_threaded_mainloop_unlock(loop_);
    }

    void close() {
        pa_threaded_mainloop_lock(loop_);
        closeLocked();
        pa_threaded_mainloop_unlock(loop_);
    }

private:
    static void signal(void* loop) {
        pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
    }
    void closeLocked() {
        if (!stream_) return;
        pa_stream_set_state_callback(stream_, nullptr, nullptr);
        pa_stream_disconnect(stream_);
        pa_stream_unref(stream_);
        stream_ = nullptr;
    }
    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* ctx_ = nullptr;
    pa_stream* stream_ = nullptr;
};

// Waits for the moment another thread marks, bounded.
struct Moment {
    std::mutex mutex;
    std::condition_variable cv;
    std::optional<Clock::time_point> at;
    bool armed = false;

    void arm() {
        std::lock_guard lock(mutex);
        at.reset();
        armed = true;
    }
    void mark(Clock::time_point t) {
        std::lock_guard lock(mutex);
        if (!armed) return;
        armed = false;
        at = t;
        cv.notify_all();
    }
    std::optional<Clock::time_point> wait() {
        std::unique_lock lock(mutex);
        cv.wait_for(lock, std::chrono::seconds(3), [&] { return at.has_value(); });
        armed = false;
        return at;
    }
};

void summarise(benchmark::State& state, std::vector<double> ms) {
    if (ms.empty()) return;
    std::sort(ms.begin(), ms.end());
    state.counters["p50_ms"] = ms[ms.size() / 2];
    state.counters["p95_ms"] = ms[std::min(ms.size() - 1, ms.size() * 95 / 100)];
    state.counters["max_ms"] = ms.back();
}

bool hasLoud(std::span<const uint8_t> pcm16) {
    for (size_t i = 0; i + 1 < pcm16.size(); i += 2) {
        if (std::abs(int16_t(uint16_t(pcm16[i]) | uint16_t(pcm16[i + 1]) << 8)) > 8000) return true;
    }
    return false;
}

void BM_SpeakerPlayedToDatagramSent(benchmark::State& state) {
    SoundServer server;
    std::string error;
    if (!server.start(error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    Loopback net;
    SerialQueue videoQueue("pontel.video");
    auto bridge = AudioBridge::create(server.audio);
    uint32_t seq = 0;
    bridge->onSpeakerPacket = [&](Bytes packet) {
        videoQueue.async([&, p = std::move(packet)] {
            VideoPacketHeader h;
            h.frameId = ++seq;
            h.fragCount = 1;
            h.codec = static_cast<uint8_t>(MediaKind::speakerAudio);
            net.send(buildMediaDatagram(h, p));
        });
    };
    Moment sent;
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> datagrams{0};
    std::thread receiver([&] {
        while (!stop) {
            auto d = net.receive();
            if (!d) continue;
            const auto t = Clock::now();
            datagrams++;
            if (hasLoud(std::span<const uint8_t>(*d).subspan(16))) sent.mark(t);
        }
    });
    bridge->start(true, false);
    if (!test::eventually([&] { return datagrams.load() >= 20; }))
        state.SkipWithError("the tap sends nothing");

    Player player;
    std::vector<double> ms;
    for (auto _ : state) {
        if (state.error_occurred()) break;
        if (!player.open()) {
            state.SkipWithError("the player could not open a stream");
            break;
        }
        sent.arm();
        const auto t0 = Clock::now();
        player.click();
        const auto t1 = sent.wait();
        if (!t1) {
            state.SkipWithError("the click never arrived");
            break;
        }
        const double seconds = std::chrono::duration<double>(*t1 - t0).count();
        state.SetIterationTime(seconds);
        ms.push_back(seconds * 1000);
        player.close();
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    summarise(state, ms);
    bridge->shutdown();
    stop = true;
    receiver.join();
    videoQueue.stop();
}
BENCHMARK(BM_SpeakerPlayedToDatagramSent)
    ->Iterations(kIterations)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void BM_MicDatagramReceivedToSampleRead(benchmark::State& state) {
    SoundServer server;
    std::string error;
    if (!server.start(error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    auto bridge = AudioBridge::create(server.audio);
    std::atomic<bool> wanted{false};
    bridge->onMicRequest = [&](bool w) { wanted = w; };
    bridge->start(false, true);

    // The recording application, reading in 5 ms fragments over a connection of its own.
    Moment read;
    auto application = std::make_shared<LinuxAudio>();
    const auto microphone = application->deviceForUID(AudioDeviceUID::microphone);
    auto recorder = microphone ? application->makeInputUnit(*microphone, {48000, 1, 240},
                                                            [&](AudioInputUnit& unit, uint32_t frames) {
                                                                static thread_local std::vector<float> buf;
                                                                buf.resize(frames);
                                                                if (unit.render(buf) != 0) return 0;
                                                                for (float v : buf) {
                                                                    if (v > 0.25f) {
                                                                        read.mark(Clock::now());
                                                                        break;
                                                                    }
                                                                }
                                                                return 0;
                                                            })
                               : nullptr;
    if (!recorder || !recorder->start()) {
        state.SkipWithError("no recorder on the microphone");
        return;
    }
    if (!test::eventually([&] { return wanted.load(); })) {
        state.SkipWithError("the recorder was not noticed");
        return;
    }

    // The phone: 240 samples every 5 ms at the real rate; a marker packet when asked.
    Loopback net;
    std::atomic<bool> stop{false}, markNext{false};
    Moment received;
    std::thread phone([&] {
        const std::vector<uint8_t> silence(480, 0);
        std::vector<uint8_t> marker;
        for (int i = 0; i < 240; ++i) {
            marker.push_back(0x00);
            marker.push_back(0x40);  // 0.5
        }
        auto next = Clock::now();
        for (uint32_t seq = 1; !stop; ++seq) {
            VideoPacketHeader h;
            h.frameId = seq;
            h.fragCount = 1;
            h.codec = static_cast<uint8_t>(MediaKind::micAudio);
            net.send(buildMediaDatagram(h, markNext.exchange(false) ? marker : silence));
            next += std::chrono::microseconds(5000);
            std::this_thread::sleep_until(next);
        }
    });
    std::thread receiver([&] {
        while (!stop) {
            auto d = net.receive();
            if (!d) continue;
            const auto t = Clock::now();
            const auto payload = std::span<const uint8_t>(*d).subspan(16);
            if (hasLoud(payload)) received.mark(t);
            bridge->receiveMic(payload);
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    std::vector<double> ms;
    for (auto _ : state) {
        received.arm();
        read.arm();
        markNext = true;
        const auto t0 = received.wait();
        const auto t1 = read.wait();
        if (!t0 || !t1) {
            state.SkipWithError("the marker never reached the recorder");
            break;
        }
        const double seconds = std::chrono::duration<double>(*t1 - *t0).count();
        state.SetIterationTime(seconds);
        ms.push_back(seconds * 1000);
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
    }
    summarise(state, ms);
    stop = true;
    phone.join();
    receiver.join();
    recorder.reset();
    bridge->shutdown();
}
BENCHMARK(BM_MicDatagramReceivedToSampleRead)
    ->Iterations(kIterations)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Each iteration a new application starts recording, the phone is asked for its
// microphone and starts to talk: the time from its first packet arriving to the
// application reading it. Nothing may be lost while the feed starts up.
void BM_MicFirstWordsToSampleRead(benchmark::State& state) {
    SoundServer server;
    std::string error;
    if (!server.start(error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    auto bridge = AudioBridge::create(server.audio);
    std::mutex mutex;
    std::condition_variable changed;
    std::optional<bool> wanted;
    bridge->onMicRequest = [&](bool w) {
        std::lock_guard lock(mutex);
        wanted = w;
        changed.notify_all();
    };
    auto await = [&](bool w) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(5), [&] { return wanted == w; });
    };
    bridge->start(false, true);

    auto application = std::make_shared<LinuxAudio>();
    const auto microphone = application->deviceForUID(AudioDeviceUID::microphone);
    std::vector<uint8_t> marker, silence(480, 0);
    for (int i = 0; i < 240; ++i) {
        marker.push_back(0x00);
        marker.push_back(0x40);  // 0.5
    }
    std::vector<double> ms;
    for (auto _ : state) {
        Moment read;
        read.arm();
        auto recorder = microphone ? application->makeInputUnit(*microphone, {48000, 1, 240},
                                                                [&](AudioInputUnit& unit, uint32_t frames) {
                                                                    std::vector<float> buf(frames);
                                                                    if (unit.render(buf) != 0) return 0;
                                                                    for (float v : buf) {
                                                                        if (v > 0.25f) {
                                                                            read.mark(Clock::now());
                                                                            break;
                                                                        }
                                                                    }
                                                                    return 0;
                                                                })
                                   : nullptr;
        if (!recorder || !recorder->start()) {
            state.SkipWithError("no recorder on the microphone");
            break;
        }
        if (!await(true)) {
            state.SkipWithError("the recorder was not noticed");
            break;
        }
        // The phone at the real rate: the marker first, then silence.
        const auto t0 = Clock::now();
        auto next = t0;
        std::optional<Clock::time_point> t1;
        for (int seq = 0; seq < 100 && !t1; ++seq) {
            bridge->receiveMic(seq == 0 ? marker : silence);
            next += std::chrono::microseconds(5000);
            std::this_thread::sleep_until(next);
            std::lock_guard lock(read.mutex);
            t1 = read.at;
        }
        if (!t1) {
            state.SkipWithError("the first words never reached the recorder");
            break;
        }
        const double seconds = std::chrono::duration<double>(*t1 - t0).count();
        state.SetIterationTime(seconds);
        ms.push_back(seconds * 1000);
        recorder.reset();
        if (!await(false)) {
            state.SkipWithError("the recorder's end was not noticed");
            break;
        }
    }
    summarise(state, ms);
    bridge->shutdown();
}
BENCHMARK(BM_MicFirstWordsToSampleRead)->Iterations(20)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

#endif  // TARVELLO_HAVE_PULSE

BENCHMARK_MAIN();
