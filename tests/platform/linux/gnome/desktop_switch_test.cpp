#include "platform/linux/gnome/desktop_switch.h"

#include <gtest/gtest.h>

#include "dispatch/serial_queue.h"
#include "platform/sim/sim_platform.h"
#include "support/log_capture.h"

namespace tarvello::gnome {
namespace {

DesktopFacilities facilitiesOf(const Platform& p) {
    return p.desktopFacilities();
}

class DesktopSwitchTest : public ::testing::Test {
protected:
    DesktopFacilities make(bool wants) {
        DesktopSwitchOptions o;
        o.wantsDesktop = [this, wants] {
            ++asked_;
            return wants;
        };
        o.refusal = [] { return std::string("another remote desktop session is running"); };
        o.chosen = [this](bool d) { chosen_.push_back(d); };
        return makeDesktopSwitch(facilitiesOf(desktop_), facilitiesOf(private_), std::move(o));
    }
    SimDisplay& simDisplay(Platform& p) { return static_cast<SimDisplay&>(*p.display); }

    VirtualDisplayDescriptor phone() {
        VirtualDisplayDescriptor d;
        d.maxPixelsWide = 800;
        d.maxPixelsHigh = 1600;
        return d;
    }

    Platform desktop_ = makeSimPlatform(), private_ = makeSimPlatform();
    int asked_ = 0;
    std::vector<bool> chosen_;
};

TEST_F(DesktopSwitchTest, ARefusingDesktopFallsBackToThePrivateOneWithOneLine) {
    simDisplay(desktop_).failCreate = true;
    test::LogCapture logs;
    auto f = make(true);
    const auto id = f.display->createVirtualDisplay(phone());
    ASSERT_TRUE(id.has_value());
    EXPECT_EQ(asked_, 1);
    EXPECT_EQ(chosen_, std::vector<bool>{false});
    EXPECT_EQ(logs.count("private desktop"), 1);
    EXPECT_TRUE(logs.contains("another remote desktop session is running"));
    // Everything after the choice goes to the private desktop.
    const auto privateIds = private_.display->displays();
    const auto listed = f.display->displays();
    ASSERT_EQ(listed.size(), privateIds.size());
    EXPECT_EQ(listed.back().id, privateIds.back().id);
    EXPECT_EQ(f.display->mainDisplay(), private_.display->mainDisplay());
    std::string error;
    EXPECT_EQ(f.capture->shareableDisplays(error), private_.capture->shareableDisplays(error));
    f.display->removeVirtualDisplay(*id);
    EXPECT_EQ(private_.display->displays().size(), privateIds.size() - 1);
}

TEST_F(DesktopSwitchTest, TheDesktopServesWhenItAcceptsAndTheChoiceIsMadeAgainEachSession) {
    auto f = make(true);
    const auto id = f.display->createVirtualDisplay(phone());
    ASSERT_TRUE(id.has_value());
    EXPECT_EQ(chosen_, std::vector<bool>{true});
    EXPECT_EQ(f.display->displays().size(), desktop_.display->displays().size());
    EXPECT_EQ(f.display->mainDisplay(), desktop_.display->mainDisplay());
    f.display->removeVirtualDisplay(*id);
    simDisplay(desktop_).failCreate = true;
    ASSERT_TRUE(f.display->createVirtualDisplay(phone()).has_value());
    EXPECT_EQ(asked_, 2);
    EXPECT_EQ(chosen_, (std::vector<bool>{true, false}));
}

TEST_F(DesktopSwitchTest, NotWantedTheDesktopIsNeverAsked) {
    auto f = make(false);
    ASSERT_TRUE(f.display->createVirtualDisplay(phone()).has_value());
    EXPECT_EQ(simDisplay(desktop_).journal().size(), 0u);
    EXPECT_EQ(chosen_, std::vector<bool>{false});
}

TEST_F(DesktopSwitchTest, ACaptureSourceFollowsTheDesktopOfEachSession) {
    auto f = make(true);
    SerialQueue queue("capture");
    auto source = f.capture->makeSource(queue);
    auto run = [&](uint32_t id) {
        std::string error;
        queue.sync([&] { error = source->start({id, 64, 64, 30, false}, {}).reason; });
        return error;
    };
    auto& desktopCapture = static_cast<SimCapture&>(*desktop_.capture);
    auto& privateCapture = static_cast<SimCapture&>(*private_.capture);
    const auto onDesktop = f.display->createVirtualDisplay(phone());
    ASSERT_TRUE(onDesktop.has_value());
    EXPECT_EQ(run(*onDesktop), "");
    EXPECT_EQ(desktopCapture.starts, 1);
    EXPECT_EQ(privateCapture.starts, 0);
    queue.sync([&] { source->stop(); });
    f.display->removeVirtualDisplay(*onDesktop);

    simDisplay(desktop_).failCreate = true;
    const auto onPrivate = f.display->createVirtualDisplay(phone());
    ASSERT_TRUE(onPrivate.has_value());
    EXPECT_EQ(run(*onPrivate), "");
    EXPECT_EQ(desktopCapture.starts, 1);
    EXPECT_EQ(privateCapture.starts, 1);
    queue.sync([&] { source->stop(); });
    queue.stop();
}

}  // namespace
}  // namespace tarvello::gnome
