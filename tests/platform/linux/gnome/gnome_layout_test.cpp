#include <gtest/gtest.h>

#include "platform/linux/fake_logind.h"
#include "platform/linux/gnome/display_config.h"
#include "platform/linux/gnome/gnome_backend.h"
#include "platform/linux/logind.h"
#include "support/log_capture.h"

namespace tarvello::gnome {
namespace {

MonitorsState twoMonitorsAndAPhone() {
    MonitorsState s;
    s.serial = 7;
    s.monitors = {
        {"eDP-1", {{"2560x1600@60", 2560, 1600, 60, {1, 1.25, 1.5, 2}, true}}},
        {"HDMI-1",
         {{"1920x1080@60", 1920, 1080, 60, {1, 2}, true}, {"1280x720@60", 1280, 720, 60, {1}, false}}},
        {"Meta-1", {{"1170x2532@60", 1170, 2532, 60, {1, 2, 3}, true}}},
    };
    // The user's layout: the laptop at 2× with the external screen to its left, rotated.
    s.layout = {
        {1080, 0, 2, 0, true, {{"eDP-1", "2560x1600@60"}}},
        {0, 0, 1, 1, false, {{"HDMI-1", "1920x1080@60"}}},
        {2360, 0, 1, 0, false, {{"Meta-1", "1170x2532@60"}}},
    };
    return s;
}

TEST(GnomeLayout, ThePhoneIsPlacedFirstAndTheOthersInARowToItsRight) {
    const auto s = twoMonitorsAndAPhone();
    const auto layout = placeFirst(s, "Meta-1", 2.7);
    ASSERT_TRUE(layout.has_value());
    ASSERT_EQ(layout->size(), 3u);
    const auto& phone = (*layout)[0];
    EXPECT_EQ(phone.monitors.front().first, "Meta-1");
    EXPECT_EQ(phone.scale, 3);  // the nearest the monitor supports
    EXPECT_TRUE(phone.primary);
    EXPECT_EQ(phone.x, 0);
    EXPECT_EQ(phone.y, 0);
    // Left to right as before; a rotated monitor is as wide as it was high.
    EXPECT_EQ((*layout)[1].monitors.front().first, "HDMI-1");
    EXPECT_EQ((*layout)[1].x, 390);
    EXPECT_EQ((*layout)[1].transform, 1u);
    EXPECT_FALSE((*layout)[1].primary);
    EXPECT_EQ((*layout)[2].monitors.front().first, "eDP-1");
    EXPECT_EQ((*layout)[2].x, 390 + 1080);
    EXPECT_EQ((*layout)[2].scale, 2);
    EXPECT_FALSE(placeFirst(s, "Meta-9", 2).has_value());
}

TEST(GnomeLayout, PhysicalLayoutCountsPixels) {
    auto s = twoMonitorsAndAPhone();
    s.physical = true;
    const auto layout = placeFirst(s, "Meta-1", 3);
    ASSERT_TRUE(layout.has_value());
    EXPECT_EQ((*layout)[1].x, 1170);
    EXPECT_EQ((*layout)[2].x, 1170 + 1080);
}

TEST(GnomeLayout, TheSavedLayoutComesBackWithoutMonitorsThatLeft) {
    auto s = twoMonitorsAndAPhone();
    const Layout saved = {s.layout[0], s.layout[1]};
    // The same monitors: exactly as saved.
    EXPECT_EQ(restorable(saved, s), saved);
    // The external screen unplugged meanwhile, and the laptop's mode no longer offered.
    s.monitors.erase(s.monitors.begin() + 1);
    s.monitors[0].modes[0].id = "2560x1600@120";
    Layout withHdmiPrimary = saved;
    withHdmiPrimary[0].primary = false;
    withHdmiPrimary[1].primary = true;
    const auto left = restorable(withHdmiPrimary, s);
    ASSERT_TRUE(left.has_value());
    ASSERT_EQ(left->size(), 1u);
    EXPECT_EQ((*left)[0].monitors.front(), (std::pair<std::string, std::string>{"eDP-1", "2560x1600@120"}));
    EXPECT_TRUE((*left)[0].primary) << "some region must stay primary";
    s.monitors.clear();
    EXPECT_FALSE(restorable(saved, s).has_value());
}

TEST(GnomeLayout, SavedLayoutsSurviveTheSettingsAndGarbageDoesNot) {
    const auto s = twoMonitorsAndAPhone();
    EXPECT_EQ(decodeLayout(encodeLayout(s.layout)), s.layout);
    EXPECT_FALSE(decodeLayout("").has_value());
    EXPECT_FALSE(decodeLayout("[]").has_value());
    EXPECT_FALSE(decodeLayout("{\"x\":1}").has_value());
    EXPECT_FALSE(
        decodeLayout(R"([{"x":0,"y":0,"scale":1,"transform":9,"primary":true,"monitors":[["a","b"]]}])"));
    EXPECT_FALSE(
        decodeLayout(R"([{"x":0,"y":0,"scale":0,"transform":0,"primary":true,"monitors":[["a","b"]]}])"));
    EXPECT_FALSE(decodeLayout(R"([{"x":"0","y":0,"scale":1,"transform":0,"primary":true,"monitors":[]}])"));
}

TEST(GnomeLayout, NearestScale) {
    EXPECT_EQ(nearestScale({1, 1.25, 1.5, 1.75, 2}, 2.5), 2);
    EXPECT_EQ(nearestScale({1, 2, 3}, 2.4), 2);
    EXPECT_EQ(nearestScale({}, 2.6), 3);
    EXPECT_EQ(nearestScale({}, 0.2), 1);
}

TEST(GnomeGeometry, PointsMapIntoTheStreamThroughTheLetterbox) {
    // Extend: the stream is the phone, at three pixels a point.
    Geometry extend{{0, 0, 390, 844}, 1170, 2532, 1170, 2532};
    EXPECT_EQ(streamPoint(extend, {195, 211}), (Point{585, 633}));
    // Mirror: a 1280×720 monitor fitted into a 640×640 phone at 320×320 points: bars of
    // 140 px above and below.
    Geometry mirror{{0, 0, 320, 320}, 640, 640, 1280, 720};
    EXPECT_EQ(streamPoint(mirror, {160, 160}), (Point{640, 360}));
    EXPECT_EQ(streamPoint(mirror, {0, 70}), (Point{0, 0}));
    // In the bars: held at the picture's edge.
    EXPECT_EQ(streamPoint(mirror, {320, 319.5}), (Point{1279, 719}));
    // Offset displays count from their origin.
    Geometry offset{{100, 50, 320, 320}, 640, 640, 1280, 720};
    EXPECT_EQ(streamPoint(offset, {260, 210}), (Point{640, 360}));
    EXPECT_FALSE(streamPoint({{0, 0, 0, 0}, 640, 640, 1280, 720}, {1, 1}).has_value());
    EXPECT_FALSE(streamPoint({{0, 0, 320, 320}, 640, 640, 0, 0}, {1, 1}).has_value());
}

TEST(GnomeKeys, TextTakesTheKeysymsKeymapsAreWrittenIn) {
    EXPECT_EQ(keysymForText(U'a'), 0x61u);
    EXPECT_EQ(keysymForText(U'\u00fc'), 0xfcu);            // udiaeresis
    EXPECT_EQ(keysymForText(U'\u20ac'), 0x20acu);          // EuroSign, not U20AC
    EXPECT_EQ(keysymForText(U'\u0416'), 0x6f6u);           // Cyrillic_ZHE
    EXPECT_EQ(keysymForText(U'\u03b1'), 0x7e1u);           // Greek_alpha
    EXPECT_EQ(keysymForText(U'\U0001F600'), 0x0101F600u);  // no legacy keysym: the Unicode one
    EXPECT_EQ(keysymForText(U'\n'), 0xff0du);              // Return
    EXPECT_FALSE(keysymForText(U'\u0007').has_value());
}

TEST(GnomeHost, TheLockStateIsTheUsersOwnSessionsAndNeedsNoDisplay) {
    test::FakeLogind logind;
    GnomeOptions o;
    o.logind = std::make_shared<Logind>(logind.address());
    auto b = makeGnomeBackend(o);
    logind.setSession(true);
    EXPECT_TRUE(b.host->sessionLocked());
    // Unlocking is read at once, with no session or display made or remade.
    logind.setSession(false);
    EXPECT_FALSE(b.host->sessionLocked());
    EXPECT_TRUE(b.display->displays().empty());
    // No session to ask about: unlocked, said once however often it is asked.
    test::LogCapture logs;
    logind.setSession(std::nullopt);
    EXPECT_FALSE(b.host->sessionLocked());
    EXPECT_FALSE(b.host->sessionLocked());
    EXPECT_EQ(logs.count("Lock state unavailable"), 1);
    EXPECT_TRUE(b.host->screenRecordingAllowed());
}

}  // namespace
}  // namespace tarvello::gnome
