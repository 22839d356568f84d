#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace tarvello {

// The user-defaults domain: one flat JSON object of keys to values. Every method may be
// called from any thread. Writes never throw; they return false when the value could
// not be made durable (the store then still holds it for the rest of the run).
class SettingsStore {
public:
    virtual ~SettingsStore() = default;

    virtual std::optional<nlohmann::json> get(const std::string& key) const = 0;
    virtual bool set(const std::string& key, nlohmann::json value) = 0;
    // Removing a key that is not there succeeds.
    virtual bool remove(const std::string& key) = 0;

    // Typed reads: a stored value of another JSON type reads as absent. Bools are never
    // numbers. An integer reads as a double. A double reads as an integer only when its
    // value is integral and within int64 (hand-edited files write 40.0 for 40); 40.5
    // reads as absent rather than silently truncated.
    std::optional<bool> getBool(const std::string& key) const;
    std::optional<int64_t> getInt(const std::string& key) const;
    std::optional<double> getDouble(const std::string& key) const;
    std::optional<std::string> getString(const std::string& key) const;

    bool setBool(const std::string& key, bool value);
    bool setInt(const std::string& key, int64_t value);
    // Refuses NaN and infinities: JSON cannot carry them.
    bool setDouble(const std::string& key, double value);
    bool setString(const std::string& key, std::string value);
};

// Held in memory only: tests and runs that must not touch the user's files.
class MemoryStore final : public SettingsStore {
public:
    std::optional<nlohmann::json> get(const std::string& key) const override;
    bool set(const std::string& key, nlohmann::json value) override;
    bool remove(const std::string& key) override;

private:
    mutable std::mutex mutex_;
    nlohmann::json data_ = nlohmann::json::object();
};

// A JSON object in one file. The in-memory object is the truth; each write stores the
// whole object atomically (temporary file in the same directory, fsync, rename, fsync
// of the directory), under one lock so concurrent writers lose nothing. A file that
// cannot be read as a JSON object is renamed to "<name>.corrupt-<timestamp>" and the
// store starts empty. Temporary files left by a crash are deleted at construction.
class JsonFileStore final : public SettingsStore {
public:
    explicit JsonFileStore(std::filesystem::path file);

    std::optional<nlohmann::json> get(const std::string& key) const override;
    bool set(const std::string& key, nlohmann::json value) override;
    bool remove(const std::string& key) override;

    const std::filesystem::path& path() const { return file_; }

private:
    void load();
    bool persistLocked();

    std::filesystem::path file_;
    mutable std::mutex mutex_;
    nlohmann::json data_ = nlohmann::json::object();
};

// DIR/settings.json for --config-dir DIR; else $XDG_CONFIG_HOME/tarvello/settings.json
// (when set to an absolute path); else $HOME/.config/tarvello/settings.json.
std::filesystem::path defaultSettingsPath(std::optional<std::filesystem::path> configDir = std::nullopt);

}  // namespace tarvello
