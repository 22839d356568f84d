#include "base/host_info.h"

#include <ifaddrs.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <charconv>
#include <fstream>
#include <sstream>

namespace tarvello {

std::string prettyHostNameFrom(const std::string& text) {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const std::string key = "PRETTY_HOSTNAME=";
        if (line.rfind(key, 0) != 0) continue;
        std::string v = line.substr(key.size());
        if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
            v = v.substr(1, v.size() - 2);
        }
        std::string out;  // undo shell-style escapes
        for (size_t i = 0; i < v.size(); ++i) {
            if (v[i] == '\\' && i + 1 < v.size()) ++i;
            out += v[i];
        }
        return out;
    }
    return {};
}

std::string localizedHostName() {
    std::ifstream f("/etc/machine-info");
    if (f) {
        std::stringstream ss;
        ss << f.rdbuf();
        if (auto pretty = prettyHostNameFrom(ss.str()); !pretty.empty()) return pretty;
    }
    char buf[256] = {};
    if (gethostname(buf, sizeof buf - 1) == 0 && buf[0] != '\0') return buf;
    return "Mac";
}

bool isTailscaleAddress(const std::string& text) {
    std::vector<int> parts;
    size_t start = 0;
    while (start <= text.size()) {
        size_t dot = text.find('.', start);
        if (dot == std::string::npos) dot = text.size();
        std::string_view part(text.data() + start, dot - start);
        if (!part.empty()) {
            int v = 0;
            auto [p, ec] = std::from_chars(part.data(), part.data() + part.size(), v);
            if (ec == std::errc() && p == part.data() + part.size()) parts.push_back(v);
        }
        start = dot + 1;
    }
    return parts.size() == 4 && parts[0] == 100 && (parts[1] & ~63) == 64;
}

std::vector<std::string> tailscaleAddresses() {
    std::vector<std::string> out;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return out;
    for (ifaddrs* a = list; a; a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
        char host[1025];
        if (getnameinfo(a->ifa_addr, sizeof(sockaddr_in), host, sizeof host, nullptr, 0, NI_NUMERICHOST) !=
            0) {
            continue;
        }
        if (isTailscaleAddress(host)) out.emplace_back(host);
    }
    freeifaddrs(list);
    return out;
}

}  // namespace tarvello
