#include "base/settings_store.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "base/log.h"

namespace tarvello {

namespace fs = std::filesystem;

// ---- typed helpers ----

std::optional<bool> SettingsStore::getBool(const std::string& key) const {
    auto v = get(key);
    if (!v || !v->is_boolean()) return std::nullopt;
    return v->get<bool>();
}

std::optional<int64_t> SettingsStore::getInt(const std::string& key) const {
    auto v = get(key);
    if (!v) return std::nullopt;
    if (v->is_number_integer() && !v->is_number_unsigned()) return v->get<int64_t>();
    if (v->is_number_unsigned()) {
        auto u = v->get<uint64_t>();
        if (u > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
        return static_cast<int64_t>(u);
    }
    if (v->is_number_float()) {
        double d = v->get<double>();
        // 2^63 is exactly representable; anything at or beyond it would overflow the cast.
        constexpr double limit = 9223372036854775808.0;
        if (!std::isfinite(d) || std::trunc(d) != d || d < -limit || d >= limit) return std::nullopt;
        return static_cast<int64_t>(d);
    }
    return std::nullopt;
}

std::optional<double> SettingsStore::getDouble(const std::string& key) const {
    auto v = get(key);
    if (!v || !v->is_number()) return std::nullopt;
    return v->get<double>();
}

std::optional<std::string> SettingsStore::getString(const std::string& key) const {
    auto v = get(key);
    if (!v || !v->is_string()) return std::nullopt;
    return v->get<std::string>();
}

bool SettingsStore::setBool(const std::string& key, bool value) {
    return set(key, value);
}
bool SettingsStore::setInt(const std::string& key, int64_t value) {
    return set(key, value);
}
bool SettingsStore::setString(const std::string& key, std::string value) {
    return set(key, std::move(value));
}

bool SettingsStore::setDouble(const std::string& key, double value) {
    if (!std::isfinite(value)) return false;
    return set(key, value);
}

std::optional<nlohmann::json> SettingsStore::update(const std::string& key, const Decide& decide) {
    auto current = get(key);
    auto decided = decide(current);
    if (!decided) return current;
    set(key, *decided);
    return decided;
}

// ---- MemoryStore ----

std::optional<nlohmann::json> MemoryStore::get(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto it = data_.find(key);
    if (it == data_.end()) return std::nullopt;
    return *it;
}

bool MemoryStore::set(const std::string& key, nlohmann::json value) {
    std::lock_guard lock(mutex_);
    data_[key] = std::move(value);
    return true;
}

bool MemoryStore::remove(const std::string& key) {
    std::lock_guard lock(mutex_);
    data_.erase(key);
    return true;
}

std::optional<nlohmann::json> MemoryStore::update(const std::string& key, const Decide& decide) {
    std::lock_guard lock(mutex_);
    std::optional<nlohmann::json> current;
    if (auto it = data_.find(key); it != data_.end()) current = *it;
    auto decided = decide(current);
    if (!decided) return current;
    data_[key] = *decided;
    return decided;
}

// ---- JsonFileStore ----

namespace {

using Stamp = JsonFileStore::Stamp;

std::string tempPrefix(const fs::path& file) {
    return file.filename().string() + ".tmp-";
}

std::string errnoText(int err) {
    return std::string(std::strerror(err));
}

fs::path directoryOf(const fs::path& file) {
    return file.parent_path().empty() ? fs::path(".") : file.parent_path();
}

bool writeAll(int fd, const std::string& text) {
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

fs::path corruptPath(const fs::path& file) {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
    fs::path base = file;
    base += std::string(".corrupt-") + stamp;
    fs::path candidate = base;
    std::error_code ec;
    for (int n = 1; fs::exists(candidate, ec); ++n) {
        candidate = base;
        candidate += "-" + std::to_string(n);
    }
    return candidate;
}

// Well beyond the kernel's timestamp tick (a jiffy, at most 10 ms).
constexpr int64_t kSettleNanoseconds = 50'000'000;

Stamp stampOf(const struct stat& st) {
    Stamp s;
    s.exists = true;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const int64_t age = (int64_t{now.tv_sec} - st.st_mtim.tv_sec) * 1'000'000'000 +
                        (int64_t{now.tv_nsec} - st.st_mtim.tv_nsec);
    // A clock set back makes the age negative: not settled either, which is safe.
    s.settled = age >= kSettleNanoseconds;
    s.device = st.st_dev;
    s.inode = st.st_ino;
    s.size = st.st_size;
    s.modified = st.st_mtim;
    s.changed = st.st_ctim;
    return s;
}

// Anything that cannot be stat'ed reads as no file; a read then says why, if it matters.
Stamp stampAt(const fs::path& file) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) return {};
    return stampOf(st);
}

// Equal to no stamp: the next read looks at the file again.
Stamp unknownStamp() {
    Stamp s;
    s.settled = false;
    return s;
}

nlohmann::json asWritten(const nlohmann::json& value) {
    return nlohmann::json::parse(value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

std::optional<nlohmann::json> valueAt(const nlohmann::json& object, const std::string& key) {
    auto it = object.find(key);
    if (it == object.end()) return std::nullopt;
    return *it;
}

void apply(nlohmann::json& object, const std::string& key, const std::optional<nlohmann::json>& value) {
    if (value) {
        object[key] = *value;
    } else {
        object.erase(key);
    }
}

// Exclusive flock on the lock file beside the settings, held for the object's lifetime.
// When it cannot be had the write goes ahead unguarded: a directory where no lock file
// can be made is one where the write itself fails and says so.
class FileLock {
public:
    explicit FileLock(const fs::path& path) {
        for (int attempt = 0; attempt < 8; ++attempt) {
            int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
            if (fd < 0) return;
            int r;
            do r = ::flock(fd, LOCK_EX);
            while (r != 0 && errno == EINTR);
            if (r != 0) {
                ::close(fd);
                return;
            }
            // A lock on a lock file someone deleted or replaced meanwhile excludes nobody.
            struct stat held {
            }, now{};
            if (::fstat(fd, &held) == 0 && ::stat(path.c_str(), &now) == 0 && held.st_dev == now.st_dev &&
                held.st_ino == now.st_ino) {
                fd_ = fd;
                return;
            }
            ::close(fd);
        }
    }
    ~FileLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    int fd_ = -1;
};

}  // namespace

bool JsonFileStore::Stamp::sameFields(const Stamp& o) const {
    return exists == o.exists && device == o.device && inode == o.inode && size == o.size &&
           modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec &&
           changed.tv_sec == o.changed.tv_sec && changed.tv_nsec == o.changed.tv_nsec;
}

JsonFileStore::JsonFileStore(fs::path file) : file_(std::move(file)) {
    // Dotfile managers link settings into place; replace the target, not the link.
    std::error_code ec;
    if (fs::is_symlink(file_, ec)) {
        auto target = fs::canonical(file_, ec);
        if (!ec) file_ = target;
    }
    lockFile_ = file_;
    lockFile_ += ".lock";

    std::lock_guard lock(mutex_);
    const fs::path dir = directoryOf(file_);
    fs::create_directories(dir, ec);
    FileLock fileLock(lockFile_);

    // A temporary file is complete only once renamed, and nobody writes one without the
    // lock we hold: any left over is a crash's debris.
    const std::string prefix = tempPrefix(file_);
    std::vector<fs::path> stray;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->path().filename().string().starts_with(prefix)) stray.push_back(it->path());
    }
    for (const auto& p : stray) fs::remove(p, ec);

    nlohmann::json contents;
    switch (readLocked(contents, stamp_)) {
        case Found::object: data_ = std::move(contents); break;
        case Found::absent: break;
        case Found::unreadable:
            keepAsideLocked();
            stamp_ = stampAt(file_);
            break;
        case Found::notAFile:
            log("Settings path " + file_.string() + " is not a regular file; settings will not be saved");
            break;
    }
}

JsonFileStore::Found JsonFileStore::readLocked(nlohmann::json& into, Stamp& stamp) const {
    stamp = {};
    // Non-blocking: a FIFO put in the file's place must not stall every read.
    int fd = ::open(file_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) return Found::absent;
        stamp = stampAt(file_);
        return Found::notAFile;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return Found::notAFile;
    }
    stamp = stampOf(st);
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        return Found::notAFile;
    }
    std::string text;
    text.reserve(static_cast<size_t>(st.st_size));
    char buffer[16384];
    bool readOk = true;
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            readOk = false;
            break;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    if (!readOk) return Found::unreadable;
    // An empty file holds nothing to lose.
    if (text.find_first_not_of(" \t\r\n") == std::string::npos) {
        into = nlohmann::json::object();
        return Found::object;
    }
    auto parsed = nlohmann::json::parse(text, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) return Found::unreadable;
    into = std::move(parsed);
    return Found::object;
}

void JsonFileStore::refreshLocked() const {
    if (stampAt(file_) == stamp_) return;
    nlohmann::json contents;
    switch (readLocked(contents, stamp_)) {
        case Found::object: data_ = std::move(contents); break;
        case Found::absent: data_ = nlohmann::json::object(); break;
        case Found::unreadable:
        case Found::notAFile:
            // Perhaps an editor halfway through: said once per version of the file.
            if (!reportedUnreadable_ || !reportedUnreadable_->sameFields(stamp_)) {
                log("Settings file " + file_.string() +
                    " cannot be read as settings; keeping the values read before");
                reportedUnreadable_ = stamp_;
            }
            return;
    }
    dropSupersededLocked(data_);
}

void JsonFileStore::keepAsideLocked() {
    std::error_code ec;
    const fs::path aside = corruptPath(file_);
    fs::rename(file_, aside, ec);
    if (ec) {
        log("Settings file " + file_.string() + " was unreadable and could not be kept aside (" +
            ec.message() + ")");
    } else {
        log("Settings file was unreadable; kept it as " + aside.string());
    }
}

void JsonFileStore::dropSupersededLocked(const nlohmann::json& contents) const {
    for (auto it = unsaved_.begin(); it != unsaved_.end();) {
        if (valueAt(contents, it->first) != it->second.replaced) {
            it = unsaved_.erase(it);
        } else {
            ++it;
        }
    }
}

std::optional<nlohmann::json> JsonFileStore::lookupLocked(const std::string& key) const {
    if (auto it = unsaved_.find(key); it != unsaved_.end()) return it->second.value;
    return valueAt(data_, key);
}

std::optional<nlohmann::json> JsonFileStore::writeKey(const std::string& key, const ChangeFn& change,
                                                      bool& durable) {
    std::lock_guard lock(mutex_);
    std::error_code ec;
    fs::create_directories(directoryOf(file_), ec);
    FileLock fileLock(lockFile_);

    // Always the file itself, not the stamp: this is the one place a stale copy would
    // write someone else's change away.
    nlohmann::json contents;
    Stamp read;
    bool fileMatches = true;
    switch (readLocked(contents, read)) {
        case Found::object: break;
        case Found::absent: contents = nlohmann::json::object(); break;
        case Found::unreadable:
            keepAsideLocked();
            contents = data_;
            fileMatches = false;
            break;
        case Found::notAFile:
            contents = data_;
            fileMatches = false;
            break;
    }
    if (fileMatches) {
        data_ = contents;
        stamp_ = read;
    }
    dropSupersededLocked(contents);

    const std::optional<nlohmann::json> before = lookupLocked(key);
    Change decided = change(before);
    // A string that is not UTF-8 would end the process in the JSON writer; keep what the
    // file will hold, with U+FFFD in place of the bad bytes, so memory and disk agree.
    if (decided && *decided) **decided = asWritten(**decided);
    nlohmann::json next = contents;
    for (const auto& [k, unsaved] : unsaved_) apply(next, k, unsaved.value);
    if (decided) apply(next, key, *decided);

    if (fileMatches && unsaved_.empty() && next == contents) {
        durable = true;
        return before;
    }
    Stamp written;
    durable = persistLocked(next, written);
    if (durable) {
        data_ = std::move(next);
        stamp_ = written;
        unsaved_.clear();
    } else if (decided) {
        unsaved_[key] = Unsaved{*decided, valueAt(contents, key)};
    }
    return lookupLocked(key);
}

bool JsonFileStore::persistLocked(const nlohmann::json& contents, Stamp& written) {
    const std::string text = contents.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    const fs::path dir = directoryOf(file_);

    std::string tmpl = (dir / tempPrefix(file_)).string() + "XXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');

    auto fail = [&](const char* step, int err) {
        log("Settings could not be saved to " + file_.string() + ": " + step + " failed, " + errnoText(err));
        return false;
    };

    int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return fail("creating the temporary file", errno);
    const std::string tmpPath(name.data());

    struct stat tmpStat {};
    if (!writeAll(fd, text) || ::fsync(fd) != 0 || ::fstat(fd, &tmpStat) != 0) {
        int err = errno;
        ::close(fd);
        ::unlink(tmpPath.c_str());
        return fail("writing", err);
    }
    if (::close(fd) != 0) {
        int err = errno;
        ::unlink(tmpPath.c_str());
        return fail("writing", err);
    }
    if (::rename(tmpPath.c_str(), file_.c_str()) != 0) {
        int err = errno;
        ::unlink(tmpPath.c_str());
        return fail("replacing the file", err);
    }
    // Makes the rename itself durable. Some file systems refuse fsync on directories;
    // the new contents are in place either way.
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    // The rename changed the file's ctime, so the stamp is taken now; a hand edit that
    // slipped in since makes it someone else's file, to be read at the next get().
    written = stampAt(file_);
    if (written.device != tmpStat.st_dev || written.inode != tmpStat.st_ino) written = unknownStamp();
    return true;
}

std::optional<nlohmann::json> JsonFileStore::get(const std::string& key) const {
    std::lock_guard lock(mutex_);
    refreshLocked();
    return lookupLocked(key);
}

bool JsonFileStore::set(const std::string& key, nlohmann::json value) {
    bool durable = false;
    writeKey(
        key, [&value](const auto&) { return Change(std::in_place, std::move(value)); }, durable);
    return durable;
}

bool JsonFileStore::remove(const std::string& key) {
    bool durable = false;
    writeKey(
        key, [](const auto&) { return Change(std::in_place, std::nullopt); }, durable);
    return durable;
}

std::optional<nlohmann::json> JsonFileStore::update(const std::string& key, const Decide& decide) {
    bool durable = false;
    return writeKey(
        key,
        [&decide](const std::optional<nlohmann::json>& current) -> Change {
            auto decided = decide(current);
            if (!decided) return std::nullopt;
            return Change(std::in_place, std::move(*decided));
        },
        durable);
}

// ---- location ----

fs::path defaultSettingsPath(std::optional<fs::path> configDir) {
    if (configDir) return *configDir / "settings.json";
    // Relative XDG paths are invalid by the base-directory rules and must be ignored.
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/') {
        return fs::path(xdg) / "tarvello" / "settings.json";
    }
    fs::path home;
    if (const char* h = std::getenv("HOME"); h && h[0] != '\0') {
        home = h;
    } else if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) {
        home = pw->pw_dir;
    } else {
        home = ".";
    }
    return home / ".config" / "tarvello" / "settings.json";
}

}  // namespace tarvello
