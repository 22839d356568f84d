#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "base/child_process.h"
#include "platform/linux/xvfb_server.h"
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
    for (const char* name : {"menu.png", "onboarding.png"}) fs::remove(dir / name);
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
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!childExited(pid) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const bool exited = childExited(pid);
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

    const PngSize menu = pngSize(dir / "menu.png");
    EXPECT_EQ(menu.width, 400u);
    EXPECT_GT(menu.height, 400u);
    const PngSize onboarding = pngSize(dir / "onboarding.png");
    EXPECT_EQ(onboarding.width, 560u);
    EXPECT_EQ(onboarding.height, 820u);
}

}  // namespace
}  // namespace tarvello
