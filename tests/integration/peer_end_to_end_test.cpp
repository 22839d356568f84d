#include <fcntl.h>
#include <gtest/gtest.h>
#include <png.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "support/server_fixture.h"

extern char** environ;

namespace tarvello::test {
namespace {

struct PeerRun {
    int status = -1;
    std::string output;
    std::map<std::string, std::string> summary;
};

// Runs tarvello-peer against the server under test; its output goes to a file so a
// chatty run can never block on a full pipe.
PeerRun runPeer(uint16_t controlPort, uint16_t videoPort, std::vector<std::string> args) {
    char dir[] = "/tmp/tarvello-peer-XXXXXX";
    PeerRun run;
    if (!mkdtemp(dir)) return run;
    const std::string out = std::string(dir) + "/out.txt";
    std::vector<std::string> argv = {TARVELLO_PEER_PATH, "127.0.0.1",
                                     "--control-port",   std::to_string(controlPort),
                                     "--video-port",     std::to_string(videoPort),
                                     "--timeout",        "60"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    pid_t pid = -1;
    if (posix_spawn(&pid, cargv[0], &fa, nullptr, cargv.data(), environ) == 0) {
        waitpid(pid, &run.status, 0);
    }
    posix_spawn_file_actions_destroy(&fa);
    std::ifstream f(out);
    std::stringstream ss;
    ss << f.rdbuf();
    run.output = ss.str();
    std::istringstream lines(run.output);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("summary ", 0) != 0) continue;
        std::istringstream fields(line.substr(8));
        std::string kv;
        while (fields >> kv) {
            auto eq = kv.find('=');
            if (eq != std::string::npos) run.summary[kv.substr(0, eq)] = kv.substr(eq + 1);
        }
    }
    std::filesystem::remove_all(dir);
    return run;
}

std::pair<int, int> pngSize(const std::string& path) {
    png_image img{};
    img.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&img, path.c_str())) return {0, 0};
    std::pair<int, int> size{int(img.width), int(img.height)};
    png_image_free(&img);
    return size;
}

TEST_F(ServerTest, PeerReceivesAndDecodesThePhoneSizedStream) {
    startServer();
    const std::string png = "/tmp/tarvello-e2e-" + std::to_string(getpid()) + ".png";
    auto run =
        runPeer(server->controlPort(), server->videoPort(),
                {"--code", kCode, "--size", "1179x2556", "--frames", "20", "--save-frame", png, "--quiet"});
    ASSERT_TRUE(WIFEXITED(run.status)) << run.output;
    EXPECT_EQ(WEXITSTATUS(run.status), 0) << run.output;
    EXPECT_NE(run.output.find("Accepted: session "), std::string::npos) << run.output;
    EXPECT_EQ(run.summary["first_keyframe"], "1") << run.output;
    EXPECT_EQ(run.summary["width"], "1178");
    EXPECT_EQ(run.summary["height"], "2556");
    EXPECT_GE(std::stoi(run.summary["frames"]), 20);
    EXPECT_EQ(pngSize(png), std::make_pair(1178, 2556));
    std::filesystem::remove(png);
    EXPECT_TRUE(logs.contains("UDP video channel established with 127.0.0.1:"));
}

TEST_F(ServerTest, PeerReportsRefusalAndExitsNonZero) {
    startServer();
    auto run = runPeer(server->controlPort(), server->videoPort(), {"--code", "000000", "--frames", "1"});
    ASSERT_TRUE(WIFEXITED(run.status));
    EXPECT_EQ(WEXITSTATUS(run.status), 2);
    EXPECT_NE(run.output.find("Refused: Wrong code"), std::string::npos) << run.output;
}

TEST_F(ServerTest, PeerScriptDrivesInputAndKeyframes) {
    startServer();
    char path[] = "/tmp/tarvello-script-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::string script =
        "key 4 1\nkey 4 0\nmouseAbs 0.5 0.5\nbutton 0 1\nbutton 0 0\nscroll 0 -12 wheel\n"
        "text h\\xC3\\xA9llo\nsleep 1.0\nrequestKeyframe\nsleep 1.0\n";
    ASSERT_EQ(write(fd, script.data(), script.size()), ssize_t(script.size()));
    close(fd);
    auto run = runPeer(server->controlPort(), server->videoPort(),
                       {"--code", kCode, "--size", "320x240", "--frames", "10", "--script", path, "--quiet"});
    unlink(path);
    ASSERT_TRUE(WIFEXITED(run.status));
    EXPECT_EQ(WEXITSTATUS(run.status), 0) << run.output;
    // The first frame is a keyframe; the request a second later (well past the
    // throttle window of the registration's own request) brings another.
    EXPECT_GE(std::stoi(run.summary["keyframes"]), 2) << run.output;
    server->queue().sync([] {});
    auto events = sim.input->events();
    int keys = 0, texts = 0, scrolls = 0;
    for (const auto& e : events) {
        const bool keyEvent = e.type == InputEventType::keyDown || e.type == InputEventType::keyUp;
        keys += keyEvent && e.text.empty();
        if (e.type == InputEventType::keyDown && !e.text.empty()) {
            ++texts;
            EXPECT_EQ(e.text, u"h\u00e9llo");
        }
        scrolls += e.type == InputEventType::scrollWheel;
    }
    EXPECT_EQ(keys, 2);
    EXPECT_EQ(texts, 1);
    EXPECT_EQ(scrolls, 1);
}

}  // namespace
}  // namespace tarvello::test
