// `tarvello --install-camera` and `--uninstall-camera`, the built program, against a
// private PipeWire and WirePlumber with no systemd user manager: the extension is
// started by the program itself and keeps running after it exits.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "pipewire_session.h"
#include "protocol/camera_feed.h"
#include "support/eventually.h"
#include "support/require.h"

#ifdef TARVELLO_CAMERA_PATH

namespace tarvello {
namespace {

size_t occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

class InstallCameraTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::PipeWireSession::available())
            TARVELLO_SKIP_MISSING("pipewire, wireplumber, pw-cli or dbus-daemon (scripts/install-deps.sh)");
        if (findOnPath("pw-dump").empty()) TARVELLO_SKIP_MISSING("pw-dump (Debian package pipewire-bin)");
        // The extension outlives the program that started it; as its new parent this
        // test can reap it, so it leaves no zombie behind either.
        ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
        subreaper = true;
        socketPath = session.runtime / camerafeed::kSocketName;
        configDir = session.root / "tarvello";
    }

    void TearDown() override {
        // The running camera is the product's intended state, but not this test's to leave.
        if (const pid_t pid = extensionPid(); pid > 0) endChild(pid, SIGTERM, 3.0, false);
        for (const pid_t pid : left) endChild(pid, SIGKILL, 0, false);
        if (subreaper) prctl(PR_SET_CHILD_SUBREAPER, 0);
    }

    struct Run {
        std::optional<int> exitCode;  // nothing when it did not end in time
        std::string output;
    };

    // Runs the built program with `option` in the session, to its end.
    Run tarvello(const std::string& option) {
        const auto out = session.root / ("tarvello-" + std::to_string(runs++) + ".log");
        ChildSpec spec;
        spec.path = TARVELLO_SERVER_PATH;
        spec.args = {"tarvello", option, "--config-dir", configDir.string()};
        spec.env = environmentWith(session.env(), session.removedEnv());
        spec.deathSignal = SIGKILL;
        spec.outputPath = out.string();
        std::string error;
        const pid_t pid = spawnChild(spec, error);
        Run run;
        if (pid <= 0) return run;
        int status = 0;
        const bool ended = test::eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 40);
        if (!ended) {
            left.push_back(pid);
        } else if (WIFEXITED(status)) {
            run.exitCode = WEXITSTATUS(status);
        } else {
            run.exitCode = 128 + WTERMSIG(status);
        }
        std::ifstream in(out);
        run.output.assign(std::istreambuf_iterator<char>(in), {});
        return run;
    }

    // The process serving the camera socket, named by the socket's peer credentials; 0 when none.
    pid_t extensionPid() const {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, socketPath.c_str(), sizeof(addr.sun_path) - 1);
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        pid_t pid = 0;
        if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            ucred peer{};
            socklen_t size = sizeof peer;
            if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0) pid = peer.pid;
        }
        close(fd);
        return pid;
    }

    size_t cameraNodes() const {
        return occurrences(session.run("pw-dump", {}), "\"node.name\": \"tarvello-camera\"");
    }

    std::string settings() const {
        std::ifstream in(configDir / "settings.json");
        return {std::istreambuf_iterator<char>(in), {}};
    }

    test::PipeWireSession session;
    std::filesystem::path socketPath, configDir;
    std::vector<pid_t> left;
    bool subreaper = false;
    int runs = 0;
};

TEST_F(InstallCameraTest, InstallsOnceKeepsTheRunningCameraOnRepeatAndUninstallRemovesIt) {
    ASSERT_TRUE(session.start()) << session.log("pipewire.log") << session.log("wireplumber.log");
    ASSERT_EQ(cameraNodes(), 0u);

    const Run first = tarvello("--install-camera");
    ASSERT_EQ(first.exitCode, std::optional<int>(0)) << first.output;
    EXPECT_NE(first.output.find("Camera installed: applications can use Tarvello Camera"), std::string::npos)
        << first.output;
    // Still there after the program is gone: no one else started it.
    EXPECT_EQ(cameraNodes(), 1u);
    const pid_t extension = extensionPid();
    ASSERT_GT(extension, 0);
    EXPECT_NE(settings().find("\"cameraActivated\": true"), std::string::npos) << settings();

    const Run second = tarvello("--install-camera");
    ASSERT_EQ(second.exitCode, std::optional<int>(0)) << second.output;
    EXPECT_NE(second.output.find("Camera installed"), std::string::npos) << second.output;
    EXPECT_EQ(cameraNodes(), 1u);
    EXPECT_EQ(extensionPid(), extension) << "the running camera was replaced";

    const Run removed = tarvello("--uninstall-camera");
    ASSERT_EQ(removed.exitCode, std::optional<int>(0)) << removed.output;
    EXPECT_NE(removed.output.find("Camera removed"), std::string::npos) << removed.output;
    EXPECT_TRUE(test::eventually([&] { return childExited(extension); })) << "the extension still runs";
    EXPECT_EQ(extensionPid(), 0);
    EXPECT_TRUE(session.waitFor([&] { return cameraNodes() == 0; })) << session.run("pw-dump", {});
    EXPECT_NE(settings().find("\"cameraActivated\": false"), std::string::npos) << settings();
}

TEST_F(InstallCameraTest, WithoutPipeWireItFailsAndSaysWhy) {
    const Run run = tarvello("--install-camera");
    ASSERT_TRUE(run.exitCode) << run.output;
    EXPECT_NE(*run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("Camera not available: "), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("PipeWire is not running"), std::string::npos) << run.output;
}

TEST(InstallCameraUsage, HelpListsInstallBesideUninstall) {
    const std::string out = test::PipeWireSession().run(TARVELLO_SERVER_PATH, {"--help"});
    EXPECT_NE(out.find("--install-camera"), std::string::npos) << out;
    EXPECT_NE(out.find("--uninstall-camera"), std::string::npos) << out;
}

}  // namespace
}  // namespace tarvello

#endif
