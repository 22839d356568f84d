#include "platform/linux/gnome/gnome_backend.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "base/child_process.h"
#include "base/settings_store.h"
#include "dispatch/serial_queue.h"
#include "platform/key_codes.h"
#include "platform/linux/gnome/display_config.h"
#include "platform/linux/gnome/mutter_session.h"
#include "support/eventually.h"
#include "support/gtk_probe.h"
#include "support/mutter_layout.h"
#include "support/mutter_session.h"

namespace tarvello::gnome {
namespace {

using test::eventually;
using test::MutterDesktop;

using Probe = test::GtkProbe;

// The newest frame a capture source handed out, and how many came.
struct Frames {
    std::mutex mutex;
    std::shared_ptr<VideoFrame> last;
    std::atomic<int> count{0};
    std::atomic<int> held{0};
    std::string stopped;

    CaptureHandlers handlers() {
        return {[this](std::shared_ptr<VideoFrame> f, FrameStatus) {
                    std::lock_guard lock(mutex);
                    last = std::move(f);
                    ++count;
                },
                [this](const std::string& e) {
                    std::lock_guard lock(mutex);
                    stopped = e;
                }};
    }
    std::shared_ptr<VideoFrame> latest() {
        std::lock_guard lock(mutex);
        return last;
    }
};

using test::blackAt;
using test::magentaAt;

class GnomeBackendTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(MutterDesktop::available()) << "mutter, pipewire, wireplumber or dbus-daemon missing";
        // Two monitors of the user's, so their arrangement is something to keep.
        ASSERT_TRUE(desktop_.start({"1280x720", "1024x768"})) << desktop_.media.log("mutter.log");
        std::string error;
        bus_ = MutterBus::open(desktop_.busAddress(), error);
        ASSERT_TRUE(bus_) << error;
    }

    GnomeBackend make(bool mirror) {
        GnomeOptions o;
        o.mirror = mirror;
        o.busAddress = desktop_.busAddress();
        o.pipewireSocket = (desktop_.media.runtime / "pipewire-0").string();
        o.store = store_;
        return makeGnomeBackend(o);
    }

    static Layout sorted(Layout l) { return test::sortedLayout(std::move(l)); }
    MonitorsState state() {
        std::string error;
        auto s = test::mutterState(bus_, error);
        EXPECT_TRUE(s.has_value()) << error;
        return s.value_or(MonitorsState{});
    }
    static const LogicalMonitor& region(const Layout& l, const std::string& connector) {
        for (const auto& r : l)
            if (r.monitors.front().first == connector) return r;
        static const LogicalMonitor none;
        ADD_FAILURE() << connector << " is not in the layout";
        return none;
    }

    // Not Mutter's own default: the second monitor primary, on the left.
    Layout usersLayout() {
        const auto s = state();
        Layout l;
        for (const auto& m : s.monitors) {
            if (m.connector == "Meta-1")
                l.insert(l.begin(), {0, 0, 1, 0, true, {{m.connector, m.currentMode()->id}}});
            else
                l.push_back({1024, 0, 1, 0, false, {{m.connector, m.currentMode()->id}}});
        }
        return sorted(l);
    }
    void arrangeAsTheUser() {
        std::string error;
        ASSERT_TRUE(DisplayConfig(bus_).apply(state().serial, usersLayout(), error)) << error;
        ASSERT_TRUE(eventually([&] { return state().layout == usersLayout(); }, 10));
    }

    MutterDesktop desktop_;
    std::shared_ptr<MutterBus> bus_;
    std::shared_ptr<MemoryStore> store_ = std::make_shared<MemoryStore>();
};

TEST_F(GnomeBackendTest, ExtendMakesAPhoneSizedMonitorThatShowsAndTakesInput) {
    ASSERT_FALSE(remoteDesktopUnavailable(desktop_.busAddress()).has_value());
    arrangeAsTheUser();
    const Layout before = state().layout;
    // The phone's pixels at two pixels a point: Mutter's smallest logical monitor is 800×480.
    constexpr int kW = 1080, kH = 1440, kPointW = 540, kPointH = 720;
    auto b = make(false);
    VirtualDisplayDescriptor d;
    d.name = "phone";
    d.maxPixelsWide = 2 * kPointW;
    d.maxPixelsHigh = 2 * kPointH;
    d.pixelsWide = kW;
    d.pixelsHigh = kH;
    const auto id = b.display->createVirtualDisplay(d);
    ASSERT_TRUE(id.has_value()) << b.lastError() << desktop_.media.log("mutter.log");
    ASSERT_TRUE(b.display->applySettings(*id, {true, {{kPointW, kPointH, 0, 0, 60}}}));
    auto displays = b.display->displays();
    ASSERT_EQ(displays.size(), 1u);
    EXPECT_EQ(displays[0].pixelWidth, kW);
    EXPECT_EQ(displays[0].pixelHeight, kH);
    EXPECT_EQ(displays[0].bounds.width, kPointW);
    ASSERT_TRUE(b.display->currentMode(*id).has_value());
    EXPECT_GT(b.display->currentMode(*id)->pixelWidth, b.display->currentMode(*id)->width) << "no HiDPI mode";
    EXPECT_TRUE(store_->getString(kSavedLayoutKey).has_value()) << "the user's layout is not kept";

    // The phone's monitor leads at the text size's scale; the user's follow in a row.
    const auto placed = state();
    ASSERT_EQ(placed.layout.size(), 3u);
    const auto& phone = region(placed.layout, "Meta-2");
    EXPECT_TRUE(phone.primary);
    EXPECT_EQ(phone.scale, 2);
    EXPECT_EQ(phone.x, 0);
    EXPECT_EQ(phone.y, 0);
    // The user's left monitor comes first in the row, 1024 wide.
    EXPECT_EQ(region(placed.layout, "Meta-1").x, placed.physical ? kW : kPointW);
    EXPECT_EQ(region(placed.layout, "Meta-0").x, region(placed.layout, "Meta-1").x + 1024);
    EXPECT_FALSE(region(placed.layout, "Meta-1").primary || region(placed.layout, "Meta-0").primary);

    SerialQueue queue("capture");
    Frames frames;
    auto source = b.capture->makeSource(queue);
    std::string error;
    queue.sync([&] { error = source->start({*id, kW, kH, 30, false}, frames.handlers()).reason; });
    ASSERT_EQ(error, "");

    // Mutter lays monitors out in pixels here, so GTK sees the monitor at its pixel size;
    // the window itself counts in points.
    Probe probe(desktop_, kW, kH);
    ASSERT_TRUE(eventually([&] { return probe.said("ready"); }, 20)) << probe.log();
    ASSERT_TRUE(eventually(
        [&] {
            auto f = frames.latest();
            return f && f->width == kW && f->height == kH && magentaAt(*f, kW / 2, kH * 3 / 4);
        },
        10))
        << "the window never showed in the captured picture";

    // A click at a fraction of the display lands at that fraction of the fullscreen window.
    InputEvent move;
    move.type = InputEventType::mouseMoved;
    move.location = {displays[0].bounds.width * 0.25, displays[0].bounds.height * 0.75};
    ASSERT_TRUE(b.input->post(move));
    InputEvent down = move, up = move;
    down.type = InputEventType::leftMouseDown;
    up.type = InputEventType::leftMouseUp;
    ASSERT_TRUE(b.input->post(down));
    ASSERT_TRUE(b.input->post(up));
    ASSERT_TRUE(eventually([&] { return probe.lastClick().has_value(); }, 10))
        << probe.log() << desktop_.media.log("mutter.log");
    EXPECT_NEAR(probe.lastClick()->first, kPointW * 0.25, 2);
    EXPECT_NEAR(probe.lastClick()->second, kPointH * 0.75, 2);
    EXPECT_EQ(b.input->pointerLocation(), move.location);

    // Text, non-ASCII included, through keysyms; then a key by its code. Mutter types
    // only what its keymap has: headless, that is the US layout, which has the euro sign.
    InputEvent text;
    text.type = InputEventType::keyDown;
    text.text = u"Typed ok \u20ac";
    ASSERT_TRUE(b.input->post(text));
    EXPECT_TRUE(eventually([&] { return probe.said("text Typed ok \u20ac"); }, 10))
        << probe.log() << desktop_.media.log("mutter.log");
    InputEvent key;
    key.type = InputEventType::keyDown;
    key.keyCode = 51;  // backspace
    ASSERT_TRUE(b.input->post(key));
    key.type = InputEventType::keyUp;
    ASSERT_TRUE(b.input->post(key));
    EXPECT_TRUE(eventually([&] { return probe.said("text Typed ok "); }, 10));

    queue.sync([&] { source->stop(); });
    b.display->removeVirtualDisplay(*id);
    EXPECT_TRUE(b.display->displays().empty());
    const auto after = state();
    EXPECT_EQ(after.monitors.size(), 2u) << "the phone's monitor outlived the session";
    EXPECT_EQ(after.layout, before) << "the user's layout did not come back";
    EXPECT_FALSE(store_->getString(kSavedLayoutKey).has_value());
    queue.stop();
}

TEST_F(GnomeBackendTest, ALayoutLeftByACrashedRunComesBackAtTheNextStart) {
    arrangeAsTheUser();
    const Layout users = state().layout;
    store_->setString(kSavedLayoutKey, encodeLayout(users));
    // What the crashed run left: Mutter's own arrangement.
    std::string error;
    Layout left = users;
    for (auto& r : left) {
        r.primary = r.monitors.front().first == "Meta-0";
        r.x = r.primary ? 0 : 1280;
    }
    ASSERT_TRUE(DisplayConfig(bus_).apply(state().serial, left, error)) << error;
    ASSERT_TRUE(eventually([&] { return state().layout == sorted(left); }, 10));

    GnomeOptions o;
    o.busAddress = desktop_.busAddress();
    o.store = store_;
    ASSERT_TRUE(restoreSavedLayout(o, error)) << error;
    EXPECT_EQ(state().layout, users);
    EXPECT_FALSE(store_->getString(kSavedLayoutKey).has_value());
    // Nothing kept: nothing to do, and the layout stays.
    ASSERT_TRUE(restoreSavedLayout(o, error)) << error;
    EXPECT_EQ(state().layout, users);
}

TEST_F(GnomeBackendTest, MirrorShowsThePrimaryMonitorLetterboxedAndMapsClicksIntoIt) {
    Probe probe(desktop_, 1280, 720);
    ASSERT_TRUE(eventually([&] { return probe.said("ready"); }, 20)) << probe.log();
    const Layout before = state().layout;
    auto b = make(true);
    // A square phone of 640 px at two pixels a point: the 16:9 monitor fills the width,
    // with bars above and below.
    VirtualDisplayDescriptor d;
    d.maxPixelsWide = d.maxPixelsHigh = 640;
    d.pixelsWide = d.pixelsHigh = 640;
    const auto id = b.display->createVirtualDisplay(d);
    ASSERT_TRUE(id.has_value()) << b.lastError() << desktop_.media.log("mutter.log");
    ASSERT_TRUE(b.display->applySettings(*id, {true, {{320, 320, 0, 0, 60}}}));
    auto displays = b.display->displays();
    ASSERT_EQ(displays.size(), 1u);
    EXPECT_EQ(displays[0].pixelWidth, 640);
    EXPECT_FALSE(displays[0].isVirtual);
    EXPECT_EQ(state().monitors.size(), 2u) << "mirroring made a monitor";

    SerialQueue queue("capture");
    Frames frames;
    auto source = b.capture->makeSource(queue);
    std::string error;
    queue.sync([&] { error = source->start({*id, 640, 640, 30, false}, frames.handlers()).reason; });
    ASSERT_EQ(error, "");
    ASSERT_TRUE(eventually(
        [&] {
            auto f = frames.latest();
            return f && f->width == 640 && magentaAt(*f, 320, 320) && magentaAt(*f, 320, 200) &&
                   blackAt(*f, 320, 40) && blackAt(*f, 320, 600);
        },
        10))
        << "the primary monitor's picture was not letterboxed into the frame";

    // The point under the phone's (160, 250) is the monitor's (640, 500).
    InputEvent click;
    click.type = InputEventType::leftMouseDown;
    click.location = {160, 70 + 500 * 180.0 / 720};
    ASSERT_TRUE(b.input->post(click));
    click.type = InputEventType::leftMouseUp;
    ASSERT_TRUE(b.input->post(click));
    ASSERT_TRUE(eventually([&] { return probe.lastClick().has_value(); }, 10))
        << probe.log() << desktop_.media.log("mutter.log");
    EXPECT_NEAR(probe.lastClick()->first, 640, 3);
    EXPECT_NEAR(probe.lastClick()->second, 500, 3);

    queue.sync([&] { source->stop(); });
    b.display->removeVirtualDisplay(*id);
    EXPECT_EQ(state().layout, before);
    queue.stop();
}

TEST_F(GnomeBackendTest, ASecondSessionIsRefusedWithTheReason) {
    auto b = make(true);
    VirtualDisplayDescriptor d;
    d.pixelsWide = d.pixelsHigh = d.maxPixelsWide = d.maxPixelsHigh = 640;
    const auto id = b.display->createVirtualDisplay(d);
    ASSERT_TRUE(id.has_value()) << b.lastError();
    EXPECT_FALSE(b.display->createVirtualDisplay(d).has_value());
    EXPECT_NE(b.lastError(), "");
    b.display->removeVirtualDisplay(*id);
}

TEST(GnomeDetection, NoMutterOnTheBusSaysWhy) {
    test::PipeWireSession media;
    ASSERT_TRUE(media.start());
    const auto reason = remoteDesktopUnavailable("unix:path=" + (media.root / "bus").string());
    ASSERT_TRUE(reason.has_value());
    EXPECT_NE(reason->find("org.gnome.Mutter.RemoteDesktop"), std::string::npos) << *reason;
    EXPECT_TRUE(remoteDesktopUnavailable("unix:path=/nonexistent/bus").has_value());
}

TEST(GnomeGeometry, LetterboxKeepsAspectAndEvenEdges) {
    const auto wide = fitInside(1280, 720, 640, 640);
    EXPECT_EQ(wide.width, 640);
    EXPECT_EQ(wide.height, 360);
    EXPECT_EQ(wide.y, 140);
    const auto tall = fitInside(600, 960, 1000, 500);
    EXPECT_EQ(tall.height, 500);
    EXPECT_EQ(tall.width % 2, 0);
    EXPECT_EQ(tall.x % 2, 0);
    EXPECT_LE(tall.x + tall.width, 1000);
    EXPECT_EQ(fitInside(0, 10, 10, 10).width, 0);
}

TEST(GnomeKeys, VirtualKeyCodesMapToEvdevByPosition) {
    EXPECT_EQ(evdevKeyForKeyCode(0), 30u);     // a
    EXPECT_EQ(evdevKeyForKeyCode(51), 14u);    // backspace
    EXPECT_EQ(evdevKeyForKeyCode(55), 125u);   // left command: left meta
    EXPECT_EQ(evdevKeyForKeyCode(126), 103u);  // up
    EXPECT_EQ(evdevKeyForKeyCode(10), 86u);    // the ISO key
    EXPECT_FALSE(evdevKeyForKeyCode(200).has_value());
    // Every key the table knows has a position.
    for (const auto& h : hidKeyCodes) EXPECT_TRUE(evdevKeyForKeyCode(h.keyCode).has_value()) << h.keyCode;
}

}  // namespace
}  // namespace tarvello::gnome
