#include "base/host_info.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
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

// 100.64.0.0/10 (carrier-grade NAT space, where Tailscale numbers its IPv4 peers) and
// fd7a:115c:a1e0::/48 (its IPv6 prefix); an IPv4-mapped IPv6 address counts as IPv4.
bool isTailscaleAddress(const std::string& text) {
    in_addr v4{};
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1) {
        const auto* b = reinterpret_cast<const uint8_t*>(&v4.s_addr);
        return b[0] == 100 && (b[1] & 0xC0) == 64;
    }
    in6_addr v6{};
    if (inet_pton(AF_INET6, text.c_str(), &v6) != 1) return false;
    const uint8_t* b = v6.s6_addr;
    static constexpr uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (std::equal(mapped, mapped + 12, b)) return b[12] == 100 && (b[13] & 0xC0) == 64;
    static constexpr uint8_t prefix[6] = {0xfd, 0x7a, 0x11, 0x5c, 0xa1, 0xe0};
    return std::equal(prefix, prefix + 6, b);
}

std::vector<std::string> tailscaleAddresses() {
    std::vector<std::string> out;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return out;
    for (ifaddrs* a = list; a; a = a->ifa_next) {
        if (!a->ifa_addr) continue;
        const int family = a->ifa_addr->sa_family;
        if (family != AF_INET && family != AF_INET6) continue;
        char host[1025];
        const socklen_t length = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
        if (getnameinfo(a->ifa_addr, length, host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0) continue;
        if (isTailscaleAddress(host)) out.emplace_back(host);
    }
    freeifaddrs(list);
    return out;
}

}  // namespace tarvello
