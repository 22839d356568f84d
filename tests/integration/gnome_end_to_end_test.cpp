// The whole server serving a headless GNOME desktop (Mutter on a private session bus) to
// a phone over loopback: the picture it decodes, the clicks and text it sends, and the
// text focus it hears.
#include <algorithm>
#include <chrono>
#include <list>

#include "platform/linux/display_mode.h"
#include "platform/linux/session_command.h"
#include "platform/preference_domains.h"
#include "support/eventually.h"
#include "support/gtk_probe.h"
#include "support/mutter_layout.h"
#include "support/mutter_session.h"
#include "support/scoped_env.h"
#include "support/server_fixture.h"
#include "support/video_receiver.h"

namespace tarvello::test {
namespace {

class GnomeEndToEndTest : public ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        ASSERT_TRUE(linuxPlatformAvailable()) << "Xvfb missing";
        ASSERT_TRUE(MutterDesktop::available()) << "mutter, pipewire, wireplumber or dbus-daemon missing";
        store->setString(SettingsKey::sessionCommand, "");
        // The phone's monitor goes as soon as the phone does.
        options.teardownDelay = 0;
        before_ = currentDisplay();
    }

    void TearDown() override {
        ServerTest::TearDown();
        setCurrentDisplay(before_);
    }

    // Mutter with the user's monitors, and this process inside its session.
    void startDesktop(const std::vector<std::string>& monitors, bool accessibility = false) {
        ASSERT_TRUE(desktop.start(monitors)) << desktop.media.log("mutter.log");
        if (accessibility) {
            ASSERT_TRUE(desktop.startAccessibility()) << desktop.media.log("a11y.log");
        }
        enterSession();
        std::string error;
        mutter_ = gnome::MutterBus::open(bus_, error);
        ASSERT_TRUE(mutter_) << error;
    }

    // This process in the desktop's session, as if started there.
    void enterSession() {
        bus_ = desktop.busAddress();
        runtime_ = desktop.media.runtime.string();
        env_.emplace_back("DBUS_SESSION_BUS_ADDRESS", bus_.c_str());
        env_.emplace_back("XDG_RUNTIME_DIR", runtime_.c_str());
        env_.emplace_back("PIPEWIRE_RUNTIME_DIR", runtime_.c_str());
        env_.emplace_back("PIPEWIRE_REMOTE", nullptr);
        env_.emplace_back("XDG_SESSION_TYPE", nullptr);
        env_.emplace_back("WAYLAND_DISPLAY", nullptr);
        env_.emplace_back("XDG_CURRENT_DESKTOP", nullptr);
    }

    // AT-SPI connects to one bus per process: only the test about text focus lets the
    // server connect, so that test finds it unconnected whatever ran before it.
    void startLinuxServer(bool textFocus = false) {
        platform = makeLinuxPlatform();
        platform.preferences = std::make_shared<MemoryPreferenceDomains>();
        if (!textFocus) platform.accessibility = nullptr;
        server = Server::create(platform, options);
        ASSERT_TRUE(server->start());
    }
    void startGnomeServer(bool mirror, bool textFocus = false) {
        store->setBool(SettingsKey::mirrorMac, mirror);
        startLinuxServer(textFocus);
        ASSERT_EQ(currentDisplay().kind, DesktopKind::gnomeWayland) << currentDisplay().logLine;
    }

    gnome::MonitorsState state() {
        std::string error;
        auto s = mutterState(mutter_, error);
        EXPECT_TRUE(s.has_value()) << error;
        return s.value_or(gnome::MonitorsState{});
    }

    // Waits for the newest decoded picture to satisfy `pred`, asking for keyframes as the
    // receiver wants them.
    template <class Pred>
    bool pictureShows(TestPhone& phone, VideoReceiver& video, Pred pred, double timeout = 15) {
        return eventually(
            [&] {
                if (video.takeKeyframeWish()) phone.sendRaw(buildRequestKeyframe());
                auto f = video.latest();
                return f && pred(*f);
            },
            timeout);
    }

    // A left click at a fraction of the phone's display. The pointer comes from a point
    // beside it, as a finger moves it: GTK counts a button as under the pointer from a
    // motion inside it, not from the pointer's entering the window.
    static void click(TestPhone& phone, double fx, double fy) {
        ASSERT_TRUE(phone.sendRaw(buildMouseAbs(float(fx + 0.005), float(fy + 0.005))));
        ASSERT_TRUE(phone.sendRaw(buildMouseAbs(float(fx), float(fy))));
        ASSERT_TRUE(phone.sendRaw(buildButton(0, true)));
        ASSERT_TRUE(phone.sendRaw(buildButton(0, false)));
    }
    static void clickWidget(TestPhone& phone, const GtkProbe& probe, const std::string& name) {
        const auto window = probe.widget("window"), widget = probe.widget(name);
        ASSERT_TRUE(window && widget) << probe.log();
        click(phone, widget->centreX() / window->width, widget->centreY() / window->height);
    }

    // The next textFocus the phone hears that says `focused`; false when none comes.
    static bool hearsFocus(TestPhone& phone, bool focused, double timeout = 10) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
        for (;;) {
            const double left = std::chrono::duration<double>(end - std::chrono::steady_clock::now()).count();
            if (left <= 0) return false;
            auto f = phone.waitFor(MsgType::textFocus, left);
            if (!f) return false;
            if (!f->payload.empty() && (f->payload[0] != 0) == focused) return true;
        }
    }

    MutterDesktop desktop;
    std::shared_ptr<gnome::MutterBus> mutter_;

private:
    DisplayResolution before_;
    std::string bus_, runtime_;
    std::list<ScopedEnv> env_;
};

TEST_F(GnomeEndToEndTest, ExtendStreamsANewMonitorAtThePhonesSizeThatTakesClicksAndText) {
    // Two monitors of the user's, so their arrangement is something to put back.
    startDesktop({"1280x720", "1024x768"});
    const gnome::Layout before = state().layout;
    ASSERT_EQ(before.size(), 2u);
    startGnomeServer(false);
    EXPECT_TRUE(logs.contains("Display: your GNOME desktop (Wayland)"));

    constexpr int kW = 1080, kH = 1440;
    auto phone = acceptedPhone(kW, kH);
    ASSERT_EQ(lastAck.width, kW);
    ASSERT_EQ(lastAck.height, kH);
    registerVideo(*phone, lastAck.sessionId);
    auto video = std::make_unique<VideoReceiver>(phone->udpSocket());
    ASSERT_TRUE(eventually([&] { return state().monitors.size() == 3; }, 15)) << "no monitor for the phone";
    // The phone's monitor is the main one, at the origin.
    const auto users = [&](const gnome::LogicalMonitor& r) {
        return std::any_of(before.begin(), before.end(), [&](const auto& b) {
            return b.monitors.front().first == r.monitors.front().first;
        });
    };
    EXPECT_TRUE(eventually(
        [&] {
            for (const auto& r : state().layout)
                if (r.primary) return !users(r) && r.x == 0 && r.y == 0;
            return false;
        },
        10));

    GtkProbe probe(desktop, kW, kH);
    ASSERT_TRUE(eventually([&] { return probe.said("ready"); }, 20)) << probe.log();
    ASSERT_TRUE(pictureShows(*phone, *video,
                             [&](const VideoFrame& f) {
                                 return f.width == kW && f.height == kH && magentaAt(f, kW / 2, kH * 3 / 4);
                             }))
        << "the window on the phone's monitor never showed in the decoded picture (" << video->decoded()
        << " pictures)";

    // A click at a fraction of the phone's display lands at that fraction of the window.
    click(*phone, 0.25, 0.75);
    ASSERT_TRUE(eventually([&] { return probe.lastClick().has_value(); }, 10)) << probe.log();
    const auto window = probe.widget("window");
    ASSERT_TRUE(window);
    EXPECT_NEAR(probe.lastClick()->first, window->width * 0.25, 2);
    EXPECT_NEAR(probe.lastClick()->second, window->height * 0.75, 2);

    // Mutter types only what its keymap has: headless, the US layout, which has the euro sign.
    ASSERT_TRUE(phone->sendRaw(buildText("Typed ok \xe2\x82\xac")));
    EXPECT_TRUE(eventually([&] { return probe.said("text Typed ok \xe2\x82\xac"); }, 10))
        << probe.log() << desktop.media.log("mutter.log");

    video.reset();
    phone->close();
    EXPECT_TRUE(eventually([&] { return state().monitors.size() == 2; }, 15))
        << "the phone's monitor outlived the session";
    EXPECT_TRUE(eventually([&] { return state().layout == before; }, 10))
        << "the user's layout did not come back";
}

TEST_F(GnomeEndToEndTest, MirrorShowsThePrimaryMonitorAndMapsAClickIntoIt) {
    startDesktop({"1280x720"});
    GtkProbe probe(desktop, 1280, 720);
    ASSERT_TRUE(eventually([&] { return probe.said("ready"); }, 20)) << probe.log();
    startGnomeServer(true);

    // A square phone: the 16:9 monitor fills its width, with bars above and below.
    auto phone = acceptedPhone(640, 640);
    ASSERT_EQ(lastAck.width, 640);
    registerVideo(*phone, lastAck.sessionId);
    VideoReceiver video(phone->udpSocket());
    ASSERT_TRUE(pictureShows(*phone, video,
                             [](const VideoFrame& f) {
                                 return f.width == 640 && f.height == 640 && magentaAt(f, 320, 320) &&
                                        magentaAt(f, 320, 200) && blackAt(f, 320, 40) && blackAt(f, 320, 600);
                             }))
        << "the primary monitor's picture was not letterboxed into the frame (" << video.decoded()
        << " pictures)";
    EXPECT_EQ(state().monitors.size(), 1u) << "mirroring made a monitor";

    // The monitor's (640, 500) shows at the phone's (320, 140 + 250).
    click(*phone, 0.5, 390.0 / 640);
    ASSERT_TRUE(eventually([&] { return probe.lastClick().has_value(); }, 10)) << probe.log();
    EXPECT_NEAR(probe.lastClick()->first, 640, 3);
    EXPECT_NEAR(probe.lastClick()->second, 500, 3);
}

TEST_F(GnomeEndToEndTest, ClickingIntoAnEntryOnThePhonesMonitorSendsTextFocusAndKeepsIt) {
    startDesktop({"1280x720"}, true);
    startGnomeServer(false, true);
    constexpr int kW = 1080, kH = 1440;
    auto phone = acceptedPhone(kW, kH);
    ASSERT_TRUE(eventually([&] { return state().monitors.size() == 2; }, 15)) << "no monitor for the phone";
    GtkProbe probe(desktop, kW, kH);
    ASSERT_TRUE(eventually([&] { return probe.said("ready"); }, 20)) << probe.log();

    // A click makes the watcher report the focus even unchanged, once it is connected:
    // clicked again until it has.
    ASSERT_TRUE(eventually(
        [&] {
            clickWidget(*phone, probe, "button");
            return hearsFocus(*phone, false, 1.0);
        },
        20))
        << "the button's focus was taken for text";
    ASSERT_TRUE(eventually([&] { return probe.said("pressed"); }, 10)) << probe.log();

    clickWidget(*phone, probe, "entry");
    ASSERT_TRUE(hearsFocus(*phone, true)) << "no text focus from the entry";
    // It stays while the entry keeps the focus: nothing the watcher polls says otherwise.
    EXPECT_FALSE(hearsFocus(*phone, false, 3.0)) << "the text focus was lost while the entry kept it";

    const int pressed = probe.count("pressed");
    clickWidget(*phone, probe, "button");
    ASSERT_TRUE(eventually([&] { return probe.count("pressed") == pressed + 1; }, 10)) << probe.log();
    EXPECT_TRUE(hearsFocus(*phone, false));
}

// A machine without a GNOME session: its session bus has no Mutter on it.
TEST_F(GnomeEndToEndTest, AutoServesThePrivateDesktopWhenNoMutterIsOnTheBus) {
    ASSERT_TRUE(desktop.media.start());
    enterSession();
    startLinuxServer();
    EXPECT_EQ(logs.count("Display: a private desktop (no graphical session found)"), 1);

    auto phone = acceptedPhone(480, 640);
    registerVideo(*phone, lastAck.sessionId);
    VideoReceiver video(phone->udpSocket());
    ASSERT_TRUE(
        pictureShows(*phone, video, [](const VideoFrame& f) { return f.width == 480 && f.height == 640; }));
    bool onX = false;
    for (const auto& d : platform.display->displays()) onX = onX || !d.connection.empty();
    EXPECT_TRUE(onX) << "the session is not on a private X display";
    EXPECT_EQ(currentDisplay().kind, DesktopKind::privateDesktop);
}

}  // namespace
}  // namespace tarvello::test
