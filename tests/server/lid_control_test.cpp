#include "server/lid_control.h"

#include <gtest/gtest.h>

#include "platform/sim/sim_platform.h"
#include "support/log_capture.h"

namespace tarvello::test {
namespace {

// ---- Reading `pmset -g` ----

constexpr const char* kDisabledOutput =
    "System-wide power settings:\n"
    " SleepDisabled\t\t1\n"
    "Currently in use:\n"
    " standby              1\n"
    " Sleep On Power Button 1\n"
    " hibernatemode        3\n"
    " powernap             1\n"
    " disksleep            10\n"
    " sleep                1 (sleep prevented by coreaudiod)\n"
    " hibernatefile        /var/vm/sleepimage\n"
    " displaysleep         10\n"
    " tcpkeepalive         1\n"
    " lowpowermode         0\n";

constexpr const char* kEnabledOutput =
    "System-wide power settings:\n"
    " SleepDisabled\t\t0\n"
    "Currently in use:\n"
    " standby              1\n"
    " sleep                1\n"
    " displaysleep         10\n";

constexpr const char* kDesktopOutput =
    "Currently in use:\n"
    " standby              1\n"
    " Sleep On Power Button 1\n"
    " autorestart          0\n"
    " sleep                0 (sleep prevented by sharingd, powerd)\n"
    " displaysleep         10\n";

struct PmsetCase {
    const char* name;
    std::string output;
    bool disabled;
};

class PmsetParser : public ::testing::TestWithParam<PmsetCase> {};

TEST_P(PmsetParser, FindsSleepDisabledFollowedByOne) {
    EXPECT_EQ(pmsetSleepDisabled(GetParam().output), GetParam().disabled);
}

INSTANTIATE_TEST_SUITE_P(Outputs, PmsetParser,
                         ::testing::Values(PmsetCase{"LaptopWithSleepDisabled", kDisabledOutput, true},
                                           PmsetCase{"LaptopWithSleepEnabled", kEnabledOutput, false},
                                           PmsetCase{"DesktopWithoutTheLine", kDesktopOutput, false},
                                           PmsetCase{"Empty", "", false},
                                           PmsetCase{"SpacesInsteadOfTabs", "SleepDisabled      1", true},
                                           PmsetCase{"CarriageReturns", "x 0\r\n SleepDisabled 1\r\n", true},
                                           PmsetCase{"BlankLinesAround", "\n\n\tSleepDisabled 1 \n\n", true},
                                           PmsetCase{"OtherNumber", " SleepDisabled 10\n", false},
                                           PmsetCase{"WordAlone", " SleepDisabled\n 1\n", false},
                                           PmsetCase{"LongerName", " SleepDisabledX 1\n", false},
                                           PmsetCase{"NotFirstWord", " x SleepDisabled 1\n", false},
                                           PmsetCase{"Lowercase", " sleepdisabled 1\n", false},
                                           PmsetCase{"TrailingWords", " SleepDisabled 1 (forced)\n", true},
                                           PmsetCase{"InvalidUtf8Around", "\xff\xfe\n SleepDisabled 1\n\xc3",
                                                     true}),
                         [](const auto& param) { return std::string(param.param.name); });

// ---- The administrator script ----

TEST(LidScript, NamesTheCommandAndTheSentenceTheUserSees) {
    EXPECT_EQ(
        lidAwakeScript(true),
        "do shell script \"/usr/bin/pmset -a disablesleep 1\" with administrator privileges with prompt "
        "\"Tarvello wants to keep the Mac awake with its lid closed.\"");
    EXPECT_EQ(
        lidAwakeScript(false),
        "do shell script \"/usr/bin/pmset -a disablesleep 0\" with administrator privileges with prompt "
        "\"Tarvello wants to let the Mac sleep again when its lid closes.\"");
}

// ---- Running the tools ----

TEST(LidControl, MissingToolsReadAsSleepingAndChangeNothing) {
    SimProcesses tools;  // nothing scripted: no tool can be launched
    LogCapture logs;
    EXPECT_FALSE(lidAwakeEnabled(tools));
    EXPECT_FALSE(setLidAwake(tools, true));
    EXPECT_FALSE(logs.contains("Lid setting unchanged (cancelled)"));
    EXPECT_TRUE(logs.contains("The Mac sleeps when the lid closes"));
    EXPECT_EQ(tools.runs(),
              (std::vector<std::string>{"/usr/bin/pmset -g", "/usr/bin/osascript -e " + lidAwakeScript(true),
                                        "/usr/bin/pmset -g"}));
}

TEST(LidControl, CancelledPromptIsLoggedAndTheUnchangedStateReturned) {
    SimProcesses tools;
    tools.script("/usr/bin/osascript", {ProcessResult{1, ""}});
    tools.script("/usr/bin/pmset", {ProcessResult{0, kEnabledOutput}});
    LogCapture logs;
    EXPECT_FALSE(setLidAwake(tools, true));
    const auto lines = logs.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("Lid setting unchanged (cancelled)"), std::string::npos);
    EXPECT_NE(lines[1].find("The Mac sleeps when the lid closes"), std::string::npos);
}

TEST(LidControl, StateIsTheOneReadBackNotTheOneAskedFor) {
    SimProcesses tools;
    tools.script("/usr/bin/osascript", {ProcessResult{0, ""}});
    // The tool says disabled even though enabling was asked for: the answer follows the tool.
    tools.script("/usr/bin/pmset", {ProcessResult{0, kDisabledOutput}});
    LogCapture logs;
    EXPECT_TRUE(setLidAwake(tools, false));
    EXPECT_TRUE(logs.contains("The Mac stays awake with the lid closed"));
    EXPECT_FALSE(logs.contains("cancelled"));
    EXPECT_EQ(tools.runs()[0], "/usr/bin/osascript -e " + lidAwakeScript(false));
}

}  // namespace
}  // namespace tarvello::test
