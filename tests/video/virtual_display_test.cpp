#include "video/virtual_display.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "platform/sim/sim_platform.h"
#include "support/log_capture.h"

namespace tarvello::test {
namespace {

class VirtualDisplayTest : public ::testing::Test {
protected:
    std::shared_ptr<SimDisplay> sim = std::make_shared<SimDisplay>();
    VirtualDisplay display{sim};
    LogCapture logs;

    // Position of the first journal line starting with `prefix` at or after `from`; npos when none.
    size_t find(const std::string& prefix, size_t from = 0) const {
        const auto j = sim->journal();
        for (size_t i = from; i < j.size(); ++i) {
            if (j[i].rfind(prefix, 0) == 0) return i;
        }
        return std::string::npos;
    }
};

// ---- Sizes: pixels, points, backing and descriptor ----

struct SizeCase {
    int width, height;
    double scale;
    int pixelW, pixelH, pointW, pointH;
    const char* scaleText;
};

class VirtualDisplaySizes : public VirtualDisplayTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(VirtualDisplaySizes, PixelsPointsAndBacking) {
    const auto c = GetParam();
    ASSERT_TRUE(display.create(c.width, c.height, 60, c.scale, false));
    EXPECT_EQ(display.pixelSize(), (VirtualDisplay::Size{double(c.pixelW), double(c.pixelH)}));
    EXPECT_EQ(display.pointSize(), (VirtualDisplay::Size{double(c.pointW), double(c.pointH)}));

    const auto d = sim->lastDescriptor();
    ASSERT_TRUE(d);
    EXPECT_EQ(d->name, "Pontel");
    EXPECT_EQ(d->maxPixelsWide, 2 * c.pointW);
    EXPECT_EQ(d->maxPixelsHigh, 2 * c.pointH);
    // A facility that draws at the phone's pixels needs them and the scale, not the backing.
    EXPECT_EQ(d->pixelsWide, c.pixelW);
    EXPECT_EQ(d->pixelsHigh, c.pixelH);
    EXPECT_EQ(d->scale, c.scale);
    EXPECT_DOUBLE_EQ(d->widthMillimeters, c.pixelW * 0.05521739130434782);
    EXPECT_DOUBLE_EQ(d->heightMillimeters, c.pixelH * 0.05521739130434782);
    EXPECT_EQ(d->vendorID, 0x504Eu);
    EXPECT_EQ(d->productID, 0x544Cu);
    EXPECT_EQ(d->serialNum, (uint32_t(c.pixelW) << 16) ^ uint32_t(c.pixelH));

    const std::string id = std::to_string(display.displayID());
    EXPECT_TRUE(logs.contains("Virtual display " + id + " created: " + std::to_string(c.pixelW) + "×" +
                              std::to_string(c.pixelH) + " px, scale " + c.scaleText));
    EXPECT_TRUE(logs.contains("Active mode (ok): " + std::to_string(c.pointW) + "×" +
                              std::to_string(c.pointH) + " points, " + std::to_string(2 * c.pointW) + "×" +
                              std::to_string(2 * c.pointH) + " px"));
}

INSTANTIATE_TEST_SUITE_P(Table, VirtualDisplaySizes,
                         ::testing::Values(SizeCase{1179, 2556, 2.5, 1178, 2556, 470, 1022, "2.5"},
                                           SizeCase{1170, 2532, 3.0, 1170, 2532, 390, 844, "3.0"},
                                           // 589 is odd: cleared to 588.
                                           SizeCase{1178, 2556, 2.0, 1178, 2556, 588, 1278, "2.0"},
                                           // 785.33 and 1704: rounding, then even.
                                           SizeCase{1178, 2556, 1.5, 1178, 2556, 784, 1704, "1.5"},
                                           // 0.5 rounds away from zero: 2.5 × 2 = 5 → 5 → 4.
                                           SizeCase{10, 4, 2.0, 10, 4, 4, 2, "2.0"}));

TEST_F(VirtualDisplayTest, RefreshAbove60AddsA60HzMode) {
    ASSERT_TRUE(display.create(1178, 2556, 120, 2.5, false));
    auto modes = sim->modes(display.displayID());
    ASSERT_TRUE(modes);
    std::vector<double> hiDPIRates;
    for (const auto& m : *modes) {
        if (m.pixelWidth > m.width) hiDPIRates.push_back(m.refreshRate);
    }
    EXPECT_EQ(hiDPIRates, (std::vector<double>{120, 60}));
    // The highest rate wins.
    EXPECT_EQ(sim->currentMode(display.displayID())->refreshRate, 120);

    ASSERT_TRUE(display.create(1178, 2556, 60, 2.5, false));
    modes = sim->modes(display.displayID());
    ASSERT_TRUE(modes);
    EXPECT_EQ(std::count_if(modes->begin(), modes->end(), [](auto& m) { return m.pixelWidth > m.width; }), 1);
}

// ---- Lifecycle ----

TEST_F(VirtualDisplayTest, SecondCreateRemovesTheFirstDisplayFirst) {
    ASSERT_TRUE(display.create(1178, 2556, 60, 2.5, false));
    const uint32_t first = display.displayID();
    ASSERT_TRUE(display.create(1000, 2000, 60, 2.5, false));
    const uint32_t second = display.displayID();
    EXPECT_NE(first, second);

    const size_t removed = find("remove " + std::to_string(first));
    const size_t created = find("create " + std::to_string(second));
    ASSERT_NE(removed, std::string::npos);
    EXPECT_LT(removed, created);
    EXPECT_FALSE(sim->info(first));

    const auto lines = logs.lines();
    auto at = [&](const std::string& text) {
        return std::find_if(lines.begin(), lines.end(),
                            [&](auto& l) { return l.find(text) != std::string::npos; });
    };
    EXPECT_LT(at("Virtual display " + std::to_string(first) + " removed"),
              at("Virtual display " + std::to_string(second) + " created"));
    EXPECT_EQ(sim->created() - sim->removed(), 1);
}

TEST_F(VirtualDisplayTest, TeardownRemovesOnceAndRestoresTheMainDisplay) {
    ASSERT_TRUE(display.create(1178, 2556, 60, 2.5, false));
    const uint32_t id = display.displayID();
    EXPECT_EQ(sim->mainDisplay(), id);
    display.teardown();
    display.teardown();
    EXPECT_EQ(display.displayID(), 0u);
    EXPECT_EQ(logs.count("Virtual display " + std::to_string(id) + " removed"), 1);
    EXPECT_EQ(sim->removed(), 1);
    EXPECT_EQ(sim->mainDisplay(), 1u);
}

TEST_F(VirtualDisplayTest, PausesThenArrangesThenSelectsTheMode) {
    ASSERT_TRUE(display.create(1178, 2556, 60, 2.5, false));
    const size_t settings = find("settings");
    const size_t firstPause = find("pause 0.3", settings);
    const size_t origin = find("origin", firstPause);
    const size_t secondPause = find("pause 0.2", origin);
    const size_t mode = find("mode", secondPause);
    EXPECT_NE(settings, std::string::npos);
    EXPECT_NE(firstPause, std::string::npos);
    EXPECT_NE(origin, std::string::npos);
    EXPECT_NE(secondPause, std::string::npos);
    EXPECT_NE(mode, std::string::npos);
}

// ---- Arrangement and mirroring ----

TEST_F(VirtualDisplayTest, OthersStandInARowToTheRightWhenExtended) {
    const uint32_t second = sim->addPhysicalDisplay(1280, 800);
    ASSERT_TRUE(display.create(1178, 2556, 60, 2.5, false));
    const uint32_t id = display.displayID();

    EXPECT_EQ(sim->mainDisplay(), id);
    EXPECT_EQ(sim->info(id)->bounds.x, 0);
    // The virtual display was 470 points wide (low-resolution mode) when arranged.
    EXPECT_EQ(sim->info(1)->bounds.x, 470);
    EXPECT_EQ(sim->info(second)->bounds.x, 470 + 1920);
    EXPECT_EQ(sim->mirrorOf(1), 0u);
    EXPECT_EQ(sim->mirrorOf(second), 0u);
    EXPECT_TRUE(logs.contains("Virtual display set as main: ok"));
    EXPECT_FALSE(logs.contains("Mirroring other displays"));
}

TEST_F(VirtualDisplayTest, MirroringFollowsAfterAPause) {
    const uint32_t second = sim->addPhysicalDisplay(1280, 800);
    ASSERT_TRUE(display.create(1178, 2556, 60, 2.5, true));
    const uint32_t id = display.displayID();
    EXPECT_EQ(sim->mirrorOf(1), id);
    EXPECT_EQ(sim->mirrorOf(second), id);

    const size_t arranged = find("complete", find("origin"));
    const size_t pause = find("pause 0.2", arranged);
    const size_t mirror = find("mirror 1 " + std::to_string(id), arranged);
    ASSERT_NE(pause, std::string::npos);
    EXPECT_LT(pause, mirror);
    EXPECT_TRUE(logs.contains("Mirroring other displays: ok"));
}

TEST_F(VirtualDisplayTest, ConfigurationErrorsAreLoggedAndDoNotUndoTheDisplay) {
    sim->configurationError = 1003;
    ASSERT_TRUE(display.create(1178, 2556, 60, 2.5, true));
    EXPECT_NE(display.displayID(), 0u);
    EXPECT_TRUE(logs.contains("Virtual display set as main: error 1003"));
    EXPECT_TRUE(logs.contains("Mirroring other displays: error 1003 (staying extended)"));
    // The mode could not be set: the current one is reported with the code.
    EXPECT_TRUE(logs.contains("Active mode (error 1003): 470×1022 points, 470×1022 px"));
}

TEST_F(VirtualDisplayTest, AConfigurationThatCannotBeginIsSilent) {
    sim->failBegin = true;
    ASSERT_TRUE(display.create(1178, 2556, 60, 2.5, true));
    EXPECT_FALSE(logs.contains("set as main"));
    EXPECT_FALSE(logs.contains("Mirroring"));
    EXPECT_FALSE(logs.contains("Active mode"));
}

TEST_F(VirtualDisplayTest, MissingHiDPIModeKeepsTheFirstMode) {
    sim->offerHiDPI = false;
    ASSERT_TRUE(display.create(1178, 2556, 60, 2.5, false));
    EXPECT_TRUE(logs.contains("HiDPI mode 470×1022 not found"));
    EXPECT_FALSE(logs.contains("Active mode"));
    const auto current = sim->currentMode(display.displayID());
    ASSERT_TRUE(current);
    EXPECT_EQ(current->pixelWidth, 470);
}

// ---- Failures ----

TEST_F(VirtualDisplayTest, RefusedCreationLeavesNoDisplay) {
    ASSERT_TRUE(display.create(1178, 2556, 60, 2.5, false));
    sim->failCreate = true;
    EXPECT_FALSE(display.create(1000, 2000, 60, 2.0, false));
    EXPECT_EQ(display.displayID(), 0u);
    EXPECT_TRUE(logs.contains("Could not create the virtual display"));
    // The new sizes are kept even so.
    EXPECT_EQ(display.pixelSize(), (VirtualDisplay::Size{1000, 2000}));
    EXPECT_EQ(display.pointSize(), (VirtualDisplay::Size{500, 1000}));
    EXPECT_EQ(sim->created(), sim->removed());
}

TEST_F(VirtualDisplayTest, RejectedSettingsDropTheNewDisplay) {
    sim->failSettings = true;
    EXPECT_FALSE(display.create(1178, 2556, 60, 2.5, false));
    EXPECT_TRUE(logs.contains("Virtual display settings rejected"));
    EXPECT_EQ(display.displayID(), 0u);
    EXPECT_EQ(sim->displays().size(), 1u);
    EXPECT_EQ(sim->created(), 1);
    EXPECT_EQ(sim->removed(), 1);
}

TEST_F(VirtualDisplayTest, ScalesThatCannotMakeAPointSizeAreRefusedWithoutStopping) {
    ASSERT_TRUE(display.create(1178, 2556, 60, 2.5, false));
    const auto points = display.pointSize();
    const int before = sim->created();
    for (double scale : {0.0, -2.0, std::numeric_limits<double>::quiet_NaN(),
                         std::numeric_limits<double>::infinity(), 1e-9}) {
        EXPECT_FALSE(display.create(1178, 2556, 60, scale, false)) << scale;
        EXPECT_EQ(display.displayID(), 0u);
        EXPECT_EQ(display.pointSize(), points) << "kept: the point size was never reached";
    }
    EXPECT_EQ(sim->created(), before);
    EXPECT_EQ(logs.count("Virtual display not created: text scale"), 5);
}

TEST(VirtualDisplayPointSize, RoundsHalfAwayFromZeroThenClearsTheLowestBit) {
    EXPECT_EQ(VirtualDisplay::pointSizeFor(1178, 2556, 2.5), (VirtualDisplay::Size{470, 1022}));
    // 3 / 2 = 1.5 → 2; 7 / 2 = 3.5 → 4.
    EXPECT_EQ(VirtualDisplay::pointSizeFor(3, 7, 2.0), (VirtualDisplay::Size{2, 4}));
    EXPECT_FALSE(VirtualDisplay::pointSizeFor(1178, 2556, 0));
    // A backing of 2^31 pixels or more cannot be described.
    EXPECT_FALSE(VirtualDisplay::pointSizeFor(2'000'000'000, 2, 1.0));
}

}  // namespace
}  // namespace tarvello::test
