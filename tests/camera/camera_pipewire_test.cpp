// The camera extension against a real PipeWire, WirePlumber and GStreamer reader,
// all started by the tests in a private session.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>

#include "pipewire_session.h"
#include "platform/linux/linux_camera.h"
#include "protocol/camera_feed.h"
#include "support/require.h"

#ifdef TARVELLO_CAMERA_PATH

namespace tarvello {
namespace {

constexpr size_t kFrameBytes = size_t(1280) * 720 * 3 / 2;

class CameraPipeWireTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::PipeWireSession::available())
            TARVELLO_SKIP_MISSING("pipewire, wireplumber or dbus-daemon (scripts/install-deps.sh)");
        if (!test::PipeWireSession::gstreamerAvailable())
            TARVELLO_SKIP_MISSING("gst-launch-1.0 (scripts/install-deps.sh)");
        socketPath = (session.runtime / camerafeed::kSocketName).string();
    }
    void TearDown() override {
        stopReader();
        endChild(extension, SIGTERM, 3.0, false);
    }

    void startExtension() {
        extension = session.spawn(TARVELLO_CAMERA_PATH, {"--socket", socketPath}, "camera.log");
        ASSERT_GT(extension, 0);
    }
    bool nodePublished() {
        const std::string dump = session.run("pw-dump", {});
        return dump.find("\"node.description\": \"Tarvello Camera\"") != std::string::npos &&
               dump.find("\"media.class\": \"Video/Source\"") != std::string::npos &&
               dump.find("\"media.role\": \"Camera\"") != std::string::npos;
    }
    void startReader() {
        frames = session.root / "frames.nv12";
        reader = session.spawn("gst-launch-1.0",
                               {"-q", "pipewiresrc", "target-object=tarvello-camera", "!",
                                "video/x-raw,format=NV12,width=1280,height=720", "!", "filesink",
                                "location=" + frames.string(), "sync=false"},
                               "reader.log");
        ASSERT_GT(reader, 0);
    }
    void stopReader() {
        endChild(reader, SIGINT, 3.0, false);
        reader = -1;
    }
    size_t framesRead() const {
        std::error_code ec;
        const auto n = std::filesystem::file_size(frames, ec);
        return ec ? 0 : size_t(n) / kFrameBytes;
    }
    std::vector<uint8_t> frame(size_t index) const {
        std::ifstream in(frames, std::ios::binary);
        in.seekg(std::streamoff(index * kFrameBytes));
        std::vector<uint8_t> out(kFrameBytes);
        in.read(reinterpret_cast<char*>(out.data()), std::streamsize(out.size()));
        return out;
    }

    test::PipeWireSession session;
    std::string socketPath;
    pid_t extension = -1;
    pid_t reader = -1;
    std::filesystem::path frames;
};

TEST_F(CameraPipeWireTest, ReaderGetsPlaceholderThenLivePicturesAndInUseFollowsIt) {
    ASSERT_TRUE(session.start()) << session.log("pipewire.log") << session.log("wireplumber.log");
    startExtension();
    ASSERT_TRUE(session.waitFor([&] { return nodePublished(); })) << session.log("camera.log");

    LinuxCamera::Options o;
    o.socketPath = socketPath;
    LinuxCamera camera(o);
    ASSERT_TRUE(session.waitFor([&] { return camera.readUse().inUse == std::optional<bool>(false); }));

    startReader();
    ASSERT_TRUE(session.waitFor([&] { return camera.readUse().inUse == std::optional<bool>(true); }))
        << session.log("reader.log") << session.log("camera.log");
    ASSERT_TRUE(session.waitFor([&] { return framesRead() >= 2; })) << session.log("reader.log");
    const auto first = frame(0);
    for (size_t i : {size_t(0), size_t(1280 * 360 + 640), size_t(1280 * 720 - 1)})
        EXPECT_EQ(first[i], 60) << i;
    for (size_t i : {size_t(1280 * 720), size_t(1280 * 720 + 1280 * 180 + 640), kFrameBytes - 2}) {
        EXPECT_EQ(first[i], 150) << i;
        EXPECT_EQ(first[i + 1], 118) << i;
    }

    // Live pictures replace the placeholder.
    std::string error;
    ASSERT_TRUE(camera.openSink(error)) << error;
    auto live = VideoFrame::make(1280, 720);
    std::fill(live->y.begin(), live->y.end(), 200);
    bool seen = false;
    session.waitFor([&] {
        if (camera.sinkHasRoom()) camera.pushPicture(live);
        const size_t n = framesRead();
        seen = n > 0 && frame(n - 1)[1280 * 360] == 200;
        return seen;
    });
    EXPECT_TRUE(seen);

    stopReader();
    EXPECT_TRUE(session.waitFor([&] { return camera.readUse().inUse == std::optional<bool>(false); }))
        << session.log("camera.log");
    const std::string log = session.log("camera.log");
    EXPECT_NE(log.find("Camera in use: 1"), std::string::npos);
    EXPECT_NE(log.find("Camera in use: 0"), std::string::npos);
}

TEST_F(CameraPipeWireTest, ExtensionWaitsForPipeWireAndSurvivesItsRestart) {
    startExtension();  // before PipeWire runs
    ASSERT_TRUE(session.waitFor(
        [&] { return session.log("camera.log").find("addDevice failed") != std::string::npos; }));
    ASSERT_TRUE(session.start());
    ASSERT_TRUE(session.waitFor([&] { return nodePublished(); })) << session.log("camera.log");

    session.stopPipeWire();
    ASSERT_TRUE(session.startPipeWire());
    EXPECT_TRUE(session.waitFor([&] { return nodePublished(); })) << session.log("camera.log");
    EXPECT_FALSE(childExited(extension));
}

}  // namespace
}  // namespace tarvello

#endif
