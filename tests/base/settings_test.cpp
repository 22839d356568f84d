#include "base/settings.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <thread>
#include <vector>

#include "app/child_processes.h"

namespace tarvello {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// Every test runs against its own in-memory store and the system random source, and
// leaves the shared instance that way for whoever comes next.
class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }

    void reset() {
        store_ = std::make_shared<MemoryStore>();
        Settings::useStore(store_);
        Settings::setRandomSource({});
    }

    // Hands out the given values in order and counts the draws.
    void scriptRandom(std::vector<uint32_t> values) {
        draws_ = 0;
        Settings::setRandomSource([this, values = std::move(values)] {
            if (draws_ >= values.size()) throw std::logic_error("random source exhausted");
            return values[draws_++];
        });
    }

    Settings& settings() { return Settings::shared(); }

    std::shared_ptr<MemoryStore> store_;
    size_t draws_ = 0;
};

struct AccessorCase {
    const char* key;
    std::function<json(Settings&)> read;
    json defaultValue;
    json storedValue;
    json wrongType;
};

void PrintTo(const AccessorCase& c, std::ostream* os) {
    *os << c.key;
}

class SettingsAccessors : public SettingsTest, public ::testing::WithParamInterface<AccessorCase> {};

TEST_P(SettingsAccessors, DefaultWhenAbsent) {
    EXPECT_EQ(GetParam().read(settings()), GetParam().defaultValue);
    EXPECT_EQ(store_->get(GetParam().key), std::nullopt) << "a read must not store a default";
}

TEST_P(SettingsAccessors, ReadsStoredValueUnderItsKey) {
    store_->set(GetParam().key, GetParam().storedValue);
    EXPECT_EQ(GetParam().read(settings()), GetParam().storedValue);
}

TEST_P(SettingsAccessors, WrongTypeReadsAsDefaultAndIsNotRewritten) {
    store_->set(GetParam().key, GetParam().wrongType);
    EXPECT_EQ(GetParam().read(settings()), GetParam().defaultValue);
    EXPECT_EQ(store_->get(GetParam().key), GetParam().wrongType);
}

AccessorCase boolCase(const char* key, bool (Settings::*fn)(), bool def) {
    return {key, [fn](Settings& s) { return json((s.*fn)()); }, def, !def, json(def ? 0 : 1)};
}

INSTANTIATE_TEST_SUITE_P(
    Settings, SettingsAccessors,
    ::testing::Values(
        AccessorCase{"uiScale", [](Settings& s) { return json(s.uiScale()); }, 2.5, 1.75, "1.75"},
        AccessorCase{"maxBitrate", [](Settings& s) { return json(s.maxBitrate()); }, 40, 64, "fast"},
        boolCase("mirrorMac", &Settings::mirrorMac, true),
        boolCase("showsCursor", &Settings::showsCursor, false),
        boolCase("soundOnIPhone", &Settings::soundOnIPhone, true),
        boolCase("iPhoneMic", &Settings::iPhoneMic, true),
        boolCase("iPhoneCamera", &Settings::iPhoneCamera, true),
        boolCase("keepUnlocked", &Settings::keepUnlocked, true),
        boolCase("stageManager", &Settings::stageManager, true),
        boolCase("showDock", &Settings::showDock, true),
        boolCase("tailnetOnly", &Settings::tailnetOnly, false),
        AccessorCase{"commandKey", [](Settings& s) { return json(s.commandKey()); }, "control", "super",
                     true},
        AccessorCase{"commandKey", [](Settings& s) { return json(s.commandKey()); }, "control", "control",
                     "hyper"},
        AccessorCase{"display", [](Settings& s) { return json(s.display()); }, "auto", "private", false},
        AccessorCase{"display", [](Settings& s) { return json(s.display()); }, "auto", "desktop", "Desktop"},
        AccessorCase{"stageManager", [](Settings& s) { return json(s.boolValue("stageManager")); }, true,
                     false, "no"},
        AccessorCase{"someOtherFlag", [](Settings& s) { return json(s.boolValue("someOtherFlag", false)); },
                     false, true, 1}),
    [](const auto& p) { return std::to_string(p.index) + "_" + p.param.key; });

TEST_F(SettingsTest, MaxBitrateAcceptsIntegralDoubleOnly) {
    store_->set(SettingsKey::maxBitrate, 48.0);
    EXPECT_EQ(settings().maxBitrate(), 48);
    store_->set(SettingsKey::maxBitrate, 48.5);
    EXPECT_EQ(settings().maxBitrate(), 40);
}

TEST_F(SettingsTest, TokenIsSixDigitsStoredAndStable) {
    std::string first = settings().token();
    ASSERT_EQ(first.size(), 6u);
    EXPECT_EQ(first.find_first_not_of("0123456789"), std::string::npos) << first;
    EXPECT_EQ(store_->getString(SettingsKey::token), first);
    EXPECT_EQ(settings().token(), first);
    EXPECT_EQ(settings().token(), first);
}

TEST_F(SettingsTest, TokenSurvivesANewFileStoreOverTheSameFile) {
    std::string tmpl = (fs::temp_directory_path() / "tarvello-token-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    const fs::path dir = tmpl;
    Settings::useStore(std::make_shared<JsonFileStore>(dir / "settings.json"));
    std::string first = settings().token();
    Settings::useStore(std::make_shared<JsonFileStore>(dir / "settings.json"));
    std::string second = settings().token();
    reset();
    fs::remove_all(dir);
    EXPECT_EQ(first.size(), 6u);
    EXPECT_EQ(second, first);
}

TEST_F(SettingsTest, StoredTokenIsReturnedAsIs) {
    store_->setString(SettingsKey::token, "424242");
    scriptRandom({});
    EXPECT_EQ(settings().token(), "424242");
    EXPECT_EQ(draws_, 0u);
}

TEST_F(SettingsTest, EmptyOrNonStringTokenIsReplaced) {
    for (json stored : {json(""), json(123456), json(nullptr)}) {
        store_->set(SettingsKey::token, stored);
        scriptRandom({31337});
        EXPECT_EQ(settings().token(), "031337") << stored;
        EXPECT_EQ(store_->getString(SettingsKey::token), "031337") << stored;
    }
}

struct DrawCase {
    std::vector<uint32_t> draws;
    const char* code;
};

void PrintTo(const DrawCase& c, std::ostream* os) {
    *os << c.code;
}

class SettingsTokenDraw : public SettingsTest, public ::testing::WithParamInterface<DrawCase> {};

// 4 294 000 000 is the largest multiple of 10^6 within 2^32: draws from there up are
// rejected so every code is equally likely.
TEST_P(SettingsTokenDraw, FormatsSixDigitsAndRejectsTheBiasedTail) {
    scriptRandom(GetParam().draws);
    EXPECT_EQ(settings().token(), GetParam().code);
    EXPECT_EQ(draws_, GetParam().draws.size()) << "every scripted draw is used, the last one accepted";
}

INSTANTIATE_TEST_SUITE_P(Settings, SettingsTokenDraw,
                         ::testing::Values(DrawCase{{0}, "000000"}, DrawCase{{7}, "000007"},
                                           DrawCase{{999999}, "999999"}, DrawCase{{1000000}, "000000"},
                                           DrawCase{{4293999999u}, "999999"},
                                           DrawCase{{4294000000u, 12}, "000012"},
                                           DrawCase{{4294967295u, 4294000000u, 4294000001u, 5}, "000005"}));

TEST_F(SettingsTest, NewTokenDrawsAgainAndStores) {
    scriptRandom({111111, 222222});
    EXPECT_EQ(settings().token(), "111111");
    settings().newToken();
    EXPECT_EQ(store_->getString(SettingsKey::token), "222222");
    EXPECT_EQ(settings().token(), "222222");
}

TEST_F(SettingsTest, ConcurrentFirstReadsAgreeOnOneCode) {
    std::vector<std::string> seen(8);
    std::vector<std::thread> threads;
    for (auto& s : seen) threads.emplace_back([&s] { s = Settings::shared().token(); });
    for (auto& t : threads) t.join();
    for (const auto& s : seen) EXPECT_EQ(s, seen.front());
    EXPECT_EQ(store_->getString(SettingsKey::token), seen.front());
}

// ---- a settings file shared with other processes ----

class SettingsFileTest : public SettingsTest {
protected:
    void SetUp() override {
        SettingsTest::SetUp();
        std::string tmpl = (fs::temp_directory_path() / "tarvello-token-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        SettingsTest::TearDown();
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    fs::path file() const { return dir_ / "settings.json"; }

    fs::path dir_;
};

// What `tarvello --new-code` does while the app runs: the running copy must take the
// new code at its next read, not keep accepting the old one and write it back.
TEST_F(SettingsFileTest, NewCodeFromAnotherProcessIsReadNext) {
    Settings::useStore(std::make_shared<JsonFileStore>(file()));
    scriptRandom({111111});
    ASSERT_EQ(settings().token(), "111111");
    settings().d().setBool(SettingsKey::showDock, false);

    test::ChildProcesses children;
    const fs::path path = file();
    children.spawn([path](std::string& say) {
        Settings::useStore(std::make_shared<JsonFileStore>(path));
        Settings::setRandomSource([] { return 222222u; });
        Settings::shared().newToken();
        say = Settings::shared().token();
        return 0;
    });
    auto results = children.wait();
    ASSERT_EQ(results.at(0).exitCode, 0);
    EXPECT_EQ(results[0].said, "222222");

    EXPECT_EQ(settings().token(), "222222");
    EXPECT_EQ(draws_, 1u) << "the running copy must not draw a code of its own";
    settings().d().setBool(SettingsKey::mirrorMac, false);
    EXPECT_EQ(JsonFileStore(file()).getString(SettingsKey::token), "222222");
}

TEST_F(SettingsFileTest, ProcessesReadingTheFirstCodeTogetherAgreeOnIt) {
    constexpr uint32_t processes = 4;
    test::ChildProcesses children;
    const fs::path path = file();
    for (uint32_t i = 0; i < processes; ++i) {
        children.spawn([path, i](std::string& say) {
            Settings::useStore(std::make_shared<JsonFileStore>(path));
            Settings::setRandomSource([i] { return 100000u + i; });
            say = Settings::shared().token();
            return 0;
        });
    }
    auto results = children.wait();
    const std::string stored = JsonFileStore(file()).getString(SettingsKey::token).value_or("none");
    for (const auto& r : results) {
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.said, stored);
    }
}

}  // namespace
}  // namespace tarvello
