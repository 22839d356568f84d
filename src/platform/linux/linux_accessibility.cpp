#include "platform/linux/linux_accessibility.h"

#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/lsan_interface.h>
#endif
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <atspi/atspi.h>
#include <dbus/dbus.h>
#include <glib-unix.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "base/log.h"
#include "dispatch/clock.h"
#include "platform/linux/linux_display.h"
#include "platform/linux/session_bus.h"
#include "platform/linux/x11.h"

namespace tarvello {

namespace {

double now() {
    return defaultClock()->uptime();
}

// The one thread that owns AT-SPI's GLib main context. AT-SPI keeps process-wide state
// (its bus connection, its object cache), so this thread and that state last as long as
// the process: created on first use and never torn down.
class AtspiThread {
public:
    static AtspiThread& shared() {
        static AtspiThread* thread = new AtspiThread;
        return *thread;
    }

    // Runs fn there; waits at most `limit` seconds. fn must own what it touches: it may
    // still run after the wait gave up.
    bool run(std::function<void()> fn, double limit) {
        auto done = std::make_shared<Done>();
        post([fn = std::move(fn), done] {
            fn();
            std::lock_guard lock(done->mutex);
            done->finished = true;
            done->changed.notify_all();
        });
        std::unique_lock lock(done->mutex);
        return done->changed.wait_for(lock, std::chrono::duration<double>(limit),
                                      [&] { return done->finished; });
    }

    // Only this thread touches GLib: GLib's locks are futexes ThreadSanitizer cannot
    // see, so a caller handing work over through GLib would look like a race on every
    // job and on GLib's own state. Callers queue the job and count up an eventfd.
    void post(std::function<void()> fn) {
        {
            std::lock_guard lock(mutex_);
            jobs_.push_back(std::move(fn));
        }
        const uint64_t one = 1;
        while (::write(wake_, &one, sizeof one) < 0 && errno == EINTR) {
        }
    }

    GMainContext* context() const { return context_; }

private:
    struct Done {
        std::mutex mutex;
        std::condition_variable changed;
        bool finished = false;
    };

    AtspiThread() : context_(g_main_context_new()), wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
        GMainLoop* loop = g_main_loop_new(context_, FALSE);
        std::thread([this, loop] {
#ifdef __SANITIZE_ADDRESS__
            // AT-SPI's state lives until the process ends, and libdbus keeps the pending
            // replies of calls that timed out: not leaks of ours.
            __lsan_disable();
#endif
            g_main_context_push_thread_default(context_);
            GSource* source = g_unix_fd_source_new(wake_, G_IO_IN);
            g_source_set_callback(source, G_SOURCE_FUNC(&AtspiThread::woken), this, nullptr);
            g_source_attach(source, context_);
            g_source_unref(source);
            g_main_loop_run(loop);
        }).detach();
    }

    static gboolean woken(gint fd, GIOCondition, gpointer self) {
        uint64_t count = 0;
        while (::read(fd, &count, sizeof count) < 0 && errno == EINTR) {
        }
        static_cast<AtspiThread*>(self)->drain();
        return G_SOURCE_CONTINUE;
    }

    // Runs what has been posted, in order.
    void drain() {
        for (;;) {
            std::function<void()> job;
            {
                std::lock_guard lock(mutex_);
                if (jobs_.empty()) return;
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            job();
        }
    }

    GMainContext* context_;
    const int wake_;
    std::mutex mutex_;
    std::deque<std::function<void()>> jobs_;
};

// Runs `use` on a private connection to bus `address`, registered, closed afterwards.
// Errors land in `e`.
void onBus(const std::string& address, DBusError& e, const std::function<void(DBusConnection*)>& use) {
    DBusConnection* bus = dbus_connection_open_private(address.c_str(), &e);
    if (!bus) return;
    dbus_connection_set_exit_on_disconnect(bus, FALSE);
    if (dbus_bus_register(bus, &e)) use(bus);
    dbus_connection_close(bus);
    dbus_connection_unref(bus);
}

// The address of the accessibility bus that session bus `sessionBus` names (empty:
// DBUS_SESSION_BUS_ADDRESS), starting its launcher when the bus can. Waits at most
// `timeout` seconds; empty with `error` set when there is none.
std::string accessibilityBusOf(const std::string& sessionBus, double timeout, std::string& error) {
    const char* inherited = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    const std::string address = !sessionBus.empty() ? sessionBus : inherited ? inherited : "";
    if (address.empty()) {
        error = "no session bus";
        return {};
    }
    DBusError e;
    dbus_error_init(&e);
    std::string out;
    onBus(address, e, [&](DBusConnection* bus) {
        DBusMessage* m =
            dbus_message_new_method_call("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress");
        // The launcher may have to be started first: that wait is part of the timeout.
        DBusMessage* reply = dbus_connection_send_with_reply_and_block(bus, m, int(timeout * 1000), &e);
        dbus_message_unref(m);
        const char* a = nullptr;
        if (reply && dbus_message_get_args(reply, &e, DBUS_TYPE_STRING, &a, DBUS_TYPE_INVALID) && a) out = a;
        if (reply) dbus_message_unref(reply);
    });
    if (out.empty()) error = dbus_error_is_set(&e) ? e.message : "an empty address";
    dbus_error_free(&e);
    return out;
}

// AT-SPI state: touched on the AT-SPI thread only.
struct Atspi {
    enum class Phase { untried, starting, ok, failed };
    std::atomic<Phase> status{Phase::untried};
    std::string failure;
    // Connected to the user's desktop's bus rather than the private displays' one.
    std::atomic<bool> userBus{false};
    int timeoutMs = 100;
    AtspiEventListener* listener = nullptr;
    AtspiAccessible* focus = nullptr;  // from focus events or a lookup; holds a reference
    int focusPid = -1;                 // -1: not read yet
    bool lookupDue = true;
    double lastLookup = -1e9;
    bool timedOut = false;  // set by a call that ran into the timeout, read by the caller

    static Atspi& shared() {
        static Atspi* a = new Atspi;
        return *a;
    }

    void setFocus(AtspiAccessible* a) {
        if (a == focus) return;
        if (a) g_object_ref(a);
        if (focus) g_object_unref(focus);
        focus = a;
        focusPid = -1;
    }

    // A call just ended with `error` (consumed): a timeout ends the poll, anything else
    // asks for a fresh look at the focus.
    void failed(GError* error, double started) {
        if (!error) return;
        g_error_free(error);
        if (now() - started >= 0.8 * timeoutMs / 1000.0) timedOut = true;
        lookupDue = true;
    }

    static void onEvent(AtspiEvent* event, void*) {
        Atspi& a = shared();
        const std::string type = event->type ? event->type : "";
        if (type.rfind("object:state-changed:focused", 0) == 0) {
            if (event->detail1) {
                a.setFocus(event->source);
            } else if (event->source == a.focus) {
                a.setFocus(nullptr);
            }
        } else if (type.rfind("window:activate", 0) == 0) {
            a.lookupDue = true;
        }
        g_boxed_free(ATSPI_TYPE_EVENT, event);
    }

    void start(int callTimeoutMs, bool user, const std::string& sessionBus) {
        timeoutMs = callTimeoutMs;
        userBus = user;
        std::string error;
        if (user) {
            const std::string address = accessibilityBusOf(sessionBus, 5.0, error);
            if (address.empty()) {
                failure = "your desktop's session bus names no accessibility bus (" + error + ")";
                status = Phase::failed;
                return;
            }
            // Replaces the value the constructor set, in place: a reader elsewhere sees
            // the old string or the new one.
            setenv("AT_SPI_BUS_ADDRESS", address.c_str(), 1);
        } else if (!ensureAccessibilityBus(error)) {
            failure = error;
            status = Phase::failed;
            return;
        }
        // Registering for events starts the registry on the bus: allow it time once.
        atspi_set_timeout(3000, 0);
        if (atspi_init() > 1) {
            failure = "cannot connect to the accessibility bus";
            status = Phase::failed;
            return;
        }
        atspi_set_main_context(AtspiThread::shared().context());
        listener = atspi_event_listener_new(onEvent, nullptr, nullptr);
        GError* e = nullptr;
        for (const char* type : {"object:state-changed:focused", "window:activate"}) {
            if (!atspi_event_listener_register(listener, type, &e)) {
                failure =
                    std::string("cannot listen for ") + type + (e ? std::string(": ") + e->message : "");
                if (e) g_error_free(e);
                status = Phase::failed;
                return;
            }
        }
        // No start-up grace: a newly started application gets the same short timeout.
        atspi_set_timeout(timeoutMs, 0);
        status = Phase::ok;
    }

    int pidOf(AtspiAccessible* element) {
        const double started = now();
        GError* e = nullptr;
        const guint pid = atspi_accessible_get_process_id(element, &e);
        if (e) {
            failed(e, started);
            return -1;
        }
        return int(pid);
    }

    // Whether `a` says it has the focus. An element that cannot answer does not.
    bool stillFocused(AtspiAccessible* a) {
        const double started = now();
        AtspiStateSet* states = atspi_accessible_get_state_set(a);
        if (!states) return false;
        const bool focused = atspi_state_set_contains(states, ATSPI_STATE_FOCUSED) &&
                             !atspi_state_set_contains(states, ATSPI_STATE_DEFUNCT);
        g_object_unref(states);
        if (now() - started >= 0.8 * timeoutMs / 1000.0) timedOut = true;
        return focused;
    }

    // The FOCUSED element of `app`: a collection match where the application serves
    // Collection, else a walk of its active window; nullptr when there is none.
    AtspiAccessible* focusedIn(AtspiAccessible* app) {
        AtspiCollection* collection = atspi_accessible_get_collection_iface(app);
        if (!collection) return walkForFocus(app);
        AtspiStateSet* states = atspi_state_set_new(nullptr);
        atspi_state_set_add(states, ATSPI_STATE_FOCUSED);
        AtspiMatchRule* rule = atspi_match_rule_new(
            states, ATSPI_Collection_MATCH_ALL, nullptr, ATSPI_Collection_MATCH_ALL, nullptr,
            ATSPI_Collection_MATCH_ALL, nullptr, ATSPI_Collection_MATCH_ALL, FALSE);
        const double started = now();
        GError* e = nullptr;
        GArray* matches = atspi_collection_get_matches(collection, rule,
                                                       ATSPI_Collection_SORT_ORDER_CANONICAL, 1, TRUE, &e);
        failed(e, started);
        AtspiAccessible* found = nullptr;
        if (matches) {
            if (matches->len > 0) found = g_array_index(matches, AtspiAccessible*, 0);
            for (guint i = 1; i < matches->len; ++i)
                g_object_unref(g_array_index(matches, AtspiAccessible*, i));
            g_array_free(matches, TRUE);
        }
        g_object_unref(rule);
        g_object_unref(states);
        g_object_unref(collection);
        return found;  // owns a reference
    }

    // Breadth first through the application's active window (every window when none is
    // active) for a FOCUSED element. Bounded in elements and time: a huge tree or a slow
    // application ends the walk empty-handed, and the focus events still count.
    AtspiAccessible* walkForFocus(AtspiAccessible* app) {
        constexpr int kMaxElements = 400;
        const double deadline = now() + 2.0 * timeoutMs / 1000.0;
        std::deque<AtspiAccessible*> pending;  // each holds a reference
        auto children = [&](AtspiAccessible* parent, std::vector<AtspiAccessible*>& out) {
            double started = now();
            GError* e = nullptr;
            const int n = atspi_accessible_get_child_count(parent, &e);
            failed(e, started);
            for (int i = 0; i < n && i < kMaxElements && !timedOut; ++i) {
                started = now();
                AtspiAccessible* child = atspi_accessible_get_child_at_index(parent, i, &e);
                failed(e, started);
                if (child) out.push_back(child);
            }
        };
        std::vector<AtspiAccessible*> windows;
        children(app, windows);
        for (AtspiAccessible* w : windows) {
            AtspiStateSet* states = atspi_accessible_get_state_set(w);
            const bool active = states && atspi_state_set_contains(states, ATSPI_STATE_ACTIVE);
            if (states) g_object_unref(states);
            if (active) {
                pending.push_back(static_cast<AtspiAccessible*>(g_object_ref(w)));
                break;
            }
        }
        if (pending.empty()) {
            for (AtspiAccessible* w : windows)
                pending.push_back(static_cast<AtspiAccessible*>(g_object_ref(w)));
        }
        for (AtspiAccessible* w : windows) g_object_unref(w);

        AtspiAccessible* found = nullptr;
        int visited = 0;
        while (!pending.empty() && !found && !timedOut && visited < kMaxElements && now() < deadline) {
            AtspiAccessible* a = pending.front();
            pending.pop_front();
            ++visited;
            AtspiStateSet* states = atspi_accessible_get_state_set(a);
            bool focused = false, manages = false;
            if (states) {
                focused = atspi_state_set_contains(states, ATSPI_STATE_FOCUSED);
                // Lists and tables that make their rows on demand would be walked row by row.
                manages = atspi_state_set_contains(states, ATSPI_STATE_MANAGES_DESCENDANTS);
                g_object_unref(states);
            }
            if (focused) {
                found = a;
                break;
            }
            if (!manages) {
                std::vector<AtspiAccessible*> next;
                children(a, next);
                pending.insert(pending.end(), next.begin(), next.end());
            }
            g_object_unref(a);
        }
        for (AtspiAccessible* a : pending) g_object_unref(a);
        return found;  // owns a reference
    }

    // Looks the focus up again: in application `pid`, or in any. A lookup that finds
    // nothing keeps a focus the events told of while that element still says it has it:
    // applications without Collection can only be searched so far.
    void lookUp(std::optional<int32_t> pid) {
        lookupDue = false;
        lastLookup = now();
        AtspiAccessible* desktop = atspi_get_desktop(0);
        if (!desktop) return;
        const double started = now();
        GError* e = nullptr;
        const int apps = atspi_accessible_get_child_count(desktop, &e);
        failed(e, started);
        AtspiAccessible* found = nullptr;
        for (int i = 0; i < apps && !found && !timedOut; ++i) {
            const double t = now();
            AtspiAccessible* app = atspi_accessible_get_child_at_index(desktop, i, &e);
            failed(e, t);
            if (!app) continue;
            if (!pid || pidOf(app) == *pid) found = focusedIn(app);
            g_object_unref(app);
        }
        g_object_unref(desktop);
        if (timedOut) {
            if (found) g_object_unref(found);
            return;
        }
        if (found) {
            setFocus(found);
            g_object_unref(found);
        } else if (focus && !stillFocused(focus) && !timedOut) {
            setFocus(nullptr);
        }
    }
};

// Adopts a reference taken on the AT-SPI thread, and gives it back there.
struct LinuxElement final : AxElement {
    explicit LinuxElement(AtspiAccessible* a) : accessible(a) {}
    ~LinuxElement() override {
        AtspiThread::shared().post([a = accessible] { g_object_unref(a); });
    }
    bool sameAs(const AxElement& other) const override {
        auto* o = dynamic_cast<const LinuxElement*>(&other);
        return o && o->accessible == accessible;
    }
    AtspiAccessible* accessible;
};

AtspiAccessible* accessibleOf(const AxElement& element) {
    auto* e = dynamic_cast<const LinuxElement*>(&element);
    return e ? e->accessible : nullptr;
}

// The value of a 32-bit CARDINAL or WINDOW property, if set.
std::optional<unsigned long> cardinal(Display* d, Window w, const char* name, Atom type) {
    Atom actual = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    const Atom atom = XInternAtom(d, name, False);
    if (XGetWindowProperty(d, w, atom, 0, 1, False, type, &actual, &format, &count, &after, &data) != Success)
        return std::nullopt;
    std::optional<unsigned long> out;
    if (data && actual == type && format == 32 && count == 1) out = reinterpret_cast<unsigned long*>(data)[0];
    if (data) XFree(data);
    return out;
}

// Switches the session bus's accessibility launcher on (its IsEnabled status), which
// toolkits exposing their tree only on demand watch for. Fire and forget: the launcher
// may first have to be started by the bus.
void enableAccessibility(const std::string& address) {
    DBusError error;
    dbus_error_init(&error);
    onBus(address, error, [](DBusConnection* bus) {
        DBusMessage* m = dbus_message_new_method_call("org.a11y.Bus", "/org/a11y/bus",
                                                      "org.freedesktop.DBus.Properties", "Set");
        const char* interface = "org.a11y.Status";
        const char* property = "IsEnabled";
        dbus_bool_t on = TRUE;
        DBusMessageIter it, variant;
        dbus_message_iter_init_append(m, &it);
        dbus_message_iter_append_basic(&it, DBUS_TYPE_STRING, &interface);
        dbus_message_iter_append_basic(&it, DBUS_TYPE_STRING, &property);
        dbus_message_iter_open_container(&it, DBUS_TYPE_VARIANT, "b", &variant);
        dbus_message_iter_append_basic(&variant, DBUS_TYPE_BOOLEAN, &on);
        dbus_message_iter_close_container(&it, &variant);
        dbus_message_set_no_reply(m, TRUE);
        dbus_connection_send(bus, m, nullptr);
        dbus_connection_flush(bus);
        dbus_message_unref(m);
    });
    dbus_error_free(&error);
}

}  // namespace

LinuxAccessibility::LinuxAccessibility(std::shared_ptr<LinuxDisplay> displays)
    : LinuxAccessibility(std::move(displays), Options{}) {}

LinuxAccessibility::LinuxAccessibility(std::shared_ptr<LinuxDisplay> displays, Options options)
    : displays_(std::move(displays)), options_(options) {
    // AT-SPI finds its bus through the environment only. The address is fixed for the
    // process, so it is set once, here, at start-up.
    setenv("AT_SPI_BUS_ADDRESS", accessibilityBusAddress().c_str(), 1);
}

LinuxAccessibility::~LinuxAccessibility() = default;

bool LinuxAccessibility::onThread(const std::function<void()>& fn) {
    if (interrupted_) return false;
    auto timedOut = std::make_shared<std::atomic<bool>>(false);
    const bool finished = AtspiThread::shared().run(
        [fn, timedOut] {
            Atspi& a = Atspi::shared();
            a.timedOut = false;
            fn();
            timedOut->store(a.timedOut);
        },
        options_.threadWait);
    if (!finished || timedOut->load()) interrupted_ = true;
    return finished && !interrupted_;
}

bool LinuxAccessibility::ready(uint32_t display) {
    interrupted_ = false;
    Atspi& a = Atspi::shared();
    using Phase = Atspi::Phase;
    Phase expected = Phase::untried;
    const bool user = options_.onUserDesktop && options_.onUserDesktop();
    if (a.status.compare_exchange_strong(expected, Phase::starting)) {
        const int timeout = options_.callTimeoutMs;
        AtspiThread::shared().post(
            [timeout, user, bus = options_.userSessionBus] { Atspi::shared().start(timeout, user, bus); });
    }
    if (a.status == Phase::failed) {
        if (!unavailableLogged_) {
            unavailableLogged_ = true;
            // Written before the status, which is atomic: safe to read now.
            log("Accessibility unavailable: " + a.failure);
        }
        return false;
    }
    if (a.status != Phase::ok) return false;
    if (user != a.userBus) {
        // AT-SPI connects once per process: the other desktop's applications are out of reach.
        if (!otherBusLogged_) {
            otherBusLogged_ = true;
            log(std::string("Text focus is off on ") + (user ? "your desktop" : "the private desktop") +
                " until the next start: accessibility is connected to the other one");
        }
        return false;
    }
    if (user) {
        userDesktop_ = true;
        display_ = display;
        displayName_.clear();
        x_.reset();
        return true;
    }
    if (userDesktop_) {
        userDesktop_ = false;
        x_.reset();
    }

    if (display != display_ || !x_ || x_->lost()) {
        display_ = display;
        displayName_ = displays_ ? displays_->connection(display) : std::string();
        x_.reset();
        scale_ = {};
        std::string error;
        if (!displayName_.empty()) x_ = XConnection::open(displayName_, error);
    }
    return true;
}

bool LinuxAccessibility::interrupted() {
    return interrupted_;
}

std::optional<int32_t> LinuxAccessibility::frontmostProcess() {
    if (!x_ || x_->lost()) return std::nullopt;
    Display* d = x_->get();
    const auto window = cardinal(d, DefaultRootWindow(d), "_NET_ACTIVE_WINDOW", XA_WINDOW);
    if (!window || *window == None) return std::nullopt;
    const auto pid = cardinal(d, Window(*window), "_NET_WM_PID", XA_CARDINAL);
    if (!pid || *pid == 0) return std::nullopt;
    return int32_t(*pid);
}

void LinuxAccessibility::requestEnhanced(int32_t) {
    // One switch for the whole session bus: asked once per display session.
    if (displayName_.empty()) return;
    const std::string address = sessionBusAddress(displayName_);
    if (address == enhancedBus_) return;
    enhancedBus_ = address;
    enableAccessibility(address);
}

AxElementRef LinuxAccessibility::focusedElement(std::optional<int32_t> pid) {
    auto out = std::make_shared<AtspiAccessible*>(nullptr);
    // A run that finishes after the wait gave up keeps one reference to a live element.
    if (!onThread([pid, out] {
            Atspi& a = Atspi::shared();
            if (a.lookupDue || !a.focus || now() - a.lastLookup >= 1.0) a.lookUp(pid);
            if (a.timedOut || !a.focus) return;
            if (pid) {
                if (a.focusPid < 0) a.focusPid = a.pidOf(a.focus);
                if (a.focusPid != *pid) return;
            }
            *out = static_cast<AtspiAccessible*>(g_object_ref(a.focus));
        })) {
        return nullptr;
    }
    return *out ? std::make_shared<LinuxElement>(*out) : nullptr;
}

std::optional<std::string> LinuxAccessibility::role(const AxElement& element) {
    AtspiAccessible* acc = accessibleOf(element);
    if (!acc) return std::nullopt;
    auto out = std::make_shared<std::optional<std::string>>();
    onThread([acc, out] {
        const double started = now();
        GError* e = nullptr;
        const AtspiRole r = atspi_accessible_get_role(acc, &e);
        if (e) return Atspi::shared().failed(e, started);
        if (gchar* name = atspi_role_get_name(r)) {
            *out = name;
            g_free(name);
        }
    });
    return interrupted_ ? std::nullopt : *out;
}

bool LinuxAccessibility::secure(const AxElement&) {
    return false;  // AT-SPI tells password fields by role
}

bool LinuxAccessibility::editable(const AxElement& element) {
    AtspiAccessible* acc = accessibleOf(element);
    if (!acc) return false;
    auto out = std::make_shared<bool>(false);
    onThread([acc, out] {
        const double started = now();
        AtspiStateSet* states = atspi_accessible_get_state_set(acc);
        if (!states) return;
        *out = atspi_state_set_contains(states, ATSPI_STATE_EDITABLE);
        // A defunct element answers with an empty set after a failed call.
        if (atspi_state_set_contains(states, ATSPI_STATE_DEFUNCT)) Atspi::shared().lookupDue = true;
        if (now() - started >= 0.8 * Atspi::shared().timeoutMs / 1000.0) Atspi::shared().timedOut = true;
        g_object_unref(states);
    });
    return !interrupted_ && *out;
}

std::optional<AxTextRange> LinuxAccessibility::selectedRange(const AxElement& element) {
    AtspiAccessible* acc = accessibleOf(element);
    if (!acc) return std::nullopt;
    auto out = std::make_shared<std::optional<AxTextRange>>();
    onThread([acc, out] {
        AtspiText* text = atspi_accessible_get_text_iface(acc);
        if (!text) return;
        Atspi& a = Atspi::shared();
        double started = now();
        GError* e = nullptr;
        const int n = atspi_text_get_n_selections(text, &e);
        if (e) {
            a.failed(e, started);
        } else if (n < 1) {
            *out = AxTextRange{0, 0};
        } else {
            started = now();
            AtspiRange* r = atspi_text_get_selection(text, 0, &e);
            a.failed(e, started);
            if (r) {
                const int from = std::min(r->start_offset, r->end_offset),
                          to = std::max(r->start_offset, r->end_offset);
                *out = AxTextRange{from, to - from};
                g_free(r);
            }
        }
        g_object_unref(text);
    });
    return interrupted_ ? std::nullopt : *out;
}

std::optional<AxRect> LinuxAccessibility::characterBounds(const AxElement& element, int64_t index) {
    AtspiAccessible* acc = accessibleOf(element);
    if (!acc || !displays_ || userDesktop_) return std::nullopt;
    struct Read {
        std::optional<AxRect> rect;
        int pid = -1;
        std::optional<std::pair<int, int>> frame;  // the application's first window, AT-SPI size
    };
    auto out = std::make_shared<Read>();
    const bool stale = now() - scale_.measured >= 1.0;
    const int32_t knownPid = scale_.pid;
    onThread([acc, index, out, stale, knownPid] {
        Atspi& a = Atspi::shared();
        AtspiText* text = atspi_accessible_get_text_iface(acc);
        if (!text) return;
        double started = now();
        GError* e = nullptr;
        AtspiRect* r = atspi_text_get_character_extents(text, gint(index), ATSPI_COORD_TYPE_SCREEN, &e);
        a.failed(e, started);
        g_object_unref(text);
        if (!r) return;
        out->rect = AxRect{double(r->x), double(r->y), double(r->width), double(r->height)};
        g_free(r);
        out->pid = a.pidOf(acc);
        if ((!stale && out->pid == knownPid) || a.timedOut) return;
        started = now();
        AtspiAccessible* app = atspi_accessible_get_application(acc, &e);
        a.failed(e, started);
        if (!app) return;
        started = now();
        AtspiAccessible* window = atspi_accessible_get_child_at_index(app, 0, &e);
        a.failed(e, started);
        g_object_unref(app);
        if (!window) return;
        if (AtspiComponent* c = atspi_accessible_get_component_iface(window)) {
            started = now();
            if (AtspiRect* w = atspi_component_get_extents(c, ATSPI_COORD_TYPE_SCREEN, &e)) {
                out->frame = std::make_pair(int(w->width), int(w->height));
                g_free(w);
            }
            a.failed(e, started);
            g_object_unref(c);
        }
        g_object_unref(window);
    });
    if (interrupted_ || !out->rect) return std::nullopt;

    const double scale = scaleOf(out->pid, out->frame);
    const auto bounds = displayBounds(display_);
    std::optional<DisplayInfo> info;
    for (const auto& d : displays_->displays()) {
        if (d.id == display_) info = d;
    }
    if (!bounds || !info || info->pixelWidth < 1 || info->pixelHeight < 1) return std::nullopt;
    // X pixels of the session display to the global space of points.
    const double sx = bounds->width / info->pixelWidth, sy = bounds->height / info->pixelHeight;
    const AxRect& r = *out->rect;
    return AxRect{bounds->x + r.x * scale * sx, bounds->y + r.y * scale * sy, r.width * scale * sx,
                  r.height * scale * sy};
}

std::optional<std::pair<int, int>> LinuxAccessibility::xWindowSize(int32_t pid) {
    if (!x_ || pid <= 0 || x_->lost()) return std::nullopt;
    Display* d = x_->get();
    std::optional<std::pair<int, int>> best;
    // Top-level windows, and their children for window managers that reparent.
    std::function<void(Window, int)> visit = [&](Window parent, int depth) {
        Window root = None, up = None, *children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(d, parent, &root, &up, &children, &count)) return;
        for (unsigned i = 0; i < count; ++i) {
            XWindowAttributes attrs;
            if (!XGetWindowAttributes(d, children[i], &attrs) || attrs.map_state != IsViewable) continue;
            if (cardinal(d, children[i], "_NET_WM_PID", XA_CARDINAL) == static_cast<unsigned long>(pid)) {
                if (!best || attrs.width * attrs.height > best->first * best->second)
                    best = std::make_pair(attrs.width, attrs.height);
            } else if (depth < 1) {
                visit(children[i], depth + 1);
            }
        }
        if (children) XFree(children);
    };
    visit(DefaultRootWindow(d), 0);
    return best;
}

double LinuxAccessibility::scaleOf(int32_t pid, std::optional<std::pair<int, int>> frame) {
    auto& s = scale_;
    if (!frame) return s.pid == pid ? s.factor : 1.0;
    const auto window = xWindowSize(pid);
    s.pid = pid;
    s.measured = now();
    s.factor = 1;
    if (window && frame->first > 0 && frame->second > 0) {
        // Toolkits that scale report logical pixels: the X window is larger by their factor.
        const double f = double(window->first) / frame->first;
        if (std::abs(f - 1) > 0.05 && std::abs(double(window->second) / frame->second - f) < 0.1 * f)
            s.factor = f;
    }
    return s.factor;
}

std::optional<AxRect> LinuxAccessibility::displayBounds(uint32_t display) {
    if (!displays_ || userDesktop_) return std::nullopt;
    for (const auto& d : displays_->displays()) {
        if (d.id == display) return AxRect{d.bounds.x, d.bounds.y, d.bounds.width, d.bounds.height};
    }
    return std::nullopt;
}

}  // namespace tarvello
