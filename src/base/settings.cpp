#include "base/settings.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <random>

namespace tarvello {

namespace {

std::mutex randomMutex;
Settings::RandomSource randomSource;

uint32_t systemRandom32() {
    uint32_t value = 0;
    auto* bytes = reinterpret_cast<unsigned char*>(&value);
    size_t got = 0;
    while (got < sizeof value) {
        ssize_t n = ::getrandom(bytes + got, sizeof value - got, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            // Kernels without getrandom: random_device reads the same pool another way.
            return std::random_device{}();
        }
        got += static_cast<size_t>(n);
    }
    return value;
}

uint32_t random32() {
    std::lock_guard lock(randomMutex);
    return randomSource ? randomSource() : systemRandom32();
}

// Uniform over 0...999999: values at or above the largest multiple of 10^6 that fits in
// 2^32 would make the low codes more likely, so they are drawn again.
uint32_t drawCode() {
    constexpr uint64_t range = 1'000'000;
    constexpr uint64_t limit = (uint64_t{1} << 32) / range * range;
    for (;;) {
        uint32_t v = random32();
        if (v < limit) return static_cast<uint32_t>(v % range);
    }
}

}  // namespace

Settings& Settings::shared() {
    // Never destroyed: readers on other queues may run until the process ends.
    static Settings* instance = new Settings();
    return *instance;
}

void Settings::useStore(std::shared_ptr<SettingsStore> store) {
    Settings& s = shared();
    std::lock_guard lock(s.storeMutex_);
    if (s.store_) s.retired_.push_back(std::move(s.store_));
    s.store_ = std::move(store);
}

void Settings::setRandomSource(RandomSource source) {
    std::lock_guard lock(randomMutex);
    randomSource = std::move(source);
}

SettingsStore& Settings::d() {
    std::lock_guard lock(storeMutex_);
    if (!store_) store_ = std::make_shared<JsonFileStore>(defaultSettingsPath());
    return *store_;
}

namespace {

bool isCode(const std::optional<nlohmann::json>& v) {
    return v && v->is_string() && !v->get_ref<const std::string&>().empty();
}

std::string freshCode() {
    char code[16];
    std::snprintf(code, sizeof code, "%06u", static_cast<unsigned>(drawCode()));
    return code;
}

}  // namespace

std::string Settings::token() {
    SettingsStore& store = d();
    if (auto s = store.getString(SettingsKey::token); s && !s->empty()) return *s;
    // Decided under the store's lock, so first readers in this process or another all
    // end up with the one code that was stored.
    auto stored = store.update(SettingsKey::token, [](const std::optional<nlohmann::json>& current) {
        return isCode(current) ? std::nullopt : std::optional<nlohmann::json>(freshCode());
    });
    return stored->get<std::string>();
}

void Settings::newToken() {
    d().setString(SettingsKey::token, freshCode());
}

double Settings::uiScale() {
    return d().getDouble(SettingsKey::uiScale).value_or(2.5);
}
bool Settings::mirrorMac() {
    return boolValue(SettingsKey::mirrorMac, true);
}
bool Settings::showsCursor() {
    return boolValue(SettingsKey::showsCursor, false);
}
int64_t Settings::maxBitrate() {
    return d().getInt(SettingsKey::maxBitrate).value_or(40);
}
bool Settings::soundOnIPhone() {
    return boolValue(SettingsKey::soundOnIPhone, true);
}
bool Settings::iPhoneMic() {
    return boolValue(SettingsKey::iPhoneMic, true);
}
bool Settings::iPhoneCamera() {
    return boolValue(SettingsKey::iPhoneCamera, true);
}
bool Settings::keepUnlocked() {
    return boolValue(SettingsKey::keepUnlocked, true);
}
bool Settings::stageManager() {
    return boolValue(SettingsKey::stageManager, true);
}
bool Settings::showDock() {
    return boolValue(SettingsKey::showDock, true);
}

std::string Settings::commandKey() {
    // Anything else stored reads as the default, so the input never meets a third value.
    return d().getString(SettingsKey::commandKey) == "super" ? "super" : "control";
}

std::string Settings::display() {
    const auto v = d().getString(SettingsKey::display);
    return v && (*v == "desktop" || *v == "private") ? *v : "auto";
}

bool Settings::tailnetOnly() {
    return boolValue(SettingsKey::tailnetOnly, false);
}

bool Settings::boolValue(const std::string& key, bool def) {
    return d().getBool(key).value_or(def);
}

}  // namespace tarvello
