#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/power.h"

namespace tarvello {

class LinuxDisplay;
class Logind;
class XConnection;

// Keeps one X display from blanking while it exists: the screen saver is suspended for
// as long as this connection lives, and display power management is off (and back on
// afterwards when it was on before).
class DisplayAwake {
public:
    // Nothing, with the reason, when the display does not open.
    static std::unique_ptr<DisplayAwake> hold(const std::string& displayName, std::string& error);
    ~DisplayAwake();
    DisplayAwake(const DisplayAwake&) = delete;
    DisplayAwake& operator=(const DisplayAwake&) = delete;
    const std::string& name() const;
    // True once its server has gone.
    bool lost() const;

private:
    explicit DisplayAwake(std::unique_ptr<XConnection> x);
    std::unique_ptr<XConnection> x_;
    bool dpmsWasEnabled_ = false;
};

// An assertion is a login-manager "idle" inhibitor lock, held as its descriptor, with the
// assertion's name as the reason; while any is held the session display is kept awake too.
// Without a bus or manager, creation fails: logged once per outage, tried again on every
// later creation.
class LinuxPower final : public PowerFacility {
public:
    LinuxPower(std::shared_ptr<Logind> logind, std::shared_ptr<LinuxDisplay> displays);
    ~LinuxPower() override;

    uint32_t createAssertion(const std::string& name) override;
    void releaseAssertion(uint32_t id) override;
    void coverDisplay(uint32_t display) override;

private:
    void updateDisplayHold();

    std::shared_ptr<Logind> logind_;
    std::shared_ptr<LinuxDisplay> displays_;
    std::mutex mutex_;
    std::map<uint32_t, int> inhibitors_;  // assertion id → lock descriptor
    uint32_t nextId_ = 1;
    bool failureLogged_ = false;
    uint32_t covered_ = 0;
    std::unique_ptr<DisplayAwake> displayHold_;
    int heldServer_ = -1;  // pid of the X server displayHold_ is connected to
};

}  // namespace tarvello
