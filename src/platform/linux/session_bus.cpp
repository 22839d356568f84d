#include "platform/linux/session_bus.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "base/child_process.h"

#ifdef TARVELLO_HAVE_ATSPI
#include <dbus/dbus.h>

#include <atomic>
#endif

namespace tarvello {

namespace {

constexpr const char* kAccessibilityConfig = "/usr/share/defaults/at-spi2/accessibility.conf";

// Reads the first line the daemon prints on the pipe: its address. Empty on timeout or exit.
std::string readLine(int fd, double timeout) {
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
    while (text.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return {};
        pollfd p{fd, POLLIN, 0};
        const int r = poll(&p, 1, int(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return {};
        char buf[256];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return {};
        text.append(buf, size_t(n));
    }
    return text.substr(0, text.find('\n'));
}

}  // namespace

std::unique_ptr<BusDaemon> BusDaemon::start(const Options& options, std::string& error) {
    const std::string executable =
        options.executable.empty() ? findOnPath("dbus-daemon") : options.executable;
    if (executable.empty()) {
        error = "dbus-daemon not found on PATH";
        return nullptr;
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        error = std::string("pipe failed: ") + std::strerror(errno);
        return nullptr;
    }
    ChildSpec spec;
    // Services the daemon starts outlive it (the accessibility registry does not notice its
    // bus going away): a shell leads the group and takes all of it along when it is told
    // to end (the death signal included) or the daemon ends.
    spec.path = "/bin/sh";
    spec.args = {"sh",
                 "-c",
                 "trap 'trap - TERM; kill 0' TERM; \"$0\" \"$@\" & wait $!; kill 0",
                 executable,
                 "--nofork",
                 "--nopidfile",
                 "--print-address=3",
                 "--address=" + options.address,
                 options.configFile.empty() ? "--session" : "--config-file=" + options.configFile};
    spec.env = options.env;
    spec.ownProcessGroup = true;
    spec.outputPath = options.logPath;
    spec.passFd = fds[1];
    std::unique_ptr<BusDaemon> bus(new BusDaemon);
    bus->pid_ = spawnChild(spec, error);
    close(fds[1]);
    if (bus->pid_ < 0) {
        close(fds[0]);
        return nullptr;
    }
    bus->address_ = readLine(fds[0], options.startTimeout);
    close(fds[0]);
    if (bus->address_.empty()) {
        error = "dbus-daemon did not start";
        return nullptr;  // the destructor ends what did start
    }
    return bus;
}

BusDaemon::~BusDaemon() {
    endChild(pid_, SIGTERM, 1.0, true);
}

std::string accessibilityBusAddress() {
    return "unix:abstract=tarvello-" + std::to_string(getpid()) + "-a11y";
}

bool ensureAccessibilityBus(std::string& error) {
    // The kernel ties a child's death signal to the thread that spawned it: this thread
    // starts the daemon and then waits for the rest of the process's life.
    static std::mutex mutex;
    static std::condition_variable changed;
    static bool tried = false, done = false, ok = false;
    static std::string why;
    std::unique_lock lock(mutex);
    if (!tried) {
        tried = true;
        std::thread([] {
            BusDaemon::Options o;
            o.configFile = kAccessibilityConfig;
            o.address = accessibilityBusAddress();
            // The registry it activates finds the bus by AT_SPI_BUS_ADDRESS, and must not
            // look for (or autolaunch) a session bus.
            o.env = environmentWith({"AT_SPI_BUS_ADDRESS=" + o.address,
                                     "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent", "NO_AT_BRIDGE=1"},
                                    {"DISPLAY"});
            std::string e;
            std::unique_ptr<BusDaemon> daemon;
            if (access(kAccessibilityConfig, R_OK) == 0) {
                daemon = BusDaemon::start(o, e);
            } else {
                e = std::string("no ") + kAccessibilityConfig;
            }
            {
                std::lock_guard l(mutex);
                done = true;
                ok = daemon != nullptr;
                why = e;
                changed.notify_all();
            }
            // The daemon is kept, never ended: it and this thread go with the process.
            while (daemon) pause();
        }).detach();
    }
    changed.wait(lock, [] { return done; });
    if (!ok) error = why;
    return ok;
}

#ifdef TARVELLO_HAVE_ATSPI

// org.a11y.Bus on a session bus, served from a thread of this process: GetAddress names
// the accessibility bus this process keeps, and org.a11y.Status holds the two switches
// toolkits read (kept in memory, so nothing of the user's settings changes).
class AccessibilityBusService {
public:
    static std::unique_ptr<AccessibilityBusService> start(const std::string& address, std::string& error) {
        DBusError e;
        dbus_error_init(&e);
        DBusConnection* c = dbus_connection_open_private(address.c_str(), &e);
        if (c) dbus_connection_set_exit_on_disconnect(c, FALSE);
        // Owned before the session's applications start, so none of them activates the
        // stock launcher, which would start a bus of its own.
        const int owned = c && dbus_bus_register(c, &e)
                              ? dbus_bus_request_name(c, "org.a11y.Bus", DBUS_NAME_FLAG_DO_NOT_QUEUE, &e)
                              : -1;
        if (owned != DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER) {
            error = std::string("org.a11y.Bus not owned") + (dbus_error_is_set(&e) ? ": " : "") +
                    (dbus_error_is_set(&e) ? e.message : "");
            dbus_error_free(&e);
            if (c) {
                dbus_connection_close(c);
                dbus_connection_unref(c);
            }
            return nullptr;
        }
        dbus_error_free(&e);
        std::unique_ptr<AccessibilityBusService> s(new AccessibilityBusService(c));
        static const DBusObjectPathVTable vtable{
            nullptr, &AccessibilityBusService::handle, nullptr, nullptr, nullptr, nullptr};
        dbus_connection_register_object_path(c, "/org/a11y/bus", &vtable, s.get());
        s->thread_ = std::thread([p = s.get()] { p->run(); });
        return s;
    }

    ~AccessibilityBusService() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        dbus_connection_close(connection_);
        dbus_connection_unref(connection_);
    }

private:
    explicit AccessibilityBusService(DBusConnection* c) : connection_(c) {}

    void run() {
        // Ends when told to or when the bus goes away.
        while (!stop_ && dbus_connection_read_write_dispatch(connection_, 100)) {
        }
    }

    static DBusHandlerResult handle(DBusConnection* c, DBusMessage* m, void* data) {
        auto* self = static_cast<AccessibilityBusService*>(data);
        DBusMessage* reply = self->answer(m);
        if (!reply) return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
        dbus_connection_send(c, reply, nullptr);
        dbus_message_unref(reply);
        return DBUS_HANDLER_RESULT_HANDLED;
    }

    bool* status(const char* name) {
        if (std::strcmp(name, "IsEnabled") == 0) return &enabled_;
        if (std::strcmp(name, "ScreenReaderEnabled") == 0) return &screenReader_;
        return nullptr;
    }

    static void appendBool(DBusMessageIter* it, bool value) {
        DBusMessageIter v;
        const dbus_bool_t b = value;
        dbus_message_iter_open_container(it, DBUS_TYPE_VARIANT, "b", &v);
        dbus_message_iter_append_basic(&v, DBUS_TYPE_BOOLEAN, &b);
        dbus_message_iter_close_container(it, &v);
    }

    static DBusMessage* invalid(DBusMessage* m) {
        return dbus_message_new_error(m, DBUS_ERROR_INVALID_ARGS, "unexpected arguments");
    }

    DBusMessage* answer(DBusMessage* m) {
        if (dbus_message_is_method_call(m, "org.a11y.Bus", "GetAddress")) {
            DBusMessage* r = dbus_message_new_method_return(m);
            const std::string address = accessibilityBusAddress();
            const char* a = address.c_str();
            dbus_message_append_args(r, DBUS_TYPE_STRING, &a, DBUS_TYPE_INVALID);
            return r;
        }
        const char* properties = "org.freedesktop.DBus.Properties";
        DBusMessageIter in;
        const char* interface = nullptr;
        const char* name = nullptr;
        const bool hasInterface =
            dbus_message_iter_init(m, &in) && dbus_message_iter_get_arg_type(&in) == DBUS_TYPE_STRING;
        if (hasInterface) dbus_message_iter_get_basic(&in, &interface);
        if (dbus_message_is_method_call(m, properties, "GetAll")) {
            if (!hasInterface) return invalid(m);
            DBusMessage* r = dbus_message_new_method_return(m);
            DBusMessageIter out, dict, entry;
            dbus_message_iter_init_append(r, &out);
            dbus_message_iter_open_container(&out, DBUS_TYPE_ARRAY, "{sv}", &dict);
            if (std::strcmp(interface, "org.a11y.Status") == 0) {
                for (const char* key : {"IsEnabled", "ScreenReaderEnabled"}) {
                    dbus_message_iter_open_container(&dict, DBUS_TYPE_DICT_ENTRY, nullptr, &entry);
                    dbus_message_iter_append_basic(&entry, DBUS_TYPE_STRING, &key);
                    appendBool(&entry, *status(key));
                    dbus_message_iter_close_container(&dict, &entry);
                }
            }
            dbus_message_iter_close_container(&out, &dict);
            return r;
        }
        const bool get = dbus_message_is_method_call(m, properties, "Get");
        const bool set = dbus_message_is_method_call(m, properties, "Set");
        if (!get && !set) return nullptr;
        if (!hasInterface || !dbus_message_iter_next(&in) ||
            dbus_message_iter_get_arg_type(&in) != DBUS_TYPE_STRING)
            return invalid(m);
        dbus_message_iter_get_basic(&in, &name);
        bool* value = std::strcmp(interface, "org.a11y.Status") == 0 ? status(name) : nullptr;
        if (!value) return dbus_message_new_error(m, DBUS_ERROR_UNKNOWN_PROPERTY, name);
        DBusMessage* r = dbus_message_new_method_return(m);
        if (get) {
            DBusMessageIter out;
            dbus_message_iter_init_append(r, &out);
            appendBool(&out, *value);
            return r;
        }
        DBusMessageIter v;
        if (!dbus_message_iter_next(&in) || dbus_message_iter_get_arg_type(&in) != DBUS_TYPE_VARIANT) {
            dbus_message_unref(r);
            return invalid(m);
        }
        dbus_message_iter_recurse(&in, &v);
        if (dbus_message_iter_get_arg_type(&v) != DBUS_TYPE_BOOLEAN) {
            dbus_message_unref(r);
            return invalid(m);
        }
        dbus_bool_t b = FALSE;
        dbus_message_iter_get_basic(&v, &b);
        if (*value != bool(b)) {
            *value = b;
            announce(name, *value);
        }
        return r;
    }

    // PropertiesChanged, which toolkits that follow the switches listen for.
    void announce(const char* name, bool value) {
        DBusMessage* s =
            dbus_message_new_signal("/org/a11y/bus", "org.freedesktop.DBus.Properties", "PropertiesChanged");
        const char* interface = "org.a11y.Status";
        DBusMessageIter out, dict, entry, none;
        dbus_message_iter_init_append(s, &out);
        dbus_message_iter_append_basic(&out, DBUS_TYPE_STRING, &interface);
        dbus_message_iter_open_container(&out, DBUS_TYPE_ARRAY, "{sv}", &dict);
        dbus_message_iter_open_container(&dict, DBUS_TYPE_DICT_ENTRY, nullptr, &entry);
        dbus_message_iter_append_basic(&entry, DBUS_TYPE_STRING, &name);
        appendBool(&entry, value);
        dbus_message_iter_close_container(&dict, &entry);
        dbus_message_iter_close_container(&out, &dict);
        dbus_message_iter_open_container(&out, DBUS_TYPE_ARRAY, "s", &none);
        dbus_message_iter_close_container(&out, &none);
        dbus_connection_send(connection_, s, nullptr);
        dbus_message_unref(s);
    }

    DBusConnection* connection_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    // Touched by the service thread only.
    bool enabled_ = false;
    bool screenReader_ = false;
};

#else

class AccessibilityBusService {
public:
    static std::unique_ptr<AccessibilityBusService> start(const std::string&, std::string&) {
        return std::make_unique<AccessibilityBusService>();
    }
};

#endif

std::string sessionBusAddress(const std::string& displayName) {
    return "unix:abstract=tarvello-" + std::to_string(getpid()) + "-session" +
           (displayName.size() > 1 ? displayName.substr(1) : displayName);
}

std::unique_ptr<SessionBus> SessionBus::start(const std::string& displayName,
                                              const std::string& authorityFile, const std::string& logPath,
                                              std::string& error) {
    if (!ensureAccessibilityBus(error)) {
        error = "no accessibility bus: " + error;
        return nullptr;
    }
    BusDaemon::Options o;
    o.address = sessionBusAddress(displayName);
    o.logPath = logPath;
    // GSETTINGS_BACKEND: the services started here (the accessibility launcher) keep their
    // switches in memory instead of changing the user's desktop settings.
    o.env =
        environmentWith({"DISPLAY=" + displayName, "XAUTHORITY=" + authorityFile, "GSETTINGS_BACKEND=memory"},
                        {"WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "AT_SPI_BUS_ADDRESS"});
    auto daemon = BusDaemon::start(o, error);
    if (!daemon) return nullptr;
    auto service = AccessibilityBusService::start(daemon->address(), error);
    if (!service) return nullptr;
    std::unique_ptr<SessionBus> bus(new SessionBus(std::move(daemon)));
    bus->service_ = std::move(service);
    return bus;
}

SessionBus::SessionBus(std::unique_ptr<BusDaemon> daemon) : daemon_(std::move(daemon)) {}

SessionBus::~SessionBus() = default;

std::vector<std::string> SessionBus::environment() const {
    return {"DBUS_SESSION_BUS_ADDRESS=" + address(), "GNOME_ACCESSIBILITY=1", "QT_ACCESSIBILITY=1",
            "QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1", "ACCESSIBILITY_ENABLED=1"};
}

}  // namespace tarvello
