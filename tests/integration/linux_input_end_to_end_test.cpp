// The phone's input through a server on the X11 back-ends, seen by a client window on
// the session's private display.
#include <unistd.h>

#include <future>

#include "platform/linux/session_command.h"
#include "support/peer_process.h"
#include "support/server_fixture.h"
// X last: its macros (None, Status, Bool) would break the headers above.
#include <X11/keysym.h>

#include "platform/linux/x_test_window.h"

namespace tarvello::test {
namespace {

// A peer script in a private temporary file, removed with the object.
class ScriptFile {
public:
    explicit ScriptFile(const std::string& text) {
        char name[] = "/tmp/tarvello-script-XXXXXX";
        const int fd = mkstemp(name);
        if (fd < 0) return;
        ok_ = write(fd, text.data(), text.size()) == ssize_t(text.size());
        close(fd);
        path_ = name;
    }
    ~ScriptFile() {
        if (!path_.empty()) unlink(path_.c_str());
    }
    ScriptFile(const ScriptFile&) = delete;
    ScriptFile& operator=(const ScriptFile&) = delete;
    bool ok() const { return ok_; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
    bool ok_ = false;
};

class LinuxInputServerTest : public ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        store->setString(SettingsKey::sessionCommand, "");  // an empty desktop: nothing takes the focus
        // Long enough that the display outlives every check made after a disconnect.
        options.teardownDelay = 120;
    }

    void startLinuxServer() {
        platform = makeLinuxPlatform();
        platform.preferences = std::make_shared<MemoryPreferenceDomains>();
        server = Server::create(platform, options);
        ASSERT_TRUE(server->start());
    }

    // The session display, once the session has made it.
    std::optional<DisplayInfo> sessionDisplay() {
        std::optional<DisplayInfo> found;
        eventually([&] {
            for (const auto& d : platform.display->displays()) {
                if (!d.connection.empty()) found = d;
            }
            return found.has_value();
        });
        return found;
    }

    std::unique_ptr<XConnection> openSessionDisplay() {
        const auto info = sessionDisplay();
        if (!info) return nullptr;
        std::string error;
        auto x = XConnection::open(info->connection, error);
        EXPECT_TRUE(x) << error;
        return x;
    }

    // Waits until the keys and buttons the phone holds show on the display.
    static bool holding(Display* d, unsigned mask) {
        return eventually([&] {
            Window root = 0, child = 0;
            int rx = 0, ry = 0, wx = 0, wy = 0;
            unsigned state = 0;
            XQueryPointer(d, DefaultRootWindow(d), &root, &child, &rx, &ry, &wx, &wy, &state);
            return (state & mask) == mask;
        });
    }

    static void hold(TestPhone& phone) {
        for (const auto& frame : {buildKey(0xE1, true), buildKey(0x04, true), buildKey(0x52, true),
                                  buildButton(1, true), buildButton(2, true)}) {
            ASSERT_TRUE(phone.sendRaw(frame));
        }
    }
    static constexpr unsigned kHeld = ShiftMask | Button2Mask | Button3Mask;
};

TEST_F(LinuxInputServerTest, NothingStaysPressedAfterThePhoneDisconnects) {
    startLinuxServer();
    auto phone = acceptedPhone(640, 480);
    auto x = openSessionDisplay();
    ASSERT_TRUE(x);
    hold(*phone);
    ASSERT_TRUE(holding(x->get(), kHeld));
    EXPECT_FALSE(inputIdle(x->get()));

    phone->close();
    EXPECT_TRUE(eventually([&] { return inputIdle(x->get()); }));
    EXPECT_FALSE(x->lost());  // the same display, not a fresh one
    EXPECT_TRUE(logs.contains("iPhone disconnected"));
}

TEST_F(LinuxInputServerTest, NothingStaysPressedWhenAnotherPhoneReplacesTheConnection) {
    startLinuxServer();
    auto first = acceptedPhone(640, 480);
    auto x = openSessionDisplay();
    ASSERT_TRUE(x);
    hold(*first);
    ASSERT_TRUE(holding(x->get(), kHeld));

    // A connection replaces the phone's only once its hello is accepted; the session is
    // then rebuilt, and the display the new phone gets has nothing pressed.
    TestPhone second;
    ASSERT_TRUE(second.connect(server->controlPort()));
    auto ack = second.hello(kCode, 640, 480);
    ASSERT_TRUE(ack && ack->accepted);
    EXPECT_TRUE(logs.contains("New connection replaces the previous one"));
    auto y = openSessionDisplay();
    ASSERT_TRUE(y);
    EXPECT_TRUE(eventually([&] { return inputIdle(y->get()); }));
}

TEST_F(LinuxInputServerTest, PeerScriptReachesAWindowOnTheSessionDisplay) {
    startLinuxServer();
    const ScriptFile script(
        "sleep 0.3\n"
        "key 0xE1 1\nkey 0x04 1\nkey 0x04 0\nkey 0xE1 0\n"
        "text h\\xC3\\xA9\\xE2\\x9C\\x93\n"
        "mouseAbs 0.5 0.5\nbutton 0 1\nbutton 0 0\n"
        "scroll 0 100 wheel\n"
        "gesture magnify 0.25 began\n"
        "gesture rotate 0.5 began\n"
        "sleep 0.3\n");
    ASSERT_TRUE(script.ok());
    PeerProcess peer(
        server->controlPort(), server->videoPort(),
        {"--code", kCode, "--size", "640x480", "--frames", "1", "--script", script.path(), "--quiet"});
    ASSERT_TRUE(peer.started());

    const auto info = sessionDisplay();
    ASSERT_TRUE(info);
    // Input is handled on the server queue: holding it until the window watches means
    // nothing the script sends can arrive before.
    std::promise<void> watching;
    server->queue().async(
        [ready = watching.get_future().share()] { ready.wait_for(std::chrono::seconds(20)); });
    std::unique_ptr<XTestWindow> window;
    {
        std::string error;
        auto x = XConnection::open(info->connection, error);
        if (x) window = std::make_unique<XTestWindow>(std::move(x));
        watching.set_value();
        ASSERT_TRUE(window) << error;
        ASSERT_TRUE(window->ready());
    }

    // Read while the peer plays, the way a live client would.
    const bool all = window->waitFor(
        [](const std::vector<SeenEvent>& seen) {
            return XTestWindow::count(seen, ButtonRelease) >= 5 && XTestWindow::count(seen, KeyRelease) >= 6;
        },
        60);
    EXPECT_TRUE(peer.wait()) << peer.output();
    ASSERT_TRUE(all);

    EXPECT_EQ(window->typed(), U"Ah\u00e9\u2713");
    const auto keys = window->of(KeyPress);
    ASSERT_FALSE(keys.empty());
    EXPECT_EQ(keys[0].keysym, XK_Shift_L);
    EXPECT_EQ(keys[1].keysym, XK_A);
    EXPECT_EQ(keys[1].state & ShiftMask, unsigned(ShiftMask));

    // Click at the centre, two wheel steps up, then the pinch as Control + wheel.
    const int cx = info->pixelWidth / 2, cy = info->pixelHeight / 2;
    const auto buttons = window->of(ButtonPress);
    ASSERT_EQ(buttons.size(), 5u);
    EXPECT_EQ(buttons[0].button, 1u);
    EXPECT_EQ(buttons[0].rootX, cx);
    EXPECT_EQ(buttons[0].rootY, cy);
    for (size_t i = 1; i < 5; ++i) {
        EXPECT_EQ(buttons[i].button, 4u) << i;
        EXPECT_EQ(buttons[i].state & ControlMask, i >= 3 ? unsigned(ControlMask) : 0u) << i;
    }
    EXPECT_TRUE(eventually([&] { return inputIdle(window->display()); }));
    // X carries no rotation: the gesture is not offered, and one sent anyway stops before the display.
    EXPECT_FALSE(logs.contains("Gesture rotate is not supported on X displays"));
    EXPECT_TRUE(logs.contains("Input injection on " + info->connection + " through XTEST"));
}

}  // namespace
}  // namespace tarvello::test
