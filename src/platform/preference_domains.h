#pragma once

#include <filesystem>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace tarvello {

// Read access to named preference domains other than the application's own settings
// (trackpad, dock, window manager), each a flat map of keys to JSON values.
// Reads never fail: a missing or unreadable domain or key is absent. Any thread.
class PreferenceDomains {
public:
    virtual ~PreferenceDomains() = default;
    virtual std::optional<nlohmann::json> value(std::string_view domain, std::string_view key) const = 0;
};

// One JSON object per domain in `<directory>/<domain>.json`. Files are read on every
// call, so edits apply at once. A missing file, a file that is not a JSON object, a
// file over 1 MiB and a domain name that is not a plain file name all read as absent.
class JsonFilePreferenceDomains final : public PreferenceDomains {
public:
    explicit JsonFilePreferenceDomains(std::filesystem::path directory);
    std::optional<nlohmann::json> value(std::string_view domain, std::string_view key) const override;
    const std::filesystem::path& directory() const { return directory_; }

private:
    std::filesystem::path directory_;
};

// DIR/domains for --config-dir DIR; else $XDG_CONFIG_HOME/tarvello/domains (when set to
// an absolute path); else $HOME/.config/tarvello/domains; nothing without a home.
std::optional<std::filesystem::path> defaultPreferenceDomainsDirectory(
    std::optional<std::filesystem::path> configDir = std::nullopt);

// Held in memory: tests and runs that must not read the user's files.
class MemoryPreferenceDomains final : public PreferenceDomains {
public:
    std::optional<nlohmann::json> value(std::string_view domain, std::string_view key) const override;
    void set(const std::string& domain, const std::string& key, nlohmann::json v);
    void remove(const std::string& domain, const std::string& key);

private:
    mutable std::mutex mutex_;
    std::map<std::string, nlohmann::json, std::less<>> domains_;
};

}  // namespace tarvello
