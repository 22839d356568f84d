#ifdef TARVELLO_HAVE_ATSPI

#include "platform/linux/linux_accessibility.h"

#include <dbus/dbus.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "base/child_process.h"
#include "base/settings.h"
#include "base/settings_store.h"
#include "gtk_fixture.h"
#include "input/text_watcher.h"
#include "platform/linux/session_bus.h"
#include "platform/linux/session_command.h"
#include "platform/linux/xvfb_server.h"
#include "platform/platform.h"
#include "server/server.h"
#include "support/eventually.h"
#include "support/peer_process.h"
#include "support/require.h"
#include "support/watcher_reports.h"
#include "x_test_support.h"

namespace tarvello::test {
namespace {

// Why the real accessibility stack cannot run here, or empty when it can.
std::string missingPieces() {
    if (!linuxPlatformAvailable()) return "Xvfb is not installed";
    if (findOnPath("dbus-daemon").empty()) return "dbus-daemon is not installed";
    if (access("/usr/share/defaults/at-spi2/accessibility.conf", R_OK) != 0)
        return "at-spi2-core is not installed";
    return GtkFixture::missing();
}

// org.a11y.Status.IsEnabled as the session bus's accessibility launcher reports it.
std::optional<bool> accessibilityEnabled(const std::string& address) {
    DBusError error;
    dbus_error_init(&error);
    DBusConnection* bus = dbus_connection_open_private(address.c_str(), &error);
    std::optional<bool> out;
    if (bus && dbus_bus_register(bus, &error)) {
        DBusMessage* m = dbus_message_new_method_call("org.a11y.Bus", "/org/a11y/bus",
                                                      "org.freedesktop.DBus.Properties", "Get");
        const char* interface = "org.a11y.Status";
        const char* property = "IsEnabled";
        dbus_message_append_args(m, DBUS_TYPE_STRING, &interface, DBUS_TYPE_STRING, &property,
                                 DBUS_TYPE_INVALID);
        DBusMessage* reply = dbus_connection_send_with_reply_and_block(bus, m, 5000, &error);
        DBusMessageIter it, variant;
        if (reply && dbus_message_iter_init(reply, &it) &&
            dbus_message_iter_get_arg_type(&it) == DBUS_TYPE_VARIANT) {
            dbus_message_iter_recurse(&it, &variant);
            if (dbus_message_iter_get_arg_type(&variant) == DBUS_TYPE_BOOLEAN) {
                dbus_bool_t on = FALSE;
                dbus_message_iter_get_basic(&variant, &on);
                out = on;
            }
        }
        if (reply) dbus_message_unref(reply);
        dbus_message_unref(m);
    }
    dbus_error_free(&error);
    if (bus) {
        dbus_connection_close(bus);
        dbus_connection_unref(bus);
    }
    return out;
}

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
        if (auto why = missingPieces(); !why.empty()) TARVELLO_SKIP_MISSING(why);
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

    // Waits until the reports satisfy `pred`, read under the reports' lock.
    template <class Pred>
    bool reported(Pred pred, double timeout = 10) {
        return eventually(
            [&] {
                std::lock_guard lock(mutex);
                return pred();
            },
            timeout);
    }

    bool focusBecomes(bool value) {
        return reported([&] { return !focus.empty() && focus.back() == value; });
    }

    size_t focusReports() {
        std::lock_guard lock(mutex);
        return focus.size();
    }

    // Waits until `n` more polls have begun: the ones before the last have ended.
    bool pollsBegin(int n) {
        const int from = ax->polls.load();
        return eventually([&] { return ax->polls.load() - from >= n; });
    }

    GtkFixture fixture{"ax_fixture.py"};
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
    ASSERT_TRUE(reported([&] {
        return !selections.empty() && selections.back() &&
               std::abs(selections.back()->start.x * g.width - g.x0) < 3;
    })) << "no selection of \"world\"";
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

    // The same poll that reports the text view's focus reports the selection's end.
    const size_t focusBefore = focusReports();
    EXPECT_EQ(fixture.ask("focus text"), "ok");
    EXPECT_TRUE(reported([&] {
        return focus.size() > focusBefore && !selections.empty() && !selections.back();
    })) << "the entry's selection went with its focus";
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(focus.back(), true) << "the text view is a text input as well";
    }
    EXPECT_EQ(fixture.ask("focus button"), "ok");
    EXPECT_TRUE(focusBecomes(false));
}

TEST_F(LinuxAccessibilityTest, AnApplicationThatStopsAnsweringDoesNotHoldUpThePolls) {
    EXPECT_EQ(fixture.ask("focus entry"), "ok");
    ASSERT_TRUE(focusBecomes(true));
    const size_t reportsBefore = focusReports();
    EXPECT_EQ(fixture.ask("hang 2"), "hung");
    const int pollsBefore = ax->polls.load();
    // Three polls begun before the fixture says "awake": two ran their whole course
    // against the silent application. The count is read before the fixture's output, so
    // one seen with no "awake" after it was reached inside the hang.
    int polls = 0;
    std::string woke;
    eventually([&] {
        polls = ax->polls.load() - pollsBefore;
        woke = fixture.readLine(0);
        return polls >= 3 || !woke.empty();
    });
    EXPECT_GE(polls, 3) << "polls held up by the hang";
    EXPECT_EQ(woke, "") << "the hang ended after " << polls << " polls";
    if (woke.empty()) woke = fixture.readLine(10);
    ASSERT_EQ(woke, "awake");

    // Across the silence and the first whole poll after it: no focus change made up.
    ASSERT_TRUE(pollsBegin(2));
    EXPECT_EQ(focusReports(), reportsBefore) << "no focus change made up from the silence";
    // Answering again (once the hang is over): the next change gets through.
    EXPECT_EQ(fixture.ask("focus button"), "ok");
    EXPECT_TRUE(focusBecomes(false));
}

// Facilities on several threads share the one AT-SPI thread: every caller's questions
// reach it and every answer comes back to the caller that asked, while the watcher polls.
TEST_F(LinuxAccessibilityTest, CallersOnSeveralThreadsAllGetTheirAnswers) {
    EXPECT_EQ(fixture.ask("focus entry"), "ok");
    ASSERT_TRUE(focusBecomes(true));
    constexpr int kCallers = 3;
    std::atomic<int> answered{0};
    std::vector<std::thread> callers;
    for (int i = 0; i < kCallers; ++i) {
        callers.emplace_back([&] {
            LinuxAccessibility mine(facility);
            int rounds = 0;
            const bool ok = eventually([&] {
                if (!mine.ready(id)) return false;
                const auto element = mine.focusedElement(std::nullopt);
                if (element && mine.editable(*element) && mine.role(*element)) ++rounds;
                return rounds >= 5;
            });
            if (ok) answered++;
        });
    }
    for (auto& t : callers) t.join();
    EXPECT_EQ(answered.load(), kCallers);
}

// Toolkits that build their tree only on demand watch the launcher's IsEnabled switch.
using LinuxAccessibilityLauncherTest = XDisplayTest;

TEST_F(LinuxAccessibilityLauncherTest, AskingForEnhancedAccessibilitySwitchesTheLauncherOn) {
    if (auto why = missingPieces(); !why.empty()) TARVELLO_SKIP_MISSING(why);
    sessionCommand = "exec sleep 600";
    const uint32_t id = makeDisplay(640, 480, 1.0);
    ASSERT_NE(id, 0u);
    const std::string address = sessionBusAddress(connectionName());
    ASSERT_EQ(accessibilityEnabled(address), false) << "the launcher starts switched off";
    LinuxAccessibility ax(facility);
    ASSERT_TRUE(eventually([&] { return ax.ready(id); }));
    ax.requestEnhanced(0);
    EXPECT_TRUE(eventually([&] { return accessibilityEnabled(address) == true; }));
}

// The real server, its session display running the fixture, and tarvello-peer as the phone.
TEST(LinuxAccessibilityEndToEndTest, ThePhoneHearsOfTextFocusAndSelection) {
    if (auto why = missingPieces(); !why.empty()) TARVELLO_SKIP_MISSING(why);
    GtkFixture fixture{"ax_fixture.py"};
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
    ASSERT_TRUE(peer.waitForLine("textFocus 1"));
    const Geometry g = parseGeometry(fixture.ask("select entry 6 11"));
    ASSERT_GT(g.width, 0);
    // Focusing the entry selected all of it first; wait for "world" before moving on.
    ASSERT_TRUE(peer.waitForLine([&](const std::string& l) {
        if (l.rfind("selection 1 ", 0) != 0) return false;
        double sx = -1;
        std::istringstream(l.substr(12)) >> sx;
        return std::abs(sx * g.width - g.x0) < 3;
    })) << "no selection of \"world\"";
    EXPECT_EQ(fixture.ask("focus button"), "ok");
    ASSERT_TRUE(peer.waitForLine("textFocus 0"));
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
