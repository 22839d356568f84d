// The phone's camera end to end: tarvello-peer sends cameraHEVC datagrams to the real
// server, whose camera bridge feeds the tarvello-camera extension in a private
// PipeWire session, where a GStreamer reader sees the picture.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>

#include "base/settings.h"
#include "base/settings_store.h"
#include "pipewire_session.h"
#include "platform/linux/linux_camera.h"
#include "platform/sim/sim_platform.h"
#include "protocol/camera_feed.h"
#include "server/server.h"
#include "support/require.h"

#if defined(TARVELLO_CAMERA_PATH) && defined(TARVELLO_PEER_PATH)

namespace tarvello {
namespace {

constexpr const char* kCode = "551902";
constexpr size_t kFrameBytes = size_t(1280) * 720 * 3 / 2;

TEST(CameraEndToEnd, ThePhonesPictureReachesAPipeWireReader) {
    if (!test::PipeWireSession::available() || !test::PipeWireSession::gstreamerAvailable())
        TARVELLO_SKIP_MISSING(
            "pipewire, wireplumber, dbus-daemon or gst-launch-1.0 (scripts/install-deps.sh)");
    test::PipeWireSession session;
    ASSERT_TRUE(session.start());
    const std::string socketPath = (session.runtime / camerafeed::kSocketName).string();
    const pid_t extension = session.spawn(TARVELLO_CAMERA_PATH, {"--socket", socketPath}, "camera.log");
    ASSERT_GT(extension, 0);

    auto store = std::make_shared<MemoryStore>();
    store->setString(SettingsKey::token, kCode);
    store->setBool(SettingsKey::iPhoneCamera, true);
    Settings::useStore(store);
    SimHandles handles;
    Platform platform = makeSimPlatform(handles);
    LinuxCamera::Options cameraOptions;
    cameraOptions.socketPath = socketPath;
    platform.camera = std::make_shared<LinuxCamera>(cameraOptions);
    ServerOptions options;
    options.controlPort = 0;
    options.videoPort = 0;
    options.bindAddress = "127.0.0.1";
    auto server = Server::create(platform, options);
    ASSERT_TRUE(server->start());

    const pid_t peer = session.spawn(TARVELLO_PEER_PATH,
                                     {"127.0.0.1", "--control-port", std::to_string(server->controlPort()),
                                      "--video-port", std::to_string(server->videoPort()), "--code", kCode,
                                      "--size", "640x480", "--camera", "640x480", "--timeout", "30"},
                                     "peer.log");
    ASSERT_GT(peer, 0);
    ASSERT_TRUE(session.waitFor([&] {
        return session.log("peer.log").find("Accepted") != std::string::npos;
    })) << session.log("peer.log");

    const auto frames = session.root / "frames.nv12";
    pid_t reader = session.spawn("gst-launch-1.0",
                                 {"-q", "pipewiresrc", "target-object=tarvello-camera", "!",
                                  "video/x-raw,format=NV12,width=1280,height=720", "!", "filesink",
                                  "location=" + frames.string(), "sync=false"},
                                 "reader.log");
    ASSERT_GT(reader, 0);
    ASSERT_TRUE(session.waitFor([&] {
        return session.log("peer.log").find("cameraRequest 1") != std::string::npos;
    })) << session.log("peer.log");

    // The 640 x 480 picture, letterboxed: 960 x 720 from x = 160, its left half bright.
    auto lumaAt = [&](size_t frameIndex, int x, int y) {
        std::ifstream in(frames, std::ios::binary);
        in.seekg(std::streamoff(frameIndex * kFrameBytes + size_t(y) * 1280 + size_t(x)));
        return in.get();
    };
    bool seen = false;
    session.waitFor([&] {
        std::error_code ec;
        const size_t n = size_t(std::filesystem::file_size(frames, ec)) / kFrameBytes;
        if (ec || n == 0) return false;
        const size_t last = n - 1;
        seen = std::abs(lumaAt(last, 400, 360) - 200) <= 10 && std::abs(lumaAt(last, 880, 360) - 50) <= 10 &&
               lumaAt(last, 80, 360) == 16 && lumaAt(last, 1200, 360) == 16;
        return seen;
    });
    EXPECT_TRUE(seen) << session.log("camera.log");

    endChild(reader, SIGINT, 3.0, false);
    EXPECT_TRUE(session.waitFor([&] {
        return session.log("peer.log").find("cameraRequest 0") != std::string::npos;
    })) << session.log("peer.log");

    server->stop();
    EXPECT_TRUE(session.waitFor([&] { return childExited(peer); }));
    endChild(peer, SIGKILL, 0, false);
    endChild(extension, SIGTERM, 3.0, false);
    const std::string out = session.log("peer.log");
    EXPECT_LT(out.find("cameraRequest 1"), out.find("cameraRequest 0"));
    EXPECT_NE(out.find("camera sent="), std::string::npos);
}

}  // namespace
}  // namespace tarvello

#endif
