#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/session_services.h"

namespace tarvello {

class LinuxDisplay;
class XConnection;

// The accessibility tree over AT-SPI. Applications on the session displays register on
// the accessibility bus this process keeps (session_bus.h), or, when the session shows the
// user's own Wayland desktop, on that desktop's bus (its session bus's org.a11y.Bus
// names it). This process's AT-SPI client,
// which is not thread-safe and lives for the whole process, runs on one thread that owns
// its GLib main context. Every call hops onto that thread and is bounded: AT-SPI's own
// timeout per call, and a cap on the wait for the thread itself.
//
// The focused element is kept current from focus events and looked up again (a FOCUSED
// match in the frontmost application, or in every application) when a window activates,
// after an error and about once a second. The frontmost application is the owner of the X
// active window of the session display. Character bounds are corrected for toolkit scaling
// (the application's AT-SPI extents against its X window) and moved into the displays'
// global space of points. On the user's Wayland desktop there is no X server to ask: the
// focus is looked up in every application, and selections are not placed (the toolkits
// there report no screen positions).
class LinuxAccessibility final : public AccessibilityFacility {
public:
    struct Options {
        // Each AT-SPI call. A call over an application's own connection waits up to twice
        // this (AT-SPI polls its connection in steps of the timeout).
        int callTimeoutMs = 50;
        double threadWait = 0.25;  // the longest wait for the AT-SPI thread
        // Asked as a session's watch starts: true while it shows the user's own Wayland
        // desktop. Unset: always the private displays.
        std::function<bool()> onUserDesktop;
        std::string userSessionBus;  // that desktop's session bus; empty: DBUS_SESSION_BUS_ADDRESS
    };

    explicit LinuxAccessibility(std::shared_ptr<LinuxDisplay> displays);
    LinuxAccessibility(std::shared_ptr<LinuxDisplay> displays, Options options);
    ~LinuxAccessibility() override;

    bool ready(uint32_t display) override;
    bool interrupted() override;
    std::optional<int32_t> frontmostProcess() override;
    void requestEnhanced(int32_t pid) override;
    AxElementRef focusedElement(std::optional<int32_t> pid) override;
    std::optional<std::string> role(const AxElement& element) override;
    bool secure(const AxElement& element) override;
    bool editable(const AxElement& element) override;
    std::optional<AxTextRange> selectedRange(const AxElement& element) override;
    std::optional<AxRect> characterBounds(const AxElement& element, int64_t index) override;
    std::optional<AxRect> displayBounds(uint32_t display) override;

private:
    // The toolkit scale of the application measured last.
    struct Scale {
        int32_t pid = -1;
        double factor = 1;
        double measured = -1e9;  // uptime of the measurement
    };
    // Runs fn on the AT-SPI thread and waits; false (and interrupted) when it did not finish in time.
    bool onThread(const std::function<void()>& fn);
    std::optional<std::pair<int, int>> xWindowSize(int32_t pid);
    // The factor from the application's AT-SPI coordinates to X pixels; `atspiFrameSize`
    // is its first window's size when just read, else the last measurement is used.
    double scaleOf(int32_t pid, std::optional<std::pair<int, int>> atspiFrameSize);

    std::shared_ptr<LinuxDisplay> displays_;
    const Options options_;
    // The rest: the text watcher's queue only.
    uint32_t display_ = 0;
    bool userDesktop_ = false;  // the session shows the user's desktop
    bool otherBusLogged_ = false;
    std::string displayName_;
    std::unique_ptr<XConnection> x_;
    bool interrupted_ = false;
    bool unavailableLogged_ = false;
    std::string enhancedBus_;  // the session bus last asked to enable accessibility
    Scale scale_;
};

}  // namespace tarvello
