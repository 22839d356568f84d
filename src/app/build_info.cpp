#include "app/build_info.h"

namespace tarvello {
const char* appName() { return "Tarvello"; }
}  // namespace tarvello
