#include "app/stage_manager.h"

#include <gtest/gtest.h>

#include <fstream>
#include <mutex>

#include "base/settings.h"
#include "platform/sim/sim_platform.h"
#include "support/log_capture.h"

namespace tarvello {
namespace {

namespace fs = std::filesystem;
using namespace StageManagerNames;

const std::string kShortcuts = shortcutsTool;
const std::string kRunOn = kShortcuts + " run Tarvello Stage Manager";
const std::string kRunOff = kShortcuts + " run Tarvello Windowed Apps";
const std::string kKillDock = std::string(killallTool) + " Dock";
const std::string kMissingLine =
    "Stage Manager: shortcut \u201cTarvello Stage Manager\u201d missing (Setup\u2026 \u2192 Stage Manager)";

class StageManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        store = std::make_shared<MemoryStore>();
        Settings::useStore(store);
        dir = fs::temp_directory_path() / ("stage-manager-test-" + std::to_string(getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        makeStage();
    }
    void TearDown() override {
        stage.reset();
        fs::remove_all(dir);
    }

    void makeStage() {
        StageManager::Environment env;
        env.processes = processes;
        env.preferences = prefs;
        env.shortcutsDirectory = dir;
        env.dockAvailable = true;
        env.mainQueue = &main;
        env.openFile = [this](const fs::path& file) {
            std::lock_guard lock(mutex);
            opened.push_back(file.filename().string());
        };
        stage = StageManager::create(std::move(env));
    }

    void scriptShortcutsSucceed(int times) {
        processes->script(kShortcuts, std::vector<ProcessResult>(size_t(times), ProcessResult{0, ""}));
    }
    std::vector<std::string> runs() const { return processes->runs(); }
    int count(const std::string& run) const {
        const auto all = runs();
        return int(std::count(all.begin(), all.end(), run));
    }

    std::shared_ptr<MemoryStore> store;
    std::shared_ptr<SimProcesses> processes = std::make_shared<SimProcesses>();
    std::shared_ptr<MemoryPreferenceDomains> prefs = std::make_shared<MemoryPreferenceDomains>();
    SerialQueue main{"test.main"};
    std::mutex mutex;
    std::vector<std::string> opened;
    fs::path dir;
    std::shared_ptr<StageManager> stage;
    test::LogCapture logs;
};

TEST_F(StageManagerTest, StageManagerTheUserTurnedOnIsLeftAlone) {
    prefs->set(windowManagerDomain, globallyEnabledKey, true);
    stage->stageManagerOn();
    stage->stageManagerOff();
    stage->flush();
    EXPECT_TRUE(runs().empty());
    EXPECT_FALSE(logs.contains("Stage Manager o"));
}

TEST_F(StageManagerTest, MissingShortcutIsLoggedOncePerSessionStartAndEndRunsNothing) {
    for (int session = 0; session < 2; ++session) {
        stage->stageManagerOn();
        stage->stageManagerOff();
    }
    stage->flush();
    EXPECT_EQ(logs.count(kMissingLine), 2);
    EXPECT_EQ(count(kRunOn), 2);
    EXPECT_EQ(count(kRunOff), 0);
}

TEST_F(StageManagerTest, AFailingShortcutCountsAsMissing) {
    processes->script(kShortcuts, {ProcessResult{1, "error"}});
    stage->stageManagerOn();
    stage->flush();
    EXPECT_EQ(logs.count(kMissingLine), 1);
    EXPECT_FALSE(logs.contains("Stage Manager on"));
}

TEST_F(StageManagerTest, SessionTurnsStageManagerOnAndBackOff) {
    scriptShortcutsSucceed(2);
    stage->stageManagerOn();
    stage->flush();
    prefs->set(windowManagerDomain, globallyEnabledKey, true);  // the system now reports it on
    stage->stageManagerOn();                                    // a second request changes nothing
    stage->stageManagerOff();
    stage->stageManagerOff();
    stage->flush();
    EXPECT_EQ(runs(), (std::vector<std::string>{kRunOn, kRunOff}));
    EXPECT_EQ(logs.count("Stage Manager on"), 1);
    EXPECT_EQ(logs.count("Stage Manager off"), 1);
}

TEST_F(StageManagerTest, UserTurnedItOffDuringTheSessionSoEndRunsNothing) {
    scriptShortcutsSucceed(2);
    stage->stageManagerOn();
    stage->flush();
    // GloballyEnabled stays false: the user switched it off again. A value of the wrong
    // type counts as off too.
    prefs->set(windowManagerDomain, globallyEnabledKey, "yes");
    stage->stageManagerOff();
    stage->flush();
    EXPECT_EQ(runs(), std::vector<std::string>{kRunOn});
    // The flag was cleared: the next session switches it on again.
    stage->stageManagerOn();
    stage->flush();
    EXPECT_EQ(count(kRunOn), 2);
}

TEST_F(StageManagerTest, AutohideMissingWritesOnlyTheMarker) {
    stage->setDockAutohide(false);
    stage->flush();
    EXPECT_EQ(store->getBool(SettingsKey::dockShownBySession), true);
    EXPECT_EQ(prefs->value(dockDomain, autohideKey), std::nullopt);
    EXPECT_TRUE(runs().empty());
    EXPECT_FALSE(logs.contains("Dock "));
}

TEST_F(StageManagerTest, LaunchAfterACrashRepairsTheDock) {
    store->setBool(SettingsKey::dockShownBySession, true);
    prefs->set(dockDomain, autohideKey, false);
    stage->restoreDockAtLaunch();
    stage->flush();
    EXPECT_EQ(prefs->value(dockDomain, autohideKey), nlohmann::json(true));
    EXPECT_EQ(runs(), std::vector<std::string>{kKillDock});
    EXPECT_EQ(logs.count("Dock hidden"), 1);
    EXPECT_EQ(store->getBool(SettingsKey::dockShownBySession), false);
}

TEST_F(StageManagerTest, LaunchWithoutTheMarkerLeavesTheDockAlone) {
    prefs->set(dockDomain, autohideKey, false);
    stage->restoreDockAtLaunch();
    stage->flush();
    EXPECT_TRUE(runs().empty());
    EXPECT_EQ(store->get(SettingsKey::dockShownBySession), std::nullopt);
}

TEST_F(StageManagerTest, SessionShowsAnAutoHidingDockAndHidesItAfter) {
    prefs->set(dockDomain, autohideKey, true);
    stage->showDockForSession();
    stage->flush();
    EXPECT_EQ(prefs->value(dockDomain, autohideKey), nlohmann::json(false));
    EXPECT_EQ(store->getBool(SettingsKey::dockShownBySession), true);
    EXPECT_TRUE(logs.contains("Dock shown"));
    stage->restoreDock();
    stage->restoreDock();
    stage->flush();
    EXPECT_EQ(prefs->value(dockDomain, autohideKey), nlohmann::json(true));
    EXPECT_EQ(store->getBool(SettingsKey::dockShownBySession), false);
    EXPECT_EQ(count(kKillDock), 2);
}

TEST_F(StageManagerTest, ADockThatNeverAutoHidesIsNotMadeToAfterTheSession) {
    prefs->set(dockDomain, autohideKey, false);
    stage->showDockForSession();
    stage->restoreDock();
    stage->flush();
    EXPECT_EQ(prefs->value(dockDomain, autohideKey), nlohmann::json(false));
    EXPECT_TRUE(runs().empty());
}

TEST_F(StageManagerTest, OnlyTheMissingShortcutIsOffered) {
    processes->script(kShortcuts,
                      {ProcessResult{0, "Morning\nTarvello Windowed Apps\n\nTarvello Stage Manager copy\n"}});
    for (const char* name : {stageManagerShortcut, windowedAppsShortcut}) {
        std::ofstream(dir / (std::string(name) + ".shortcut")) << "x";
    }
    EXPECT_EQ(stage->installedShortcuts(), std::set<std::string>{windowedAppsShortcut});
    stage->installMissingShortcuts();
    main.sync([] {});
    std::lock_guard lock(mutex);
    EXPECT_EQ(opened, std::vector<std::string>{"Tarvello Stage Manager.shortcut"});
}

TEST_F(StageManagerTest, AShortcutFileThatDoesNotShipIsSkipped) {
    stage->installMissingShortcuts();  // the tool is missing too: both count as not installed
    main.sync([] {});
    std::lock_guard lock(mutex);
    EXPECT_TRUE(opened.empty());
}

TEST(PreferenceWriter, JsonDomainKeepsOtherKeysAndRefusesToReplaceAForeignFile) {
    const fs::path dir = fs::temp_directory_path() / ("pref-writer-test-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::ofstream(dir / "com.apple.dock.json") << R"({"showAppExposeGestureEnabled": true})";
    auto domains = std::make_shared<JsonFilePreferenceDomains>(dir);
    auto write = preferenceWriterFor(domains);
    ASSERT_TRUE(write(dockDomain, autohideKey, true));
    EXPECT_EQ(domains->value(dockDomain, autohideKey), nlohmann::json(true));
    EXPECT_EQ(domains->value(dockDomain, "showAppExposeGestureEnabled"), nlohmann::json(true));

    std::ofstream(dir / "com.apple.WindowManager.json") << "not json";
    EXPECT_FALSE(write(windowManagerDomain, globallyEnabledKey, true));
    std::ifstream in(dir / "com.apple.WindowManager.json");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "not json");
    EXPECT_FALSE(write("../escape", "k", 1));
    fs::remove_all(dir);
}

}  // namespace
}  // namespace tarvello
