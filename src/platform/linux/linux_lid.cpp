#include "platform/linux/linux_lid.h"

#include <unistd.h>

#include <string>

#include "base/log.h"
#include "platform/linux/logind.h"

namespace tarvello {

LinuxLid::LinuxLid(std::shared_ptr<Logind> logind) : logind_(std::move(logind)) {}

LinuxLid::~LinuxLid() {
    if (lock_ >= 0) close(lock_);
}

bool LinuxLid::held() {
    std::lock_guard lock(mutex_);
    return lock_ >= 0;
}

bool LinuxLid::hold(bool on) {
    std::lock_guard lock(mutex_);
    if (!on) {
        if (lock_ >= 0) {
            close(lock_);
            lock_ = -1;
            log("Closing the lid suspends this computer again");
        }
        return false;
    }
    if (lock_ >= 0) return true;
    std::string error;
    lock_ = logind_ ? logind_->inhibit("handle-lid-switch", "Tarvello",
                                       "Keeps serving the iPhone with the lid closed", "block", error)
                    : -1;
    if (lock_ < 0) {
        log("Could not keep this computer awake with the lid closed: " +
            (logind_ ? error : std::string("no login manager")));
        return false;
    }
    log("Closing the lid no longer suspends this computer while Tarvello runs");
    return true;
}

}  // namespace tarvello
