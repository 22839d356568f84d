#include "input/text_watcher.h"

namespace tarvello {

std::shared_ptr<TextWatcher> TextWatcher::create(std::shared_ptr<AccessibilityFacility> ax) {
    return std::shared_ptr<TextWatcher>(new TextWatcher(std::move(ax)));
}

TextWatcher::~TextWatcher() { shutdown(); }

void TextWatcher::shutdown() {
    timer_.cancel();
    if (!queue_.isCurrent()) queue_.stop();
}

void TextWatcher::start() {
    queue_.async(weakly(shared_from_this(), [](TextWatcher& self) {
        self.timer_.cancel();
        self.lastFocus_.reset();
        self.lastSelection_.reset();
        std::weak_ptr<TextWatcher> w = self.weak_from_this();
        self.timer_ = self.queue_.every(0.0, 0.15, [w] {
            if (auto s = w.lock()) s->tick();
        });
    }));
}

void TextWatcher::stop() {
    queue_.async(weakly(shared_from_this(), [](TextWatcher& self) { self.timer_.cancel(); }));
}

void TextWatcher::checkSoon() {
    std::weak_ptr<TextWatcher> w = weak_from_this();
    queue_.after(0.15, [w] {
        if (auto s = w.lock(); s && s->timer_.active()) s->tick();
    });
}

void TextWatcher::tick() {
    auto f = ax_->focused(display_.load());
    const bool focused = f && f->isTextInput;
    if (lastFocus_ != focused) {
        lastFocus_ = focused;
        if (onFocus) onFocus(focused);
    }
    std::optional<SelectionMsg> sel;
    if (focused && f->selection) {
        const auto& s = *f->selection;
        sel = SelectionMsg{true, s[0], s[1], s[2], s[3], s[4]};
    }
    auto same = [](const std::optional<SelectionMsg>& a, const std::optional<SelectionMsg>& b) {
        if (a.has_value() != b.has_value()) return false;
        if (!a) return true;
        return a->startX == b->startX && a->startY == b->startY && a->endX == b->endX && a->endY == b->endY &&
               a->height == b->height;
    };
    if (!lastSelection_ || !same(*lastSelection_, sel)) {
        const bool first = !lastSelection_;
        lastSelection_ = sel;
        if (!(first && !sel) && onSelection) onSelection(sel);
    }
}

}  // namespace tarvello
