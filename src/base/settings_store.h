#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
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

    // Reads one key and stores what `decide` makes of it with no other write in between:
    // `decide` gets the current value and returns the new one, or nothing to leave the
    // key as it is. Returns the key's value afterwards (kept for the run even when it
    // could not be made durable). This default is only as atomic as get() then set().
    using Decide = std::function<std::optional<nlohmann::json>(const std::optional<nlohmann::json>& current)>;
    virtual std::optional<nlohmann::json> update(const std::string& key, const Decide& decide);

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
    std::optional<nlohmann::json> update(const std::string& key, const Decide& decide) override;

private:
    mutable std::mutex mutex_;
    nlohmann::json data_ = nlohmann::json::object();
};

// A JSON object in one file that other processes (a second copy, `tarvello --new-code`,
// a text editor) may change at any time. The file is the truth: a read first compares
// the file's identity, size and times with those of the copy it holds (one stat) and
// reads it again when they differ. A write takes an advisory lock (flock on
// "<name>.lock" beside it), reads the file as it is, changes that one key and replaces
// the file atomically (temporary file in the same directory, fsync, rename, fsync of the
// directory), so writers of different keys, in any process, lose nothing.
//
// A file that cannot be read as a JSON object: at construction, and when a write finds
// it so, it is renamed to "<name>.corrupt-<timestamp>" (never overwritten) and logged;
// construction then starts empty, a write starts from the last contents read well.
// Reads never move it (an editor may be halfway through); they keep answering from the
// last contents read well. A deleted file reads as empty. Temporary files left by a
// crash are deleted at construction.
//
// A value whose write failed is still answered for the rest of the run, and written
// with the next write that succeeds, unless another writer changes that key meanwhile.
class JsonFileStore final : public SettingsStore {
public:
    explicit JsonFileStore(std::filesystem::path file);

    std::optional<nlohmann::json> get(const std::string& key) const override;
    bool set(const std::string& key, nlohmann::json value) override;
    bool remove(const std::string& key) override;
    std::optional<nlohmann::json> update(const std::string& key, const Decide& decide) override;

    const std::filesystem::path& path() const { return file_; }

    // What makes a rewritten or edited file look different without reading it. File times
    // advance in clock ticks, so a file changed within the last moments may change again
    // under the same time and size: such a stamp is not settled and equals no other.
    struct Stamp {
        bool exists = false;
        bool settled = true;
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        timespec modified{};
        timespec changed{};
        bool sameFields(const Stamp& other) const;
        bool operator==(const Stamp& other) const { return settled && other.settled && sameFields(other); }
    };

private:
    struct Unsaved {
        std::optional<nlohmann::json> value;     // nothing: removed
        std::optional<nlohmann::json> replaced;  // the file's value when the write failed
    };
    enum class Found { absent, object, unreadable, notAFile };
    // Outer nothing: leave the key alone; inner nothing: remove it.
    using Change = std::optional<std::optional<nlohmann::json>>;
    using ChangeFn = std::function<Change(const std::optional<nlohmann::json>& current)>;

    Found readLocked(nlohmann::json& into, Stamp& stamp) const;
    void refreshLocked() const;
    void keepAsideLocked();
    void dropSupersededLocked(const nlohmann::json& contents) const;
    std::optional<nlohmann::json> lookupLocked(const std::string& key) const;
    // Applies `decide` to the key in the file's current contents under the file lock.
    // Sets `durable` to whether the result is on disk.
    std::optional<nlohmann::json> writeKey(const std::string& key, const ChangeFn& change, bool& durable);
    // On success `written` is the stamp of the file now in place.
    bool persistLocked(const nlohmann::json& contents, Stamp& written);

    std::filesystem::path file_;
    std::filesystem::path lockFile_;
    mutable std::mutex mutex_;
    // The file as last read well, and the stamp of the file that answer stands for.
    mutable nlohmann::json data_ = nlohmann::json::object();
    mutable Stamp stamp_;
    mutable std::optional<Stamp> reportedUnreadable_;
    mutable std::map<std::string, Unsaved> unsaved_;
};

// DIR/settings.json for --config-dir DIR; else $XDG_CONFIG_HOME/tarvello/settings.json
// (when set to an absolute path); else $HOME/.config/tarvello/settings.json.
std::filesystem::path defaultSettingsPath(std::optional<std::filesystem::path> configDir = std::nullopt);

}  // namespace tarvello
