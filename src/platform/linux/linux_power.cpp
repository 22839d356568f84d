#include "platform/linux/linux_power.h"

#include <X11/Xlib.h>
#include <X11/extensions/dpms.h>
#include <X11/extensions/scrnsaver.h>
#include <unistd.h>

#include "base/log.h"
#include "platform/linux/linux_display.h"
#include "platform/linux/logind.h"
#include "platform/linux/x11.h"

namespace tarvello {

// ---- DisplayAwake ----

DisplayAwake::DisplayAwake(std::unique_ptr<XConnection> x) : x_(std::move(x)) {}

std::unique_ptr<DisplayAwake> DisplayAwake::hold(const std::string& displayName, std::string& error) {
    auto x = XConnection::open(displayName, error);
    if (!x) return nullptr;
    std::unique_ptr<DisplayAwake> hold(new DisplayAwake(std::move(x)));
    Display* d = hold->x_->get();
    int event = 0, errorBase = 0;
    if (XScreenSaverQueryExtension(d, &event, &errorBase)) XScreenSaverSuspend(d, True);
    if (DPMSQueryExtension(d, &event, &errorBase) && DPMSCapable(d)) {
        CARD16 level = 0;
        BOOL enabled = False;
        if (DPMSInfo(d, &level, &enabled) && enabled) {
            DPMSDisable(d);
            hold->dpmsWasEnabled_ = true;
        }
    }
    XSync(d, False);
    return hold;
}

DisplayAwake::~DisplayAwake() {
    // The suspension ends with the connection; power management is this hold's to restore.
    if (dpmsWasEnabled_ && !x_->lost()) {
        DPMSEnable(x_->get());
        XSync(x_->get(), False);
    }
}

const std::string& DisplayAwake::name() const {
    return x_->name();
}

bool DisplayAwake::lost() const {
    return x_->lost();
}

// ---- LinuxPower ----

namespace {
constexpr const char* kWho = "Tarvello";
}

LinuxPower::LinuxPower(std::shared_ptr<Logind> logind, std::shared_ptr<LinuxDisplay> displays)
    : logind_(std::move(logind)), displays_(std::move(displays)) {}

LinuxPower::~LinuxPower() {
    std::lock_guard lock(mutex_);
    for (const auto& [id, fd] : inhibitors_) close(fd);
    inhibitors_.clear();
    displayHold_.reset();
}

uint32_t LinuxPower::createAssertion(const std::string& name) {
    std::lock_guard lock(mutex_);
    std::string error = "no login manager";
    const int fd = logind_ ? logind_->inhibit("idle", kWho, name, "block", error) : -1;
    if (fd < 0) {
        if (!failureLogged_) log("Keep-awake unavailable: " + error);
        failureLogged_ = true;
        return 0;
    }
    failureLogged_ = false;
    const uint32_t id = nextId_++;
    inhibitors_[id] = fd;
    updateDisplayHold();
    return id;
}

void LinuxPower::releaseAssertion(uint32_t id) {
    std::lock_guard lock(mutex_);
    auto it = inhibitors_.find(id);
    if (it == inhibitors_.end()) return;
    close(it->second);
    inhibitors_.erase(it);
    updateDisplayHold();
}

void LinuxPower::coverDisplay(uint32_t display) {
    std::lock_guard lock(mutex_);
    covered_ = display;
    updateDisplayHold();
}

void LinuxPower::updateDisplayHold() {
    const bool wanted = !inhibitors_.empty() && displays_;
    const std::string name = wanted ? displays_->connection(covered_) : std::string();
    const int server = wanted ? displays_->serverProcess(covered_) : -1;
    // A display rebuilt under the same name is another server: the hold moves to it.
    if (displayHold_ && displayHold_->name() == name && heldServer_ == server && !displayHold_->lost())
        return;
    displayHold_.reset();
    heldServer_ = -1;
    if (name.empty()) return;
    std::string error;
    displayHold_ = DisplayAwake::hold(name, error);
    if (!displayHold_) {
        log("Keep-awake of display " + name + " failed: " + error);
        return;
    }
    heldServer_ = server;
}

}  // namespace tarvello
