#ifdef TARVELLO_HAVE_PULSE

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <atomic>
#include <charconv>
#include <fstream>
#include <thread>

#include "audio/audio_install.h"
#include "audio/audio_test_support.h"
#include "audio/pulse_daemon.h"
#include "audio/sound_defaults.h"
#include "platform/linux/linux_audio.h"
#include "support/test_phone.h"

// The built program, stopped by signals and started twice, against a private sound
// server with the user's own devices as defaults.
namespace tarvello::test {
namespace {

constexpr const char* kPairingCode = "123456";

std::string readText(const std::filesystem::path& p) {
    std::ifstream in(p);
    return {std::istreambuf_iterator<char>(in), {}};
}

class Tarvello {
public:
    Tarvello(const std::filesystem::path& output, std::vector<std::string> args, std::vector<std::string> env)
        : output_(output) {
        ChildSpec spec;
        spec.path = TARVELLO_SERVER_PATH;
        spec.args = {"tarvello", "--headless"};
        spec.args.insert(spec.args.end(), args.begin(), args.end());
        spec.env = std::move(env);
        spec.deathSignal = SIGKILL;
        spec.ownProcessGroup = true;
        spec.outputPath = output.string();
        std::string error;
        pid_ = spawnChild(spec, error);
    }
    ~Tarvello() {
        if (pid_ > 0 && !status_) endChild(pid_, SIGKILL, 5.0, true);
    }
    Tarvello(const Tarvello&) = delete;
    Tarvello& operator=(const Tarvello&) = delete;

    bool started() const { return pid_ > 0; }
    std::string output() const { return readText(output_); }
    void signal(int sig) const { ::kill(pid_, sig); }

    // The wait status once it ended, within `seconds`; nothing when it still runs.
    std::optional<int> exitStatus(double seconds = 20) {
        eventually(
            [&] {
                int status = 0;
                if (!status_ && ::waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
                return status_.has_value();
            },
            seconds);
        return status_;
    }

    uint16_t port(const std::string& what) const {
        const auto text = output();
        const auto at = text.find(what + " ");
        if (at == std::string::npos) return 0;
        unsigned value = 0;
        const char* digits = text.c_str() + at + what.size() + 1;
        std::from_chars(digits, text.c_str() + text.size(), value);
        return uint16_t(value);
    }
    uint16_t controlPort() const { return port("Control listening on TCP"); }
    uint16_t videoPort() const { return port("Video listening on UDP"); }

private:
    std::filesystem::path output_;
    pid_t pid_ = -1;
    std::optional<int> status_;
};

class RunningCopyTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(PulseDaemon::available()) << "pulseaudio is not installed (scripts/install-deps.sh)";
        ASSERT_FALSE(findOnPath("Xvfb").empty()) << "Xvfb is not installed (scripts/install-deps.sh)";
        ASSERT_TRUE(daemon.start()) << daemon.log();
        env = std::make_unique<ClientEnvironment>(daemon.clientEnv());
        observer = installOnUsersDefaults(daemon);
        ASSERT_TRUE(observer) << daemon.log();

        configDir = daemon.root / "tarvello";
        std::filesystem::create_directories(configDir);
        std::ofstream(configDir / "settings.json")
            << "{\"token\": \"" << kPairingCode << "\", \"cameraActivated\": true}\n";

        // The camera activation goes through systemd when a user manager runs: a stand-in
        // systemctl records every call, so a touched camera unit shows.
        const auto bin = daemon.root / "bin";
        std::filesystem::create_directories(bin);
        std::filesystem::create_directories(daemon.runtime / "systemd");
        std::ofstream(daemon.runtime / "systemd" / "private");
        systemctlCalls = daemon.root / "systemctl.calls";
        std::ofstream(bin / "systemctl") << "#!/bin/sh\necho \"$@\" >> " << systemctlCalls.string() << "\n";
        std::filesystem::permissions(bin / "systemctl", std::filesystem::perms::owner_all);
        const char* path = std::getenv("PATH");
        auto overrides = daemon.clientEnv();
        overrides.push_back("PATH=" + bin.string() + ":" + (path ? path : "/usr/bin:/bin"));
        childEnv = environmentWith(overrides, {"DISPLAY"});
    }

    void TearDown() override {
        observer.reset();
        daemon.stop();
        env.reset();
    }

    std::unique_ptr<Tarvello> launch(const std::string& log, std::vector<std::string> extra = {},
                                     uint16_t controlPort = 0, uint16_t videoPort = 0) {
        std::vector<std::string> args = {"--platform",     "linux",
                                         "--config-dir",   configDir.string(),
                                         "--control-port", std::to_string(controlPort),
                                         "--video-port",   std::to_string(videoPort),
                                         "--bind",         "127.0.0.1"};
        args.insert(args.end(), extra.begin(), extra.end());
        return std::make_unique<Tarvello>(daemon.root / log, std::move(args), childEnv);
    }

    std::unique_ptr<TestPhone> registeredPhone(const Tarvello& t, const std::string& code = kPairingCode) {
        auto p = std::make_unique<TestPhone>();
        EXPECT_TRUE(p->connect(t.controlPort()));
        auto ack = p->hello(code + "\nPhone", 321, 241);
        EXPECT_TRUE(ack && ack->accepted);
        EXPECT_TRUE(p->openUdp());
        if (ack) {
            EXPECT_TRUE(p->sendUdp(t.videoPort(), buildRegistration(ack->sessionId)));
        }
        return p;
    }

    PulseDaemon daemon;
    std::unique_ptr<ClientEnvironment> env;
    std::shared_ptr<LinuxAudio> observer;
    std::filesystem::path configDir, systemctlCalls;
    std::vector<std::string> childEnv;
};

class StopSignalTest : public RunningCopyTest, public ::testing::WithParamInterface<int> {};

TEST_P(StopSignalTest, EndsTheSessionGivesTheSoundBackAndExitsZero) {
    const int sig = GetParam();
    auto tarvello = launch("tarvello.log");
    ASSERT_TRUE(tarvello->started());
    ASSERT_TRUE(eventually([&] { return tarvello->videoPort() != 0; })) << tarvello->output();
    auto phone = registeredPhone(*tarvello);
    ASSERT_TRUE(eventually([&] { return defaultsAreOurs(*observer); }, 20))
        << describeDefaults(*observer) << tarvello->output();

    tarvello->signal(sig);
    const auto status = tarvello->exitStatus();
    ASSERT_TRUE(status) << "still running after " << strsignal(sig) << "\n" << tarvello->output();
    EXPECT_TRUE(WIFEXITED(*status)) << "ended by signal " << (WIFSIGNALED(*status) ? WTERMSIG(*status) : 0);
    EXPECT_EQ(WIFEXITED(*status) ? WEXITSTATUS(*status) : -1, 0);
    EXPECT_TRUE(defaultsAreTheUsers(*observer)) << describeDefaults(*observer);
    const auto text = tarvello->output();
    EXPECT_NE(text.find(std::string("Stopping on SIG") + sigabbrev_np(sig)), std::string::npos) << text;
    EXPECT_TRUE(phone->waitClosed());
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignalTest, ::testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& p) {
                             return std::string(sigabbrev_np(p.param));
                         });

TEST_F(RunningCopyTest, SecondCopyLeavesTheRunningSessionAlone) {
    auto first = launch("first.log");
    ASSERT_TRUE(eventually([&] { return first->videoPort() != 0; })) << first->output();
    auto phone = registeredPhone(*first);
    ASSERT_TRUE(eventually([&] { return defaultsAreOurs(*observer); }, 20))
        << describeDefaults(*observer) << first->output();
    ASSERT_TRUE(eventually([&] { return readText(systemctlCalls).find("restart") != std::string::npos; }))
        << "the first copy's launch did not activate the camera\n"
        << first->output();
    ASSERT_TRUE(eventually([&] { return first->output().find("Mac sound now plays") != std::string::npos; }))
        << first->output();
    std::filesystem::remove(systemctlCalls);
    const auto unit = daemon.config / "systemd" / "user";
    std::filesystem::remove_all(unit);

    auto second = launch("second.log", {}, first->controlPort(), first->videoPort());
    const auto status = second->exitStatus();
    ASSERT_TRUE(status) << second->output();
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1) << second->output();
    EXPECT_NE(second->output().find("Could not open the listening ports"), std::string::npos);

    EXPECT_TRUE(defaultsAreOurs(*observer)) << describeDefaults(*observer);
    EXPECT_FALSE(std::filesystem::exists(systemctlCalls)) << readText(systemctlCalls);
    EXPECT_FALSE(std::filesystem::exists(unit));

    // Sound played the way any application plays still reaches the phone.
    std::vector<int16_t> tone;
    for (double v : sine(1000, 0.5, 48000)) {
        tone.push_back(int16_t(std::lround(v * 32767)));
        tone.push_back(int16_t(std::lround(v * 32767)));
    }
    const auto bytes = pcm16le(tone);
    std::ofstream(daemon.root / "tone.raw", std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    const pid_t player = daemon.spawnTool(
        "pacat",
        {"--raw", "--format=s16le", "--rate=48000", "--channels=2", (daemon.root / "tone.raw").string()},
        daemon.root / "pacat.out");
    bool heard = false;
    for (int i = 0; i < 20000 && !heard; ++i) {
        auto d = phone->recvUdp(5);
        ASSERT_TRUE(d) << "the first copy stopped streaming\n" << first->output();
        auto h = VideoPacketHeader::decode(*d);
        if (!h || h->codec != 0x10) continue;
        for (int16_t s : fromPcm16le(std::span<const uint8_t>(*d).subspan(16)))
            if (std::abs(s) > 8000) heard = true;
    }
    endChild(player, SIGKILL, 2.0, false);
    EXPECT_TRUE(heard);
}

TEST_F(RunningCopyTest, SecondCopyWithNewCodeHandsItToTheRunningCopy) {
    auto first = launch("first.log");
    ASSERT_TRUE(eventually([&] { return first->videoPort() != 0; })) << first->output();

    auto second = launch("second.log", {"--new-code"}, first->controlPort(), first->videoPort());
    const auto status = second->exitStatus();
    ASSERT_TRUE(status) << second->output();
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << second->output();
    const auto text = second->output();
    const auto at = text.find("Code: ");
    ASSERT_NE(at, std::string::npos) << text;
    const std::string code = text.substr(at + 6, 6);
    EXPECT_NE(code, kPairingCode);
    EXPECT_NE(text.find("already running"), std::string::npos) << text;
    EXPECT_NE(readText(configDir / "settings.json").find(code), std::string::npos);

    TestPhone stale;
    ASSERT_TRUE(stale.connect(first->controlPort()));
    auto refused = stale.hello(std::string(kPairingCode) + "\nPhone", 321, 241);
    ASSERT_TRUE(refused);
    EXPECT_FALSE(refused->accepted);

    registeredPhone(*first, code);  // accepted: checked inside
}

// Stands in for the camera extension: counts the connections to its socket and tells
// each one the camera is in use, as the extension does when an application reads it.
class CountingCameraSocket {
public:
    explicit CountingCameraSocket(const std::filesystem::path& path) {
        listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        listening_ = ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                     ::listen(listener_, 8) == 0;
        thread_ = std::thread([this] {
            for (;;) {
                const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd < 0) return;
                const char inUse = '1';
                (void)!::write(fd, &inUse, 1);
                accepted_.push_back(fd);
                ++connections_;
            }
        });
    }
    ~CountingCameraSocket() {
        ::shutdown(listener_, SHUT_RDWR);  // wakes accept()
        thread_.join();
        ::close(listener_);
        for (int fd : accepted_) ::close(fd);
    }
    bool listening() const { return listening_; }
    int connections() const { return connections_; }

private:
    int listener_ = -1;
    bool listening_ = false;
    std::thread thread_;
    std::vector<int> accepted_;  // the accept thread's until it ended
    std::atomic<int> connections_{0};
};

// The extension keeps only its newest client: a second connection from this process
// would take the picture away from the first.
TEST_F(RunningCopyTest, ActivationAndSessionShareOneCameraConnection) {
    // Not activated yet: finding the running extension is what the launch activates on.
    std::ofstream(configDir / "settings.json") << "{\"token\": \"" << kPairingCode << "\"}\n";
    CountingCameraSocket extension(daemon.runtime / "tarvello-camera.sock");
    ASSERT_TRUE(extension.listening());

    auto tarvello = launch("tarvello.log");
    ASSERT_TRUE(eventually([&] { return tarvello->videoPort() != 0; })) << tarvello->output();
    ASSERT_TRUE(eventually([&] { return extension.connections() > 0; })) << tarvello->output();
    auto phone = registeredPhone(*tarvello);
    const auto request = phone->waitFor(MsgType::cameraRequest, 20);
    ASSERT_TRUE(request) << "the session never read the camera's in-use value\n" << tarvello->output();
    EXPECT_EQ(extension.connections(), 1) << tarvello->output();
}

}  // namespace
}  // namespace tarvello::test

#endif  // TARVELLO_HAVE_PULSE
