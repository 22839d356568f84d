#pragma once

#include <bitset>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tarvello {

class XConnection;

// The X calls input injection makes on one display connection: a thin seam so the
// logic above it (LinuxInput) can be tested against a recording fake. Keysyms and
// keycodes are X's numbers. Not thread-safe: the owner serialises calls.
class XInputConnection {
public:
    virtual ~XInputConnection() = default;

    // False once the server has gone; the owner then opens a new connection.
    virtual bool alive() = 0;
    // The pointer's position on the root window, in pixels. A round trip.
    virtual std::optional<std::pair<int, int>> pointer() = 0;
    virtual void motion(int x, int y) = 0;
    virtual void button(unsigned button, bool down) = 0;
    virtual void key(uint8_t keycode, bool down) = 0;
    // The keycode that carries `keysym`, 0 when none does. With `unshiftedOnly`, only a
    // key that types it with no modifier held counts.
    virtual uint8_t keycodeOf(uint32_t keysym, bool unshiftedOnly) = 0;
    // Whether the server's keyboard map gives `keycode` any symbol (our own temporary
    // bindings aside).
    virtual bool mapped(uint8_t keycode) = 0;
    // Keycodes that carry no symbol at all, free for temporary bindings.
    virtual std::vector<uint8_t> spareKeycodes() = 0;
    // The keyboard's locks and group as the server holds them now. A round trip; nothing
    // when the server cannot tell.
    struct KeyboardState {
        bool capsLock = false;
        int group = 0;
    };
    virtual std::optional<KeyboardState> keyboardState() = 0;
    // Locks or unlocks Caps Lock or Num Lock the way their keys would, without a key event.
    enum class Lock { caps, num };
    virtual void setLock(Lock lock, bool on) = 0;
    // Binds every column of `keycode` to `keysym` (0: back to no symbol) and waits until
    // the server has applied it, so key events sent afterwards are read with the new map.
    virtual bool bind(uint8_t keycode, uint32_t keysym) = 0;
    // Sends what is queued and takes in the keymap changes the server has announced.
    virtual void flush() = 0;
};

// The real seam: XTest on an Xlib connection.
class XTestConnection final : public XInputConnection {
public:
    // Nothing, with the reason, when the display does not open or lacks XTEST.
    static std::unique_ptr<XTestConnection> open(const std::string& name, std::string& error);
    ~XTestConnection() override;

    bool alive() override;
    std::optional<std::pair<int, int>> pointer() override;
    void motion(int x, int y) override;
    void button(unsigned button, bool down) override;
    void key(uint8_t keycode, bool down) override;
    uint8_t keycodeOf(uint32_t keysym, bool unshiftedOnly) override;
    bool mapped(uint8_t keycode) override { return mapped_[keycode]; }
    std::vector<uint8_t> spareKeycodes() override { return spare_; }
    std::optional<KeyboardState> keyboardState() override;
    void setLock(Lock lock, bool on) override;
    bool bind(uint8_t keycode, uint32_t keysym) override;
    void flush() override;

private:
    explicit XTestConnection(std::unique_ptr<XConnection> x);
    void loadKeymap();
    void drainEvents();

    std::unique_ptr<XConnection> x_;
    int minKeycode_ = 8, maxKeycode_ = 255, perKeycode_ = 1;
    // Keycode by keysym, from the server's map: unshifted positions, and any position.
    std::unordered_map<uint32_t, uint8_t> unshifted_, anywhere_;
    std::bitset<256> mapped_;     // keycodes with a symbol of the server's own
    std::vector<uint8_t> spare_;  // found at open; stay ours for the connection's life
    unsigned numLockMask_ = 0;    // the real modifiers Num Lock locks
    int xkbEventBase_ = -1;       // -1: the server has no keyboard extension
};

}  // namespace tarvello
