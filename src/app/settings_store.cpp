#include "app/settings_store.h"

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <vector>

#include "app/log.h"

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

bool SettingsStore::setBool(const std::string& key, bool value) { return set(key, value); }
bool SettingsStore::setInt(const std::string& key, int64_t value) { return set(key, value); }
bool SettingsStore::setString(const std::string& key, std::string value) { return set(key, std::move(value)); }

bool SettingsStore::setDouble(const std::string& key, double value) {
    if (!std::isfinite(value)) return false;
    return set(key, value);
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

// ---- JsonFileStore ----

namespace {

std::string tempPrefix(const fs::path& file) { return file.filename().string() + ".tmp-"; }

std::string errnoText(int err) { return std::string(std::strerror(err)); }

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

}  // namespace

JsonFileStore::JsonFileStore(fs::path file) : file_(std::move(file)) {
    // Dotfile managers link settings into place; replace the target, not the link.
    std::error_code ec;
    if (fs::is_symlink(file_, ec)) {
        auto target = fs::canonical(file_, ec);
        if (!ec) file_ = target;
    }
    load();
}

void JsonFileStore::load() {
    std::error_code ec;
    const fs::path dir = file_.parent_path().empty() ? fs::path(".") : file_.parent_path();
    fs::create_directories(dir, ec);

    // A temporary file is only ever complete once renamed; any left over is a crash's debris.
    const std::string prefix = tempPrefix(file_);
    std::vector<fs::path> stray;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->path().filename().string().starts_with(prefix)) stray.push_back(it->path());
    }
    for (const auto& p : stray) fs::remove(p, ec);

    if (!fs::exists(file_, ec)) return;
    if (!fs::is_regular_file(file_, ec)) {
        log("Settings path " + file_.string() + " is not a regular file; settings will not be saved");
        return;
    }

    std::ifstream in(file_, std::ios::binary);
    std::ostringstream text;
    bool readOk = false;
    if (in) {
        text << in.rdbuf();
        readOk = !in.bad();
    }
    const std::string contents = text.str();
    if (readOk) {
        // An empty file holds nothing to lose.
        if (contents.find_first_not_of(" \t\r\n") == std::string::npos) return;
        auto parsed = nlohmann::json::parse(contents, nullptr, false);
        if (!parsed.is_discarded() && parsed.is_object()) {
            data_ = std::move(parsed);
            return;
        }
    }

    const fs::path aside = corruptPath(file_);
    fs::rename(file_, aside, ec);
    if (ec) {
        log("Settings file " + file_.string() + " was unreadable and could not be kept aside (" +
            ec.message() + "); started fresh");
    } else {
        log("Settings file was unreadable; kept it as " + aside.string() + " and started fresh");
    }
}

bool JsonFileStore::persistLocked() {
    const std::string text = data_.dump(2) + "\n";
    const fs::path dir = file_.parent_path().empty() ? fs::path(".") : file_.parent_path();
    std::error_code ec;
    fs::create_directories(dir, ec);

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

    if (!writeAll(fd, text) || ::fsync(fd) != 0) {
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
    return true;
}

std::optional<nlohmann::json> JsonFileStore::get(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto it = data_.find(key);
    if (it == data_.end()) return std::nullopt;
    return *it;
}

bool JsonFileStore::set(const std::string& key, nlohmann::json value) {
    std::lock_guard lock(mutex_);
    data_[key] = std::move(value);
    return persistLocked();
}

bool JsonFileStore::remove(const std::string& key) {
    std::lock_guard lock(mutex_);
    if (data_.erase(key) == 0) return true;
    return persistLocked();
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
