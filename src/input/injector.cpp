#include "input/injector.h"

#include <algorithm>
#include <cmath>

namespace tarvello {

namespace {
// Finite and within a range no real gesture reaches; anything else is noise.
bool sane(float v) { return std::isfinite(v) && std::fabs(v) < 1e6f; }
}  // namespace

Injector::Injector(std::shared_ptr<InputFacility> input, std::shared_ptr<DisplayFacility> displays)
    : input_(std::move(input)), displays_(std::move(displays)) {
    target_ = displays_->mainDisplay();
}

void Injector::setTargetDisplay(uint32_t display) { target_ = display ? display : displays_->mainDisplay(); }

DisplayRect Injector::targetBounds() const {
    for (const auto& d : displays_->displays()) {
        if (d.id == target_) return d.bounds;
    }
    return {0, 0, 1, 1};
}

GestureConfig Injector::currentGestureConfig() const { return GestureConfig::macDefault; }

void Injector::moveTo(double x, double y) {
    const auto b = targetBounds();
    x_ = std::clamp(x, b.x, b.x + std::max(0.0, b.width - 1));
    y_ = std::clamp(y, b.y, b.y + std::max(0.0, b.height - 1));
    InputEvent e;
    e.kind = InputEvent::Kind::mouseMove;
    e.x = x_;
    e.y = y_;
    input_->post(e);
    if (onCursor && b.width > 0 && b.height > 0) {
        onCursor(static_cast<float>((x_ - b.x) / b.width), static_cast<float>((y_ - b.y) / b.height));
    }
}

void Injector::handle(MsgType type, std::span<const uint8_t> p) {
    InputEvent e;
    e.x = x_;
    e.y = y_;
    switch (type) {
        case MsgType::key: {
            auto m = decodeKey(p);
            e.kind = m.down ? InputEvent::Kind::keyDown : InputEvent::Kind::keyUp;
            e.usage = m.usage;
            if (m.down) {
                heldKeys_.insert(m.usage);
            } else {
                heldKeys_.erase(m.usage);
            }
            input_->post(e);
            break;
        }
        case MsgType::mouseRel: {
            auto m = decodeMouseRel(p);
            if (!sane(m.dx) || !sane(m.dy)) return;
            moveTo(x_ + m.dx, y_ + m.dy);
            break;
        }
        case MsgType::mouseAbs: {
            auto m = decodeMouseAbs(p);
            if (!std::isfinite(m.x) || !std::isfinite(m.y)) return;
            const auto b = targetBounds();
            moveTo(b.x + std::clamp(double(m.x), 0.0, 1.0) * b.width,
                   b.y + std::clamp(double(m.y), 0.0, 1.0) * b.height);
            break;
        }
        case MsgType::button: {
            auto m = decodeButton(p);
            e.button = m.button <= 2 ? m.button : 0;
            e.kind = m.down ? InputEvent::Kind::buttonDown : InputEvent::Kind::buttonUp;
            if (m.down) {
                heldButtons_.insert(e.button);
            } else {
                heldButtons_.erase(e.button);
            }
            input_->post(e);
            if (!m.down && e.button == 0 && onLeftUp) onLeftUp();
            break;
        }
        case MsgType::scroll: {
            auto m = decodeScroll(p);
            if (!sane(m.dx) || !sane(m.dy)) return;
            e.kind = InputEvent::Kind::scroll;
            e.dx = m.dx;
            e.dy = m.dy;
            e.phase = static_cast<uint8_t>(m.phase);
            input_->post(e);
            break;
        }
        case MsgType::text: {
            e.kind = InputEvent::Kind::text;
            e.text = decodeText(p);
            if (!e.text.empty()) input_->post(e);
            break;
        }
        case MsgType::gesture: {
            auto m = decodeGesture(p);
            if (!m || !sane(m->value)) return;
            e.kind = InputEvent::Kind::gesture;
            e.action = static_cast<uint8_t>(m->action);
            e.dx = m->value;
            e.phase = static_cast<uint8_t>(m->phase);
            input_->post(e);
            break;
        }
        case MsgType::releaseAll:
            releaseAll();
            break;
        default:
            break;  // not input
    }
}

void Injector::releaseAll() {
    for (auto usage : heldKeys_) {
        InputEvent e;
        e.kind = InputEvent::Kind::keyUp;
        e.usage = usage;
        input_->post(e);
    }
    heldKeys_.clear();
    for (auto b : heldButtons_) {
        InputEvent e;
        e.kind = InputEvent::Kind::buttonUp;
        e.button = b;
        e.x = x_;
        e.y = y_;
        input_->post(e);
    }
    heldButtons_.clear();
}

}  // namespace tarvello
