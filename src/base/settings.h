#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/settings_store.h"

namespace tarvello {

// Keys of the user-defaults domain, so no owner repeats a literal.
namespace SettingsKey {
inline constexpr const char* token = "token";
inline constexpr const char* uiScale = "uiScale";
inline constexpr const char* mirrorMac = "mirrorMac";
inline constexpr const char* showsCursor = "showsCursor";
inline constexpr const char* maxBitrate = "maxBitrate";
inline constexpr const char* soundOnIPhone = "soundOnIPhone";
inline constexpr const char* iPhoneMic = "iPhoneMic";
inline constexpr const char* iPhoneCamera = "iPhoneCamera";
inline constexpr const char* keepUnlocked = "keepUnlocked";
inline constexpr const char* stageManager = "stageManager";
inline constexpr const char* showDock = "showDock";
inline constexpr const char* commandKey = "commandKey";
inline constexpr const char* display = "display";
inline constexpr const char* tailnetOnly = "tailnetOnly";
// Owned by other components, read and written directly through Settings::d().
inline constexpr const char* loginItemConfigured = "loginItemConfigured";
inline constexpr const char* cameraActivated = "cameraActivated";
inline constexpr const char* dockShownBySession = "dockShownBySession";
inline constexpr const char* audioSavedPrefix = "audio.saved.";
}  // namespace SettingsKey

// Typed reads of the user's choices with fixed defaults. Nothing is cached: every read
// goes to the store, so it sees the latest write from any thread or, with a file store,
// any process; a code changed elsewhere shows in the next token(). Reads never rewrite a
// stored value, except token(), which stores a fresh code when none is stored.
class Settings {
public:
    // Uniform 32-bit values; the default source is getrandom(2).
    using RandomSource = std::function<uint32_t()>;

    static Settings& shared();

    // Sets the store the shared instance uses. Meant for start-up (before first use) and
    // tests; a replaced store stays alive, so references from d() never dangle. Without
    // a call, the first use opens a JsonFileStore at defaultSettingsPath().
    static void useStore(std::shared_ptr<SettingsStore> store);

    // Replaces the source of pairing codes; an empty function restores getrandom(2).
    static void setRandomSource(RandomSource source);

    // Writers write through the store directly.
    SettingsStore& d();

    std::string token();
    double uiScale();
    bool mirrorMac();
    bool showsCursor();
    int64_t maxBitrate();
    bool soundOnIPhone();
    bool iPhoneMic();
    bool iPhoneCamera();
    bool keepUnlocked();
    bool stageManager();
    bool showDock();
    // What the phone's Command keys press on the computer: "control" or "super".
    std::string commandKey();
    // Which desktop the phone shows: "auto", "desktop" or "private"; read as each session starts.
    std::string display();
    // Serve only peers inside the tailnet, whose traffic Tailscale encrypts.
    bool tailnetOnly();
    bool boolValue(const std::string& key, bool def = true);

    // The "New code" action: the next code is drawn independently of the old one and
    // replaces it in one write, so no reader ever finds the code missing.
    void newToken();

    Settings(const Settings&) = delete;
    Settings& operator=(const Settings&) = delete;

private:
    Settings() = default;

    std::mutex storeMutex_;
    std::shared_ptr<SettingsStore> store_;
    std::vector<std::shared_ptr<SettingsStore>> retired_;
};

}  // namespace tarvello
