#include "platform/preference_domains.h"

#include <cstdlib>
#include <fstream>

namespace tarvello {

namespace fs = std::filesystem;

namespace {
constexpr std::uintmax_t kMaxDomainFileBytes = 1 << 20;

// Domains name files; anything that could reach outside the directory is refused.
bool plainName(std::string_view domain) {
    return !domain.empty() && domain.front() != '.' && domain.find('/') == std::string_view::npos &&
           domain.find('\0') == std::string_view::npos;
}

std::optional<nlohmann::json> lookup(const nlohmann::json& object, std::string_view key) {
    if (!object.is_object()) return std::nullopt;
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) return std::nullopt;
    return *it;
}
}  // namespace

JsonFilePreferenceDomains::JsonFilePreferenceDomains(fs::path directory) : directory_(std::move(directory)) {}

std::optional<nlohmann::json> JsonFilePreferenceDomains::value(std::string_view domain,
                                                               std::string_view key) const {
    if (!plainName(domain)) return std::nullopt;
    const fs::path file = directory_ / (std::string(domain) + ".json");
    std::error_code ec;
    if (!fs::is_regular_file(file, ec)) return std::nullopt;
    const auto size = fs::file_size(file, ec);
    if (ec || size > kMaxDomainFileBytes) return std::nullopt;
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    // Read no more than was measured: the file may grow in between.
    std::string text(static_cast<size_t>(size), '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    auto object = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (object.is_discarded()) return std::nullopt;
    return lookup(object, key);
}

std::optional<fs::path> defaultPreferenceDomainsDirectory(std::optional<fs::path> configDir) {
    if (configDir) return *configDir / "domains";
    // Relative XDG paths are invalid by the base-directory rules and must be ignored.
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/') {
        return fs::path(xdg) / "tarvello" / "domains";
    }
    if (const char* home = std::getenv("HOME"); home && home[0] == '/') {
        return fs::path(home) / ".config" / "tarvello" / "domains";
    }
    return std::nullopt;
}

std::optional<nlohmann::json> MemoryPreferenceDomains::value(std::string_view domain,
                                                             std::string_view key) const {
    std::lock_guard lock(mutex_);
    auto it = domains_.find(domain);
    if (it == domains_.end()) return std::nullopt;
    return lookup(it->second, key);
}

void MemoryPreferenceDomains::set(const std::string& domain, const std::string& key, nlohmann::json v) {
    std::lock_guard lock(mutex_);
    auto& d = domains_[domain];
    if (!d.is_object()) d = nlohmann::json::object();
    d[key] = std::move(v);
}

void MemoryPreferenceDomains::remove(const std::string& domain, const std::string& key) {
    std::lock_guard lock(mutex_);
    auto it = domains_.find(domain);
    if (it != domains_.end() && it->second.is_object()) it->second.erase(key);
}

}  // namespace tarvello
