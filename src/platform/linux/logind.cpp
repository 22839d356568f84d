#include "platform/linux/logind.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/linux/sd_bus_reply.h"

namespace tarvello {

namespace {
constexpr const char* kService = "org.freedesktop.login1";
constexpr const char* kManagerPath = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";
constexpr const char* kSession = "org.freedesktop.login1.Session";
// The lock poll runs once a second on the server queue: a hung manager must not stall it long.
constexpr uint64_t kCallTimeoutUsec = 1'000'000;

using sdbus::describe;
using sdbus::Reply;
}  // namespace

Logind::Logind(std::string address) : address_(std::move(address)) {}

Logind::~Logind() {
    if (bus_) sd_bus_flush_close_unref(bus_);
}

sd_bus* Logind::connect(std::string& error) {
    if (bus_) return bus_;
    sd_bus* bus = nullptr;
    int r = 0;
    if (address_.empty()) {
        r = sd_bus_open_system(&bus);
    } else {
        r = sd_bus_new(&bus);
        if (r >= 0) r = sd_bus_set_address(bus, address_.c_str());
        if (r >= 0) r = sd_bus_set_bus_client(bus, 1);
        if (r >= 0) r = sd_bus_start(bus);
    }
    if (r < 0) {
        error = std::string("no system bus (") + std::strerror(-r) + ")";
        sd_bus_unref(bus);
        return nullptr;
    }
    sd_bus_set_method_call_timeout(bus, kCallTimeoutUsec);
    bus_ = bus;
    return bus_;
}

void Logind::dropIfBroken() {
    if (bus_ && sd_bus_is_open(bus_) <= 0) {
        sd_bus_flush_close_unref(bus_);
        bus_ = nullptr;
    }
}

int Logind::inhibit(const std::string& what, const std::string& who, const std::string& why,
                    const std::string& mode, std::string& error) {
    std::lock_guard lock(mutex_);
    sd_bus* bus = connect(error);
    if (!bus) return -1;
    Reply reply;
    int r = sd_bus_call_method(bus, kService, kManagerPath, kManager, "Inhibit", &reply.error, &reply.message,
                               "ssss", what.c_str(), who.c_str(), why.c_str(), mode.c_str());
    if (r < 0) {
        error = describe(reply.error, r);
        dropIfBroken();
        return -1;
    }
    int fd = -1;
    r = sd_bus_message_read(reply.message, "h", &fd);
    if (r < 0) {
        error = std::string("unexpected reply (") + std::strerror(-r) + ")";
        return -1;
    }
    // The message owns the descriptor it carries.
    const int own = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (own < 0) error = std::string("cannot keep the lock (") + std::strerror(errno) + ")";
    return own;
}

std::optional<bool> Logind::lockedHint(std::string& error) {
    std::lock_guard lock(mutex_);
    sd_bus* bus = connect(error);
    if (!bus) return std::nullopt;
    Reply session;
    int r = sd_bus_call_method(bus, kService, kManagerPath, kManager, "GetSession", &session.error,
                               &session.message, "s", "auto");
    const char* path = nullptr;
    if (r >= 0) r = sd_bus_message_read(session.message, "o", &path);
    if (r < 0) {
        error = describe(session.error, r);
        dropIfBroken();
        return std::nullopt;
    }
    Reply property;
    int locked = 0;
    r = sd_bus_get_property_trivial(bus, kService, path, kSession, "LockedHint", &property.error, 'b',
                                    &locked);
    if (r < 0) {
        error = describe(property.error, r);
        dropIfBroken();
        return std::nullopt;
    }
    return locked != 0;
}

}  // namespace tarvello
