#ifdef TARVELLO_HAVE_ATSPI

#include "platform/linux/linux_accessibility.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <mutex>
#include <sstream>

#include "app/settings.h"
#include "app/settings_store.h"
#include "input/text_watcher.h"
#include "platform/linux/child_process.h"
#include "platform/linux/session_bus.h"
#include "platform/linux/session_command.h"
#include "platform/linux/xvfb_server.h"
#include "platform/platform.h"
#include "server/server.h"
#include "support/peer_process.h"
#include "support/watcher_reports.h"
#include "x_test_support.h"

namespace tarvello::test {
namespace {

const std::string kFixture = (std::filesystem::path(__FILE__).parent_path() / "../../fixtures/ax_fixture.py")
                                 .lexically_normal()
                                 .string();

// Why the real accessibility stack cannot run here, or empty when it can.
std::string missingPieces() {
    if (!linuxPlatformAvailable()) return "Xvfb is not installed";
    if (findOnPath("dbus-daemon").empty()) return "dbus-daemon is not installed";
    if (access("/usr/share/defaults/at-spi2/accessibility.conf", R_OK) != 0)
        return "at-spi2-core is not installed";
    ChildSpec probe;
    probe.path = "/usr/bin/python3";
    probe.args = {"python3", "-c", "import gi; gi.require_version('Gtk', '3.0')"};
    probe.env = environmentWith({});
    std::string error;
    const pid_t pid = access(probe.path.c_str(), X_OK) == 0 ? spawnChild(probe, error) : -1;
    int status = -1;
    if (pid > 0) waitpid(pid, &status, 0);
    if (status != 0) return "/usr/bin/python3 with GTK 3 bindings (python3-gi, gir1.2-gtk-3.0) is missing";
    return {};
}

// The GTK fixture as a session command, spoken to through two FIFOs the test holds open
// for both ends, so neither side blocks on opening them.
class GtkFixture {
public:
    GtkFixture() {
        dir_ = makeScratchDirectory("tarvello-ax-test");
        mkfifo((dir_ + "/in").c_str(), 0600);
        mkfifo((dir_ + "/out").c_str(), 0600);
        in_ = open((dir_ + "/in").c_str(), O_RDWR | O_CLOEXEC);
        out_ = open((dir_ + "/out").c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
    }
    ~GtkFixture() {
        if (in_ >= 0) close(in_);
        if (out_ >= 0) close(out_);
        std::filesystem::remove_all(dir_);
    }

    std::string command() const {
        return "exec /usr/bin/python3 " + kFixture + " < " + dir_ + "/in > " + dir_ + "/out";
    }

    void send(const std::string& line) {
        const std::string l = line + "\n";
        EXPECT_EQ(write(in_, l.data(), l.size()), ssize_t(l.size()));
    }

    // The next line the fixture prints, or empty after `timeout` seconds.
    std::string readLine(double timeout = 20) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
        while (buffer_.find('\n') == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return {};
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, int(left.count())) <= 0) continue;
            char buf[256];
            const ssize_t n = read(out_, buf, sizeof buf);
            if (n > 0) buffer_.append(buf, size_t(n));
        }
        const auto end = buffer_.find('\n');
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return line;
    }

    std::string ask(const std::string& line) {
        send(line);
        return readLine(10);
    }

private:
    std::string dir_, buffer_;
    int in_ = -1, out_ = -1;
};

struct Geometry {
    double x0 = 0, y0 = 0, x1 = 0, y1 = 0, width = 0, height = 0;
};

Geometry parseGeometry(const std::string& line) {
    std::istringstream in(line);
    std::string tag;
    Geometry g;
    in >> tag >> g.x0 >> g.y0 >> g.x1 >> g.y1 >> g.width >> g.height;
    EXPECT_EQ(tag, "geometry") << line;
    return g;
}

// Counts polls: each begins with ready().
class CountingAccessibility final : public AccessibilityFacility {
public:
    explicit CountingAccessibility(std::shared_ptr<AccessibilityFacility> inner) : inner_(std::move(inner)) {}
    bool ready(uint32_t d) override {
        polls++;
        return inner_->ready(d);
    }
    bool interrupted() override { return inner_->interrupted(); }
    std::optional<int32_t> frontmostProcess() override { return inner_->frontmostProcess(); }
    void requestEnhanced(int32_t pid) override { inner_->requestEnhanced(pid); }
    AxElementRef focusedElement(std::optional<int32_t> pid) override { return inner_->focusedElement(pid); }
    std::optional<std::string> role(const AxElement& e) override { return inner_->role(e); }
    bool secure(const AxElement& e) override { return inner_->secure(e); }
    bool editable(const AxElement& e) override { return inner_->editable(e); }
    std::optional<AxTextRange> selectedRange(const AxElement& e) override { return inner_->selectedRange(e); }
    std::optional<AxRect> characterBounds(const AxElement& e, int64_t i) override {
        return inner_->characterBounds(e, i);
    }
    std::optional<AxRect> displayBounds(uint32_t d) override { return inner_->displayBounds(d); }
    std::atomic<int> polls{0};

private:
    std::shared_ptr<AccessibilityFacility> inner_;
};

// The watcher over AT-SPI, on a private display whose session is the GTK fixture.
class LinuxAccessibilityTest : public XDisplayTest, protected WatcherReports {
protected:
    void SetUp() override {
        if (auto why = missingPieces(); !why.empty()) GTEST_SKIP() << why;
        sessionCommand = fixture.command();
        id = makeDisplay(1000, 1000, 2.0);
        ASSERT_NE(id, 0u);
        ASSERT_EQ(fixture.readLine(), "ready");
        ax = std::make_shared<CountingAccessibility>(std::make_shared<LinuxAccessibility>(facility));
        watcher = TextWatcher::create(ax);
        watcher->setDisplay(id);
        recordReports(*watcher);
        watcher->start();
    }

    void TearDown() override {
        if (watcher) watcher->shutdown();
        watcher.reset();
        XDisplayTest::TearDown();
    }

    // Waits (bounded) until the last focus report is `value`.
    bool focusBecomes(bool value, double timeout = 5) {
        return until([&] { return !focus.empty() && focus.back() == value; }, timeout);
    }

    template <class Pred>
    bool until(Pred pred, double timeout) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
        while (std::chrono::steady_clock::now() < deadline) {
            {
                std::lock_guard lock(mutex);
                if (pred()) return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    GtkFixture fixture;
    uint32_t id = 0;
    std::shared_ptr<CountingAccessibility> ax;
    std::shared_ptr<TextWatcher> watcher;
};

TEST_F(LinuxAccessibilityTest, FocusAndSelectionFollowTheGtkWindow) {
    EXPECT_EQ(fixture.ask("focus button"), "ok");
    EXPECT_EQ(fixture.ask("focus entry"), "ok");
    ASSERT_TRUE(focusBecomes(true)) << "the entry is a text input";

    const Geometry g = parseGeometry(fixture.ask("select entry 6 11"));
    ASSERT_GT(g.width, 0);
    // Focusing the entry selected all of it first; wait for the new selection to arrive.
    until(
        [&] {
            return !selections.empty() && selections.back() &&
                   std::abs(selections.back()->start.x * g.width - g.x0) < 3;
        },
        5);
    ASSERT_TRUE(!selections.empty() && selections.back());
    Selection s;
    {
        std::lock_guard lock(mutex);
        s = *selections.back();
    }
    // Within 2 px of the X geometry of "w" (left edge) and "d" (right edge), although GTK
    // reports its coordinates at half that scale.
    EXPECT_NEAR(s.start.x * g.width, g.x0, 2.0);
    EXPECT_NEAR(s.start.y * g.height, g.y0, 2.0);
    EXPECT_NEAR(s.end.x * g.width, g.x1, 2.0);
    EXPECT_NEAR(s.end.y * g.height, g.y1, 2.0);
    EXPECT_GT(s.height, 0);

    EXPECT_EQ(fixture.ask("focus text"), "ok");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(focus.back(), true) << "the text view is a text input as well";
        EXPECT_FALSE(selections.back()) << "the entry's selection went with its focus";
    }
    EXPECT_EQ(fixture.ask("focus button"), "ok");
    EXPECT_TRUE(focusBecomes(false));
}

TEST_F(LinuxAccessibilityTest, AnApplicationThatStopsAnsweringDoesNotHoldUpThePolls) {
    EXPECT_EQ(fixture.ask("focus entry"), "ok");
    ASSERT_TRUE(focusBecomes(true));
    const size_t reportsBefore = [&] {
        std::lock_guard lock(mutex);
        return focus.size();
    }();
    EXPECT_EQ(fixture.ask("hang 2"), "hung");
    const int pollsBefore = ax->polls.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(1800));
    const int polls = ax->polls.load() - pollsBefore;
    // A poll starts 150 ms after the previous one ended: were each held up by more than
    // 0.3 s, at most four would fit the 1.8 s (calls that waited out the hang: one).
    EXPECT_GE(polls, 5);
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(focus.size(), reportsBefore) << "no focus change made up from the silence";
    }
    // Answering again (once the hang is over): the next change gets through.
    EXPECT_EQ(fixture.ask("focus button"), "ok");
    EXPECT_TRUE(focusBecomes(false));
}

// The real server, its session display running the fixture, and tarvello-peer as the phone.
TEST(LinuxAccessibilityEndToEndTest, ThePhoneHearsOfTextFocusAndSelection) {
    if (auto why = missingPieces(); !why.empty()) GTEST_SKIP() << why;
    GtkFixture fixture;
    auto store = std::make_shared<MemoryStore>();
    store->setString(SettingsKey::token, "482913");
    store->setString(SettingsKey::sessionCommand, fixture.command());
    Settings::useStore(store);
    ServerOptions options;
    options.controlPort = 0;
    options.videoPort = 0;
    options.bindAddress = "127.0.0.1";
    auto server = Server::create(makeLinuxPlatform(), options);
    ASSERT_TRUE(server->start());
    PeerProcess peer(server->controlPort(), server->videoPort(),
                     {"--code", "482913", "--size", "1000x1000", "--seconds", "60"});
    ASSERT_TRUE(peer.started());
    ASSERT_EQ(fixture.readLine(30), "ready");

    EXPECT_EQ(fixture.ask("focus entry"), "ok");
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    const Geometry g = parseGeometry(fixture.ask("select entry 6 11"));
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_EQ(fixture.ask("focus button"), "ok");
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    peer.wait(0);  // ends it: everything it heard is in its output
    server->stop();

    // In order: the entry's focus, its selections (all of it on focus, then "world"), the
    // button's focus.
    std::vector<std::string> lines;
    std::istringstream in(peer.output());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    auto find = [&](auto pred, size_t from) {
        for (size_t i = from; i < lines.size(); ++i) {
            if (pred(lines[i])) return i;
        }
        return lines.size();
    };
    const size_t focused = find([](const std::string& l) { return l == "textFocus 1"; }, 0);
    const size_t unfocused = find([](const std::string& l) { return l == "textFocus 0"; }, focused);
    ASSERT_LT(unfocused, lines.size()) << peer.output();
    std::string selection;
    for (size_t i = focused; i < unfocused; ++i) {
        if (lines[i].rfind("selection 1 ", 0) == 0) selection = lines[i];
    }
    ASSERT_FALSE(selection.empty()) << peer.output();
    std::istringstream f(selection.substr(12));
    double sx = 0, sy = 0, ex = 0, ey = 0, h = 0;
    f >> sx >> sy >> ex >> ey >> h;
    EXPECT_NEAR(sx * g.width, g.x0, 2.0) << selection;
    EXPECT_NEAR(sy * g.height, g.y0, 2.0) << selection;
    EXPECT_NEAR(ex * g.width, g.x1, 2.0) << selection;
    EXPECT_NEAR(ey * g.height, g.y1, 2.0) << selection;
    EXPECT_GT(h, 0.0);
}

}  // namespace
}  // namespace tarvello::test

#endif  // TARVELLO_HAVE_ATSPI
