#include "app/launch_options.h"

#include <gtest/gtest.h>

namespace tarvello::test {
namespace {

LaunchParse parse(std::vector<std::string> args) {
    args.insert(args.begin(), "tarvello");
    return parseLaunchOptions(args);
}

TEST(LaunchOptions, ReadsEveryServingOptionAndKeepsAllButTheNewCodeForLogin) {
    auto p =
        parse({"--headless", "--platform", "sim", "--config-dir", "/tmp/c", "--control-port", "0",
               "--video-port", "47999", "--bind", "::1", "--new-code", "--stage-times", "--tailnet-only"});
    ASSERT_TRUE(p.options) << p.error;
    const auto& o = *p.options;
    EXPECT_EQ(o.command, LaunchOptions::Command::serve);
    EXPECT_TRUE(o.headless);
    EXPECT_EQ(o.platformName, "sim");
    EXPECT_EQ(o.configDir, std::filesystem::path("/tmp/c"));
    EXPECT_EQ(o.server.controlPort, 0);
    EXPECT_EQ(o.server.videoPort, 47999);
    EXPECT_EQ(o.server.bindAddress, "::1");
    EXPECT_TRUE(o.newCode);
    EXPECT_EQ(o.server.stageReportInterval, 5.0);
    EXPECT_TRUE(o.server.forceTailnetOnly);
    EXPECT_EQ(o.loginArguments,
              (std::vector<std::string>{"--headless", "--platform", "sim", "--config-dir", "/tmp/c",
                                        "--control-port", "0", "--video-port", "47999", "--bind", "::1",
                                        "--stage-times", "--tailnet-only"}));
    // Without the option the setting decides.
    auto plain = parse({"--headless"});
    ASSERT_TRUE(plain.options);
    EXPECT_FALSE(plain.options->server.forceTailnetOnly);
    EXPECT_NE(std::string(kUsage).find("--tailnet-only"), std::string::npos);
}

TEST(LaunchOptions, RefusesWhatItCannotUseWithAReason) {
    struct Case {
        std::vector<std::string> args;
        std::string error;
    };
    for (const auto& c : std::vector<Case>{
             {{"--control-port", "65536"}, "--control-port takes a number from 0 to 65535"},
             {{"--video-port", "12x"}, "--video-port takes a number from 0 to 65535"},
             {{"--control-port", ""}, "--control-port takes a number from 0 to 65535"},
             {{"--control-port", "-1"}, "--control-port takes a number from 0 to 65535"},
             {{"--bind"}, "--bind needs a value"},
             {{"--video-port"}, "--video-port needs a value"},
             {{"--motion"}, "--motion goes with --time-probe"},
             {{"--headless", "--frobnicate"}, "unknown option --frobnicate (see --help)"},
         }) {
        auto p = parse(c.args);
        EXPECT_FALSE(p.options) << c.args.front();
        EXPECT_EQ(p.error, c.error);
    }
}

TEST(LaunchOptions, CommandsThatRunInsteadOfServing) {
    using C = LaunchOptions::Command;
    EXPECT_EQ(parse({"--headless", "--help", "--bogus"}).options->command, C::help);
    EXPECT_EQ(parse({"--version"}).options->command, C::version);
    EXPECT_EQ(parse({"--install-audio"}).options->command, C::installAudio);
    EXPECT_EQ(parse({"--time-probe", "--motion"}).options->command, C::timeProbe);
    EXPECT_TRUE(parse({"--time-probe", "--motion"}).options->motion);
    auto shots = parse({"--screenshots", "/tmp/s"});
    EXPECT_EQ(shots.options->command, C::screenshots);
    EXPECT_EQ(shots.options->screenshotDir, "/tmp/s");
    // The camera commands run alone, whatever else the line holds; they keep the settings folder.
    auto install = parse({"--bogus", "--install-camera", "--config-dir", "/tmp/c"});
    ASSERT_TRUE(install.options);
    EXPECT_EQ(install.options->command, C::installCamera);
    EXPECT_EQ(install.options->configDir, std::filesystem::path("/tmp/c"));
    EXPECT_EQ(parse({"--uninstall-camera"}).options->command, C::uninstallCamera);
}

}  // namespace
}  // namespace tarvello::test
