#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollArea>
#include <QScrollBar>
#include <QSlider>
#include <QToolButton>
#include <algorithm>
#include <asio/io_context.hpp>
#include <mutex>
#include <thread>
#include <utility>

#include "app/permissions.h"
#include "app/server_state.h"
#include "base/notification_center.h"
#include "base/settings.h"
#include "ui/menu_view.h"
#include "ui/onboarding_view.h"

namespace tarvello {
namespace {

// Runs the work queued for the main queue and for Qt, as the tray's event loop does.
void serviceQueues() {
    for (int i = 0; i < 3; ++i) {
        mainQueue().context().poll();
        QCoreApplication::processEvents();
    }
}

// Answers each activation with the next scripted outcome (nothing: activated).
class ScriptedCamera final : public CameraActivation {
public:
    bool deviceFound() override { return found; }
    void activate(std::function<void(std::optional<std::string>)> completion) override {
        ++requests;
        auto outcome = outcomes.empty() ? std::nullopt : outcomes.front();
        if (!outcomes.empty()) outcomes.erase(outcomes.begin());
        if (!outcome) found = true;
        completion(outcome);
    }
    void activateIfNeeded() override {}

    bool found = false;
    int requests = 0;
    std::vector<std::optional<std::string>> outcomes;
};

class FakeSetup final : public SetupSystem {
public:
    bool screenAllowed() override { return screen; }
    DesktopShown desktopShown() override { return desktop; }
    bool accessibilityTrusted() override { return accessibility; }
    bool loginItemEnabled() override { return loginItem; }
    std::optional<std::string> setLoginItem(bool on) override {
        calls.push_back(on ? "setLoginItem:on" : "setLoginItem:off");
        loginItem = on;
        return std::nullopt;
    }
    bool tailscaleInstalled() override { return installedTailscale; }
    std::vector<std::string> tailscaleAddresses() override { return addresses; }
    bool audioInstalled() override { return audio; }
    bool audioPluginsPresent() override { return true; }
    void installAudio() override { calls.push_back("installAudio"); }
    CameraActivation& camera() override { return camera_; }
    bool stageManagerAvailable() override { return stageManager; }
    bool dockAvailable() override { return dock; }
    std::set<std::string> installedShortcuts() override { return {}; }
    void installMissingShortcuts() override {}
    void openUrl(const std::string& url) override { calls.push_back("open " + url); }
    bool openTailscaleApp() override { return true; }
    void relaunch() override { calls.push_back("relaunch"); }
    void quit() override { calls.push_back("quit"); }

    bool screen = false, accessibility = false, loginItem = false, audio = false, installedTailscale = false;
    bool stageManager = true, dock = true;
    DesktopShown desktop;
    std::vector<std::string> addresses;
    std::vector<std::string> calls;
    ScriptedCamera camera_;
};

class FakeActions final : public MenuActions {
public:
    void restartSession() override { record("restartSession"); }
    void keepUnlockedChanged() override { record("keepUnlockedChanged"); }
    void stageManagerSwitched(bool on) override { record(on ? "stageManager:on" : "stageManager:off"); }
    void showDockSwitched(bool on) override { record(on ? "showDock:on" : "showDock:off"); }
    void readLidAwake(std::function<void(bool)> done) override { done(lidState); }
    void setLidAwake(bool enabled, std::function<void(bool)> done) override {
        record(enabled ? "setLidAwake:on" : "setLidAwake:off");
        // Reports from another thread, as the real switch does.
        std::thread([done, state = lidState] { done(state); }).join();
    }
    std::optional<std::string> stageManagerUnavailable() override { return stageReason; }
    std::optional<std::string> dockUnavailable() override { return dockReason; }
    void quit() override { record("quit"); }

    void record(std::string c) {
        std::lock_guard lock(mutex);
        calls.push_back(std::move(c));
    }
    std::vector<std::string> take() {
        std::lock_guard lock(mutex);
        return std::exchange(calls, {});
    }

    bool lidState = false;
    std::optional<std::string> stageReason, dockReason;
    std::mutex mutex;
    std::vector<std::string> calls;
};

class ViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        store = std::make_shared<MemoryStore>();
        Settings::useStore(store);
    }
    void TearDown() override {
        menu.reset();
        onboarding.reset();
        permissions.reset();
        Settings::setRandomSource({});
    }

    void makePermissions() { permissions = Permissions::create(setup, mainQueue()); }
    MenuView& makeMenu() {
        if (!permissions) makePermissions();
        menu = std::make_unique<MenuView>(state, *permissions, actions);
        return *menu;
    }
    OnboardingView& makeOnboarding() {
        if (!permissions) makePermissions();
        onboarding = std::make_unique<OnboardingView>(*permissions, [this] { ++closed; });
        return *onboarding;
    }
    template <class T>
    T* find(QWidget& root, const char* name) {
        auto* w = root.findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    QString text(QWidget& root, const char* name) {
        auto* l = find<QLabel>(root, name);
        return l ? l->text() : QString();
    }
    void refresh() {
        permissions->refresh();
        serviceQueues();
    }

    std::shared_ptr<MemoryStore> store;
    std::shared_ptr<FakeSetup> setup = std::make_shared<FakeSetup>();
    std::shared_ptr<FakeActions> actions = std::make_shared<FakeActions>();
    ServerState state;
    std::shared_ptr<Permissions> permissions;
    std::unique_ptr<MenuView> menu;
    std::unique_ptr<OnboardingView> onboarding;
    int closed = 0;
};

struct SwitchCase {
    const char* key;
    bool initially;
    std::vector<std::string> offFollowUp;  // what switching it off sets off
    std::vector<std::string> onFollowUp;   // and back on
};

void PrintTo(const SwitchCase& c, std::ostream* os) {
    *os << c.key;
}

class MenuSwitches : public ViewTest, public ::testing::WithParamInterface<SwitchCase> {};

TEST_P(MenuSwitches, WritesTheSettingAndSetsOffTheFollowUp) {
    const SwitchCase& c = GetParam();
    MenuView& view = makeMenu();
    auto* box = find<QCheckBox>(view, c.key);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->isChecked(), c.initially);
    actions->take();

    box->click();
    EXPECT_EQ(store->getBool(c.key), !c.initially);
    EXPECT_EQ(actions->take(), c.initially ? c.offFollowUp : c.onFollowUp);
    box->click();
    EXPECT_EQ(store->getBool(c.key), c.initially);
    EXPECT_EQ(actions->take(), c.initially ? c.onFollowUp : c.offFollowUp);
}

INSTANTIATE_TEST_SUITE_P(
    Menu, MenuSwitches,
    ::testing::Values(SwitchCase{SettingsKey::soundOnIPhone, true, {}, {}},
                      SwitchCase{SettingsKey::iPhoneMic, true, {}, {}},
                      SwitchCase{SettingsKey::iPhoneCamera, true, {}, {}},
                      SwitchCase{SettingsKey::mirrorMac, true, {"restartSession"}, {"restartSession"}},
                      SwitchCase{SettingsKey::showsCursor, false, {"restartSession"}, {"restartSession"}},
                      SwitchCase{
                          SettingsKey::keepUnlocked, true, {"keepUnlockedChanged"}, {"keepUnlockedChanged"}},
                      SwitchCase{SettingsKey::stageManager, true, {"stageManager:off"}, {"stageManager:on"}},
                      SwitchCase{SettingsKey::showDock, true, {"showDock:off"}, {"showDock:on"}},
                      SwitchCase{SettingsKey::tailnetOnly, false, {}, {}}),
    [](const ::testing::TestParamInfo<SwitchCase>& param) { return std::string(param.param.key); });

TEST_F(ViewTest, TextSizeAndBitrateWriteTheirSettings) {
    MenuView& view = makeMenu();
    auto* size = find<QComboBox>(view, "textSize");
    ASSERT_NE(size, nullptr);
    EXPECT_EQ(size->currentText(), "Large");
    actions->take();
    size->setCurrentIndex(size->findText("Retina"));
    EXPECT_EQ(store->getDouble(SettingsKey::uiScale), 2.0);
    EXPECT_EQ(actions->take(), std::vector<std::string>{"restartSession"});

    auto* slider = find<QSlider>(view, "maxBitrate");
    ASSERT_NE(slider, nullptr);
    EXPECT_EQ(text(view, "maxBitrateLabel"), "40 Mb/s");
    slider->setSliderDown(true);
    slider->setValue(20);  // dragging to 80
    EXPECT_EQ(text(view, "maxBitrateLabel"), "80 Mb/s");
    EXPECT_EQ(store->get(SettingsKey::maxBitrate), std::nullopt) << "stored only when let go";
    slider->setSliderDown(false);
    EXPECT_EQ(store->getInt(SettingsKey::maxBitrate), 80);
    slider->setValue(2);  // a key press
    EXPECT_EQ(store->getInt(SettingsKey::maxBitrate), 8);
    EXPECT_TRUE(actions->take().empty());
}

TEST_F(ViewTest, CommandKeyChoiceWritesTheSettingAndShowsTheStoredOne) {
    store->setString(SettingsKey::commandKey, "super");
    MenuView& view = makeMenu();
    auto* choice = find<QComboBox>(view, "commandKey");
    ASSERT_NE(choice, nullptr);
    EXPECT_EQ(choice->currentText(), "Super");
    actions->take();
    choice->setCurrentIndex(choice->findText("Control"));
    EXPECT_EQ(store->getString(SettingsKey::commandKey), "control");
    choice->setCurrentIndex(choice->findText("Super"));
    EXPECT_EQ(store->getString(SettingsKey::commandKey), "super");
    EXPECT_TRUE(actions->take().empty()) << "read at the next key press: no session restart";
}

TEST_F(ViewTest, DisplayChoiceWritesTheSettingForTheNextSessionAndShowsTheStoredOne) {
    store->setString(SettingsKey::display, "private");
    MenuView& view = makeMenu();
    auto* choice = find<QComboBox>(view, "display");
    ASSERT_NE(choice, nullptr);
    EXPECT_EQ(choice->currentText(), "A private desktop");
    actions->take();
    choice->setCurrentIndex(choice->findText("Your desktop"));
    EXPECT_EQ(store->getString(SettingsKey::display), "desktop");
    choice->setCurrentIndex(choice->findText("Your desktop, if there is one"));
    EXPECT_EQ(store->getString(SettingsKey::display), "auto");
    EXPECT_TRUE(actions->take().empty()) << "read when the next session starts: the running one stays";
    // A value written by hand that means nothing shows as what it acts as.
    store->setString(SettingsKey::display, "nonsense");
    view.reload();
    EXPECT_EQ(choice->currentText(), "Your desktop, if there is one");
}

TEST_F(ViewTest, PhoneChangedTextSizeReloadsThePicker) {
    MenuView& view = makeMenu();
    store->setDouble(SettingsKey::uiScale, 1.5);
    NotificationCenter::shared().post(Notification::settingsChanged);
    serviceQueues();
    EXPECT_EQ(find<QComboBox>(view, "textSize")->currentText(), "More space");
    EXPECT_TRUE(actions->take().empty()) << "the phone's change is not re-applied by the menu";
}

TEST_F(ViewTest, LidSwitchShowsTheStateTheSystemReports) {
    MenuView& view = makeMenu();
    auto* lid = find<QCheckBox>(view, "lidAwake");
    ASSERT_NE(lid, nullptr);
    actions->lidState = false;  // the administrator prompt was cancelled
    lid->click();
    EXPECT_EQ(actions->take(), std::vector<std::string>{"setLidAwake:on"});
    serviceQueues();
    EXPECT_FALSE(lid->isChecked());
    actions->lidState = true;
    lid->click();
    serviceQueues();
    EXPECT_TRUE(lid->isChecked());
}

TEST_F(ViewTest, LoginItemSwitchRegistersTheLoginItem) {
    MenuView& view = makeMenu();
    find<QCheckBox>(view, "loginItem")->click();
    EXPECT_EQ(setup->calls, std::vector<std::string>{"setLoginItem:on"});
    EXPECT_TRUE(permissions->loginItem);
}

TEST_F(ViewTest, NewCodeReplacesTheCode) {
    std::vector<uint32_t> draws{42, 7};
    Settings::setRandomSource([&draws] {
        const uint32_t v = draws.front();
        draws.erase(draws.begin());
        return v;
    });
    MenuView& view = makeMenu();
    EXPECT_EQ(text(view, "code"), "000042");
    find<QPushButton>(view, "newCode")->click();
    EXPECT_EQ(text(view, "code"), "000007");
    EXPECT_EQ(store->getString(SettingsKey::token), "000007");
    find<QPushButton>(view, "copyCode")->click();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "000007");
}

TEST_F(ViewTest, WarningRowNamesWhatIsMissing) {
    MenuView& view = makeMenu();
    auto* warning = find<QPushButton>(view, "warning");
    ASSERT_NE(warning, nullptr);
    EXPECT_TRUE(warning->isVisibleTo(&view));
    EXPECT_EQ(warning->text(), "Display or input unavailable");
    EXPECT_EQ(text(view, "address"), "Tailscale not connected");

    setup->screen = setup->accessibility = true;
    refresh();
    EXPECT_EQ(warning->text(), "Tailscale isn't connected");

    setup->addresses = {"100.101.102.103"};
    refresh();
    EXPECT_FALSE(warning->isVisibleTo(&view));
    EXPECT_EQ(text(view, "address"), "100.101.102.103");

    int asked = 0;
    const int id = NotificationCenter::shared().observe(Notification::showOnboarding, [&] { ++asked; });
    find<QPushButton>(view, "setUp")->click();
    serviceQueues();
    NotificationCenter::shared().unobserve(id);
    EXPECT_EQ(asked, 1);
}

TEST_F(ViewTest, HeaderFollowsTheStatusModel) {
    MenuView& view = makeMenu();
    EXPECT_EQ(text(view, "status"), "Starting\u2026");
    state.status = "Connected: Ada's iPhone";
    state.client = "Ada's iPhone";
    state.fps = 59;
    state.mbps = 12.34;
    state.codec = "HEVC";
    state.changed();
    EXPECT_EQ(text(view, "status"), "Connected: Ada's iPhone");
    EXPECT_EQ(text(view, "stats"), "59 fps   12.3 Mb/s \u00b7 HEVC");
    EXPECT_TRUE(find<QLabel>(view, "dot")->styleSheet().contains("#34c759"));
    state.locked = true;
    state.changed();
    EXPECT_EQ(text(view, "status"), "Session locked");
    EXPECT_TRUE(find<QLabel>(view, "dot")->styleSheet().contains("#ff9500"));

    auto* alert = find<QLabel>(view, "alert");
    EXPECT_FALSE(alert->isVisibleTo(&view));
    state.warning = "Pairing code guessing: 23 wrong codes in the last hour";
    state.changed();
    EXPECT_TRUE(alert->isVisibleTo(&view));
    EXPECT_EQ(alert->text().toStdString(), state.warning);
    state.warning.clear();
    state.changed();
    EXPECT_FALSE(alert->isVisibleTo(&view));

    // Beside the guessing alert, not instead of it.
    auto* notEncrypted = find<QLabel>(view, "notEncrypted");
    EXPECT_FALSE(notEncrypted->isVisibleTo(&view));
    state.notEncrypted =
        "Connection from 192.168.1.20 is not encrypted; switch on Only over Tailscale to require it";
    state.warning = "Pairing code guessing: 23 wrong codes in the last hour";
    state.changed();
    EXPECT_TRUE(notEncrypted->isVisibleTo(&view));
    EXPECT_EQ(notEncrypted->text().toStdString(), state.notEncrypted);
    EXPECT_TRUE(alert->isVisibleTo(&view));
    state.notEncrypted.clear();
    state.changed();
    EXPECT_FALSE(notEncrypted->isVisibleTo(&view));
    EXPECT_TRUE(alert->isVisibleTo(&view));
}

// Every text a window can show, hidden ones included: a hidden label is shown in
// another state.
QStringList windowTexts(QWidget& root) {
    QStringList texts{root.windowTitle(), root.toolTip()};
    for (QWidget* w : root.findChildren<QWidget*>()) {
        texts << w->toolTip() << w->windowTitle();
        if (auto* label = qobject_cast<QLabel*>(w)) texts << label->text();
        if (auto* button = qobject_cast<QAbstractButton*>(w)) texts << button->text();
        if (auto* combo = qobject_cast<QComboBox*>(w))
            for (int i = 0; i < combo->count(); ++i) texts << combo->itemText(i);
    }
    texts.removeAll(QString());
    return texts;
}

void expectNoForeignWords(QWidget& root, const char* when) {
    static const QRegularExpression foreign(
        QStringLiteral("\\bMac\\b|System Settings|menu bar|password|Accessibility|Screen Recording"));
    for (const QString& t : windowTexts(root))
        EXPECT_FALSE(foreign.match(t).hasMatch()) << when << ": " << t.toStdString();
}

TEST_F(ViewTest, NoWindowTextSpeaksOfAnotherSystem) {
    MenuView& menuView = makeMenu();
    OnboardingView& onboardingView = makeOnboarding();
    auto check = [&](const char* when) {
        refresh();
        expectNoForeignWords(menuView, when);
        expectNoForeignWords(onboardingView, when);
    };
    check("nothing set up");
    setup->installedTailscale = true;
    check("Tailscale installed");
    permissions->skipTailscale(true);
    check("Tailscale skipped");
    setup->screen = setup->accessibility = setup->audio = true;
    setup->addresses = {"100.101.102.103"};
    check("all set, after a relaunch is due");
    setup->camera_.outcomes = {std::string("Camera: the extension did not start")};
    find<QPushButton>(onboardingView, "cameraButton")->click();
    serviceQueues();
    check("camera failed");
    find<QToolButton>(menuView, "developer")->click();
    check("developer section open");
}

TEST_F(ViewTest, SwitchesAndRowsADesktopLacksAreAbsent) {
    setup->stageManager = setup->dock = false;
    actions->stageReason = "This desktop has no Stage Manager to switch";
    actions->dockReason = "This desktop has no Dock to show";
    MenuView& menuView = makeMenu();
    OnboardingView& onboardingView = makeOnboarding();
    EXPECT_FALSE(find<QCheckBox>(menuView, SettingsKey::stageManager)->isVisibleTo(&menuView));
    EXPECT_FALSE(find<QCheckBox>(menuView, SettingsKey::showDock)->isVisibleTo(&menuView));
    for (QLabel* caption : menuView.findChildren<QLabel*>(QStringLiteral("caption")))
        EXPECT_FALSE(caption->isVisibleTo(&menuView) && caption->text() == "WHILE THE IPHONE IS CONNECTED");
    EXPECT_FALSE(find<QWidget>(onboardingView, "stageManagerRow")->isVisibleTo(&onboardingView));
    EXPECT_FALSE(find<QPushButton>(onboardingView, "stageManagerButton")->isVisibleTo(&onboardingView));

    // A desktop with a Dock but no Stage Manager keeps the one switch that works.
    actions->dockReason.reset();
    menuView.reload();
    EXPECT_TRUE(find<QCheckBox>(menuView, SettingsKey::showDock)->isVisibleTo(&menuView));
    EXPECT_FALSE(find<QCheckBox>(menuView, SettingsKey::stageManager)->isVisibleTo(&menuView));
    bool captionShown = false;
    for (QLabel* caption : menuView.findChildren<QLabel*>(QStringLiteral("caption")))
        captionShown |= caption->isVisibleTo(&menuView) && caption->text() == "WHILE THE IPHONE IS CONNECTED";
    EXPECT_TRUE(captionShown);
}

TEST_F(ViewTest, EveryRowAndSwitchHasAnIcon) {
    MenuView& menuView = makeMenu();
    for (QCheckBox* box : menuView.findChildren<QCheckBox*>())
        EXPECT_FALSE(box->icon().pixmap(16, 16).isNull()) << box->objectName().toStdString();
    for (QPushButton* button : menuView.findChildren<QPushButton*>())
        EXPECT_FALSE(button->icon().pixmap(16, 16).isNull()) << button->objectName().toStdString();

    OnboardingView& onboardingView = makeOnboarding();
    int rows = 0;
    for (QWidget* row : onboardingView.findChildren<QWidget*>(QRegularExpression(QStringLiteral("Row$")))) {
        ++rows;
        bool hasIcon = false;
        for (QLabel* label : row->findChildren<QLabel*>()) hasIcon |= !label->pixmap().isNull();
        EXPECT_TRUE(hasIcon) << row->objectName().toStdString();
    }
    EXPECT_EQ(rows, 7);
}

TEST_F(ViewTest, DisplayRowNamesTheDesktopAndWhyItIsNotTheUsers) {
    OnboardingView& view = makeOnboarding();
    EXPECT_EQ(text(view, "displayDetail"), "A private desktop");
    setup->desktop = {"A private desktop", "This computer shows a login screen, not your session."};
    refresh();
    EXPECT_EQ(text(view, "displayDetail"),
              "A private desktop\nThis computer shows a login screen, not your session.");
    setup->desktop = {"Your GNOME desktop", std::nullopt};
    setup->screen = true;
    refresh();
    EXPECT_EQ(text(view, "displayDetail"), "Your GNOME desktop");
    EXPECT_EQ(text(view, "displayDone"), "\u2713 Ready");
}

TEST_F(ViewTest, TailscaleCanBeSkippedForTheLocalNetwork) {
    setup->screen = setup->accessibility = true;
    MenuView& menuView = makeMenu();
    OnboardingView& view = makeOnboarding();
    auto* skip = find<QPushButton>(view, "skipTailscale");
    EXPECT_EQ(skip->text(), "Skip: local network only");
    EXPECT_EQ(find<QPushButton>(view, "footerButton")->text(), "Later");

    skip->click();
    serviceQueues();
    EXPECT_EQ(store->getBool(SetupKey::tailscaleSkipped), true);
    EXPECT_EQ(text(view, "tailscaleDone"), "\u2713 Skipped");
    EXPECT_EQ(find<QPushButton>(view, "footerButton")->text(), "Done");
    EXPECT_EQ(text(view, "footerText"),
              "All set. Enter this computer's address and the code on your iPhone.");
    EXPECT_FALSE(find<QPushButton>(menuView, "warning")->isVisibleTo(&menuView));
    EXPECT_EQ(text(menuView, "address"), "Local network only");

    EXPECT_EQ(skip->text(), "Use Tailscale");
    skip->click();
    serviceQueues();
    EXPECT_EQ(store->getBool(SetupKey::tailscaleSkipped), false);
    EXPECT_EQ(find<QPushButton>(view, "footerButton")->text(), "Later");
}

TEST_F(ViewTest, OnlyOverTailscaleIsOneSettingInBothWindows) {
    MenuView& menuView = makeMenu();
    OnboardingView& view = makeOnboarding();
    auto* inMenu = find<QCheckBox>(menuView, SettingsKey::tailnetOnly);
    auto* inSetup = find<QCheckBox>(view, SettingsKey::tailnetOnly);
    ASSERT_TRUE(inMenu && inSetup);
    EXPECT_EQ(inMenu->text(), "Only over Tailscale (encrypted)");
    EXPECT_EQ(inSetup->text(), "Only over Tailscale (encrypted)");
    EXPECT_FALSE(inMenu->isChecked());
    EXPECT_TRUE(inSetup->isVisibleTo(&view));

    inSetup->click();
    serviceQueues();
    EXPECT_EQ(store->getBool(SettingsKey::tailnetOnly), true);
    EXPECT_TRUE(inMenu->isChecked());
    inMenu->click();
    serviceQueues();
    EXPECT_EQ(store->getBool(SettingsKey::tailnetOnly), false);
    EXPECT_FALSE(inSetup->isChecked());

    // Local network only and Tailscale only cannot both hold.
    find<QPushButton>(view, "skipTailscale")->click();
    serviceQueues();
    EXPECT_FALSE(inSetup->isVisibleTo(&view));
}

TEST_F(ViewTest, SoundDevicesAreInstalledOnlyWhenTheUserPressesInstall) {
    OnboardingView& view = makeOnboarding();
    permissions->installMissing();  // what the first launch runs
    refresh();
    permissions->flushBackground();
    EXPECT_EQ(std::count(setup->calls.begin(), setup->calls.end(), "installAudio"), 0);
    find<QPushButton>(view, "audioButton")->click();
    permissions->flushBackground();
    EXPECT_EQ(std::count(setup->calls.begin(), setup->calls.end(), "installAudio"), 1);
}

TEST_F(ViewTest, SetupWindowFitsASmallScreenAndKeepsItsFooterInView) {
    OnboardingView& view = makeOnboarding();
    EXPECT_LE(view.minimumSizeHint().height(), 768 - 100);
    EXPECT_GT(view.maximumHeight(), 768) << "the user can make it taller";
    view.resize(560, 400);
    view.show();
    serviceQueues();
    auto* scroll = view.findChild<QScrollArea*>(QStringLiteral("rows"));
    ASSERT_NE(scroll, nullptr);
    EXPECT_GT(scroll->verticalScrollBar()->maximum(), 0) << "the rows scroll at this height";
    auto* footer = find<QPushButton>(view, "footerButton");
    const QRect inView(footer->mapTo(&view, QPoint(0, 0)), footer->size());
    EXPECT_TRUE(view.rect().contains(inView)) << "the footer is cut off";
}

TEST_F(ViewTest, LogKeepsTheReadersPlaceWhileLinesArrive) {
    MenuView& view = makeMenu();
    find<QToolButton>(view, "developer")->click();
    view.show();
    for (int i = 0; i < 100; ++i) state.lines.push_back("line " + std::to_string(i));
    state.changed();
    serviceQueues();
    QScrollBar* bar = find<QPlainTextEdit>(view, "log")->verticalScrollBar();
    ASSERT_GT(bar->maximum(), 20);
    EXPECT_EQ(bar->value(), bar->maximum()) << "a reader at the end follows new lines";

    bar->setValue(10);
    state.lines.push_back("line 100");
    state.changed();
    EXPECT_EQ(bar->value(), 10);

    bar->setValue(bar->maximum());
    const int before = bar->maximum();
    state.lines.push_back("line 101");
    state.changed();
    EXPECT_GT(bar->maximum(), before);
    EXPECT_EQ(bar->value(), bar->maximum());
}

TEST_F(ViewTest, OnboardingFooterHasThreeForms) {
    setup->screen = true;  // available before this process started: no relaunch
    OnboardingView& view = makeOnboarding();
    auto* button = find<QPushButton>(view, "footerButton");
    auto* relaunch = find<QPushButton>(view, "relaunch");
    ASSERT_TRUE(button && relaunch);
    EXPECT_EQ(text(view, "footerText"),
              "Tarvello keeps running: open it from its tray icon, or start it again.");
    EXPECT_EQ(button->text(), "Later");
    EXPECT_FALSE(relaunch->isVisibleTo(&view));

    setup->accessibility = true;
    setup->addresses = {"100.101.102.103"};
    setup->installedTailscale = true;
    refresh();
    EXPECT_EQ(text(view, "footerText"), "All set. Enter 100.101.102.103 and the code on your iPhone.");
    EXPECT_EQ(button->text(), "Done");
    button->click();
    EXPECT_EQ(closed, 1);
}

TEST_F(ViewTest, OnboardingOffersTheRelaunchOnceTheScreenBecameAvailable) {
    OnboardingView& view = makeOnboarding();
    EXPECT_TRUE(find<QPushButton>(view, "displayButton")->isVisibleTo(&view));
    find<QPushButton>(view, "displayButton")->click();
    EXPECT_EQ(setup->calls, std::vector<std::string>{std::string("open ") + SetupUrl::screenHelp});

    setup->screen = true;
    refresh();
    EXPECT_FALSE(find<QPushButton>(view, "displayButton")->isVisibleTo(&view));
    EXPECT_EQ(text(view, "displayDone"), "\u2713 Ready");
    EXPECT_EQ(text(view, "footerText"), "Relaunch to show this computer's screen.");
    EXPECT_FALSE(find<QPushButton>(view, "footerButton")->isVisibleTo(&view));
    auto* relaunch = find<QPushButton>(view, "relaunch");
    EXPECT_TRUE(relaunch->isVisibleTo(&view));
    setup->calls.clear();
    relaunch->click();
    EXPECT_EQ(setup->calls, (std::vector<std::string>{"relaunch", "quit"}));
}

TEST_F(ViewTest, OnboardingTailscaleRowSaysHowToConnect) {
    OnboardingView& view = makeOnboarding();
    auto* button = find<QPushButton>(view, "tailscaleButton");
    EXPECT_EQ(button->text(), "Install");
    button->click();
    EXPECT_EQ(setup->calls.back(), std::string("open ") + SetupUrl::tailscaleStore);
    setup->installedTailscale = true;
    refresh();
    EXPECT_FALSE(button->isVisibleTo(&view)) << "installed: nothing more to download";
    EXPECT_TRUE(text(view, "tailscaleDetail").contains("tailscale up"));
    setup->addresses = {"100.101.102.103"};
    refresh();
    EXPECT_FALSE(find<QPushButton>(view, "skipTailscale")->isVisibleTo(&view));
    EXPECT_EQ(text(view, "tailscaleDone"), "\u2713 100.101.102.103");
}

TEST_F(ViewTest, OnboardingCameraRowRetriesAFailedActivation) {
    setup->camera_.outcomes = {std::string("Camera: the extension did not start"), std::nullopt};
    OnboardingView& view = makeOnboarding();
    auto* button = find<QPushButton>(view, "cameraButton");
    EXPECT_EQ(button->text(), "Install");
    button->click();
    serviceQueues();
    EXPECT_EQ(text(view, "cameraDetail"), "Camera: the extension did not start");
    EXPECT_EQ(button->text(), "Try Again");
    EXPECT_TRUE(button->isEnabled());

    button->click();
    serviceQueues();
    EXPECT_EQ(setup->camera_.requests, 2);
    EXPECT_EQ(text(view, "cameraDone"), "\u2713 Installed");
    EXPECT_FALSE(button->isVisibleTo(&view));
}

}  // namespace
}  // namespace tarvello
