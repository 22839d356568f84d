#pragma once

#include <memory>
#include <mutex>

#include "platform/lid.h"

namespace tarvello {

class Logind;

// The login manager's handle-lid-switch inhibitor: while it is held, closing the lid does
// not suspend. The lock descriptor dies with the process, so nothing outlives a crash.
class LinuxLid final : public LidFacility {
public:
    explicit LinuxLid(std::shared_ptr<Logind> logind);
    ~LinuxLid() override;

    bool held() override;
    bool hold(bool on) override;

private:
    std::shared_ptr<Logind> logind_;
    std::mutex mutex_;
    int lock_ = -1;
};

}  // namespace tarvello
