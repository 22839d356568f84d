// org.a11y.Bus as this process serves it on a display's session bus, asked the way
// toolkits ask it, over a real dbus-daemon.
#ifdef TARVELLO_HAVE_ATSPI

#include "platform/linux/session_bus.h"

#include <dbus/dbus.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <string>

#include "base/child_process.h"
#include "support/eventually.h"
#include "support/require.h"

namespace tarvello::test {
namespace {

// A client of the session bus, with the replies and errors it was given.
class BusClient {
public:
    explicit BusClient(const std::string& address) {
        DBusError e;
        dbus_error_init(&e);
        connection_ = dbus_connection_open_private(address.c_str(), &e);
        if (connection_) {
            dbus_connection_set_exit_on_disconnect(connection_, FALSE);
            if (!dbus_bus_register(connection_, &e)) {
                dbus_connection_close(connection_);
                dbus_connection_unref(connection_);
                connection_ = nullptr;
            }
        }
        dbus_error_free(&e);
    }
    ~BusClient() {
        if (!connection_) return;
        dbus_connection_close(connection_);
        dbus_connection_unref(connection_);
    }
    BusClient(const BusClient&) = delete;
    BusClient& operator=(const BusClient&) = delete;

    bool connected() const { return connection_ != nullptr; }

    // Sends `m` (taken) and returns the reply, or nullptr with `error` set.
    DBusMessage* call(DBusMessage* m) {
        DBusError e;
        dbus_error_init(&e);
        DBusMessage* reply = dbus_connection_send_with_reply_and_block(connection_, m, 5000, &e);
        dbus_message_unref(m);
        error = dbus_error_is_set(&e) ? e.name : "";
        dbus_error_free(&e);
        return reply;
    }

    std::optional<std::string> address() {
        DBusMessage* reply =
            call(dbus_message_new_method_call("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress"));
        if (!reply) return std::nullopt;
        const char* a = nullptr;
        std::optional<std::string> out;
        if (dbus_message_get_args(reply, nullptr, DBUS_TYPE_STRING, &a, DBUS_TYPE_INVALID)) out = a;
        dbus_message_unref(reply);
        return out;
    }

    std::optional<bool> status(const char* property) {
        DBusMessage* m = properties("Get", property);
        DBusMessage* reply = call(m);
        if (!reply) return std::nullopt;
        std::optional<bool> out;
        DBusMessageIter it, v;
        if (dbus_message_iter_init(reply, &it) && dbus_message_iter_get_arg_type(&it) == DBUS_TYPE_VARIANT) {
            dbus_message_iter_recurse(&it, &v);
            if (dbus_message_iter_get_arg_type(&v) == DBUS_TYPE_BOOLEAN) {
                dbus_bool_t b = FALSE;
                dbus_message_iter_get_basic(&v, &b);
                out = b;
            }
        }
        dbus_message_unref(reply);
        return out;
    }

    // Sets `property` to a variant of `type` holding `value`; true on a plain reply.
    bool set(const char* property, int type, const void* value) {
        DBusMessage* m = properties("Set", property);
        DBusMessageIter it, v;
        dbus_message_iter_init_append(m, &it);
        const char signature[2] = {char(type), 0};
        dbus_message_iter_open_container(&it, DBUS_TYPE_VARIANT, signature, &v);
        dbus_message_iter_append_basic(&v, type, value);
        dbus_message_iter_close_container(&it, &v);
        DBusMessage* reply = call(m);
        if (reply) dbus_message_unref(reply);
        return reply != nullptr;
    }

    // The names of the org.a11y.Status properties GetAll lists with value true.
    std::optional<std::vector<std::string>> enabledByGetAll() {
        DBusMessage* m = dbus_message_new_method_call("org.a11y.Bus", "/org/a11y/bus",
                                                      "org.freedesktop.DBus.Properties", "GetAll");
        const char* interface = "org.a11y.Status";
        dbus_message_append_args(m, DBUS_TYPE_STRING, &interface, DBUS_TYPE_INVALID);
        DBusMessage* reply = call(m);
        if (!reply) return std::nullopt;
        std::vector<std::string> out;
        DBusMessageIter it, dict, entry, v;
        dbus_message_iter_init(reply, &it);
        dbus_message_iter_recurse(&it, &dict);
        for (; dbus_message_iter_get_arg_type(&dict) == DBUS_TYPE_DICT_ENTRY; dbus_message_iter_next(&dict)) {
            dbus_message_iter_recurse(&dict, &entry);
            const char* key = nullptr;
            dbus_message_iter_get_basic(&entry, &key);
            dbus_message_iter_next(&entry);
            dbus_message_iter_recurse(&entry, &v);
            dbus_bool_t b = FALSE;
            if (dbus_message_iter_get_arg_type(&v) == DBUS_TYPE_BOOLEAN) dbus_message_iter_get_basic(&v, &b);
            if (b) out.push_back(key);
        }
        dbus_message_unref(reply);
        return out;
    }

    // The process that owns `name` on the bus.
    std::optional<uint32_t> owner(const char* name) {
        DBusMessage* m = dbus_message_new_method_call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                      "org.freedesktop.DBus", "GetConnectionUnixProcessID");
        dbus_message_append_args(m, DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID);
        DBusMessage* reply = call(m);
        if (!reply) return std::nullopt;
        dbus_uint32_t pid = 0;
        std::optional<uint32_t> out;
        if (dbus_message_get_args(reply, nullptr, DBUS_TYPE_UINT32, &pid, DBUS_TYPE_INVALID)) out = pid;
        dbus_message_unref(reply);
        return out;
    }

    // Subscribes to the status's change signals; changed() then reads them.
    void watchChanges() {
        dbus_bus_add_match(
            connection_,
            "type='signal',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',"
            "path='/org/a11y/bus'",
            nullptr);
        dbus_connection_flush(connection_);
    }

    // The property names of the next PropertiesChanged already received, if any.
    std::optional<std::string> changed() {
        dbus_connection_read_write(connection_, 0);
        while (DBusMessage* m = dbus_connection_pop_message(connection_)) {
            std::optional<std::string> out;
            if (dbus_message_is_signal(m, "org.freedesktop.DBus.Properties", "PropertiesChanged")) {
                DBusMessageIter it, dict, entry;
                dbus_message_iter_init(m, &it);
                dbus_message_iter_next(&it);
                dbus_message_iter_recurse(&it, &dict);
                std::string names;
                for (; dbus_message_iter_get_arg_type(&dict) == DBUS_TYPE_DICT_ENTRY;
                     dbus_message_iter_next(&dict)) {
                    dbus_message_iter_recurse(&dict, &entry);
                    const char* key = nullptr;
                    dbus_message_iter_get_basic(&entry, &key);
                    names += std::string(names.empty() ? "" : " ") + key;
                }
                out = names;
            }
            dbus_message_unref(m);
            if (out) return out;
        }
        return std::nullopt;
    }

    std::string error;  // the name of the last call's error, empty when it had none

private:
    static DBusMessage* properties(const char* method, const char* property) {
        DBusMessage* m = dbus_message_new_method_call("org.a11y.Bus", "/org/a11y/bus",
                                                      "org.freedesktop.DBus.Properties", method);
        const char* interface = "org.a11y.Status";
        dbus_message_append_args(m, DBUS_TYPE_STRING, &interface, DBUS_TYPE_STRING, &property,
                                 DBUS_TYPE_INVALID);
        return m;
    }

    DBusConnection* connection_ = nullptr;
};

class SessionBusTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (findOnPath("dbus-daemon").empty()) TARVELLO_SKIP_MISSING("dbus-daemon is not installed");
        if (access("/usr/share/defaults/at-spi2/accessibility.conf", R_OK) != 0)
            TARVELLO_SKIP_MISSING("at-spi2-core is not installed");
        std::string error;
        // No X server is needed: nothing here is activated on the bus.
        bus = SessionBus::start(":4071", "/nonexistent", "", error);
        ASSERT_TRUE(bus) << error;
        client = std::make_unique<BusClient>(bus->address());
        ASSERT_TRUE(client->connected());
    }

    std::unique_ptr<SessionBus> bus;
    std::unique_ptr<BusClient> client;
};

TEST_F(SessionBusTest, TheAccessibilityBusIsTheOneThisProcessKeeps) {
    EXPECT_EQ(client->address(), accessibilityBusAddress());
    // This process answers, not a launcher the bus started (which would name a bus of its own).
    EXPECT_EQ(client->owner("org.a11y.Bus"), uint32_t(getpid()));
    // Applications read the bus from here only: an address in their environment would win.
    for (const auto& entry : bus->environment())
        EXPECT_NE(entry.rfind("AT_SPI_BUS_ADDRESS=", 0), 0u) << entry;
}

TEST_F(SessionBusTest, TheStatusSwitchesStartOffAndFollowWhatIsSet) {
    client->watchChanges();
    EXPECT_EQ(client->status("IsEnabled"), false);
    EXPECT_EQ(client->status("ScreenReaderEnabled"), false);
    EXPECT_EQ(client->enabledByGetAll(), std::vector<std::string>{});

    const dbus_bool_t on = TRUE;
    ASSERT_TRUE(client->set("IsEnabled", DBUS_TYPE_BOOLEAN, &on)) << client->error;
    EXPECT_EQ(client->status("IsEnabled"), true);
    EXPECT_EQ(client->status("ScreenReaderEnabled"), false);
    EXPECT_EQ(client->enabledByGetAll(), std::vector<std::string>{"IsEnabled"});
    std::optional<std::string> changed;
    EXPECT_TRUE(eventually([&] { return (changed = client->changed()).has_value(); }));
    EXPECT_EQ(changed, "IsEnabled");

    // Setting the value it has already announces nothing; the next real change does.
    ASSERT_TRUE(client->set("IsEnabled", DBUS_TYPE_BOOLEAN, &on));
    ASSERT_TRUE(client->set("ScreenReaderEnabled", DBUS_TYPE_BOOLEAN, &on));
    EXPECT_TRUE(eventually([&] { return (changed = client->changed()).has_value(); }));
    EXPECT_EQ(changed, "ScreenReaderEnabled");
}

TEST_F(SessionBusTest, MalformedRequestsGetErrorsAndChangeNothing) {
    const char* text = "yes";
    EXPECT_FALSE(client->set("IsEnabled", DBUS_TYPE_STRING, &text));
    EXPECT_EQ(client->error, DBUS_ERROR_INVALID_ARGS);
    const dbus_bool_t on = TRUE;
    EXPECT_FALSE(client->set("Volume", DBUS_TYPE_BOOLEAN, &on));
    EXPECT_EQ(client->error, DBUS_ERROR_UNKNOWN_PROPERTY);
    EXPECT_FALSE(client->status("Volume"));

    // Get without its arguments, and a method the service does not have.
    EXPECT_EQ(client->call(dbus_message_new_method_call("org.a11y.Bus", "/org/a11y/bus",
                                                        "org.freedesktop.DBus.Properties", "Get")),
              nullptr);
    EXPECT_EQ(client->error, DBUS_ERROR_INVALID_ARGS);
    EXPECT_EQ(
        client->call(dbus_message_new_method_call("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "Quit")),
        nullptr);
    EXPECT_EQ(client->error, DBUS_ERROR_UNKNOWN_METHOD);

    // Still answering, and unchanged.
    EXPECT_EQ(client->status("IsEnabled"), false);
    EXPECT_EQ(client->address(), accessibilityBusAddress());
}

TEST_F(SessionBusTest, EndingTheBusWhileAClientHoldsItDoesNotHang) {
    ASSERT_EQ(client->address(), accessibilityBusAddress());
    const pid_t daemon = bus->pid();
    bus.reset();
    EXPECT_TRUE(eventually([&] { return kill(daemon, 0) != 0; })) << "the daemon outlived its bus";
    EXPECT_FALSE(client->address());
}

}  // namespace
}  // namespace tarvello::test

#endif  // TARVELLO_HAVE_ATSPI
