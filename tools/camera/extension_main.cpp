// tarvello-camera: publishes the phone's camera as a PipeWire video source
// ("Tarvello Camera") and takes its pictures from the application through a local
// socket. Everything runs on one PipeWire main loop: stream events, the 30 Hz tick,
// the socket and the reconnect timer, so no state is shared between threads.

#include <fcntl.h>
#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <spa/utils/result.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <systemd/sd-journal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "feed_parser.h"
#include "output_schedule.h"
#include "peer_credentials.h"
#include "picture_layout.h"
#include "protocol/camera_feed.h"

using namespace tarvello;
using namespace tarvello::camera;

namespace {

constexpr uint32_t kBuffers = 8;
constexpr double kReconnectDelay = 1.0;
// Bytes read from the application per wake-up before the loop serves other work.
constexpr size_t kReadBudget = 8u << 20;

bool gJournal = false;

double monotonicNow() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

void say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void say(const char* fmt, ...) {
    char text[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    std::fprintf(stderr, "%02d:%02d:%02d.%03ld  %s\n", local.tm_hour, local.tm_min, local.tm_sec,
                 ts.tv_nsec / 1000000, text);
    // Under a systemd unit standard error already goes to the journal.
    if (gJournal) sd_journal_print(LOG_INFO, "%s", text);
}

timespec secondsToTimespec(double s) {
    timespec t{};
    t.tv_sec = time_t(s);
    t.tv_nsec = long((s - double(t.tv_sec)) * 1e9);
    if (t.tv_sec == 0 && t.tv_nsec == 0) t.tv_nsec = 1;  // zero would disarm the timer
    return t;
}

class Extension {
public:
    explicit Extension(std::string socketPath) : socketPath_(std::move(socketPath)) {}
    ~Extension();

    int run();

private:
    // PipeWire
    void connectPipeWire();
    void disconnectPipeWire();
    void scheduleReconnect(double delay);
    void onStreamState(pw_stream_state state, const char* error);
    void onParamChanged(uint32_t id, const spa_pod* param);
    void onProcess();
    void onTick();
    void setInUse(bool streaming);
    void trigger();

    // Socket
    bool listen();
    void onAccept();
    void onClientReadable();
    void dropClient(const char* why);
    void sendStatus();
    void onPicture();

    std::string socketPath_;
    pw_main_loop* main_ = nullptr;
    pw_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    spa_hook coreListener_{};
    pw_stream* stream_ = nullptr;
    spa_hook streamListener_{};
    spa_source* reconnectTimer_ = nullptr;
    spa_source* tickTimer_ = nullptr;
    bool pipeWireDownLogged_ = false;

    int listenFd_ = -1;
    spa_source* listenSource_ = nullptr;
    int clientFd_ = -1;
    spa_source* clientSource_ = nullptr;
    FeedParser parser_;

    OutputSchedule schedule_;
    PictureGeometry geometry_{PixelLayout::nv12, int(camerafeed::kWidth), int(camerafeed::kHeight),
                              int(camerafeed::kWidth)};
    std::vector<uint8_t> placeholder_;
    std::vector<uint8_t> live_;  // the newest live picture, not yet sent
    camerafeed::FeedHeader liveHeader_;
    bool liveReady_ = false;
    bool placeholderWanted_ = false;
    uint64_t sequence_ = 0;
    uint64_t dropped_ = 0;

    static const pw_stream_events streamEvents_;
    static const pw_core_events coreEvents_;
};

const pw_stream_events Extension::streamEvents_ = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.state_changed = [](void* data, pw_stream_state, pw_stream_state state, const char* error) {
        static_cast<Extension*>(data)->onStreamState(state, error);
    };
    e.param_changed = [](void* data, uint32_t id, const spa_pod* param) {
        static_cast<Extension*>(data)->onParamChanged(id, param);
    };
    e.process = [](void* data) { static_cast<Extension*>(data)->onProcess(); };
    return e;
}();

const pw_core_events Extension::coreEvents_ = [] {
    pw_core_events e{};
    e.version = PW_VERSION_CORE_EVENTS;
    e.error = [](void* data, uint32_t id, int, int res, const char* message) {
        auto* self = static_cast<Extension*>(data);
        if (id != PW_ID_CORE) return;
        say("PipeWire connection lost (%s): reconnecting", message ? message : spa_strerror(res));
        // The core cannot be destroyed from inside its own event.
        self->scheduleReconnect(0);
    };
    return e;
}();

Extension::~Extension() {
    dropClient(nullptr);
    if (listenSource_) pw_loop_destroy_source(loop_, listenSource_);
    if (listenFd_ >= 0) {
        close(listenFd_);
        unlink(socketPath_.c_str());
    }
    disconnectPipeWire();
    if (reconnectTimer_) pw_loop_destroy_source(loop_, reconnectTimer_);
    if (tickTimer_) pw_loop_destroy_source(loop_, tickTimer_);
    if (context_) pw_context_destroy(context_);
    if (main_) pw_main_loop_destroy(main_);
}

int Extension::run() {
    main_ = pw_main_loop_new(nullptr);
    if (!main_) {
        say("Camera: cannot create the main loop");
        return 1;
    }
    loop_ = pw_main_loop_get_loop(main_);
    context_ = pw_context_new(loop_, nullptr, 0);
    if (!context_) {
        say("Camera: cannot create the PipeWire context");
        return 1;
    }
    auto quit = [](void* data, int) { pw_main_loop_quit(static_cast<pw_main_loop*>(data)); };
    pw_loop_add_signal(loop_, SIGINT, quit, main_);
    pw_loop_add_signal(loop_, SIGTERM, quit, main_);

    placeholder_ = makePlaceholder(geometry_);
    reconnectTimer_ = pw_loop_add_timer(
        loop_, [](void* data, uint64_t) { static_cast<Extension*>(data)->connectPipeWire(); }, this);
    tickTimer_ = pw_loop_add_timer(
        loop_, [](void* data, uint64_t) { static_cast<Extension*>(data)->onTick(); }, this);
    if (!listen()) return 1;
    say("Camera input at %s", socketPath_.c_str());
    connectPipeWire();
    pw_main_loop_run(main_);
    say("Camera extension stopping");
    return 0;
}

// ---- PipeWire ----

void Extension::scheduleReconnect(double delay) {
    timespec value = secondsToTimespec(delay);
    pw_loop_update_timer(loop_, reconnectTimer_, &value, nullptr, false);
}

void Extension::connectPipeWire() {
    disconnectPipeWire();
    core_ = pw_context_connect(context_, nullptr, 0);
    if (!core_) {
        if (!pipeWireDownLogged_)
            say("addDevice failed: PipeWire is not running (%s); retrying", strerror(errno));
        pipeWireDownLogged_ = true;
        scheduleReconnect(kReconnectDelay);
        return;
    }
    pipeWireDownLogged_ = false;
    pw_core_add_listener(core_, &coreListener_, &coreEvents_, this);

    pw_properties* props = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE, "Camera",
        PW_KEY_MEDIA_CLASS, "Video/Source", PW_KEY_NODE_NAME, "tarvello-camera", PW_KEY_NODE_DESCRIPTION,
        "Tarvello Camera", PW_KEY_NODE_NICK, "Tarvello Camera", "tarvello.camera.in-use", "0", nullptr);
    stream_ = pw_stream_new(core_, "Tarvello Camera", props);
    if (!stream_) {
        say("addStream failed: %s", strerror(errno));
        scheduleReconnect(kReconnectDelay);
        return;
    }
    pw_stream_add_listener(stream_, &streamListener_, &streamEvents_, this);

    uint8_t buffer[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
    spa_rectangle size = SPA_RECTANGLE(camerafeed::kWidth, camerafeed::kHeight);
    spa_fraction rate = SPA_FRACTION(30, 1);
    const spa_pod* params[1];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
        SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
        SPA_FORMAT_VIDEO_format,
        SPA_POD_CHOICE_ENUM_Id(3, SPA_VIDEO_FORMAT_NV12, SPA_VIDEO_FORMAT_NV12, SPA_VIDEO_FORMAT_I420),
        SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size), SPA_FORMAT_VIDEO_framerate,
        SPA_POD_Fraction(&rate)));
    const int res = pw_stream_connect(
        stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS), params, 1);
    if (res < 0) {
        say("addStream failed: %s", spa_strerror(res));
        scheduleReconnect(kReconnectDelay);
        return;
    }
    say("Camera published to PipeWire as Tarvello Camera");
}

void Extension::disconnectPipeWire() {
    if (stream_) {
        spa_hook_remove(&streamListener_);
        pw_stream_destroy(stream_);
        stream_ = nullptr;
    }
    if (core_) {
        spa_hook_remove(&coreListener_);
        pw_core_disconnect(core_);
        core_ = nullptr;
    }
    setInUse(false);
}

void Extension::onStreamState(pw_stream_state state, const char* error) {
    if (state == PW_STREAM_STATE_ERROR) {
        say("Camera stream failed (%s): reconnecting", error ? error : "unknown error");
        scheduleReconnect(kReconnectDelay);
    }
    setInUse(state == PW_STREAM_STATE_STREAMING);
}

void Extension::setInUse(bool streaming) {
    if (!schedule_.setStreaming(streaming)) return;
    say("Camera in use: %c", streaming ? '1' : '0');
    if (stream_) {
        spa_dict_item item = SPA_DICT_ITEM_INIT("tarvello.camera.in-use", streaming ? "1" : "0");
        spa_dict dict = SPA_DICT_INIT(&item, 1);
        pw_stream_update_properties(stream_, &dict);
    }
    if (streaming) {
        timespec first = secondsToTimespec(0), every = secondsToTimespec(OutputSchedule::kTickInterval);
        pw_loop_update_timer(loop_, tickTimer_, &first, &every, false);
    } else {
        timespec off{};
        pw_loop_update_timer(loop_, tickTimer_, &off, nullptr, false);
        liveReady_ = false;
        placeholderWanted_ = false;
    }
    sendStatus();
}

void Extension::onParamChanged(uint32_t id, const spa_pod* param) {
    if (id != SPA_PARAM_Format || !param) return;
    spa_video_info_raw info{};
    if (spa_format_video_raw_parse(param, &info) < 0) return;
    geometry_.layout = info.format == SPA_VIDEO_FORMAT_I420 ? PixelLayout::i420 : PixelLayout::nv12;
    geometry_.width = int(info.size.width);
    geometry_.height = int(info.size.height);
    geometry_.stride = int(SPA_ROUND_UP_N(info.size.width, 4));
    placeholder_ = makePlaceholder(geometry_);
    say("Camera format: %s %dx%d", geometry_.layout == PixelLayout::nv12 ? "NV12" : "I420", geometry_.width,
        geometry_.height);

    uint8_t buffer[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
    const spa_pod* params[2];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
        SPA_POD_CHOICE_RANGE_Int(kBuffers, 2, kBuffers), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
        SPA_PARAM_BUFFERS_size, SPA_POD_Int(int(geometry_.bytes())), SPA_PARAM_BUFFERS_stride,
        SPA_POD_Int(geometry_.stride), SPA_PARAM_BUFFERS_dataType,
        SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
    params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
        SPA_PARAM_META_size, SPA_POD_Int(sizeof(struct spa_meta_header))));
    pw_stream_update_params(stream_, params, 2);
}

void Extension::trigger() {
    if (stream_ && schedule_.streaming()) pw_stream_trigger_process(stream_);
}

void Extension::onTick() {
    if (!schedule_.placeholderDue(monotonicNow())) return;
    placeholderWanted_ = true;
    trigger();
}

void Extension::onProcess() {
    if (!liveReady_ && !placeholderWanted_) return;
    pw_buffer* b = pw_stream_dequeue_buffer(stream_);
    if (!b) {
        // Every buffer is with the readers: this picture is dropped, the next one may fit.
        ++dropped_;
        liveReady_ = false;
        placeholderWanted_ = false;
        return;
    }
    spa_data& d = b->buffer->datas[0];
    bool filled = false;
    if (d.data && d.maxsize >= geometry_.bytes()) {
        std::span<uint8_t> dst(static_cast<uint8_t*>(d.data), d.maxsize);
        if (liveReady_) {
            filled = copyNv12Into(std::span<const uint8_t>(live_.data(), liveHeader_.pictureBytes()),
                                  int(liveHeader_.stride), geometry_, dst);
        } else {
            std::memcpy(dst.data(), placeholder_.data(), placeholder_.size());
            filled = true;
        }
    }
    liveReady_ = false;
    placeholderWanted_ = false;
    d.chunk->offset = 0;
    d.chunk->size = filled ? uint32_t(geometry_.bytes()) : 0;
    d.chunk->stride = geometry_.stride;
    d.chunk->flags = filled ? 0 : SPA_CHUNK_FLAG_CORRUPTED;
    if (auto* h = static_cast<spa_meta_header*>(
            spa_buffer_find_meta_data(b->buffer, SPA_META_Header, sizeof(spa_meta_header)))) {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        h->pts = int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
        h->flags = 0;
        h->seq = sequence_++;
        h->dts_offset = 0;
    }
    pw_stream_queue_buffer(stream_, b);
}

// ---- Socket ----

bool Extension::listen() {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socketPath_.size() >= sizeof(addr.sun_path)) {
        say("Camera: socket path too long: %s", socketPath_.c_str());
        return false;
    }
    std::memcpy(addr.sun_path, socketPath_.c_str(), socketPath_.size() + 1);
    listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) return false;
    // The socket file is created by bind(): connectable by its owner only.
    const mode_t oldMask = umask(077);
    struct RestoreMask {
        mode_t mask;
        ~RestoreMask() { umask(mask); }
    } restore{oldMask};
    if (bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0 && errno == EADDRINUSE) {
        // A live socket means another copy runs; a dead one is left over from a crash.
        int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool alive = connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        close(probe);
        if (alive) {
            say("Camera: another tarvello-camera serves %s", socketPath_.c_str());
            close(listenFd_);
            listenFd_ = -1;
            return false;
        }
        unlink(socketPath_.c_str());
        if (bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
            say("Camera: cannot bind %s (%s)", socketPath_.c_str(), strerror(errno));
            close(listenFd_);
            listenFd_ = -1;
            return false;
        }
    }
    if (::listen(listenFd_, 2) < 0) {
        say("Camera: cannot listen on %s (%s)", socketPath_.c_str(), strerror(errno));
        close(listenFd_);
        listenFd_ = -1;
        return false;
    }
    listenSource_ = pw_loop_add_io(
        loop_, listenFd_, SPA_IO_IN, false,
        [](void* data, int, uint32_t) { static_cast<Extension*>(data)->onAccept(); }, this);
    return true;
}

void Extension::onAccept() {
    const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    const auto peer = peerUid(fd);
    if (!mayFeed(peer, getuid())) {
        // Refused before it can replace the client that feeds the camera now.
        if (peer) {
            say("Camera: refused an input client of uid %u", unsigned(*peer));
        } else {
            say("Camera: refused an input client whose credentials cannot be read");
        }
        close(fd);
        return;
    }
    // One feeding client: the newest wins, so an application that restarted is never locked out.
    if (clientFd_ >= 0) dropClient("replaced by a new client");
    clientFd_ = fd;
    parser_.reset();
    clientSource_ = pw_loop_add_io(
        loop_, fd, SPA_IO_IN | SPA_IO_HUP | SPA_IO_ERR, false,
        [](void* data, int, uint32_t) { static_cast<Extension*>(data)->onClientReadable(); }, this);
    say("Camera input client connected");
    sendStatus();
}

void Extension::dropClient(const char* why) {
    if (clientFd_ < 0) return;
    if (why) say("Camera input client %s%s", why, parser_.midPicture() ? " (mid-picture)" : "");
    pw_loop_destroy_source(loop_, clientSource_);
    clientSource_ = nullptr;
    close(clientFd_);
    clientFd_ = -1;
    parser_.reset();
}

void Extension::sendStatus() {
    if (clientFd_ < 0) return;
    const uint8_t status = schedule_.streaming() ? camerafeed::kInUse : camerafeed::kNotInUse;
    // One byte into an empty-ish socket buffer; if the client never reads, it loses nothing it needs.
    (void)!send(clientFd_, &status, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
}

void Extension::onClientReadable() {
    size_t budget = kReadBudget;
    while (clientFd_ >= 0 && budget > 0) {
        std::span<uint8_t> into = parser_.nextRead();
        const ssize_t n = read(clientFd_, into.data(), std::min(into.size(), budget));
        if (n == 0) return dropClient("left");
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            return dropClient("failed");
        }
        budget -= size_t(n);
        switch (parser_.advance(size_t(n))) {
            case FeedParser::Result::needMore: break;
            case FeedParser::Result::badHeader: return dropClient("sent a bad picture header: closed");
            case FeedParser::Result::picture: onPicture(); break;
        }
    }
}

void Extension::onPicture() {
    if (!schedule_.livePicture(monotonicNow())) return;  // nobody reads: consumed and dropped
    liveHeader_ = parser_.header();
    parser_.swapPicture(live_);
    liveReady_ = true;
    placeholderWanted_ = false;
    trigger();
}

}  // namespace

int main(int argc, char** argv) {
    std::string socketPath;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--socket" && i + 1 < argc) {
            socketPath = argv[++i];
        } else if (a == "--help" || a == "-h") {
            std::printf(
                "Usage: tarvello-camera [--socket PATH]\n\n"
                "Publishes the phone's camera as the PipeWire camera \"Tarvello Camera\" and takes\n"
                "its pictures from the Tarvello application on a local socket (default\n"
                "$XDG_RUNTIME_DIR/%s).\n",
                camerafeed::kSocketName);
            return 0;
        } else {
            std::fprintf(stderr, "tarvello-camera: unknown option %s (see --help)\n", a.c_str());
            return 2;
        }
    }
    if (socketPath.empty()) {
        std::string why;
        auto path = camerafeed::defaultSocketPath(why);
        if (!path) {
            std::fprintf(stderr,
                         "tarvello-camera: no private runtime directory for the camera socket (%s); "
                         "not starting. Give one with --socket PATH.\n",
                         why.c_str());
            return 1;
        }
        socketPath = *path;
    }
    gJournal =
        std::getenv("JOURNAL_STREAM") == nullptr && std::getenv("TARVELLO_CAMERA_NO_JOURNAL") == nullptr;
    signal(SIGPIPE, SIG_IGN);
    pw_init(&argc, &argv);
    int rc = 0;
    {
        Extension extension(std::move(socketPath));
        rc = extension.run();
    }
    pw_deinit();
    return rc;
}
