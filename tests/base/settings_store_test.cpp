#include "base/settings_store.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "app/child_processes.h"

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

void PrintTo(const TypedCase& c, std::ostream* os) {
    *os << c.name;
}

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
    ::testing::Values(TypedCase{"bool", true, true, std::nullopt, std::nullopt, std::nullopt},
                      TypedCase{"positiveInt", 40, std::nullopt, 40, 40.0, std::nullopt},
                      TypedCase{"negativeInt", -3, std::nullopt, -3, -3.0, std::nullopt},
                      TypedCase{"zero", 0, std::nullopt, 0, 0.0, std::nullopt},
                      TypedCase{"integralDouble", 40.0, std::nullopt, 40, 40.0, std::nullopt},
                      TypedCase{"fractionalDouble", 2.5, std::nullopt, std::nullopt, 2.5, std::nullopt},
                      TypedCase{"doubleBeyondInt64", 1e19, std::nullopt, std::nullopt, 1e19, std::nullopt},
                      TypedCase{"unsignedBeyondInt64", json(uint64_t{18446744073709551615u}), std::nullopt,
                                std::nullopt, 18446744073709551615.0, std::nullopt},
                      TypedCase{"int64Max", json(int64_t{9223372036854775807}), std::nullopt,
                                int64_t{9223372036854775807}, 9223372036854775807.0, std::nullopt},
                      TypedCase{"numericString", "40", std::nullopt, std::nullopt, std::nullopt, "40"},
                      TypedCase{"emptyString", "", std::nullopt, std::nullopt, std::nullopt, ""},
                      TypedCase{"null", nullptr, std::nullopt, std::nullopt, std::nullopt, std::nullopt},
                      TypedCase{"array", json::array({1}), std::nullopt, std::nullopt, std::nullopt,
                                std::nullopt},
                      TypedCase{"object", json::object({{"a", true}}), std::nullopt, std::nullopt,
                                std::nullopt, std::nullopt}),
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

TEST_F(SettingsJsonFileStore, StringThatIsNotUtf8IsSavedWithReplacementCharacters) {
    const std::string bad =
        "caf\xC3"
        "\xFF"
        "e";  // a cut sequence and a byte UTF-8 never uses
    const std::string saved =
        "caf\xEF\xBF\xBD\xEF\xBF\xBD"
        "e";
    {
        JsonFileStore store(file());
        ASSERT_TRUE(store.setString("name", bad));
        ASSERT_TRUE(store.set("nested", json::object({{"k", bad}})));
        // What this run reads is what the file holds, not the bytes it was handed.
        EXPECT_EQ(store.getString("name"), saved);
    }
    JsonFileStore store(file());
    EXPECT_EQ(store.getString("name"), saved);
    EXPECT_EQ(store.get("nested"), json::object({{"k", saved}}));
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

INSTANTIATE_TEST_SUITE_P(Settings, SettingsJsonFileStoreUnwritable,
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

// ---- other writers ----

fs::path fileIn(const TempDir& dir) {
    return dir.path() / "settings.json";
}

json onDisk(const fs::path& file) {
    return json::parse(readFile(file));
}

// Every write is a read-modify-write of the file under the lock: two processes that
// each kept their own copy would leave only the keys of whichever wrote last.
TEST(SettingsJsonFileStoreProcesses, TwoProcessesWritingDifferentKeysLoseNone) {
    constexpr int perProcess = 500;
    TempDir dir(fastTempBase());
    const fs::path file = fileIn(dir);
    test::ChildProcesses children;
    for (std::string prefix : {"a.", "b."}) {
        children.spawn([&file, prefix](std::string& say) {
            JsonFileStore store(file);
            int failed = 0;
            for (int i = 0; i < perProcess; ++i)
                failed += store.setInt(prefix + std::to_string(i), i) ? 0 : 1;
            say = std::to_string(failed) + " writes failed";
            return failed == 0 ? 0 : 1;
        });
    }
    for (const auto& r : children.wait()) EXPECT_EQ(r.exitCode, 0) << r.said;

    JsonFileStore reloaded(file);
    int missing = 0;
    for (const char* prefix : {"a.", "b."}) {
        for (int i = 0; i < perProcess; ++i) {
            if (reloaded.getInt(prefix + std::to_string(i)) != i) ++missing;
        }
    }
    EXPECT_EQ(missing, 0);
    EXPECT_EQ(onDisk(file).size(), 2u * perProcess);
    EXPECT_TRUE(entriesStartingWith(dir.path(), "settings.json.tmp-").empty());
}

TEST(SettingsJsonFileStoreProcesses, UpdateReadsAndWritesAsOneStep) {
    constexpr int perProcess = 200;
    TempDir dir(fastTempBase());
    const fs::path file = fileIn(dir);
    test::ChildProcesses children;
    for (int c = 0; c < 2; ++c) {
        children.spawn([&file](std::string&) {
            JsonFileStore store(file);
            for (int i = 0; i < perProcess; ++i) {
                store.update("count",
                             [](const std::optional<json>& v) { return json(v ? v->get<int>() + 1 : 1); });
            }
            return 0;
        });
    }
    for (const auto& r : children.wait()) EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(JsonFileStore(file).getInt("count"), 2 * perProcess);
}

TEST(SettingsJsonFileStoreProcesses, ReadsSeeWhatAnotherProcessWrote) {
    TempDir dir;
    const fs::path file = fileIn(dir);
    JsonFileStore mine(file);
    ASSERT_TRUE(mine.setString("token", "111111"));
    ASSERT_TRUE(mine.setBool("cameraActivated", true));
    ASSERT_EQ(mine.getString("token"), "111111");

    test::ChildProcesses children;
    children.spawn([&file](std::string&) {
        JsonFileStore theirs(file);
        bool ok = theirs.setString("token", "222222") && theirs.remove("cameraActivated");
        return ok ? 0 : 1;
    });
    ASSERT_EQ(children.wait().at(0).exitCode, 0);

    EXPECT_EQ(mine.getString("token"), "222222");
    EXPECT_EQ(mine.getBool("cameraActivated"), std::nullopt);
    ASSERT_TRUE(mine.setInt("maxBitrate", 16));
    EXPECT_EQ(onDisk(file), (json{{"token", "222222"}, {"maxBitrate", 16}}));
}

TEST_F(SettingsJsonFileStore, AnotherInstanceInThisProcessIsAnotherWriter) {
    JsonFileStore a(file());
    JsonFileStore b(file());
    ASSERT_TRUE(a.setInt("x", 1));
    ASSERT_TRUE(b.setInt("y", 2));
    EXPECT_EQ(a.getInt("y"), 2);
    ASSERT_TRUE(a.setInt("z", 3));
    EXPECT_EQ(onDisk(file()), (json{{"x", 1}, {"y", 2}, {"z", 3}}));
    EXPECT_EQ(b.getInt("z"), 3);
}

TEST_F(SettingsJsonFileStore, DeletedFileReadsAsEmpty) {
    JsonFileStore store(file());
    ASSERT_TRUE(store.setBool("showDock", false));
    fs::remove(file());
    EXPECT_EQ(store.getBool("showDock"), std::nullopt);
    ASSERT_TRUE(store.setBool("mirrorMac", false));
    EXPECT_EQ(onDisk(file()), (json{{"mirrorMac", false}}));
}

// The ways an editor saves: a new file renamed over the old one, or the old file
// truncated and rewritten, possibly to the same size within the same clock tick.
struct HandEdit {
    const char* name;
    std::function<void(const fs::path& file, const std::string& text)> save;
};

void PrintTo(const HandEdit& e, std::ostream* os) {
    *os << e.name;
}

class SettingsJsonFileStoreHandEdit : public SettingsJsonFileStore,
                                      public ::testing::WithParamInterface<HandEdit> {};

TEST_P(SettingsJsonFileStoreHandEdit, EditIsReadAndKeptWhenAnotherKeyIsWritten) {
    JsonFileStore store(file());
    ASSERT_TRUE(store.setInt("maxBitrate", 24));
    ASSERT_TRUE(store.setString("sessionCommand", "xterm"));
    ASSERT_EQ(store.getString("sessionCommand"), "xterm");

    GetParam().save(file(), R"({"maxBitrate": 24, "sessionCommand": "aaaaa"})");
    EXPECT_EQ(store.getString("sessionCommand"), "aaaaa");
    GetParam().save(file(), R"({"maxBitrate": 24, "sessionCommand": "bbbbb"})");
    EXPECT_EQ(store.getString("sessionCommand"), "bbbbb");

    ASSERT_TRUE(store.setBool("showDock", false));
    EXPECT_EQ(onDisk(file()), (json{{"maxBitrate", 24}, {"sessionCommand", "bbbbb"}, {"showDock", false}}));
}

INSTANTIATE_TEST_SUITE_P(Settings, SettingsJsonFileStoreHandEdit,
                         ::testing::Values(HandEdit{"replacedByRename",
                                                    [](const fs::path& file, const std::string& text) {
                                                        fs::path edited = file;
                                                        edited += ".edited";
                                                        writeFile(edited, text);
                                                        fs::rename(edited, file);
                                                    }},
                                           HandEdit{"rewrittenInPlace",
                                                    [](const fs::path& file, const std::string& text) {
                                                        writeFile(file, text);
                                                    }}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(SettingsJsonFileStore, BrokenEditMidRunKeepsValuesAndIsKeptAsideByTheNextWrite) {
    JsonFileStore store(file());
    ASSERT_TRUE(store.setInt("maxBitrate", 24));
    ASSERT_TRUE(store.setBool("showDock", false));
    const std::string broken = R"({"maxBitrate": 24, "showDock")";
    writeFile(file(), broken);

    EXPECT_EQ(store.getInt("maxBitrate"), 24);
    EXPECT_EQ(store.getBool("showDock"), false);
    EXPECT_TRUE(entriesStartingWith(dir_.path(), "settings.json.corrupt-").empty())
        << "a read must not move a file an editor may still be writing";

    ASSERT_TRUE(store.setBool("mirrorMac", false));
    auto aside = entriesStartingWith(dir_.path(), "settings.json.corrupt-");
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(readFile(aside[0]), broken);
    EXPECT_EQ(onDisk(file()), (json{{"maxBitrate", 24}, {"showDock", false}, {"mirrorMac", false}}));
}

// A location that fails until its parent, a file, is replaced by a directory.
class SettingsJsonFileStoreRecovering : public SettingsJsonFileStore {
protected:
    void SetUp() override { writeFile(parent(), "x"); }
    fs::path parent() const { return dir_.path() / "config"; }
    fs::path settings() const { return parent() / "settings.json"; }
    void repair() const {
        fs::remove(parent());
        fs::create_directory(parent());
    }
};

TEST_F(SettingsJsonFileStoreRecovering, FailedWriteIsSavedByTheNextWriteThatSucceeds) {
    JsonFileStore store(settings());
    EXPECT_FALSE(store.setInt("maxBitrate", 16));
    EXPECT_FALSE(store.setBool("showDock", false));
    EXPECT_EQ(store.getInt("maxBitrate"), 16);
    repair();
    EXPECT_EQ(store.getInt("maxBitrate"), 16);
    EXPECT_TRUE(store.setBool("mirrorMac", false));
    EXPECT_EQ(onDisk(settings()), (json{{"maxBitrate", 16}, {"showDock", false}, {"mirrorMac", false}}));
}

TEST_F(SettingsJsonFileStoreRecovering, FailedWriteGivesWayToALaterWriterOfTheSameKey) {
    JsonFileStore store(settings());
    EXPECT_FALSE(store.setInt("maxBitrate", 16));
    repair();
    ASSERT_TRUE(JsonFileStore(settings()).setInt("maxBitrate", 32));
    EXPECT_EQ(store.getInt("maxBitrate"), 32);
    EXPECT_TRUE(store.setBool("mirrorMac", false));
    EXPECT_EQ(onDisk(settings()), (json{{"maxBitrate", 32}, {"mirrorMac", false}}));
}

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
