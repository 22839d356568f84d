#include "app/build_info.h"

#ifndef TARVELLO_VERSION
#define TARVELLO_VERSION "unknown"
#endif

namespace tarvello {

std::string versionText() {
    std::string backends;
    auto add = [&backends](const char* name, bool built) {
        backends += std::string(" ") + name + (built ? ":yes" : ":no");
    };
#ifdef TARVELLO_HAVE_X11
    add("X11", true);
#else
    add("X11", false);
#endif
#ifdef TARVELLO_HAVE_GNOME
    add("PIPEWIRE", true);
#else
    add("PIPEWIRE", false);
#endif
#ifdef TARVELLO_HAVE_PULSE
    add("PULSE", true);
#else
    add("PULSE", false);
#endif
#ifdef TARVELLO_HAVE_ATSPI
    add("ATSPI", true);
#else
    add("ATSPI", false);
#endif
#ifdef TARVELLO_HAVE_QT
    add("QT6", true);
#else
    add("QT6", false);
#endif
    return std::string("tarvello ") + TARVELLO_VERSION + "\nBack-ends:" + backends + "\n";
}

}  // namespace tarvello
