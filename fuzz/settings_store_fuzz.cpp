// The settings file loader over arbitrary file contents, through the store's public
// interface only: a file that is a JSON object is taken as it is and left in place;
// anything else is kept aside and the store starts empty; either way the store keeps
// working and what it writes reads back.

#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "base/settings_store.h"
#include "fuzz_check.h"
#include "protocol/byte_codec.h"

using namespace tarvello;
namespace fs = std::filesystem;

namespace {

const fs::path& workDir() {
    static const fs::path dir = [] {
        // Under $TMPDIR, so that the runner's clean-up also takes what a crash leaves.
        const char* tmp = std::getenv("TMPDIR");
        std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/tarvello-settings-fuzz-XXXXXX";
        const char* made = mkdtemp(tmpl.data());
        FUZZ_CHECK(made != nullptr);
        const fs::path d = made;
        std::atexit([] {
            std::error_code ec;
            fs::remove_all(workDir(), ec);
        });
        return d;
    }();
    return dir;
}

void clearDir(const fs::path& dir) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) fs::remove_all(e.path(), ec);
}

std::string contentsOf(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Files beside the settings whose names start with "settings.json.corrupt-".
std::vector<fs::path> keptAside(const fs::path& dir) {
    std::vector<fs::path> out;
    std::error_code ec;
    for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
        if (it->path().filename().string().starts_with("settings.json.corrupt-")) out.push_back(it->path());
    }
    return out;
}

// The typed reads never contradict the stored value's JSON type.
void checkTypedReads(const SettingsStore& store, const std::string& key, const nlohmann::json& v) {
    if (auto b = store.getBool(key)) FUZZ_CHECK(v.is_boolean() && *b == v.get<bool>());
    if (auto i = store.getInt(key))
        FUZZ_CHECK(v.is_number() && !v.is_boolean() && v.get<double>() == double(*i));
    if (auto d = store.getDouble(key)) FUZZ_CHECK(v.is_number());
    if (auto s = store.getString(key)) FUZZ_CHECK(v.is_string() && *s == v.get<std::string>());
    if (v.is_boolean()) FUZZ_CHECK(!store.getInt(key) && !store.getDouble(key));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fs::path dir = workDir();
    clearDir(dir);
    const fs::path file = dir / "settings.json";
    const std::string contents(reinterpret_cast<const char*>(data), size);
    {
        std::ofstream out(file, std::ios::binary);
        out.write(contents.data(), std::streamsize(contents.size()));
    }
    const auto parsed = nlohmann::json::parse(contents, nullptr, false);
    const bool blank = contents.find_first_not_of(" \t\r\n") == std::string::npos;
    const bool isObject = !parsed.is_discarded() && parsed.is_object();

    JsonFileStore store(file);
    if (isObject || blank) {
        // Taken as it is and left in place, untouched.
        FUZZ_CHECK(contentsOf(file) == contents && keptAside(dir).empty());
        const nlohmann::json loaded = isObject ? parsed : nlohmann::json::object();
        for (const auto& [key, value] : loaded.items()) {
            const auto got = store.get(key);
            FUZZ_CHECK(got && *got == value);
            checkTypedReads(store, key, value);
        }
    } else {
        // Kept aside under another name, byte for byte; nothing of it is believed.
        const auto aside = keptAside(dir);
        FUZZ_CHECK(!fs::exists(file) && aside.size() == 1 && contentsOf(aside[0]) == contents);
    }

    // Whatever was loaded, a write lands and a fresh load sees all of it, even of
    // bytes that are not UTF-8.
    const std::string raw(reinterpret_cast<const char*>(data), std::min<size_t>(size, 16));
    FUZZ_CHECK(store.setString("fuzz.key", raw));
    FUZZ_CHECK(store.setInt("fuzz.int", int64_t(size)));
    JsonFileStore again(file);
    FUZZ_CHECK(again.getInt("fuzz.int") == int64_t(size));
    if (isObject) {
        for (const auto& [key, value] : parsed.items()) {
            if (key == "fuzz.key" || key == "fuzz.int") continue;
            FUZZ_CHECK(again.get(key) == std::optional<nlohmann::json>(value));
        }
    }
    return 0;
}
