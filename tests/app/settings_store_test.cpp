#include "app/settings_store.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

namespace tarvello {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

class TempDir {
public:
    explicit TempDir(const fs::path& base = fs::temp_directory_path()) {
        std::string tmpl = (base / "tarvello-settings-XXXXXX").string();
        if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const fs::path& p, const std::string& text) {
    std::ofstream out(p, std::ios::binary);
    out << text;
}

std::vector<fs::path> entriesStartingWith(const fs::path& dir, const std::string& prefix) {
    std::vector<fs::path> found;
    for (const auto& e : fs::directory_iterator(dir)) {
        if (e.path().filename().string().starts_with(prefix)) found.push_back(e.path());
    }
    return found;
}

// ---- typed reads ----

struct TypedCase {
    const char* name;
    json stored;
    std::optional<bool> asBool;
    std::optional<int64_t> asInt;
    std::optional<double> asDouble;
    std::optional<std::string> asString;
};

void PrintTo(const TypedCase& c, std::ostream* os) { *os << c.name; }

class SettingsStoreTypes : public ::testing::TestWithParam<TypedCase> {};

void expectTyped(const SettingsStore& store, const TypedCase& c) {
    EXPECT_EQ(store.getBool("k"), c.asBool);
    EXPECT_EQ(store.getInt("k"), c.asInt);
    EXPECT_EQ(store.getDouble("k"), c.asDouble);
    EXPECT_EQ(store.getString("k"), c.asString);
}

TEST_P(SettingsStoreTypes, MemoryStoreReadsOnlyMatchingTypes) {
    MemoryStore store;
    ASSERT_TRUE(store.set("k", GetParam().stored));
    expectTyped(store, GetParam());
}

// Positive integers come back from disk as unsigned and 40.0 as a float: the rule must
// hold after a reload, not only for values set in this run.
TEST_P(SettingsStoreTypes, FileStoreReadsOnlyMatchingTypesAfterReload) {
    TempDir dir;
    ASSERT_TRUE(JsonFileStore(dir.path() / "settings.json").set("k", GetParam().stored));
    JsonFileStore reloaded(dir.path() / "settings.json");
    expectTyped(reloaded, GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    Settings, SettingsStoreTypes,
    ::testing::Values(
        TypedCase{"bool", true, true, std::nullopt, std::nullopt, std::nullopt},
        TypedCase{"positiveInt", 40, std::nullopt, 40, 40.0, std::nullopt},
        TypedCase{"negativeInt", -3, std::nullopt, -3, -3.0, std::nullopt},
        TypedCase{"zero", 0, std::nullopt, 0, 0.0, std::nullopt},
        TypedCase{"integralDouble", 40.0, std::nullopt, 40, 40.0, std::nullopt},
        TypedCase{"fractionalDouble", 2.5, std::nullopt, std::nullopt, 2.5, std::nullopt},
        TypedCase{"doubleBeyondInt64", 1e19, std::nullopt, std::nullopt, 1e19, std::nullopt},
        TypedCase{"unsignedBeyondInt64", json(uint64_t{18446744073709551615u}), std::nullopt, std::nullopt,
                  18446744073709551615.0, std::nullopt},
        TypedCase{"int64Max", json(int64_t{9223372036854775807}), std::nullopt, int64_t{9223372036854775807},
                  9223372036854775807.0, std::nullopt},
        TypedCase{"numericString", "40", std::nullopt, std::nullopt, std::nullopt, "40"},
        TypedCase{"emptyString", "", std::nullopt, std::nullopt, std::nullopt, ""},
        TypedCase{"null", nullptr, std::nullopt, std::nullopt, std::nullopt, std::nullopt},
        TypedCase{"array", json::array({1}), std::nullopt, std::nullopt, std::nullopt, std::nullopt},
        TypedCase{"object", json::object({{"a", true}}), std::nullopt, std::nullopt, std::nullopt,
                  std::nullopt}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(SettingsStoreHelpers, NonFiniteDoublesAreRefusedAndRemoveIsIdempotent) {
    MemoryStore store;
    EXPECT_TRUE(store.setDouble("d", 1.75));
    EXPECT_FALSE(store.setDouble("d", std::numeric_limits<double>::quiet_NaN()));
    EXPECT_FALSE(store.setDouble("d", std::numeric_limits<double>::infinity()));
    EXPECT_EQ(store.getDouble("d"), 1.75);
    EXPECT_TRUE(store.remove("d"));
    EXPECT_EQ(store.get("d"), std::nullopt);
    EXPECT_TRUE(store.remove("d"));
}

// ---- JsonFileStore ----

class SettingsJsonFileStore : public ::testing::Test {
protected:
    fs::path file() const { return dir_.path() / "settings.json"; }
    TempDir dir_;
};

TEST_F(SettingsJsonFileStore, RoundTripThroughFreshInstance) {
    {
        JsonFileStore store(file());
        EXPECT_TRUE(store.setString("token", "012345"));
        EXPECT_TRUE(store.setDouble("uiScale", 1.75));
        EXPECT_TRUE(store.setInt("maxBitrate", 64));
        EXPECT_TRUE(store.setBool("showsCursor", true));
        EXPECT_TRUE(store.set("audio.saved.output", json::object({{"uid", "a"}})));
        EXPECT_TRUE(store.setBool("gone", true));
        EXPECT_TRUE(store.remove("gone"));
    }
    JsonFileStore store(file());
    EXPECT_EQ(store.getString("token"), "012345");
    EXPECT_EQ(store.getDouble("uiScale"), 1.75);
    EXPECT_EQ(store.getInt("maxBitrate"), 64);
    EXPECT_EQ(store.getBool("showsCursor"), true);
    EXPECT_EQ(store.get("audio.saved.output"), json::object({{"uid", "a"}}));
    EXPECT_EQ(store.get("gone"), std::nullopt);

    auto onDisk = json::parse(readFile(file()));
    EXPECT_TRUE(onDisk.is_object());
    EXPECT_EQ(onDisk.size(), 5u);
}

TEST_F(SettingsJsonFileStore, CreatesMissingDirectories) {
    fs::path nested = dir_.path() / "a" / "b" / "settings.json";
    JsonFileStore store(nested);
    EXPECT_TRUE(store.setBool("mirrorMac", false));
    EXPECT_EQ(JsonFileStore(nested).getBool("mirrorMac"), false);
}

// Memory-backed when available: this is about the lock, and a thousand fsyncs on a
// disk would only make it slow.
fs::path fastTempBase() {
    std::error_code ec;
    if (fs::is_directory("/dev/shm", ec) && ::access("/dev/shm", W_OK) == 0) return "/dev/shm";
    return fs::temp_directory_path();
}

TEST(SettingsJsonFileStoreThreads, ConcurrentWritersLoseNoKey) {
    constexpr int perThread = 500;
    TempDir dir(fastTempBase());
    const fs::path file = dir.path() / "settings.json";
    {
        JsonFileStore store(file);
        auto writer = [&store](const std::string& prefix) {
            for (int i = 0; i < perThread; ++i) store.setInt(prefix + std::to_string(i), i);
        };
        std::thread a(writer, "a.");
        std::thread b(writer, "b.");
        a.join();
        b.join();
    }
    JsonFileStore reloaded(file);
    int missing = 0;
    for (const char* prefix : {"a.", "b."}) {
        for (int i = 0; i < perThread; ++i) {
            if (reloaded.getInt(prefix + std::to_string(i)) != i) ++missing;
        }
    }
    EXPECT_EQ(missing, 0);
    EXPECT_TRUE(entriesStartingWith(dir.path(), "settings.json.tmp-").empty());
}

TEST_F(SettingsJsonFileStore, CrashBeforeRenameKeepsPreviousFile) {
    ASSERT_TRUE(JsonFileStore(file()).setInt("maxBitrate", 24));
    const std::string before = readFile(file());
    // What a writer leaves when it dies after writing its temporary file.
    writeFile(dir_.path() / "settings.json.tmp-Ab12Cd", R"({"maxBitrate": 80, "uiScale")");

    JsonFileStore store(file());
    EXPECT_EQ(store.getInt("maxBitrate"), 24);
    EXPECT_EQ(store.get("uiScale"), std::nullopt);
    EXPECT_EQ(readFile(file()), before);
    EXPECT_TRUE(entriesStartingWith(dir_.path(), "settings.json.tmp-").empty());
    EXPECT_TRUE(entriesStartingWith(dir_.path(), "settings.json.corrupt-").empty());
}

class SettingsJsonFileStoreCorrupt : public SettingsJsonFileStore,
                                     public ::testing::WithParamInterface<std::string> {};

TEST_P(SettingsJsonFileStoreCorrupt, KeptAsideAndStartsEmpty) {
    writeFile(file(), GetParam());
    JsonFileStore store(file());
    EXPECT_EQ(store.get("maxBitrate"), std::nullopt);

    auto aside = entriesStartingWith(dir_.path(), "settings.json.corrupt-");
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(readFile(aside[0]), GetParam());

    EXPECT_TRUE(store.setInt("maxBitrate", 32));
    EXPECT_EQ(JsonFileStore(file()).getInt("maxBitrate"), 32);
    EXPECT_EQ(readFile(aside[0]), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Settings, SettingsJsonFileStoreCorrupt,
                         ::testing::Values(R"({"maxBitrate": 40)", "[1, 2, 3]", R"("text")", "42",
                                           std::string("\xff\xfe{}", 4)));

TEST_F(SettingsJsonFileStore, SecondCorruptFileDoesNotOverwriteTheFirst) {
    writeFile(file(), "first");
    JsonFileStore{file()};
    writeFile(file(), "second");
    JsonFileStore{file()};
    auto aside = entriesStartingWith(dir_.path(), "settings.json.corrupt-");
    ASSERT_EQ(aside.size(), 2u);
    std::vector<std::string> contents{readFile(aside[0]), readFile(aside[1])};
    std::sort(contents.begin(), contents.end());
    EXPECT_EQ(contents, (std::vector<std::string>{"first", "second"}));
}

TEST_F(SettingsJsonFileStore, WritesThroughSymlinkToItsTarget) {
    fs::create_directory(dir_.path() / "dotfiles");
    fs::path target = dir_.path() / "dotfiles" / "tarvello.json";
    writeFile(target, R"({"showDock": true})");
    fs::create_symlink(target, file());

    JsonFileStore store(file());
    EXPECT_EQ(store.getBool("showDock"), true);
    EXPECT_TRUE(store.setBool("showDock", false));
    EXPECT_TRUE(fs::is_symlink(file()));
    EXPECT_EQ(json::parse(readFile(target))["showDock"], false);
}

// Root may write anywhere, so unwritable locations are made of wrong file types.
struct UnwritableCase {
    const char* name;
    std::function<fs::path(const fs::path& dir)> prepare;
};

class SettingsJsonFileStoreUnwritable : public ::testing::TestWithParam<UnwritableCase> {};

TEST_P(SettingsJsonFileStoreUnwritable, SetReturnsFalseAndKeepsValueForTheRun) {
    TempDir dir;
    fs::path file = GetParam().prepare(dir.path());
    std::optional<JsonFileStore> store;
    ASSERT_NO_THROW(store.emplace(file));
    bool ok = true;
    ASSERT_NO_THROW(ok = store->setInt("maxBitrate", 16));
    EXPECT_FALSE(ok);
    EXPECT_EQ(store->getInt("maxBitrate"), 16);
    ASSERT_NO_THROW(ok = store->remove("maxBitrate"));
    EXPECT_FALSE(ok);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, SettingsJsonFileStoreUnwritable,
    ::testing::Values(UnwritableCase{"parentIsAFile",
                                     [](const fs::path& dir) {
                                         writeFile(dir / "config", "x");
                                         return dir / "config" / "settings.json";
                                     }},
                      UnwritableCase{"fileIsADirectory",
                                     [](const fs::path& dir) {
                                         fs::create_directory(dir / "settings.json");
                                         return dir / "settings.json";
                                     }}),
    [](const auto& p) { return std::string(p.param.name); });

// ---- default location ----

class ScopedEnv {
public:
    explicit ScopedEnv(const char* name) : name_(name) {
        if (const char* v = std::getenv(name)) saved_ = v;
    }
    ~ScopedEnv() {
        if (saved_) {
            ::setenv(name_, saved_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }
    void set(const char* value) {
        if (value) {
            ::setenv(name_, value, 1);
        } else {
            ::unsetenv(name_);
        }
    }

private:
    const char* name_;
    std::optional<std::string> saved_;
};

struct PathCase {
    const char* name;
    std::optional<fs::path> configDir;
    const char* xdg;
    const char* home;
    fs::path expected;
};

class SettingsPath : public ::testing::TestWithParam<PathCase> {};

TEST_P(SettingsPath, ChoosesLocation) {
    ScopedEnv xdg("XDG_CONFIG_HOME");
    ScopedEnv home("HOME");
    xdg.set(GetParam().xdg);
    home.set(GetParam().home);
    EXPECT_EQ(defaultSettingsPath(GetParam().configDir), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, SettingsPath,
    ::testing::Values(
        PathCase{"configDirWins", fs::path("/opt/cfg"), "/x", "/h", "/opt/cfg/settings.json"},
        PathCase{"xdg", std::nullopt, "/x", "/h", "/x/tarvello/settings.json"},
        PathCase{"relativeXdgIgnored", std::nullopt, "rel", "/h", "/h/.config/tarvello/settings.json"},
        PathCase{"emptyXdgIgnored", std::nullopt, "", "/h", "/h/.config/tarvello/settings.json"},
        PathCase{"home", std::nullopt, nullptr, "/h", "/h/.config/tarvello/settings.json"}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace tarvello
