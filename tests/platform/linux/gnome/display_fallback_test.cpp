#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>

#include "app/settings.h"
#include "app/settings_store.h"
#include "camera/pipewire_session.h"
#include "platform/linux/display_mode.h"
#include "platform/platform.h"
#include "support/log_capture.h"

namespace tarvello {
namespace {

class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* v = std::getenv(name)) saved_ = v;
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (saved_)
            ::setenv(name_, saved_->c_str(), 1);
        else
            ::unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> saved_;
};

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
    Settings::useStore(store);

    test::LogCapture logs;
    const auto before = currentDisplay();
    Platform p = makeLinuxPlatform();
    EXPECT_EQ(logs.count("Display: a private desktop (no graphical session found)"), 1);
    EXPECT_EQ(currentDisplay().kind, DesktopKind::privateDesktop);

    VirtualDisplayDescriptor d;
    d.maxPixelsWide = 400;
    d.maxPixelsHigh = 800;
    d.phonePixelsWide = 600;
    d.phonePixelsHigh = 1200;
    const auto id = p.display->createVirtualDisplay(d);
    ASSERT_TRUE(id.has_value());
    bool onAnXServer = false;
    for (const auto& info : p.display->displays())
        if (info.id == *id) onAnXServer = !info.connection.empty();
    EXPECT_TRUE(onAnXServer) << "the session is not on the private desktop";
    EXPECT_EQ(logs.count("Display:"), 1) << "the choice was logged again though it did not change";

    // "desktop" asked for where there is none: still served, from the private desktop.
    p.display->removeVirtualDisplay(*id);
    store->setString(SettingsKey::display, "desktop");
    const auto again = p.display->createVirtualDisplay(d);
    ASSERT_TRUE(again.has_value());
    EXPECT_TRUE(logs.contains("your desktop was chosen, but no graphical session found"));
    EXPECT_EQ(currentDisplay().kind, DesktopKind::privateDesktop);
    p.display->removeVirtualDisplay(*again);
    setCurrentDisplay(before);
}

}  // namespace
}  // namespace tarvello
