#pragma once

#include <string>
#include <vector>

namespace tarvello {

// The name shown to the phone: the machine's pretty host name, else its host name,
// else "Mac".
std::string localizedHostName();
// The pretty name from a machine-info file's text (PRETTY_HOSTNAME=...), unquoted.
std::string prettyHostNameFrom(const std::string& machineInfo);

// This machine's IPv4 addresses inside 100.64.0.0/10, in interface order.
std::vector<std::string> tailscaleAddresses();
// The filter applied to each numeric address text.
bool isTailscaleAddress(const std::string& numericAddress);

}  // namespace tarvello
