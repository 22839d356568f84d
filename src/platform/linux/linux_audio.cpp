#include "platform/linux/linux_audio.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>

namespace tarvello {

namespace {

constexpr AudioDeviceId kSourceBit = 0x8000'0000u;
// Render statuses: a buffer too small for the cycle, and a render outside any cycle.
constexpr int kParamError = -50;
constexpr int kNoCycle = -10863;
// Longest cycle handed to the bridge: its preallocated scratch holds 4096 stereo frames.
constexpr size_t kMaxCycleFrames = 4096;

struct PulseDevice {
    bool sink = true;
    uint32_t index = PA_INVALID_INDEX;
    std::string name;
    uint32_t rate = 0;
    bool monitor = false;
    bool builtIn = false;
    uint32_t monitorOf = PA_INVALID_INDEX;  // sources: the sink it monitors
    bool nullSink = false;                  // sinks: a clocked sink of module-null-sink

    AudioDeviceId id() const { return (sink ? 0 : kSourceBit) | (index + 1); }
};

bool validId(AudioDeviceId id) {
    return (id & ~kSourceBit) != 0;
}

bool builtIn(const pa_proplist* props) {
    const char* form = pa_proplist_gets(props, PA_PROP_DEVICE_FORM_FACTOR);
    const char* bus = pa_proplist_gets(props, PA_PROP_DEVICE_BUS);
    if (form && std::strcmp(form, "internal") == 0) return true;
    if (!bus) return false;
    return std::strcmp(bus, "pci") == 0 || std::strcmp(bus, "isa") == 0 || std::strcmp(bus, "platform") == 0;
}

// The process's one threaded main loop, alive while some connection uses it. libpulse
// recycles its packets, command buffers and operations through process-wide lock-free
// lists: with a loop per connection, one connection's thread would reuse memory another
// thread had just written under a different lock. Under one loop, every use of that
// memory holds the same lock.
class PulseLoop {
public:
    static std::shared_ptr<PulseLoop> shared() {
        static std::mutex mutex;
        static std::weak_ptr<PulseLoop> current;
        std::lock_guard lock(mutex);
        auto loop = current.lock();
        if (!loop) {
            loop = std::make_shared<PulseLoop>();
            current = loop;
        }
        return loop;
    }

    PulseLoop() : loop_(pa_threaded_mainloop_new()) {
        if (loop_ && pa_threaded_mainloop_start(loop_) < 0) {
            pa_threaded_mainloop_free(loop_);
            loop_ = nullptr;
        }
    }
    ~PulseLoop() {
        if (!loop_) return;
        pa_threaded_mainloop_stop(loop_);
        pa_threaded_mainloop_free(loop_);
    }
    PulseLoop(const PulseLoop&) = delete;
    PulseLoop& operator=(const PulseLoop&) = delete;

    pa_threaded_mainloop* get() const { return loop_; }

private:
    pa_threaded_mainloop* loop_;
};

}  // namespace

// One context on the shared main loop. Every method but lock() needs the lock held.
class PulseLink {
public:
    explicit PulseLink(std::string clientName) : clientName_(std::move(clientName)) {}

    ~PulseLink() {
        if (!loop_) return;
        pa_threaded_mainloop_lock(loop_);
        dropContext();
        pa_threaded_mainloop_unlock(loop_);
    }

    PulseLink(const PulseLink&) = delete;
    PulseLink& operator=(const PulseLink&) = delete;

    class Lock {
    public:
        explicit Lock(pa_threaded_mainloop* loop) : loop_(loop) {
            if (loop_) pa_threaded_mainloop_lock(loop_);
        }
        ~Lock() {
            if (loop_) pa_threaded_mainloop_unlock(loop_);
        }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        pa_threaded_mainloop* loop_;
    };

    Lock lock() {
        std::call_once(started_, [this] {
            shared_ = PulseLoop::shared();
            loop_ = shared_->get();
        });
        return Lock(loop_);
    }

    pa_context* context() const { return ctx_; }
    void signal() { pa_threaded_mainloop_signal(loop_, 0); }
    void wait() { pa_threaded_mainloop_wait(loop_); }

    // Connects when there is no working connection. False when no server answers.
    bool ready() {
        if (!loop_) {
            lastError_ = "no main loop";
            return false;
        }
        if (ctx_ && pa_context_get_state(ctx_) == PA_CONTEXT_READY) return true;
        dropContext();
        pa_proplist* props = pa_proplist_new();
        pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, clientName_.c_str());
        pa_proplist_sets(props, PA_PROP_APPLICATION_ID, "tarvello");
        ctx_ = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop_), clientName_.c_str(), props);
        pa_proplist_free(props);
        if (!ctx_) {
            lastError_ = "could not create a sound server client";
            return false;
        }
        pa_context_set_state_callback(
            ctx_, [](pa_context*, void* u) { static_cast<PulseLink*>(u)->signal(); }, this);
        // Starting a server of our own would leave one behind the user never asked for.
        if (pa_context_connect(ctx_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            lastError_ = pa_strerror(pa_context_errno(ctx_));
            dropContext();
            return false;
        }
        for (;;) {
            const auto state = pa_context_get_state(ctx_);
            if (state == PA_CONTEXT_READY) {
                ++generation_;
                return true;
            }
            if (!PA_CONTEXT_IS_GOOD(state)) {
                lastError_ = pa_strerror(pa_context_errno(ctx_));
                dropContext();
                return false;
            }
            wait();
        }
    }

    // Counts the connections made: a new value means the server went away meanwhile.
    uint64_t generation() const { return generation_; }

    std::string lastError() const {
        if (ctx_ && pa_context_errno(ctx_) != 0) return pa_strerror(pa_context_errno(ctx_));
        return lastError_;
    }

    // Waits for `op` to end. False when there was none or the connection broke meanwhile.
    bool await(pa_operation* op) {
        if (!op) return false;
        bool ok = true;
        while (pa_operation_get_state(op) == PA_OPERATION_RUNNING) {
            if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(ctx_))) {
                pa_operation_cancel(op);
                ok = false;
                break;
            }
            wait();
        }
        pa_operation_unref(op);
        return ok;
    }

    // ---- Queries ----

    struct DeviceQuery {
        PulseLink* link;
        std::vector<PulseDevice> out;
    };

    static void onSink(pa_context*, const pa_sink_info* i, int eol, void* u) {
        auto* q = static_cast<DeviceQuery*>(u);
        if (i) {
            q->out.push_back({true, i->index, i->name ? i->name : "", i->sample_spec.rate, false,
                              builtIn(i->proplist), PA_INVALID_INDEX,
                              i->driver && std::strstr(i->driver, "module-null-sink")});
        }
        if (eol != 0) q->link->signal();
    }

    static void onSource(pa_context*, const pa_source_info* i, int eol, void* u) {
        auto* q = static_cast<DeviceQuery*>(u);
        if (i) {
            q->out.push_back({false, i->index, i->name ? i->name : "", i->sample_spec.rate,
                              i->monitor_of_sink != PA_INVALID_INDEX, builtIn(i->proplist),
                              i->monitor_of_sink, false});
        }
        if (eol != 0) q->link->signal();
    }

    std::vector<PulseDevice> sinks() {
        DeviceQuery q{this, {}};
        if (!ready() || !await(pa_context_get_sink_info_list(ctx_, onSink, &q))) return {};
        return q.out;
    }

    std::vector<PulseDevice> sources() {
        DeviceQuery q{this, {}};
        if (!ready() || !await(pa_context_get_source_info_list(ctx_, onSource, &q))) return {};
        return q.out;
    }

    std::optional<PulseDevice> sinkByName(const std::string& name) {
        DeviceQuery q{this, {}};
        if (name.empty() || !ready() ||
            !await(pa_context_get_sink_info_by_name(ctx_, name.c_str(), onSink, &q)))
            return std::nullopt;
        if (q.out.empty()) return std::nullopt;
        return q.out.front();
    }

    std::optional<PulseDevice> sourceByName(const std::string& name) {
        DeviceQuery q{this, {}};
        if (name.empty() || !ready() ||
            !await(pa_context_get_source_info_by_name(ctx_, name.c_str(), onSource, &q)))
            return std::nullopt;
        if (q.out.empty()) return std::nullopt;
        return q.out.front();
    }

    std::optional<PulseDevice> byId(AudioDeviceId id) {
        if (!validId(id) || !ready()) return std::nullopt;
        const uint32_t index = (id & ~kSourceBit) - 1;
        DeviceQuery q{this, {}};
        pa_operation* op = (id & kSourceBit) ? pa_context_get_source_info_by_index(ctx_, index, onSource, &q)
                                             : pa_context_get_sink_info_by_index(ctx_, index, onSink, &q);
        if (!await(op) || q.out.empty()) return std::nullopt;
        return q.out.front();
    }

    struct ServerInfo {
        std::string defaultSink, defaultSource, serverName;
    };

    std::optional<ServerInfo> serverInfo() {
        struct Query {
            PulseLink* link;
            std::optional<ServerInfo> info;
        } q{this, std::nullopt};
        auto cb = [](pa_context*, const pa_server_info* i, void* u) {
            auto* query = static_cast<Query*>(u);
            if (i) {
                query->info = ServerInfo{i->default_sink_name ? i->default_sink_name : "",
                                         i->default_source_name ? i->default_source_name : "",
                                         i->server_name ? i->server_name : ""};
            }
            query->link->signal();
        };
        if (!ready() || !await(pa_context_get_server_info(ctx_, cb, &q))) return std::nullopt;
        return q.info;
    }

    struct SuccessQuery {
        PulseLink* link;
        bool ok = false;
    };

    static void onSuccess(pa_context*, int success, void* u) {
        auto* q = static_cast<SuccessQuery*>(u);
        q->ok = success != 0;
        q->link->signal();
    }

    bool setDefault(bool sink, const std::string& name) {
        SuccessQuery q{this};
        if (!ready()) return false;
        pa_operation* op = sink ? pa_context_set_default_sink(ctx_, name.c_str(), onSuccess, &q)
                                : pa_context_set_default_source(ctx_, name.c_str(), onSuccess, &q);
        return await(op) && q.ok;
    }

    // Whether a client other than this one has an uncorked stream on the device.
    std::optional<bool> deviceInUse(const PulseDevice& device) {
        struct Query {
            PulseLink* link;
            uint32_t device, self;
            bool inUse = false;
        } q{this, device.index, pa_context_get_index(ctx_)};
        if (device.sink) {
            auto cb = [](pa_context*, const pa_sink_input_info* i, int eol, void* u) {
                auto* query = static_cast<Query*>(u);
                if (i && i->sink == query->device && !i->corked && i->client != query->self)
                    query->inUse = true;
                if (eol != 0) query->link->signal();
            };
            if (!await(pa_context_get_sink_input_info_list(ctx_, cb, &q))) return std::nullopt;
        } else {
            auto cb = [](pa_context*, const pa_source_output_info* i, int eol, void* u) {
                auto* query = static_cast<Query*>(u);
                if (i && i->source == query->device && !i->corked && i->client != query->self)
                    query->inUse = true;
                if (eol != 0) query->link->signal();
            };
            if (!await(pa_context_get_source_output_info_list(ctx_, cb, &q))) return std::nullopt;
        }
        return q.inUse;
    }

    // An idle null sink renders ahead by its longest latency (two seconds) and cannot
    // take that back, so a stream that has just asked for a short latency would wait
    // that long. Suspending and resuming restarts its clock at the latency asked for now.
    void restartClock(const pa_stream* stream, bool input) {
        uint32_t sink = PA_INVALID_INDEX;
        const uint32_t device = pa_stream_get_device_index(const_cast<pa_stream*>(stream));
        if (input) {
            DeviceQuery q{this, {}};
            if (!await(pa_context_get_source_info_by_index(ctx_, device, onSource, &q)) || q.out.empty())
                return;
            sink = q.out.front().monitorOf;
        } else {
            sink = device;
        }
        DeviceQuery q{this, {}};
        if (sink == PA_INVALID_INDEX || !await(pa_context_get_sink_info_by_index(ctx_, sink, onSink, &q)) ||
            q.out.empty() || !q.out.front().nullSink)
            return;
        SuccessQuery suspended{this}, resumed{this};
        await(pa_context_suspend_sink_by_index(ctx_, sink, 1, onSuccess, &suspended));
        await(pa_context_suspend_sink_by_index(ctx_, sink, 0, onSuccess, &resumed));
    }

    bool loadModule(const std::string& name, const std::string& arguments) {
        struct Query {
            PulseLink* link;
            uint32_t index = PA_INVALID_INDEX;
        } q{this};
        auto cb = [](pa_context*, uint32_t index, void* u) {
            auto* query = static_cast<Query*>(u);
            query->index = index;
            query->link->signal();
        };
        if (!ready()) return false;
        return await(pa_context_load_module(ctx_, name.c_str(), arguments.c_str(), cb, &q)) &&
               q.index != PA_INVALID_INDEX;
    }

private:
    void dropContext() {
        if (!ctx_) return;
        pa_context_set_state_callback(ctx_, nullptr, nullptr);
        pa_context_disconnect(ctx_);
        pa_context_unref(ctx_);
        ctx_ = nullptr;
    }

    std::string clientName_;
    std::once_flag started_;
    std::shared_ptr<PulseLoop> shared_;
    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* ctx_ = nullptr;
    std::string lastError_;
    uint64_t generation_ = 0;
};

namespace {

// A stream pinned to one device. The main loop's lock serialises its callbacks with
// start() and stop(), so once stop() has the lock no callback runs again.
class PulseStream {
public:
    PulseStream(std::shared_ptr<PulseLink> link, std::string device, const AudioUnitFormat& format,
                bool input)
        : link_(std::move(link)), device_(std::move(device)), format_(format), input_(input) {}

    size_t frameBytes() const { return sizeof(float) * static_cast<size_t>(format_.channels); }

    // `owner` receives the read or write callback.
    bool start(void* owner, pa_stream_request_cb_t onData) {
        auto lock = link_->lock();
        if (stream_) return true;
        if (!link_->ready()) return false;
        const pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, static_cast<uint32_t>(format_.sampleRate),
                                  static_cast<uint8_t>(format_.channels)};
        pa_channel_map map;
        const bool mapped = format_.channels == 1
                                ? pa_channel_map_init_mono(&map) != nullptr
                                : pa_channel_map_init_auto(&map, static_cast<unsigned>(format_.channels),
                                                           PA_CHANNEL_MAP_DEFAULT) != nullptr;
        if (!mapped || !pa_sample_spec_valid(&spec)) return false;
        stream_ = pa_stream_new(link_->context(),
                                input_ ? "Tarvello speaker tap" : "Tarvello microphone feed", &spec, &map);
        if (!stream_) return false;
        pa_stream_set_state_callback(
            stream_, [](pa_stream*, void* u) { static_cast<PulseLink*>(u)->signal(); }, link_.get());
        const auto cycleBytes = static_cast<uint32_t>(format_.bufferFrames * frameBytes());
        const uint32_t any = static_cast<uint32_t>(-1);
        pa_buffer_attr attr{any, any, any, any, any};
        // Our devices must not follow the user's default moves, nor theirs ours.
        const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
        int rc = 0;
        if (input_) {
            attr.fragsize = cycleBytes;
            pa_stream_set_read_callback(stream_, onData, owner);
            rc = pa_stream_connect_record(stream_, device_.c_str(), &attr, flags);
        } else {
            // The feed's own jitter buffer already holds 20 to 30 ms: every cycle more
            // here is latency the recorder hears.
            attr.tlength = cycleBytes;
            attr.minreq = cycleBytes / 2;
            pa_stream_set_write_callback(stream_, onData, owner);
            rc = pa_stream_connect_playback(stream_, device_.c_str(), &attr, flags, nullptr, nullptr);
        }
        if (rc == 0) {
            for (;;) {
                const auto state = pa_stream_get_state(stream_);
                if (state == PA_STREAM_READY) {
                    link_->restartClock(stream_, input_);
                    return true;
                }
                if (!PA_STREAM_IS_GOOD(state)) break;
                link_->wait();
            }
        }
        dropLocked();
        return false;
    }

    void stop() {
        auto lock = link_->lock();
        dropLocked();
    }

private:
    void dropLocked() {
        if (!stream_) return;
        pa_stream_set_state_callback(stream_, nullptr, nullptr);
        pa_stream_set_read_callback(stream_, nullptr, nullptr);
        pa_stream_set_write_callback(stream_, nullptr, nullptr);
        if (pa_stream_get_state(stream_) != PA_STREAM_UNCONNECTED) pa_stream_disconnect(stream_);
        pa_stream_unref(stream_);
        stream_ = nullptr;
    }

    std::shared_ptr<PulseLink> link_;
    std::string device_;
    AudioUnitFormat format_;
    bool input_;
    pa_stream* stream_ = nullptr;
};

class PulseInputUnit final : public AudioInputUnit {
public:
    PulseInputUnit(std::shared_ptr<PulseLink> link, std::string source, const AudioUnitFormat& format,
                   Cycle cycle)
        : stream_(std::move(link), std::move(source), format, true),
          channels_(static_cast<size_t>(format.channels)),
          cycle_(std::move(cycle)) {}
    ~PulseInputUnit() override { stream_.stop(); }

    int render(std::span<float> out) override {
        if (!current_) return kNoCycle;
        const size_t count = currentFrames_ * channels_;
        if (out.size() < count) return kParamError;
        std::memcpy(out.data(), current_, count * sizeof(float));
        return 0;
    }
    bool start() override { return stream_.start(this, onRead); }
    void stop() override { stream_.stop(); }

private:
    static void onRead(pa_stream* s, size_t, void* u) {
        auto* self = static_cast<PulseInputUnit*>(u);
        while (pa_stream_readable_size(s) > 0) {
            const void* data = nullptr;
            size_t bytes = 0;
            if (pa_stream_peek(s, &data, &bytes) < 0 || bytes == 0) return;
            // A hole (no data) carries nothing to read.
            if (data) self->deliver(static_cast<const uint8_t*>(data), bytes);
            pa_stream_drop(s);
        }
    }

    void deliver(const uint8_t* data, size_t bytes) {
        const size_t frameBytes = channels_ * sizeof(float);
        size_t frames = bytes / frameBytes;
        while (frames > 0) {
            const size_t n = std::min(frames, kMaxCycleFrames);
            current_ = data;
            currentFrames_ = n;
            cycle_(*this, static_cast<uint32_t>(n));
            data += n * frameBytes;
            frames -= n;
        }
        current_ = nullptr;
        currentFrames_ = 0;
    }

    PulseStream stream_;
    size_t channels_;
    Cycle cycle_;
    const uint8_t* current_ = nullptr;
    size_t currentFrames_ = 0;
};

class PulseOutputUnit final : public AudioOutputUnit {
public:
    PulseOutputUnit(std::shared_ptr<PulseLink> link, std::string sink, const AudioUnitFormat& format,
                    Render render)
        : stream_(std::move(link), std::move(sink), format, false),
          channels_(static_cast<size_t>(format.channels)),
          render_(std::move(render)),
          scratch_(kMaxCycleFrames * channels_) {}
    ~PulseOutputUnit() override { stream_.stop(); }

    bool start() override { return stream_.start(this, onWrite); }
    void stop() override { stream_.stop(); }

private:
    static void onWrite(pa_stream* s, size_t requested, void* u) {
        auto* self = static_cast<PulseOutputUnit*>(u);
        const size_t frameBytes = self->channels_ * sizeof(float);
        while (requested >= frameBytes) {
            size_t len = std::min(requested, self->scratch_.size() * sizeof(float)) / frameBytes * frameBytes;
            void* buffer = nullptr;
            if (pa_stream_begin_write(s, &buffer, &len) < 0 || !buffer) return;
            len = std::min(len, requested) / frameBytes * frameBytes;
            len = std::min(len, self->scratch_.size() * sizeof(float));
            if (len == 0) {
                pa_stream_cancel_write(s);
                return;
            }
            // The server's buffer carries no alignment promise: render beside it.
            self->render_(std::span<float>(self->scratch_.data(), len / sizeof(float)));
            std::memcpy(buffer, self->scratch_.data(), len);
            if (pa_stream_write(s, buffer, len, nullptr, 0, PA_SEEK_RELATIVE) < 0) return;
            requested -= len;
        }
    }

    PulseStream stream_;
    size_t channels_;
    Render render_;
    std::vector<float> scratch_;
};

}  // namespace

LinuxAudio::LinuxAudio() : LinuxAudio(Options{}) {}

LinuxAudio::LinuxAudio(Options options)
    : options_(std::move(options)), link_(std::make_shared<PulseLink>(options_.clientName)) {}

LinuxAudio::~LinuxAudio() = default;

std::optional<AudioDeviceId> LinuxAudio::deviceForUID(const std::string& uid) {
    const std::string name = pulseNameForUID(uid);
    auto lock = link_->lock();
    if (auto d = link_->sinkByName(name)) return d->id();
    if (auto d = link_->sourceByName(name)) return d->id();
    return std::nullopt;
}

std::optional<std::string> LinuxAudio::deviceUID(AudioDeviceId device) {
    auto lock = link_->lock();
    if (auto d = link_->byId(device)) return uidForPulseName(d->name);
    return std::nullopt;
}

std::optional<AudioDeviceId> LinuxAudio::defaultDevice(AudioDefault which) {
    auto lock = link_->lock();
    const auto info = link_->serverInfo();
    if (!info) return std::nullopt;
    const auto d = which == AudioDefault::input ? link_->sourceByName(info->defaultSource)
                                                : link_->sinkByName(info->defaultSink);
    if (!d) return std::nullopt;
    return d->id();
}

bool LinuxAudio::setDefaultDevice(AudioDefault which, AudioDeviceId device) {
    auto lock = link_->lock();
    const auto d = link_->byId(device);
    if (!d || d->sink != (which != AudioDefault::input)) return false;
    return link_->setDefault(d->sink, d->name);
}

bool LinuxAudio::setNominalSampleRate(AudioDeviceId device, double rate) {
    auto lock = link_->lock();
    const auto d = link_->byId(device);
    return d && static_cast<double>(d->rate) == rate;
}

std::vector<AudioDeviceEntry> LinuxAudio::devices() {
    auto lock = link_->lock();
    std::vector<AudioDeviceEntry> out;
    for (const auto& d : link_->sinks()) {
        out.push_back({d.id(), uidForPulseName(d.name), 0, 1,
                       d.builtIn ? AudioTransport::builtIn : AudioTransport::other});
    }
    for (const auto& d : link_->sources()) {
        if (d.monitor) continue;
        out.push_back({d.id(), uidForPulseName(d.name), 1, 0,
                       d.builtIn ? AudioTransport::builtIn : AudioTransport::other});
    }
    return out;
}

std::optional<bool> LinuxAudio::runningSomewhere(AudioDeviceId device) {
    auto lock = link_->lock();
    const auto d = link_->byId(device);
    if (!d) return std::nullopt;
    return link_->deviceInUse(*d);
}

std::optional<uint64_t> LinuxAudio::connection() {
    auto lock = link_->lock();
    if (!link_->ready()) return std::nullopt;
    return link_->generation();
}

std::unique_ptr<AudioInputUnit> LinuxAudio::makeInputUnit(AudioDeviceId device, const AudioUnitFormat& format,
                                                          AudioInputUnit::Cycle cycle) {
    std::optional<PulseDevice> d;
    {
        auto lock = link_->lock();
        d = link_->byId(device);
    }
    if (!d || d->sink || format.channels < 1) return nullptr;
    return std::make_unique<PulseInputUnit>(link_, d->name, format, std::move(cycle));
}

std::unique_ptr<AudioOutputUnit> LinuxAudio::makeOutputUnit(AudioDeviceId device,
                                                            const AudioUnitFormat& format,
                                                            AudioOutputUnit::Render render) {
    std::optional<PulseDevice> d;
    {
        auto lock = link_->lock();
        d = link_->byId(device);
    }
    if (!d || !d->sink || format.channels < 1) return nullptr;
    return std::make_unique<PulseOutputUnit>(link_, d->name, format, std::move(render));
}

std::optional<std::string> LinuxAudio::installDevices() {
    bool pipeWire = false;
    {
        auto lock = link_->lock();
        if (!link_->ready()) return "no sound server: " + link_->lastError();
        const auto info = link_->serverInfo();
        if (!info) return "the sound server did not answer: " + link_->lastError();
        pipeWire = info->serverName.find("PipeWire") != std::string::npos;
        for (const auto& m : tarvelloModules()) {
            const auto existing = m.createsSink ? link_->sinkByName(m.device) : link_->sourceByName(m.device);
            if (existing) continue;
            if (!link_->loadModule(m.name, m.arguments))
                return m.name + " " + m.device + ": " + link_->lastError();
        }
    }
    return persistAudioDevices(pipeWire, options_.persist);
}

}  // namespace tarvello
