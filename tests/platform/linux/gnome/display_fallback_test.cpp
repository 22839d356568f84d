#include <gtest/gtest.h>

#include "base/settings.h"
#include "base/settings_store.h"
#include "camera/pipewire_session.h"
#include "platform/linux/display_mode.h"
#include "platform/linux/session_command.h"
#include "platform/platform.h"
#include "support/eventually.h"
#include "support/log_capture.h"
#include "support/mutter_session.h"
#include "support/scoped_env.h"

namespace tarvello {
namespace {

using test::ScopedEnv;

bool onAnXServer(DisplayFacility& displays, uint32_t id) {
    for (const auto& info : displays.displays())
        if (info.id == id) return !info.connection.empty();
    return false;
}

// A session bus with PipeWire on it but no Mutter: a machine without a GNOME session.
TEST(DisplayFallback, AutoServesThePrivateDesktopWhenNoMutterIsOnTheBus) {
    ASSERT_TRUE(linuxPlatformAvailable()) << "Xvfb missing";
    test::PipeWireSession media;
    ASSERT_TRUE(media.start());
    const std::string bus = "unix:path=" + (media.root / "bus").string();
    ScopedEnv address("DBUS_SESSION_BUS_ADDRESS", bus.c_str());
    ScopedEnv type("XDG_SESSION_TYPE", nullptr), desktop("XDG_CURRENT_DESKTOP", nullptr),
        wayland("WAYLAND_DISPLAY", nullptr);
    auto store = std::make_shared<MemoryStore>();
    store->setString(SettingsKey::sessionCommand, "");  // an empty private desktop
    Settings::useStore(store);

    test::LogCapture logs;
    const auto before = currentDisplay();
    Platform p = makeLinuxPlatform();
    EXPECT_EQ(logs.count("Display: a private desktop (no graphical session found)"), 1);
    EXPECT_EQ(currentDisplay().kind, DesktopKind::privateDesktop);

    VirtualDisplayDescriptor d;
    d.maxPixelsWide = 400;
    d.maxPixelsHigh = 800;
    d.pixelsWide = 600;
    d.pixelsHigh = 1200;
    const auto id = p.display->createVirtualDisplay(d);
    ASSERT_TRUE(id.has_value());
    EXPECT_TRUE(onAnXServer(*p.display, *id)) << "the session is not on the private desktop";
    p.display->removeVirtualDisplay(*id);
    setCurrentDisplay(before);
}

// The program started inside a GNOME session: "auto" makes the phone a monitor of it,
// and "private", chosen later, takes effect at the next session.
TEST(DisplayFallback, AutoServesTheGnomeDesktopAndPrivateTakesOverAtTheNextSession) {
    ASSERT_TRUE(linuxPlatformAvailable()) << "Xvfb missing";
    test::MutterDesktop desktop;
    ASSERT_TRUE(desktop.start()) << desktop.media.log("mutter.log");
    const std::string bus = desktop.busAddress(), runtime = desktop.media.runtime.string();
    ScopedEnv address("DBUS_SESSION_BUS_ADDRESS", bus.c_str()), run("XDG_RUNTIME_DIR", runtime.c_str()),
        pipewire("PIPEWIRE_RUNTIME_DIR", runtime.c_str()), remote("PIPEWIRE_REMOTE", nullptr);
    ScopedEnv type("XDG_SESSION_TYPE", nullptr), wayland("WAYLAND_DISPLAY", nullptr);
    auto store = std::make_shared<MemoryStore>();
    store->setString(SettingsKey::sessionCommand, "");  // an empty private desktop
    store->setBool(SettingsKey::mirrorMac, false);
    Settings::useStore(store);

    test::LogCapture logs;
    const auto before = currentDisplay();
    Platform p = makeLinuxPlatform();
    EXPECT_EQ(logs.count("Display: your GNOME desktop (Wayland)"), 1);
    EXPECT_EQ(currentDisplay().kind, DesktopKind::gnomeWayland);
    EXPECT_TRUE(p.host->screenRecordingAllowed());

    const auto monitors = [&] {
        return desktop.media.run(
            "busctl", {"--user", "call", "org.gnome.Mutter.DisplayConfig", "/org/gnome/Mutter/DisplayConfig",
                       "org.gnome.Mutter.DisplayConfig", "GetCurrentState"});
    };
    VirtualDisplayDescriptor d;
    d.maxPixelsWide = 800;
    d.maxPixelsHigh = 960;
    d.pixelsWide = 800;
    d.pixelsHigh = 960;
    const auto id = p.display->createVirtualDisplay(d);
    ASSERT_TRUE(id.has_value()) << desktop.media.log("mutter.log");
    EXPECT_FALSE(onAnXServer(*p.display, *id));
    EXPECT_NE(monitors().find("Meta-1"), std::string::npos) << "no monitor for the phone";
    p.display->removeVirtualDisplay(*id);
    EXPECT_TRUE(test::eventually([&] { return monitors().find("Meta-1") == std::string::npos; }, 10));

    store->setString(SettingsKey::display, "private");
    const auto next = p.display->createVirtualDisplay(d);
    ASSERT_TRUE(next.has_value());
    EXPECT_TRUE(onAnXServer(*p.display, *next)) << "the setting did not take effect";
    EXPECT_EQ(currentDisplay().kind, DesktopKind::privateDesktop);
    EXPECT_TRUE(logs.contains("Display: a private desktop (chosen in the settings)"));
    p.display->removeVirtualDisplay(*next);
    setCurrentDisplay(before);
}

}  // namespace
}  // namespace tarvello
