#include "platform/linux/gnome/mutter_session.h"

#include <systemd/sd-bus.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstring>

#include "platform/linux/sd_bus_reply.h"

namespace tarvello::gnome {

namespace {
constexpr const char* kRemoteService = "org.gnome.Mutter.RemoteDesktop";
constexpr const char* kRemotePath = "/org/gnome/Mutter/RemoteDesktop";
constexpr const char* kRemoteSession = "org.gnome.Mutter.RemoteDesktop.Session";
constexpr const char* kCastService = "org.gnome.Mutter.ScreenCast";
constexpr const char* kCastPath = "/org/gnome/Mutter/ScreenCast";
constexpr const char* kCastSession = "org.gnome.Mutter.ScreenCast.Session";
constexpr const char* kCastStream = "org.gnome.Mutter.ScreenCast.Stream";
// Input calls run on the server queue: a stalled compositor must not hold it for long.
constexpr uint64_t kCallTimeoutUsec = 2'000'000;
constexpr double kNodeTimeout = 5.0;
// The cursor travels as stream metadata, so the watcher can show it on the phone.
constexpr uint32_t kCursorMetadata = 2;
constexpr uint32_t kKeyF24 = 194;

using sdbus::describe;
using sdbus::Reply;

struct Message {
    sd_bus_message* m = nullptr;
    ~Message() { sd_bus_message_unref(m); }
};
}  // namespace

struct MutterSession::Watch {
    sd_bus_slot* closed = nullptr;
    sd_bus_slot* added = nullptr;
    std::atomic<bool> isClosed{false};
    uint32_t node = 0;
    bool nodeSeen = false;
    ~Watch() {
        sd_bus_slot_unref(closed);
        sd_bus_slot_unref(added);
    }
};

std::shared_ptr<MutterBus> MutterBus::open(const std::string& address, std::string& error) {
    std::shared_ptr<MutterBus> self(new MutterBus());
    sd_bus* bus = nullptr;
    int r = 0;
    if (address.empty()) {
        r = sd_bus_open_user(&bus);
    } else {
        r = sd_bus_new(&bus);
        if (r >= 0) r = sd_bus_set_address(bus, address.c_str());
        if (r >= 0) r = sd_bus_set_bus_client(bus, 1);
        if (r >= 0) r = sd_bus_start(bus);
    }
    if (r < 0) {
        sd_bus_unref(bus);
        error = std::string("No session bus: ") + std::strerror(-r);
        return nullptr;
    }
    sd_bus_set_method_call_timeout(bus, kCallTimeoutUsec);
    self->bus_ = bus;
    return self;
}

MutterBus::~MutterBus() {
    if (bus_) sd_bus_flush_close_unref(bus_);
}

std::optional<std::string> remoteDesktopUnavailable(const std::string& address) {
    std::string error;
    auto bus = MutterBus::open(address, error);
    if (!bus) return error;
    for (auto [service, path, interface] :
         {std::tuple{kRemoteService, kRemotePath, "org.gnome.Mutter.RemoteDesktop"},
          std::tuple{kCastService, kCastPath, "org.gnome.Mutter.ScreenCast"}}) {
        Reply reply;
        int version = 0;
        const int r = sd_bus_get_property_trivial(bus->get(), service, path, interface, "Version",
                                                  &reply.error, 'i', &version);
        if (r < 0)
            return std::string(service) + " is not reachable on the session bus: " + describe(reply.error, r);
    }
    return std::nullopt;
}

bool MutterSession::callv(const char* path, const char* interface, const char* method, std::string* error,
                          const char* signature, ...) {
    Reply reply;
    va_list ap;
    va_start(ap, signature);
    int r = 0;
    {
        std::lock_guard lock(bus_->mutex());
        const char* service = std::strstr(interface, "ScreenCast") ? kCastService : kRemoteService;
        r = sd_bus_call_methodv(bus_->get(), service, path, interface, method, &reply.error, &reply.message,
                                signature, ap);
    }
    va_end(ap);
    if (r < 0 && error) *error = std::string(method) + " failed: " + describe(reply.error, r);
    return r >= 0;
}

std::unique_ptr<MutterSession> MutterSession::create(std::shared_ptr<MutterBus> bus, Kind kind,
                                                     const std::string& connector, std::string& error) {
    std::unique_ptr<MutterSession> s(new MutterSession());
    s->bus_ = std::move(bus);
    s->watch_ = std::make_unique<Watch>();
    s->connector_ = connector;
    std::lock_guard lock(s->bus_->mutex());
    sd_bus* b = s->bus_->get();
    const auto fail = [&](const char* what, const sd_bus_error& e, int r) {
        error = std::string(what) + " failed: " + describe(e, r);
        return nullptr;
    };

    {
        Reply reply;
        const char* path = nullptr;
        int r = sd_bus_call_method(b, kRemoteService, kRemotePath, "org.gnome.Mutter.RemoteDesktop",
                                   "CreateSession", &reply.error, &reply.message, "");
        if (r >= 0) r = sd_bus_message_read(reply.message, "o", &path);
        if (r < 0) return fail("RemoteDesktop.CreateSession", reply.error, r);
        s->remotePath_ = path;
    }
    s->started_ = false;
    sd_bus_match_signal(
        b, &s->watch_->closed, kRemoteService, s->remotePath_.c_str(), kRemoteSession, "Closed",
        [](sd_bus_message*, void* data, sd_bus_error*) {
            static_cast<Watch*>(data)->isClosed = true;
            return 0;
        },
        s->watch_.get());

    std::string sessionId;
    {
        Reply reply;
        char* id = nullptr;
        const int r = sd_bus_get_property_string(b, kRemoteService, s->remotePath_.c_str(), kRemoteSession,
                                                 "SessionId", &reply.error, &id);
        if (r < 0) return fail("RemoteDesktop SessionId", reply.error, r);
        sessionId = id;
        free(id);
    }
    {
        Reply reply;
        const char* path = nullptr;
        int r = sd_bus_call_method(b, kCastService, kCastPath, "org.gnome.Mutter.ScreenCast", "CreateSession",
                                   &reply.error, &reply.message, "a{sv}", 1, "remote-desktop-session-id", "s",
                                   sessionId.c_str());
        if (r >= 0) r = sd_bus_message_read(reply.message, "o", &path);
        if (r < 0) return fail("ScreenCast.CreateSession", reply.error, r);
        s->castPath_ = path;
    }
    {
        Reply reply;
        const char* path = nullptr;
        int r = 0;
        if (kind == Kind::virtualMonitor) {
            r = sd_bus_call_method(b, kCastService, s->castPath_.c_str(), kCastSession, "RecordVirtual",
                                   &reply.error, &reply.message, "a{sv}", 2, "cursor-mode", "u",
                                   kCursorMetadata, "is-platform", "b", 1);
        } else {
            r = sd_bus_call_method(b, kCastService, s->castPath_.c_str(), kCastSession, "RecordMonitor",
                                   &reply.error, &reply.message, "sa{sv}", connector.c_str(), 1,
                                   "cursor-mode", "u", kCursorMetadata);
        }
        if (r >= 0) r = sd_bus_message_read(reply.message, "o", &path);
        if (r < 0)
            return fail(
                kind == Kind::virtualMonitor ? "ScreenCast.RecordVirtual" : "ScreenCast.RecordMonitor",
                reply.error, r);
        s->streamPath_ = path;
    }
    sd_bus_match_signal(
        b, &s->watch_->added, kCastService, s->streamPath_.c_str(), kCastStream, "PipeWireStreamAdded",
        [](sd_bus_message* m, void* data, sd_bus_error*) {
            auto* w = static_cast<Watch*>(data);
            uint32_t node = 0;
            if (sd_bus_message_read(m, "u", &node) >= 0) {
                w->node = node;
                w->nodeSeen = true;
            }
            return 0;
        },
        s->watch_.get());
    return s;
}

bool MutterSession::start(std::string& error) {
    if (!callv(remotePath_.c_str(), kRemoteSession, "Start", &error, "")) return false;
    started_ = true;
    if (!waitForNode(error)) return false;
    // Mutter drops the first event of a new virtual keyboard or pointer: a key no
    // application uses and a pixel's motion there and back take those places, so the
    // phone's first key and first click arrive.
    keycode(kKeyF24, true);
    keycode(kKeyF24, false);
    pointerRelative(1, 0);
    pointerRelative(-1, 0);
    return true;
}

bool MutterSession::waitForNode(std::string& error) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(kNodeTimeout);
    std::lock_guard lock(bus_->mutex());
    sd_bus* b = bus_->get();
    while (!watch_->nodeSeen) {
        const int r = sd_bus_process(b, nullptr);
        if (r < 0) {
            error = std::string("Lost the session bus: ") + std::strerror(-r);
            return false;
        }
        if (r > 0) continue;
        const auto now = std::chrono::steady_clock::now();
        if (now >= end || watch_->isClosed) {
            error = watch_->isClosed ? "Mutter closed the remote desktop session"
                                     : "Mutter announced no PipeWire stream";
            return false;
        }
        sd_bus_wait(b, uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(end - now).count()));
    }
    node_ = watch_->node;
    return true;
}

bool MutterSession::closed() const {
    {
        std::lock_guard lock(bus_->mutex());
        while (sd_bus_process(bus_->get(), nullptr) > 0) {
        }
    }
    return watch_->isClosed;
}

void MutterSession::stop() {
    if (stopped_) return;
    stopped_ = true;
    if (!watch_->isClosed) callv(remotePath_.c_str(), kRemoteSession, "Stop", nullptr, "");
}

MutterSession::~MutterSession() {
    stop();
    std::lock_guard lock(bus_->mutex());
    watch_.reset();
}

bool MutterSession::pointerAbsolute(double x, double y) {
    return callv(remotePath_.c_str(), kRemoteSession, "NotifyPointerMotionAbsolute", nullptr, "sdd",
                 streamPath_.c_str(), x, y);
}
bool MutterSession::pointerRelative(double dx, double dy) {
    return callv(remotePath_.c_str(), kRemoteSession, "NotifyPointerMotionRelative", nullptr, "dd", dx, dy);
}
bool MutterSession::pointerButton(int evdevButton, bool down) {
    return callv(remotePath_.c_str(), kRemoteSession, "NotifyPointerButton", nullptr, "ib", evdevButton,
                 int(down));
}
bool MutterSession::pointerAxis(double dx, double dy, uint32_t flags) {
    return callv(remotePath_.c_str(), kRemoteSession, "NotifyPointerAxis", nullptr, "ddu", dx, dy, flags);
}
bool MutterSession::keycode(uint32_t evdevKey, bool down) {
    return callv(remotePath_.c_str(), kRemoteSession, "NotifyKeyboardKeycode", nullptr, "ub", evdevKey,
                 int(down));
}
bool MutterSession::keysym(uint32_t sym, bool down) {
    return callv(remotePath_.c_str(), kRemoteSession, "NotifyKeyboardKeysym", nullptr, "ub", sym, int(down));
}

}  // namespace tarvello::gnome
