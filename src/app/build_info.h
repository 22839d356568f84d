#pragma once

#include <string>

namespace tarvello {

// What `tarvello --version` prints: the version, then the optional back-ends this build
// has, under the names the configure step prints them.
std::string versionText();

}  // namespace tarvello
