#include "platform/linux/gnome/mutter_stream.h"

// Built only where the PipeWire client library is linked in: the rest of the back-end
// talks D-Bus and needs nothing more than the core already has.
#ifdef TARVELLO_HAVE_GNOME_CAPTURE

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <spa/utils/result.h>
#pragma GCC diagnostic pop

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>

namespace tarvello::gnome {

namespace {
// The largest pointer bitmap asked for; Mutter's cursors are far smaller.
constexpr int kCursorMax = 256;
constexpr size_t cursorMetaSize(int w, int h) {
    return sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap) + size_t(w) * size_t(h) * 4;
}

void initPipeWire() {
    static std::once_flag once;
    std::call_once(once, [] { pw_init(nullptr, nullptr); });
}
}  // namespace

struct MutterStream::Impl {
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_stream* stream = nullptr;
    spa_hook streamListener{};
    spa_hook coreListener{};

    mutable std::mutex mutex;
    std::condition_variable changed;
    FrameSink frames;
    StopSink stopped;
    int width = 0, height = 0;
    bool streaming = false;
    std::string failure;
    StreamCursor cursor;
    uint64_t cursorBitmapSerial = 0;

    void fail(const std::string& reason) {
        StopSink sink;
        {
            std::lock_guard lock(mutex);
            if (!failure.empty()) return;
            failure = reason;
            sink = stopped;
        }
        changed.notify_all();
        if (sink) sink(reason);
    }

    void onState(pw_stream_state, pw_stream_state state, const char* error) {
        if (state == PW_STREAM_STATE_ERROR)
            fail(std::string("Screen cast stream failed: ") + (error ? error : "?"));
        if (state == PW_STREAM_STATE_UNCONNECTED) fail("Screen cast stream ended");
    }

    void onParamChanged(uint32_t id, const spa_pod* param) {
        if (id != SPA_PARAM_Format || !param) return;
        spa_video_info_raw info{};
        if (spa_format_video_raw_parse(param, &info) < 0) return;
        {
            std::lock_guard lock(mutex);
            width = int(info.size.width);
            height = int(info.size.height);
        }
        uint8_t buffer[1024];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
        const spa_pod* params[3];
        params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
            SPA_POD_CHOICE_RANGE_Int(4, 2, 8), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
            SPA_PARAM_BUFFERS_dataType,
            SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
        params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
            SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
        params[2] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Cursor),
            SPA_PARAM_META_size,
            SPA_POD_CHOICE_RANGE_Int(int(cursorMetaSize(64, 64)), int(cursorMetaSize(1, 1)),
                                     int(cursorMetaSize(kCursorMax, kCursorMax)))));
        pw_stream_update_params(stream, params, 3);
    }

    void readCursor(spa_buffer* buf) {
        auto* meta = static_cast<spa_meta_cursor*>(
            spa_buffer_find_meta_data(buf, SPA_META_Cursor, sizeof(spa_meta_cursor)));
        if (!meta) return;
        std::lock_guard lock(mutex);
        if (!spa_meta_cursor_is_valid(meta)) {
            cursor.visible = false;
            return;
        }
        cursor.visible = true;
        cursor.x = meta->position.x;
        cursor.y = meta->position.y;
        if (meta->bitmap_offset < sizeof(spa_meta_cursor)) return;
        auto* bitmap = SPA_PTROFF(meta, meta->bitmap_offset, spa_meta_bitmap);
        const int w = int(bitmap->size.width), h = int(bitmap->size.height);
        if (w <= 0 || h <= 0) {
            // A bitmap of no size: the pointer is hidden.
            if (bitmap->size.width == 0) cursor.visible = false;
            return;
        }
        if (w > kCursorMax || h > kCursorMax || bitmap->stride < w * 4 ||
            bitmap->offset + size_t(bitmap->stride) * size_t(h) >
                cursorMetaSize(kCursorMax, kCursorMax) - sizeof(spa_meta_cursor)) {
            return;
        }
        auto image = std::make_shared<CursorImage>();
        image->width = w;
        image->height = h;
        image->hotX = meta->hotspot.x;
        image->hotY = meta->hotspot.y;
        image->rgba.resize(size_t(w) * size_t(h) * 4);
        const auto* src = SPA_PTROFF(bitmap, bitmap->offset, uint8_t);
        const bool bgra = bitmap->format == SPA_VIDEO_FORMAT_BGRA;
        for (int row = 0; row < h; ++row) {
            const uint8_t* s = src + size_t(row) * size_t(bitmap->stride);
            uint8_t* d = image->rgba.data() + size_t(row) * size_t(w) * 4;
            for (int x = 0; x < w; ++x, s += 4, d += 4) {
                d[0] = bgra ? s[2] : s[0];
                d[1] = s[1];
                d[2] = bgra ? s[0] : s[2];
                d[3] = s[3];
            }
        }
        cursor.image = std::move(image);
    }

    void onProcess() {
        pw_buffer* b = nullptr;
        // Only the newest picture matters; older queued ones go straight back.
        while (pw_buffer* next = pw_stream_dequeue_buffer(stream)) {
            if (b) pw_stream_queue_buffer(stream, b);
            b = next;
        }
        if (!b) return;
        spa_buffer* buf = b->buffer;
        readCursor(buf);
        FrameSink sink;
        RawFrame frame;
        {
            std::lock_guard lock(mutex);
            if (!streaming) {
                streaming = true;
                changed.notify_all();
            }
            sink = frames;
            frame.width = width;
            frame.height = height;
        }
        const spa_data& d = buf->datas[0];
        const bool hasPicture = buf->n_datas > 0 && d.data && d.chunk && d.chunk->size > 0 &&
                                !(d.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED);
        if (sink && hasPicture) {
            frame.stride = d.chunk->stride > 0 ? d.chunk->stride : frame.width * 4;
            const uint64_t need = uint64_t(d.chunk->offset) + uint64_t(frame.stride) * uint64_t(frame.height);
            if (frame.width > 0 && frame.height > 0 && frame.stride >= frame.width * 4 && need <= d.maxsize) {
                frame.data = static_cast<const uint8_t*>(d.data) + d.chunk->offset;
                sink(frame);
            }
        }
        pw_stream_queue_buffer(stream, b);
    }
};

std::unique_ptr<MutterStream> MutterStream::connect(uint32_t node, int width, int height, int maxFps,
                                                    const std::string& socket, std::string& error) {
    initPipeWire();
    std::unique_ptr<MutterStream> self(new MutterStream());
    self->impl_ = std::make_unique<Impl>();
    Impl& s = *self->impl_;
    s.loop = pw_thread_loop_new("tarvello-cast", nullptr);
    if (!s.loop) {
        error = "Cannot make a PipeWire loop";
        return nullptr;
    }
    s.context = pw_context_new(pw_thread_loop_get_loop(s.loop), nullptr, 0);
    if (!s.context || pw_thread_loop_start(s.loop) < 0) {
        error = "Cannot start a PipeWire loop";
        return nullptr;
    }
    pw_thread_loop_lock(s.loop);
    s.core = pw_context_connect(
        s.context, socket.empty() ? nullptr : pw_properties_new(PW_KEY_REMOTE_NAME, socket.c_str(), nullptr),
        0);
    if (!s.core) {
        pw_thread_loop_unlock(s.loop);
        error = std::string("Cannot connect to PipeWire: ") + std::strerror(errno);
        return nullptr;
    }
    static const pw_core_events coreEvents = [] {
        pw_core_events e{};
        e.version = PW_VERSION_CORE_EVENTS;
        e.error = [](void* data, uint32_t id, int, int res, const char* message) {
            if (id == PW_ID_CORE && res == -EPIPE)
                static_cast<Impl*>(data)->fail(std::string("PipeWire went away: ") +
                                               (message ? message : ""));
        };
        return e;
    }();
    pw_core_add_listener(s.core, &s.coreListener, &coreEvents, &s);
    s.stream = pw_stream_new(s.core, "tarvello-screen",
                             pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                               PW_KEY_MEDIA_ROLE, "Screen", nullptr));
    static const pw_stream_events events = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.state_changed = [](void* data, pw_stream_state old, pw_stream_state state, const char* err) {
            static_cast<Impl*>(data)->onState(old, state, err);
        };
        e.param_changed = [](void* data, uint32_t id, const spa_pod* param) {
            static_cast<Impl*>(data)->onParamChanged(id, param);
        };
        e.process = [](void* data) { static_cast<Impl*>(data)->onProcess(); };
        return e;
    }();
    pw_stream_add_listener(s.stream, &s.streamListener, &events, &s);

    uint8_t buffer[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
    spa_rectangle size = SPA_RECTANGLE(uint32_t(std::max(1, width)), uint32_t(std::max(1, height)));
    spa_rectangle minSize = SPA_RECTANGLE(1, 1), maxSize = SPA_RECTANGLE(16384, 16384);
    spa_fraction rate = SPA_FRACTION(0, 1);
    spa_fraction maxRate = SPA_FRACTION(uint32_t(std::max(1, maxFps)), 1);
    spa_fraction minRate = SPA_FRACTION(1, 1), topRate = SPA_FRACTION(1000, 1);
    const spa_pod* params[1];
    // No modifier is offered, so the compositor sends shared memory we can read.
    if (width > 0 && height > 0) {
        params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
            SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
            SPA_FORMAT_VIDEO_format,
            SPA_POD_CHOICE_ENUM_Id(3, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA),
            SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size), SPA_FORMAT_VIDEO_framerate,
            SPA_POD_Fraction(&rate), SPA_FORMAT_VIDEO_maxFramerate,
            SPA_POD_CHOICE_RANGE_Fraction(&maxRate, &minRate, &topRate)));
    } else {
        params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
            SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
            SPA_FORMAT_VIDEO_format,
            SPA_POD_CHOICE_ENUM_Id(3, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA),
            SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&size, &minSize, &maxSize),
            SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate), SPA_FORMAT_VIDEO_maxFramerate,
            SPA_POD_CHOICE_RANGE_Fraction(&maxRate, &minRate, &topRate)));
    }
    const int res = pw_stream_connect(
        s.stream, PW_DIRECTION_INPUT, node,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS), params, 1);
    pw_thread_loop_unlock(s.loop);
    if (res < 0) {
        error = std::string("Cannot connect to the screen cast node: ") + spa_strerror(res);
        return nullptr;
    }
    return self;
}

MutterStream::~MutterStream() {
    if (!impl_) return;
    Impl& s = *impl_;
    if (s.loop) pw_thread_loop_stop(s.loop);
    if (s.stream) pw_stream_destroy(s.stream);
    if (s.core) pw_core_disconnect(s.core);
    if (s.context) pw_context_destroy(s.context);
    if (s.loop) pw_thread_loop_destroy(s.loop);
}

void MutterStream::setSinks(FrameSink frames, StopSink stopped) {
    // Taking the loop's lock waits out a frame being delivered.
    pw_thread_loop_lock(impl_->loop);
    {
        std::lock_guard lock(impl_->mutex);
        impl_->frames = std::move(frames);
        impl_->stopped = std::move(stopped);
    }
    pw_thread_loop_unlock(impl_->loop);
}

bool MutterStream::waitUntilStreaming(double seconds, std::string& error) {
    std::unique_lock lock(impl_->mutex);
    const bool ok = impl_->changed.wait_for(lock, std::chrono::duration<double>(seconds),
                                            [&] { return impl_->streaming || !impl_->failure.empty(); });
    if (!impl_->failure.empty()) {
        error = impl_->failure;
        return false;
    }
    if (!ok) error = "The screen cast stream sent no picture";
    return ok;
}

std::pair<int, int> MutterStream::size() const {
    std::lock_guard lock(impl_->mutex);
    return {impl_->width, impl_->height};
}

StreamCursor MutterStream::cursor() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->cursor;
}

bool MutterStream::failed(std::string& reason) const {
    std::lock_guard lock(impl_->mutex);
    reason = impl_->failure;
    return !reason.empty();
}

}  // namespace tarvello::gnome

#else

namespace tarvello::gnome {

std::unique_ptr<MutterStream> MutterStream::connect(uint32_t, int, int, int, const std::string&,
                                                    std::string& error) {
    error = "This build has no PipeWire client for screen casts";
    return nullptr;
}
MutterStream::~MutterStream() = default;
void MutterStream::setSinks(FrameSink, StopSink) {}
bool MutterStream::waitUntilStreaming(double, std::string& error) {
    error = "No PipeWire client";
    return false;
}
std::pair<int, int> MutterStream::size() const {
    return {0, 0};
}
StreamCursor MutterStream::cursor() const {
    return {};
}
bool MutterStream::failed(std::string& reason) const {
    reason = "No PipeWire client";
    return true;
}

}  // namespace tarvello::gnome

#endif
