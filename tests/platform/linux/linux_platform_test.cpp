#include <gtest/gtest.h>

#include "platform/platform.h"
#include "platform/sim/sim_audio.h"
#include "platform/sim/sim_dock.h"
#include "platform/sim/sim_platform.h"

namespace tarvello::test {
namespace {

// A stand-in serving the real program would do nothing while looking fine: every
// facility of the Linux set must be a back-end of its own.
TEST(LinuxPlatform, EveryFacilityIsALinuxBackEndAndNoneIsMissing) {
    Platform p = makeLinuxPlatform();
    EXPECT_EQ(p.name, "linux");
    EXPECT_TRUE(missingFacilities(p).empty());
    EXPECT_FALSE(std::dynamic_pointer_cast<SimDisplay>(p.display));
    EXPECT_FALSE(std::dynamic_pointer_cast<SimCapture>(p.capture));
    EXPECT_FALSE(std::dynamic_pointer_cast<SimInput>(p.input));
    EXPECT_FALSE(std::dynamic_pointer_cast<SimHost>(p.host));
    EXPECT_FALSE(std::dynamic_pointer_cast<SimPower>(p.power));
    EXPECT_FALSE(std::dynamic_pointer_cast<SimLid>(p.lid));
    EXPECT_FALSE(std::dynamic_pointer_cast<SimProcesses>(p.processes));
    EXPECT_FALSE(std::dynamic_pointer_cast<SimAccessibility>(p.accessibility));
    EXPECT_FALSE(std::dynamic_pointer_cast<SimCursor>(p.cursor));
    EXPECT_FALSE(std::dynamic_pointer_cast<SimAudio>(p.audio));
    EXPECT_FALSE(std::dynamic_pointer_cast<SimCamera>(p.camera));
    // Nothing to offer here, by design rather than by a stand-in.
    EXPECT_FALSE(p.dock);
    EXPECT_FALSE(p.workspace);
}

TEST(LinuxPlatform, AFacilityNobodySetIsNamed) {
    Platform p = makeSimPlatform();
    EXPECT_TRUE(missingFacilities(p).empty());
    p.accessibility = nullptr;
    p.camera = nullptr;
    p.lid = nullptr;  // optional: a machine without a lid
    EXPECT_EQ(missingFacilities(p), (std::vector<std::string>{"accessibility", "camera"}));
}

}  // namespace
}  // namespace tarvello::test
