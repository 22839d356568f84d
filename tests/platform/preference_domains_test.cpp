#include "platform/preference_domains.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "input/injector.h"

namespace tarvello::test {
namespace {

namespace fs = std::filesystem;

class PreferenceDomainFiles : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tarvello-domains-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { fs::remove_all(dir); }
    void write(const std::string& name, const std::string& text) { std::ofstream(dir / name) << text; }

    fs::path dir;
};

TEST_F(PreferenceDomainFiles, ReadsOneObjectPerDomainAndTreatsEverythingElseAsAbsent) {
    JsonFilePreferenceDomains prefs(dir);
    EXPECT_FALSE(prefs.value("com.apple.dock", "x"));  // no file
    write("com.apple.dock.json", R"({"showAppExposeGestureEnabled": true, "n": null})");
    write("broken.json", R"({"a": 1)");
    write("array.json", R"([1, 2])");
    write("x.json", R"({"a": 1})");
    EXPECT_EQ(prefs.value("com.apple.dock", "showAppExposeGestureEnabled"), nlohmann::json(true));
    EXPECT_FALSE(prefs.value("com.apple.dock", "missing"));
    EXPECT_FALSE(prefs.value("com.apple.dock", "n"));
    EXPECT_FALSE(prefs.value("broken", "a"));
    EXPECT_FALSE(prefs.value("array", "a"));
    fs::create_directory(dir / "sub");
    write("sub/x.json", R"({"a": 1})");
    EXPECT_FALSE(prefs.value("sub/x", "a"));  // domains never reach other directories
    EXPECT_FALSE(prefs.value("", "a"));
    EXPECT_TRUE(prefs.value("x", "a"));
}

TEST_F(PreferenceDomainFiles, OversizedFileIsAbsent) {
    write("big.json", "{\"a\": \"" + std::string((1 << 20) + 1, 'x') + "\"}");
    EXPECT_FALSE(JsonFilePreferenceDomains(dir).value("big", "a"));
}

TEST_F(PreferenceDomainFiles, GestureConfigFromFilesAndTheirDefaultPlace) {
    JsonFilePreferenceDomains prefs(dir);
    EXPECT_EQ(readGestureConfig(prefs).rawValue, 0xF6Fu);
    write(std::string(PreferenceDomain::trackpad) + ".json", R"({"TrackpadThreeFingerDrag": 1})");
    EXPECT_EQ(readGestureConfig(prefs).rawValue, 0x1F6Au);
    EXPECT_EQ(defaultPreferenceDomainsDirectory(fs::path("/cfg")), fs::path("/cfg/domains"));
}

}  // namespace
}  // namespace tarvello::test
