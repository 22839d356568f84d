#include "platform/linux/display_mode.h"

#include <gtest/gtest.h>

namespace tarvello {
namespace {

SessionFacts gnomeSession(bool mutterAnswers) {
    SessionFacts f;
    f.sessionType = "wayland";
    f.currentDesktop = "ubuntu:GNOME";
    f.waylandDisplay = true;
    if (mutterAnswers)
        f.gnomeUnavailable.reset();
    else
        f.gnomeUnavailable = "org.gnome.Mutter.RemoteDesktop is not reachable";
    return f;
}

struct Case {
    const char* name;
    std::string setting;
    SessionFacts facts;
    DesktopKind kind;
    std::string line;
};

class DisplayResolutionTest : public ::testing::TestWithParam<Case> {};

TEST_P(DisplayResolutionTest, ChoosesTheDesktopAndSaysWhy) {
    const auto r = resolveDisplay(GetParam().setting, GetParam().facts);
    EXPECT_EQ(r.kind, GetParam().kind);
    EXPECT_EQ(r.logLine, GetParam().line);
}

SessionFacts x11Session(bool reachable) {
    SessionFacts f;
    f.sessionType = "x11";
    f.currentDesktop = "XFCE";
    f.x11Display = true;
    if (reachable) f.x11SessionUnavailable.reset();
    return f;
}

SessionFacts kdeWayland() {
    SessionFacts f;
    f.sessionType = "wayland";
    f.currentDesktop = "KDE";
    f.waylandDisplay = true;
    return f;
}

SessionFacts gnomeOnX11() {
    SessionFacts f = gnomeSession(true);
    f.sessionType = "x11";
    return f;
}

INSTANTIATE_TEST_SUITE_P(
    Display, DisplayResolutionTest,
    ::testing::Values(
        Case{"autoOnGnome", "auto", gnomeSession(true), DesktopKind::gnomeWayland,
             "Display: your GNOME desktop (Wayland)"},
        Case{"desktopOnGnome", "desktop", gnomeSession(true), DesktopKind::gnomeWayland,
             "Display: your GNOME desktop (Wayland)"},
        Case{"unknownValueReadsAsAuto", "everything", gnomeSession(true), DesktopKind::gnomeWayland,
             "Display: your GNOME desktop (Wayland)"},
        Case{"privateWinsOverGnome", "private", gnomeSession(true), DesktopKind::privateDesktop,
             "Display: a private desktop (chosen in the settings)"},
        Case{"headless", "auto", SessionFacts{}, DesktopKind::privateDesktop,
             "Display: a private desktop (no graphical session found)"},
        Case{"gnomeWithoutMutter", "auto", gnomeSession(false), DesktopKind::privateDesktop,
             "Display: a private desktop (GNOME's remote desktop is unavailable: "
             "org.gnome.Mutter.RemoteDesktop is not reachable)"},
        Case{"desktopAskedButMissing", "desktop", SessionFacts{}, DesktopKind::privateDesktop,
             "Display: a private desktop (your desktop was chosen, but no graphical session found)"},
        Case{"otherCompositor", "auto", kdeWayland(), DesktopKind::privateDesktop,
             "Display: a private desktop (no supported graphical session found: KDE on Wayland)"},
        Case{"gnomeOnX11IsNotServedAsWayland", "auto", gnomeOnX11(), DesktopKind::privateDesktop,
             "Display: a private desktop (the X11 session is unavailable: not probed)"},
        Case{"x11SessionComesAfterGnome", "auto", x11Session(true), DesktopKind::x11Session,
             "Display: your X11 desktop"},
        Case{"x11SessionUnreachable", "auto", x11Session(false), DesktopKind::privateDesktop,
             "Display: a private desktop (the X11 session is unavailable: not probed)"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(DisplayProbe, PrivateAsksNoBus) {
    // An address nothing listens on: a probe would say so in the reason.
    const auto f = probeSession("private", "unix:path=/nonexistent/bus");
    EXPECT_EQ(f.gnomeUnavailable, std::optional<std::string>("not probed"));
    const auto asked = probeSession("auto", "unix:path=/nonexistent/bus");
    ASSERT_TRUE(asked.gnomeUnavailable.has_value());
    EXPECT_NE(*asked.gnomeUnavailable, "not probed");
}

TEST(DisplayProbe, CurrentDisplayIsWhatWasLastSet) {
    const auto before = currentDisplay();
    setCurrentDisplay({DesktopKind::gnomeWayland, "Display: your GNOME desktop (Wayland)"});
    EXPECT_EQ(currentDisplay().kind, DesktopKind::gnomeWayland);
    setCurrentDisplay(before);
    EXPECT_EQ(currentDisplay().logLine, before.logLine);
}

}  // namespace
}  // namespace tarvello
