#include "platform/linux/linux_host.h"

#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include "base/log.h"
#include "platform/linux/logind.h"
#include "platform/linux/x11.h"

namespace tarvello {

LinuxHost::LinuxHost(std::shared_ptr<const DisplayFacility> displays, bool canMakeDisplays,
                     std::shared_ptr<Logind> logind)
    : displays_(std::move(displays)), canMakeDisplays_(canMakeDisplays), logind_(std::move(logind)) {}

LinuxHost::Probe LinuxHost::probe() {
    const uint32_t main = displays_->mainDisplay();
    std::string name;
    for (const auto& d : displays_->displays()) {
        if (d.id == main) name = d.connection;
    }
    if (name.empty()) return {canMakeDisplays_, canMakeDisplays_, canMakeDisplays_};
    std::lock_guard lock(mutex_);
    if (auto it = probed_.find(name); it != probed_.end()) return it->second;
    Probe p;
    std::string error;
    if (auto x = XConnection::open(name, error)) {
        p.opens = true;
        Display* d = x->get();
        if (XImage* image = XGetImage(d, DefaultRootWindow(d), 0, 0, 1, 1, AllPlanes, ZPixmap)) {
            p.captures = true;
            XDestroyImage(image);
        }
        int event = 0, error0 = 0, major = 0, minor = 0;
        p.xtest = XTestQueryExtension(d, &event, &error0, &major, &minor);
    }
    // A display that would not open may still be starting: only answers from a live server are kept.
    if (p.opens) probed_[name] = p;
    return p;
}

bool LinuxHost::screenRecordingAllowed() {
    const Probe p = probe();
    return p.opens && p.captures;
}

bool LinuxHost::accessibilityTrusted() {
    return probe().xtest;
}

bool LinuxHost::sessionLocked() {
    if (!logind_) return false;
    std::string error;
    const auto locked = logind_->lockedHint(error);
    std::lock_guard lock(mutex_);
    // Polled every second: say once why the lock state is unknown, not every time.
    if (!locked && !lockFailureLogged_) log("Lock state unavailable (counted as unlocked): " + error);
    lockFailureLogged_ = !locked.has_value();
    return locked.value_or(false);
}

}  // namespace tarvello
