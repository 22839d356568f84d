#include <gtest/gtest.h>
#include <png.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <thread>

#include "base/settings.h"
#include "base/settings_store.h"
#include "platform/linux/linux_display.h"
#include "platform/linux/session_command.h"
#include "platform/linux/x11.h"
#include "platform/platform.h"
#include "server/server.h"
#include "support/log_capture.h"
#include "support/peer_process.h"
#include "support/require.h"

namespace tarvello::test {
namespace {

constexpr const char* kCode = "482913";

// The real server on loopback with the Linux back-ends: every session gets a private
// Xvfb, captured with XShm and XDamage; the phone is tarvello-peer.
class LinuxEndToEndTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!linuxPlatformAvailable()) TARVELLO_SKIP_MISSING("Xvfb is not installed");
        store = std::make_shared<MemoryStore>();
        store->setString(SettingsKey::token, kCode);
        store->setString(SettingsKey::sessionCommand, "");  // an empty desktop to draw on
        Settings::useStore(store);
        options.controlPort = 0;
        options.videoPort = 0;
        options.bindAddress = "127.0.0.1";
    }

    void TearDown() override {
        if (server) server->stop();
        server.reset();
    }

    void startServer() {
        Platform platform = makeLinuxPlatform();
        displays = std::dynamic_pointer_cast<LinuxDisplay>(platform.display);
        ASSERT_TRUE(displays);
        server = Server::create(platform, options);
        ASSERT_TRUE(server->start());
    }

    std::unique_ptr<PeerProcess> peer(std::vector<std::string> args) {
        args.insert(args.begin(), {"--code", kCode, "--quiet"});
        auto p = std::make_unique<PeerProcess>(server->controlPort(), server->videoPort(), args);
        EXPECT_TRUE(p->started());
        return p;
    }

    // The X display name of the session's display once it exists (bounded wait).
    std::string sessionDisplay(double timeout = 20) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
        while (std::chrono::steady_clock::now() < deadline) {
            if (auto name = displays->connection(displays->mainDisplay()); !name.empty()) return name;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return {};
    }

    std::shared_ptr<MemoryStore> store;
    ServerOptions options;
    std::shared_ptr<LinuxDisplay> displays;
    std::shared_ptr<Server> server;
    LogCapture logs;
};

struct Image {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;
    std::array<int, 3> at(int x, int y) const {
        const uint8_t* p = &rgb[(size_t(y) * size_t(width) + size_t(x)) * 3];
        return {p[0], p[1], p[2]};
    }
};

Image readPng(const std::string& path) {
    Image img;
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&png, path.c_str())) return img;
    png.format = PNG_FORMAT_RGB;
    img.rgb.resize(PNG_IMAGE_SIZE(png));
    if (!png_image_finish_read(&png, nullptr, img.rgb.data(), 0, nullptr)) {
        png_image_free(&png);
        return {};
    }
    img.width = int(png.width);
    img.height = int(png.height);
    return img;
}

void fill(Display* d, unsigned long rgb, int x, int y, int w, int h) {
    GC gc = XCreateGC(d, DefaultRootWindow(d), 0, nullptr);
    XSetForeground(d, gc, rgb);
    XFillRectangle(d, DefaultRootWindow(d), gc, x, y, unsigned(w), unsigned(h));
    XFreeGC(d, gc);
}

TEST_F(LinuxEndToEndTest, ThePeerSavesWhatWasDrawnOnTheSessionDisplay) {
    startServer();
    char dir[] = "/tmp/tarvello-frame-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    const std::string png = std::string(dir) + "/frame.png";
    auto p = peer({"--size", "480x640", "--seconds", "4", "--save-frame", png});
    const std::string name = sessionDisplay();
    ASSERT_FALSE(name.empty());
    std::string error;
    auto x = XConnection::open(name, error);
    ASSERT_TRUE(x) << error;
    Display* d = x->get();
    const int w = DisplayWidth(d, DefaultScreen(d)), h = DisplayHeight(d, DefaultScreen(d));
    // Drawn at the phone's own pixels: nothing is scaled on the way.
    EXPECT_EQ(w, 480);
    EXPECT_EQ(h, 640);
    fill(d, 0xFF0000, 0, 0, w / 2, h / 2);
    fill(d, 0x00FF00, w / 2, 0, w - w / 2, h / 2);
    fill(d, 0x0000FF, 0, h / 2, w / 2, h - h / 2);
    fill(d, 0xFFFFFF, w / 2, h / 2, w - w / 2, h - h / 2);
    XSync(d, False);

    const bool exited = p->wait();
    const Image img = readPng(png);
    std::filesystem::remove_all(dir);
    ASSERT_TRUE(exited) << p->output();
    ASSERT_EQ(img.width, 480) << p->output();
    ASSERT_EQ(img.height, 640);
    const struct {
        int x, y;
        std::array<int, 3> rgb;
    } expected[] = {{120, 160, {255, 0, 0}},
                    {360, 160, {0, 255, 0}},
                    {120, 480, {0, 0, 255}},
                    {360, 480, {255, 255, 255}}};
    for (const auto& e : expected) {
        const auto got = img.at(e.x, e.y);
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(got[size_t(c)], e.rgb[size_t(c)], 12)
                << "channel " << c << " at " << e.x << "," << e.y;
    }
}

TEST_F(LinuxEndToEndTest, ThePeerMeasuresGlassToGlassFromTheTimeProbe) {
    store->setString(SettingsKey::sessionCommand,
                     std::string("exec ") + TARVELLO_SERVER_PATH + " --time-probe");
    options.stageReportInterval = 0.5;
    startServer();
    auto p = peer({"--size", "480x640", "--warmup", "1", "--latency", "2"});
    ASSERT_TRUE(p->wait()) << p->output();
    auto latency = p->fields("latency");
    ASSERT_FALSE(latency.empty()) << p->output();
    const int measured = std::stoi(latency["measured"]);
    EXPECT_GT(measured, 0) << p->output();
    EXPECT_LE(measured, std::stoi(latency["frames"]));
    EXPECT_EQ(latency["implausible"], "0") << p->output();
    const double p50 = std::stod(latency["p50_ms"]), p99 = std::stod(latency["p99_ms"]);
    EXPECT_GT(p50, 0.0);
    EXPECT_LE(p50, p99);
    EXPECT_LE(p99, std::stod(latency["max_ms"]));
    EXPECT_EQ(latency["drops"], "0");
    EXPECT_GT(std::stod(latency["decode_p50_ms"]), 0.0);

    // The server timed every stage of the same frames, capture's own included.
    ASSERT_TRUE(logs.waitFor("Stage times over "));
    for (const auto& line : logs.lines()) {
        if (line.find("Stage times over ") == std::string::npos) continue;
        for (const char* stage : {" capture ", " convert ", " encode ", " send ", " total "})
            EXPECT_NE(line.find(stage), std::string::npos) << line;
    }
}

TEST_F(LinuxEndToEndTest, StreamingFollowsAResizeAndAPhoneThatComesBack) {
    startServer();
    char path[] = "/tmp/tarvello-resize-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::string script = "sleep 1.0\nresize 320 480\nsleep 2.0\n";
    ASSERT_EQ(write(fd, script.data(), script.size()), ssize_t(script.size()));
    close(fd);
    auto first = peer({"--size", "480x640", "--frames", "1", "--script", path});
    const bool firstOk = first->wait();
    unlink(path);
    ASSERT_TRUE(firstOk) << first->output();
    auto summary = first->fields("summary");
    EXPECT_EQ(summary["width"], "320") << first->output();
    EXPECT_EQ(summary["height"], "480");
    EXPECT_GE(logs.count("Virtual display 1 removed"), 1);

    // The same phone again, before the grace period ends the session.
    auto again = peer({"--size", "360x640", "--frames", "1"});
    ASSERT_TRUE(again->wait()) << again->output();
    summary = again->fields("summary");
    EXPECT_EQ(summary["width"], "360") << again->output();
    EXPECT_EQ(summary["height"], "640");
    EXPECT_EQ(summary["first_keyframe"], "1");
}

}  // namespace
}  // namespace tarvello::test
