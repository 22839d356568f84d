#include "platform/linux/linux_camera.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "base/child_process.h"
#include "platform/sim/sim_platform.h"
#include "protocol/camera_feed.h"
#include "support/eventually.h"
#include "support/log_capture.h"

namespace tarvello {
namespace {

struct TempDir {
    TempDir() {
        char d[] = "/tmp/tarvello-camera-XXXXXX";
        path = mkdtemp(d);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::filesystem::path path;
};

// The extension's end of the socket, played by the test.
class FakeExtension {
public:
    explicit FakeExtension(const std::string& path) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
        listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        unlink(path.c_str());
        bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(listenFd_, 2);
    }
    ~FakeExtension() {
        if (client_ >= 0) close(client_);
        close(listenFd_);
    }
    bool accept(double seconds = 5.0) {
        pollfd p{listenFd_, POLLIN, 0};
        if (poll(&p, 1, int(seconds * 1000)) != 1) return false;
        client_ = ::accept(listenFd_, nullptr, nullptr);
        return client_ >= 0;
    }
    void status(uint8_t b) { ASSERT_EQ(write(client_, &b, 1), 1); }
    void dropClient() {
        close(client_);
        client_ = -1;
    }
    // Reads exactly n bytes, bounded in time.
    std::vector<uint8_t> read(size_t n, double seconds = 5.0) {
        std::vector<uint8_t> out(n);
        size_t got = 0;
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (got < n && std::chrono::steady_clock::now() < end) {
            pollfd p{client_, POLLIN, 0};
            if (poll(&p, 1, 100) != 1) continue;
            const ssize_t r = ::read(client_, out.data() + got, n - got);
            if (r <= 0) break;
            got += size_t(r);
        }
        out.resize(got);
        return out;
    }

private:
    int listenFd_ = -1;
    int client_ = -1;
};

std::shared_ptr<VideoFrame> picture(uint8_t luma) {
    auto f = VideoFrame::make(1280, 720);
    std::fill(f->y.begin(), f->y.end(), luma);
    return f;
}

TEST(LinuxCameraSocket, StatusBytesAndPicturesCrossTheSocket) {
    TempDir dir;
    const std::string path = (dir.path / "cam.sock").string();
    LinuxCamera::Options o;
    o.socketPath = path;
    LinuxCamera camera(o);
    EXPECT_FALSE(camera.findDevice());  // nobody serves the socket yet
    std::string error;
    EXPECT_FALSE(camera.openSink(error));
    EXPECT_NE(error.find(path), std::string::npos);

    FakeExtension ext(path);
    ASSERT_TRUE(camera.findDevice());
    ASSERT_TRUE(ext.accept());
    EXPECT_FALSE(camera.readUse().inUse.has_value());  // no status byte yet
    ext.status('1');
    ASSERT_TRUE(test::eventually([&] { return camera.readUse().inUse == true; }));
    EXPECT_TRUE(camera.readUse().runningSomewhere);

    EXPECT_FALSE(camera.sinkHasRoom());  // not open
    ASSERT_TRUE(camera.openSink(error));
    ASSERT_TRUE(camera.sinkHasRoom());
    camera.pushPicture(picture(77));
    camera.pushPicture(picture(99));  // sink busy: refused, not queued
    const size_t pictureBytes = size_t(1280) * 720 * 3 / 2;
    auto first = ext.read(camerafeed::kHeaderSize + pictureBytes);
    ASSERT_EQ(first.size(), camerafeed::kHeaderSize + pictureBytes);
    auto h = camerafeed::decodeHeader(first);
    ASSERT_TRUE(h);
    EXPECT_EQ(h->sequence, 0u);
    EXPECT_EQ(h->stride, 1280u);
    EXPECT_EQ(first[camerafeed::kHeaderSize], 77);
    EXPECT_EQ(first.back(), 128);
    ASSERT_TRUE(test::eventually([&] { return camera.sinkHasRoom(); }));
    camera.pushPicture(picture(55));
    auto second = ext.read(camerafeed::kHeaderSize + pictureBytes);
    ASSERT_EQ(second.size(), first.size());
    EXPECT_EQ(camerafeed::decodeHeader(second)->sequence, 1u);
    EXPECT_EQ(second[camerafeed::kHeaderSize], 55);
    EXPECT_TRUE(ext.read(1, 0.2).empty());  // the refused picture never went out

    ext.status('0');
    ASSERT_TRUE(test::eventually([&] { return camera.readUse().inUse == false; }));
    camera.closeSink();
    EXPECT_FALSE(camera.sinkHasRoom());

    // The extension goes away and comes back: the next poll reconnects.
    ext.dropClient();
    ASSERT_TRUE(test::eventually([&] { return !camera.readUse().inUse.has_value(); }));
    ASSERT_TRUE(camera.findDevice());
    ASSERT_TRUE(ext.accept());
}

TEST(LinuxCameraSocket, PicturesOfAnotherSizeAreNotSent) {
    TempDir dir;
    const std::string path = (dir.path / "cam.sock").string();
    FakeExtension ext(path);
    LinuxCamera::Options o;
    o.socketPath = path;
    LinuxCamera camera(o);
    ASSERT_TRUE(camera.findDevice());
    ASSERT_TRUE(ext.accept());
    std::string error;
    ASSERT_TRUE(camera.openSink(error));
    camera.pushPicture(VideoFrame::make(640, 480));
    camera.pushPicture(nullptr);
    EXPECT_TRUE(ext.read(1, 0.2).empty());
    EXPECT_TRUE(camera.sinkHasRoom());
}

// Sets or clears XDG_RUNTIME_DIR for one test and puts the old value back.
class RuntimeDirOverride {
public:
    explicit RuntimeDirOverride(const char* value) {
        if (const char* old = std::getenv("XDG_RUNTIME_DIR")) saved_ = old;
        if (value) {
            setenv("XDG_RUNTIME_DIR", value, 1);
        } else {
            unsetenv("XDG_RUNTIME_DIR");
        }
    }
    ~RuntimeDirOverride() {
        if (saved_) {
            setenv("XDG_RUNTIME_DIR", saved_->c_str(), 1);
        } else {
            unsetenv("XDG_RUNTIME_DIR");
        }
    }

private:
    std::optional<std::string> saved_;
};

TEST(LinuxCameraSocketPlace, OnlyAPrivateRuntimeDirectoryHoldsTheSocket) {
    TempDir dir;
    const auto runtime = dir.path / "runtime";
    std::filesystem::create_directory(runtime);
    std::string why;
    struct Case {
        const char* name;
        std::optional<std::string> value;
        mode_t mode;
        const char* reason;  // empty when the directory is fit
    };
    for (const Case& c : {Case{"unset", std::nullopt, 0700, "not set"}, Case{"empty", "", 0700, "not set"},
                          Case{"relative", "run/user", 0700, "absolute"},
                          Case{"missing", (dir.path / "gone").string(), 0700, "not a directory"},
                          Case{"groupReadable", runtime.string(), 0750, "open to other users"},
                          Case{"shared", runtime.string(), 01777, "open to other users"},
                          Case{"private", runtime.string(), 0700, ""}}) {
        chmod(runtime.c_str(), c.mode);
        RuntimeDirOverride env(c.value ? c.value->c_str() : nullptr);
        why.clear();
        const auto path = camerafeed::defaultSocketPath(why);
        if (*c.reason) {
            EXPECT_FALSE(path) << c.name;
            EXPECT_NE(why.find(c.reason), std::string::npos) << c.name << ": " << why;
        } else {
            EXPECT_EQ(path, (runtime / camerafeed::kSocketName).string()) << c.name;
        }
    }
}

TEST(LinuxCameraSocketPlace, WithoutARuntimeDirectoryTheCameraSaysSoAndStaysOff) {
    RuntimeDirOverride env(nullptr);
    test::LogCapture logs;
    LinuxCamera::Options o;
    o.extensionPath = "/bin/true";
    o.useSystemd = false;
    LinuxCamera camera(o);
    EXPECT_TRUE(camera.socketPath().empty());
    EXPECT_TRUE(logs.contains("no private runtime directory"));
    EXPECT_FALSE(camera.findDevice());
    std::promise<std::optional<std::string>> outcome;
    camera.submitRequest(true, [&](std::optional<std::string> e) { outcome.set_value(e); });
    auto f = outcome.get_future();
    ASSERT_EQ(f.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    const auto error = f.get();
    ASSERT_TRUE(error);
    EXPECT_NE(error->find("XDG_RUNTIME_DIR"), std::string::npos) << *error;
    EXPECT_EQ(camera.childPid(), 0);  // nothing was started to listen in /tmp
}

#ifdef TARVELLO_CAMERA_PATH
TEST(LinuxCameraSocketPlace, TheExtensionRefusesToStartWithoutARuntimeDirectory) {
    TempDir dir;
    const auto err = dir.path / "stderr";
    const std::string command =
        "env -u XDG_RUNTIME_DIR " + std::string(TARVELLO_CAMERA_PATH) + " 2>" + err.string();
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    std::ifstream in(err);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("no private runtime directory"), std::string::npos) << text;
}
#endif

std::optional<std::string> request(LinuxCamera& camera, bool activate) {
    std::promise<std::optional<std::string>> outcome;
    camera.submitRequest(activate, [&](std::optional<std::string> e) { outcome.set_value(e); });
    return outcome.get_future().get();
}

TEST(LinuxCameraActivation, SystemdUserUnitIsWrittenEnabledAndRemoved) {
    TempDir dir;
    // A copy of its own, so the test can stand for a rebuilt extension.
    const auto extension = dir.path / "tarvello-camera";
    std::filesystem::copy_file("/bin/true", extension);
    auto processes = std::make_shared<SimProcesses>();
    processes->script("/fake/systemctl", {ProcessResult{0, ""}});
    LinuxCamera::Options o;
    o.socketPath = (dir.path / "cam.sock").string();
    o.extensionPath = extension.string();
    o.useSystemd = true;
    o.unitDirectory = dir.path / "units";
    o.processes = processes;
    o.systemctlPath = "/fake/systemctl";
    LinuxCamera camera(o);

    EXPECT_EQ(request(camera, true), std::nullopt);
    std::ifstream unitFile(camera.unitPath());
    const std::string unit{std::istreambuf_iterator<char>(unitFile), {}};
    EXPECT_NE(unit.find("ExecStart=\"" + extension.string() + "\" --socket \"" + o.socketPath + "\""),
              std::string::npos)
        << unit;
    EXPECT_NE(unit.find("Restart=on-failure"), std::string::npos);
    EXPECT_NE(unit.find("WantedBy=default.target"), std::string::npos);
    EXPECT_EQ(processes->runs(),
              (std::vector<std::string>{"/fake/systemctl --user daemon-reload",
                                        "/fake/systemctl --user enable tarvello-camera.service",
                                        "/fake/systemctl --user restart tarvello-camera.service"}));

    // Activating again (every launch, a second --install-camera) leaves the running unit be.
    EXPECT_EQ(request(camera, true), std::nullopt);
    auto runsFrom = [&](size_t first) {
        const auto all = processes->runs();
        return std::vector<std::string>(all.begin() + std::ptrdiff_t(std::min(first, all.size())), all.end());
    };
    EXPECT_EQ(runsFrom(3),
              (std::vector<std::string>{"/fake/systemctl --user enable tarvello-camera.service",
                                        "/fake/systemctl --user start tarvello-camera.service"}));

    // A rebuilt extension replaces the running copy.
    std::filesystem::last_write_time(extension,
                                     std::filesystem::last_write_time(extension) + std::chrono::seconds(5));
    EXPECT_EQ(request(camera, true), std::nullopt);
    EXPECT_EQ(runsFrom(5),
              (std::vector<std::string>{"/fake/systemctl --user daemon-reload",
                                        "/fake/systemctl --user enable tarvello-camera.service",
                                        "/fake/systemctl --user restart tarvello-camera.service"}));

    EXPECT_EQ(request(camera, false), std::nullopt);
    EXPECT_FALSE(std::filesystem::exists(camera.unitPath()));
    EXPECT_EQ(processes->runs().at(8), "/fake/systemctl --user disable --now tarvello-camera.service");

    // A failing systemctl is reported with the command and its status.
    processes->script("/fake/systemctl", {ProcessResult{0, ""}, ProcessResult{1, ""}});
    EXPECT_EQ(
        request(camera, true),
        std::optional<std::string>("systemctl --user enable tarvello-camera.service failed (status 1)"));
}

TEST(LinuxCameraActivation, MissingExtensionIsReported) {
    LinuxCamera::Options o;
    o.extensionPath = "/nonexistent/tarvello-camera";
    o.useSystemd = false;
    LinuxCamera camera(o);
    std::promise<std::optional<std::string>> done;
    camera.submitRequest(true, [&](std::optional<std::string> e) { done.set_value(e); });
    const auto error = done.get_future().get();
    ASSERT_TRUE(error);
    EXPECT_NE(error->find("/nonexistent/tarvello-camera"), std::string::npos);
}

#ifdef TARVELLO_CAMERA_PATH
// The process serving `path`, from the socket's peer credentials; 0 when none.
pid_t servingPid(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    pid_t pid = 0;
    ucred peer{};
    socklen_t size = sizeof peer;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0)
        pid = peer.pid;
    close(fd);
    return pid;
}

TEST(LinuxCameraActivation, AnExtensionStartedToOutliveUsIsKeptThenStoppedByRemoval) {
    TempDir dir;
    LinuxCamera::Options o;
    o.socketPath = (dir.path / "cam.sock").string();
    o.extensionPath = TARVELLO_CAMERA_PATH;
    o.useSystemd = false;
    o.childOutlivesUs = true;
    o.childEnvironment = {"XDG_RUNTIME_DIR=" + dir.path.string(), "PIPEWIRE_RUNTIME_DIR=" + dir.path.string(),
                          "TARVELLO_CAMERA_NO_JOURNAL=1"};
    pid_t extension = 0;
    struct EndExtension {
        const std::string& path;
        ~EndExtension() {
            if (const pid_t pid = servingPid(path); pid > 0) endChild(pid, SIGTERM, 3.0, false);
        }
    } endExtension{o.socketPath};
    {
        LinuxCamera installer(o);
        ASSERT_EQ(request(installer, true), std::nullopt);
        ASSERT_TRUE(test::eventually([&] { return (extension = servingPid(o.socketPath)) > 0; }));
        EXPECT_EQ(installer.childPid(), 0);  // not supervised: nothing here restarts or stops it
        // Asked again, the one already serving is kept.
        ASSERT_EQ(request(installer, true), std::nullopt);
    }
    // The facility that started it is gone; the extension is not.
    EXPECT_FALSE(childExited(extension));
    EXPECT_EQ(servingPid(o.socketPath), extension);
    EXPECT_EQ(getsid(extension), extension);  // no hang-up of our terminal reaches it

    // Removal by a later process, which did not start it, still ends it.
    LinuxCamera::Options later = o;
    later.childOutlivesUs = false;
    LinuxCamera remover(later);
    EXPECT_EQ(request(remover, false), std::nullopt);
    EXPECT_TRUE(test::eventually([&] { return childExited(extension); }));
    EXPECT_FALSE(remover.findDevice());
}

TEST(LinuxCameraActivation, RemovalLeavesAProcessOtherThanTheExtensionAlone) {
    TempDir dir;
    const std::string path = (dir.path / "cam.sock").string();
    FakeExtension other(path);  // served by this test's own process
    LinuxCamera::Options o;
    o.socketPath = path;
    o.extensionPath = TARVELLO_CAMERA_PATH;
    o.useSystemd = false;
    LinuxCamera camera(o);
    EXPECT_EQ(request(camera, false), std::nullopt);
    EXPECT_TRUE(camera.findDevice());  // still served
    EXPECT_TRUE(other.accept());
}

TEST(LinuxCameraActivation, SelfStartedExtensionIsRestartedAndStoppedOnRemoval) {
    TempDir dir;
    LinuxCamera::Options o;
    o.socketPath = (dir.path / "cam.sock").string();
    o.extensionPath = TARVELLO_CAMERA_PATH;
    o.useSystemd = false;
    o.restartDelay = 0.05;
    // No PipeWire here: the extension serves its socket all the same.
    o.childEnvironment = {"XDG_RUNTIME_DIR=" + dir.path.string(), "PIPEWIRE_RUNTIME_DIR=" + dir.path.string(),
                          "TARVELLO_CAMERA_NO_JOURNAL=1"};
    LinuxCamera camera(o);
    std::promise<std::optional<std::string>> activated;
    camera.submitRequest(true, [&](std::optional<std::string> e) { activated.set_value(e); });
    ASSERT_EQ(activated.get_future().get(), std::nullopt);
    const pid_t first = camera.childPid();
    ASSERT_GT(first, 0);
    ASSERT_TRUE(test::eventually([&] { return camera.findDevice(); }));
    EXPECT_TRUE(test::eventually([&] { return camera.readUse().inUse == std::optional<bool>(false); }));

    kill(first, SIGKILL);
    ASSERT_TRUE(test::eventually([&] { return camera.childPid() > 0 && camera.childPid() != first; }));
    ASSERT_TRUE(test::eventually([&] { return camera.findDevice(); }));

    std::promise<std::optional<std::string>> removed;
    camera.submitRequest(false, [&](std::optional<std::string> e) { removed.set_value(e); });
    ASSERT_EQ(removed.get_future().get(), std::nullopt);
    EXPECT_EQ(camera.childPid(), 0);
    EXPECT_TRUE(test::eventually([&] { return !camera.readUse().inUse.has_value(); }));
}
#endif

}  // namespace
}  // namespace tarvello
