#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/child_process.h"
#include "platform/linux/xvfb_server.h"
#include "support/eventually.h"
#include "support/require.h"

namespace tarvello {
namespace {

namespace fs = std::filesystem;

struct PngSize {
    uint32_t width = 0, height = 0;
};

// The size in a PNG's header, or zeros when the file is not a PNG.
PngSize pngSize(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    unsigned char b[24] = {};
    in.read(reinterpret_cast<char*>(b), sizeof b);
    static const unsigned char signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    if (in.gcount() != sizeof b || !std::equal(signature, signature + 8, b)) return {};
    auto be = [&](int i) {
        return uint32_t(b[i]) << 24 | uint32_t(b[i + 1]) << 16 | uint32_t(b[i + 2]) << 8 | b[i + 3];
    };
    return {be(16), be(20)};
}

// Draws both windows on an X server of the test's own, as the README's pictures are
// made, and keeps the PNGs in the build tree for CI to collect.
TEST(Screenshots, MenuAndOnboardingRenderOnX) {
    const std::string xvfb = findOnPath("Xvfb");
    if (xvfb.empty()) TARVELLO_SKIP_MISSING("Xvfb is not installed");
    std::string error;
    auto server = XvfbServer::start({xvfb, 1280, 1024, 96, 10}, error);
    ASSERT_TRUE(server) << error;

    const fs::path dir = TARVELLO_SCREENSHOT_DIR;
    fs::create_directories(dir);
    const char* pictures[] = {"menu.png", "onboarding.png", "menu-dark.png", "onboarding-dark.png"};
    for (const char* name : pictures) fs::remove(dir / name);
    const fs::path output = dir / "texts.txt";
    fs::remove(output);

    ChildSpec spec;
    spec.path = TARVELLO_SERVER_PATH;
    spec.args = {spec.path, "--screenshots", dir.string()};
    spec.env = environmentWith(
        {"DISPLAY=" + server->name(), "XAUTHORITY=" + server->clientAuthority(), "QT_QPA_PLATFORM=xcb"},
        {"WAYLAND_DISPLAY"});
    spec.outputPath = output.string();
    const pid_t pid = spawnChild(spec, error);
    ASSERT_GT(pid, 0) << error;
    const bool exited = test::eventually([&] { return childExited(pid); }, 60);
    if (!exited) endChild(pid, SIGKILL, 0, false);
    ASSERT_TRUE(exited) << "the renderer did not finish";

    std::ifstream in(output);
    std::stringstream texts;
    texts << in.rdbuf();
    const std::string shown = texts.str();
    EXPECT_NE(shown.find("menu: 042917\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("menu: Connected: Ada\u2019s iPhone\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("menu: 60 fps   18.4 Mb/s \u00b7 HEVC\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("onboarding: All set. Enter 100.101.102.103 and the code on your iPhone.\n"),
              std::string::npos)
        << shown;

    EXPECT_NE(shown.find("onboarding: Your GNOME desktop\n"), std::string::npos) << shown;
    EXPECT_EQ(shown.find("Stage Manager"), std::string::npos) << "a desktop without one shows no such row\n"
                                                              << shown;

    for (const char* suffix : {"", "-dark"}) {
        const PngSize menu = pngSize(dir / (std::string("menu") + suffix + ".png"));
        EXPECT_EQ(menu.width, 400u) << suffix;
        EXPECT_GT(menu.height, 400u) << suffix;
        const PngSize onboarding = pngSize(dir / (std::string("onboarding") + suffix + ".png"));
        EXPECT_EQ(onboarding.width, 560u) << suffix;
        EXPECT_EQ(onboarding.height, 700u) << suffix << ": fits a 768-pixel screen";
    }
}

}  // namespace
}  // namespace tarvello
