#pragma once

#include <string>
#include <vector>

namespace tarvello {

// The name shown to the phone: the machine's pretty host name, else its host name,
// else "Mac".
std::string localizedHostName();
// The pretty name from a machine-info file's text (PRETTY_HOSTNAME=...), unquoted.
std::string prettyHostNameFrom(const std::string& machineInfo);

// This machine's Tailscale addresses (IPv4 in 100.64.0.0/10, IPv6 in fd7a:115c:a1e0::/48),
// in interface order.
std::vector<std::string> tailscaleAddresses();
// Whether a numeric address lies in Tailscale's ranges (IPv4-mapped IPv6 counts as IPv4).
bool isTailscaleAddress(const std::string& numericAddress);

}  // namespace tarvello
