#pragma once

namespace tarvello {
const char* appName();
}  // namespace tarvello
