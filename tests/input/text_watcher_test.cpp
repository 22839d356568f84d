#include "input/text_watcher.h"

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "platform/sim/sim_platform.h"
#include "support/eventually.h"
#include "support/watcher_reports.h"

namespace tarvello::test {
namespace {

using Element = SimAccessibility::Element;

constexpr uint32_t kDisplay = 7;
constexpr int32_t kApp = 4242;

// The watcher over a scripted tree, polled by hand: the timer's first poll runs at
// start, the next ones only an hour later.
class TextWatcherTest : public ::testing::Test, protected WatcherReports {
protected:
    void SetUp() override {
        ax->setDisplay(kDisplay, {100, 50, 1000, 500});
        ax->setFrontmost(kApp);
        ax->setElement("field", {"entry", false, true, {}, {}});
        ax->setElement("okButton", {"push button", false, false, {}, {}});
        ax->setElement("cancelButton", {"push button", false, false, {}, {}});
        ax->setElement("password", {"password text", true, true, {}, {}});
        watcher = TextWatcher::create(ax, {3600, 0});
        watcher->setDisplay(kDisplay);
        recordReports(*watcher);
    }

    void TearDown() override { watcher->shutdown(); }

    void startWatching() {
        watcher->start();
        watcher->pollNow(false);  // after the timer's first poll
        clear();
    }

    void focusOn(const std::string& name) { ax->setFocus(kApp, name); }

    void clear() {
        std::lock_guard lock(mutex);
        focus.clear();
        selections.clear();
    }
    std::vector<bool> focusReports() {
        std::lock_guard lock(mutex);
        return focus;
    }
    std::vector<std::optional<Selection>> selectionReports() {
        std::lock_guard lock(mutex);
        return selections;
    }

    // A text area holding "cat dog" with 10-point letters from x = 300, y = 200.
    static Element textArea(std::optional<AxTextRange> selection) {
        Element e{"text", false, true, selection, {}};
        for (int64_t i = 0; i < 7; ++i) e.characters[i] = {300.0 + 10.0 * double(i), 200, 10, 20};
        return e;
    }

    std::shared_ptr<SimAccessibility> ax = std::make_shared<SimAccessibility>();
    std::shared_ptr<TextWatcher> watcher;
};

TEST_F(TextWatcherTest, FocusIsReportedOnChangesAndAgainWhenForced) {
    focusOn("field");
    watcher->start();
    watcher->pollNow(false);
    EXPECT_EQ(focusReports(), std::vector<bool>{true});

    watcher->pollNow(false);
    EXPECT_EQ(focusReports().size(), 1u) << "unchanged focus is not reported again";
    watcher->pollNow(true);
    EXPECT_EQ(focusReports(), (std::vector<bool>{true, true})) << "a forced check reports it again";

    // checkSoon after a click is such a forced check.
    watcher->checkSoon();
    EXPECT_TRUE(eventually([&] { return focusReports().size() >= 3; }));
    EXPECT_EQ(focusReports(), (std::vector<bool>{true, true, true}));

    focusOn("okButton");
    watcher->pollNow(false);
    EXPECT_EQ(focusReports().back(), false);
}

TEST_F(TextWatcherTest, MovingBetweenButtonsIsSilentAndAPasswordFieldCountsAsText) {
    focusOn("okButton");
    startWatching();
    focusOn("cancelButton");
    watcher->pollNow(false);
    EXPECT_TRUE(focusReports().empty());

    focusOn("password");
    watcher->pollNow(false);
    EXPECT_EQ(focusReports(), std::vector<bool>{true});

    // From one text input to another: reported again.
    focusOn("field");
    watcher->pollNow(false);
    EXPECT_EQ(focusReports(), (std::vector<bool>{true, true}));
}

TEST_F(TextWatcherTest, TextInputsAreKnownByRoleOrEditableFlag) {
    const struct {
        Element element;
        bool text;
    } cases[] = {
        {{"combo box", false, false, {}, {}}, true},
        {{"editbar", false, false, {}, {}}, true},
        {{"section", false, true, {}, {}}, true},  // a web input known only as editable
        {{"password text", false, false, {}, {}}, true},
        {{std::nullopt, true, false, {}, {}}, true},  // a password field by its state alone
        {{"label", false, false, {}, {}}, false},
        {{std::nullopt, false, false, {}, {}}, false},
    };
    for (const auto& c : cases) {
        ax->setElement("probe", c.element);
        focusOn("okButton");
        startWatching();
        focusOn("probe");
        watcher->pollNow(false);
        watcher->stop();
        EXPECT_EQ(focusReports(), c.text ? std::vector<bool>{true} : std::vector<bool>{})
            << (c.element.role ? *c.element.role : "(no role)");
    }
}

TEST_F(TextWatcherTest, ASelectionIsReportedAsDisplayFractionsAndItsCollapseOnce) {
    ax->setElement("area", textArea(AxTextRange{4, 3}));  // "dog"
    focusOn("area");
    startWatching();
    watcher->start();  // already watching: nothing is reset
    watcher->pollNow(false);
    EXPECT_TRUE(selectionReports().empty());

    ax->setElement("area", textArea(AxTextRange{0, 3}));  // "cat"
    watcher->pollNow(false);
    auto got = selectionReports();
    ASSERT_EQ(got.size(), 1u);
    ASSERT_TRUE(got[0]);
    // Display at (100, 50), 1000 × 500: "c" starts at x 300, "t" ends at x 330.
    EXPECT_DOUBLE_EQ(got[0]->start.x, 0.2);
    EXPECT_DOUBLE_EQ(got[0]->start.y, 0.3);
    EXPECT_DOUBLE_EQ(got[0]->end.x, 0.23);
    EXPECT_DOUBLE_EQ(got[0]->end.y, 0.3);
    EXPECT_DOUBLE_EQ(got[0]->height, 0.04);

    ax->setElement("area", textArea(AxTextRange{2, 0}));  // a caret
    watcher->pollNow(false);
    watcher->pollNow(false);
    got = selectionReports();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_FALSE(got[1]);
}

TEST_F(TextWatcherTest, SelectionsOffTheDisplayAreNotReported) {
    const struct {
        double x, y;
        bool reported;
    } cases[] = {
        {100 - 0.05 * 1000, 50, true},       // sx = -0.05, on the band's edge
        {100 + 1.05 * 1000 - 10, 50, true},  // sx just inside 1.05
        {100 - 0.06 * 1000, 50, false},      // another display to the left
        {100 + 1.06 * 1000, 50, false},      // ... or to the right
        {300, 50 - 0.2 * 500, false},        // sy and ey both far above
        {300, 50 + 1.04 * 500, true},        // slightly below, inside the band
    };
    for (const auto& c : cases) {
        Element e{"text", false, true, AxTextRange{0, 2}, {}};
        e.characters[0] = {c.x, c.y, 10, 20};
        e.characters[1] = {c.x + 10, c.y, 10, 20};
        ax->setElement("area", e);
        focusOn("area");
        startWatching();
        watcher->stop();
        watcher->start();
        watcher->pollNow(false);
        const auto got = selectionReports();
        EXPECT_EQ(!got.empty() && got.back().has_value(), c.reported) << c.x << "," << c.y;
        watcher->stop();
    }
}

TEST_F(TextWatcherTest, StartReportsTheCurrentStateAgain) {
    ax->setElement("area", textArea(AxTextRange{0, 3}));
    focusOn("area");
    watcher->start();
    watcher->pollNow(false);
    EXPECT_EQ(focusReports(), std::vector<bool>{true});
    EXPECT_EQ(selectionReports().size(), 1u);

    watcher->stop();
    watcher->pollNow(true);  // a forced check after stop does nothing
    EXPECT_EQ(focusReports().size(), 1u);

    watcher->start();
    watcher->pollNow(false);
    EXPECT_EQ(focusReports(), (std::vector<bool>{true, true}));
    EXPECT_EQ(selectionReports().size(), 2u);
}

TEST_F(TextWatcherTest, WithoutPermissionNothingIsEverReported) {
    ax->trusted = false;
    ax->setElement("area", textArea(AxTextRange{0, 3}));
    focusOn("area");
    watcher->start();
    for (bool force : {false, true, false}) watcher->pollNow(force);
    EXPECT_TRUE(focusReports().empty());
    EXPECT_TRUE(selectionReports().empty());
    EXPECT_TRUE(ax->enhanceRequests().empty());
}

TEST_F(TextWatcherTest, AnUnansweredCallEndsThePollWithoutNews) {
    ax->setElement("area", textArea(AxTextRange{0, 3}));
    focusOn("area");
    startWatching();
    ax->stalled = true;
    watcher->pollNow(true);
    watcher->pollNow(false);
    EXPECT_TRUE(focusReports().empty()) << "no focus loss, no forced report";
    EXPECT_TRUE(selectionReports().empty()) << "the selection did not vanish";

    ax->stalled = false;
    ax->setElement("area", textArea(AxTextRange{0, 2}));
    watcher->pollNow(false);
    EXPECT_TRUE(focusReports().empty());
    EXPECT_EQ(selectionReports().size(), 1u);
}

TEST_F(TextWatcherTest, FocusFallsBackToTheSystemWideElementAndEachAppIsEnhancedOnce) {
    ax->setFocus(std::nullopt, "field");  // the frontmost application names none
    watcher->start();
    watcher->pollNow(false);
    EXPECT_EQ(focusReports(), std::vector<bool>{true});

    ax->setFrontmost(kApp + 1);
    for (int i = 0; i < 3; ++i) watcher->pollNow(false);
    watcher->stop();
    watcher->start();  // enhancement requests are not forgotten with a new session
    watcher->pollNow(false);
    EXPECT_EQ(ax->enhanceRequests(), (std::vector<int32_t>{kApp, kApp + 1}));
}

TEST_F(TextWatcherTest, TheDisplayCanChangeBetweenPolls) {
    ax->setElement("area", textArea(AxTextRange{0, 3}));
    ax->setDisplay(kDisplay + 1, {300, 200, 200, 100});
    focusOn("area");
    startWatching();
    watcher->setDisplay(kDisplay + 1);
    watcher->pollNow(false);
    const auto got = selectionReports();
    ASSERT_EQ(got.size(), 1u);
    ASSERT_TRUE(got[0]);
    EXPECT_DOUBLE_EQ(got[0]->start.x, 0.0);
    EXPECT_DOUBLE_EQ(got[0]->height, 0.2);
}

TEST(TextWatcherTimerTest, PollsRunEveryIntervalWhileWatching) {
    auto ax = std::make_shared<SimAccessibility>();
    auto watcher = TextWatcher::create(ax, {0.01, 0.01});
    watcher->start();
    ASSERT_TRUE(eventually([&] { return ax->polls() >= 5; }));
    watcher->stop();
    watcher->pollNow(false);  // the stop has run
    const int polls = ax->polls();

    // A second watcher on the same period marks out five periods in which the stopped
    // one would have polled.
    auto otherAx = std::make_shared<SimAccessibility>();
    auto other = TextWatcher::create(otherAx, {0.01, 0.01});
    other->start();
    ASSERT_TRUE(eventually([&] { return otherAx->polls() >= 5; }));
    EXPECT_EQ(ax->polls(), polls) << "no polls after stop";
    other->shutdown();
    watcher->shutdown();
}

}  // namespace
}  // namespace tarvello::test
