#include "input/text_watcher.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace tarvello {

namespace {

// Text-input roles by their AT-SPI names: text field, text area, combo box, password
// field. Search fields and single-line web inputs are entries there too.
constexpr std::array<std::string_view, 5> kTextRoles{"entry", "text", "password text", "combo box",
                                                     "editbar"};

// Selections starting this far outside the display still count as on it.
constexpr double kBand = 0.05;

bool inBand(double v) {
    return v >= -kBand && v <= 1 + kBand;
}

}  // namespace

std::shared_ptr<TextWatcher> TextWatcher::create(std::shared_ptr<AccessibilityFacility> ax) {
    return create(std::move(ax), Options{});
}

std::shared_ptr<TextWatcher> TextWatcher::create(std::shared_ptr<AccessibilityFacility> ax, Options options) {
    return std::shared_ptr<TextWatcher>(new TextWatcher(std::move(ax), options));
}

TextWatcher::~TextWatcher() {
    shutdown();
}

void TextWatcher::shutdown() {
    timer_.cancel();
    if (!queue_.isCurrent()) queue_.stop();
}

void TextWatcher::start() {
    queue_.async(weakly(shared_from_this(), [](TextWatcher& self) {
        if (self.watching_) return;
        self.watching_ = true;
        self.lastFocused_ = false;
        self.lastElement_.reset();
        self.lastSelection_.reset();
        std::weak_ptr<TextWatcher> w = self.weak_from_this();
        self.timer_ = self.queue_.every(0.0, self.options_.interval, [w] {
            if (auto s = w.lock()) s->poll(false);
        });
    }));
}

void TextWatcher::stop() {
    queue_.async(weakly(shared_from_this(), [](TextWatcher& self) {
        self.timer_.cancel();
        self.watching_ = false;
    }));
}

void TextWatcher::checkSoon() {
    std::weak_ptr<TextWatcher> w = weak_from_this();
    queue_.after(options_.checkDelay, [w] {
        if (auto s = w.lock()) s->poll(true);
    });
}

void TextWatcher::pollNow(bool force) {
    queue_.sync([this, force] { poll(force); });
}

void TextWatcher::poll(bool force) {
    const uint32_t display = displayID_.load();
    if (!watching_ || !ax_ || !ax_->ready(display)) return;

    AxElementRef element = focusedElement();
    // An application that stopped answering: keep what was last reported rather than
    // report a focus loss it did not have.
    if (ax_->interrupted()) return;
    const bool isText = element && isTextInput(*element);
    if (ax_->interrupted()) return;
    const bool same = element && lastElement_ && element->sameAs(*lastElement_);
    if (force || isText != lastFocused_ || (isText && !same)) {
        lastFocused_ = isText;
        if (onFocus) onFocus(isText);
    }
    lastElement_ = element;

    std::optional<Selection> selection = element ? readSelection(*element) : std::nullopt;
    if (ax_->interrupted()) return;
    if (selection == lastSelection_) return;
    lastSelection_ = selection;
    if (onSelection) onSelection(selection);
}

AxElementRef TextWatcher::focusedElement() {
    if (auto pid = ax_->frontmostProcess()) {
        if (enhancedPIDs_.insert(*pid).second) ax_->requestEnhanced(*pid);
        if (auto element = ax_->focusedElement(*pid)) return element;
        if (ax_->interrupted()) return nullptr;
    }
    return ax_->focusedElement(std::nullopt);
}

bool TextWatcher::isTextInput(const AxElement& element) {
    if (auto role = ax_->role(element)) {
        if (std::find(kTextRoles.begin(), kTextRoles.end(), *role) != kTextRoles.end()) return true;
    }
    return ax_->secure(element) || ax_->editable(element);
}

std::optional<Selection> TextWatcher::readSelection(const AxElement& element) {
    const auto range = ax_->selectedRange(element);
    if (!range || range->length < 1) return std::nullopt;
    const auto first = ax_->characterBounds(element, range->location);
    if (!first || !(first->height > 0)) return std::nullopt;
    const auto last = ax_->characterBounds(element, range->location + range->length - 1);
    if (!last || !(last->height > 0)) return std::nullopt;
    const auto d = ax_->displayBounds(displayID_.load());
    if (!d || !(d->width > 0) || !(d->height > 0)) return std::nullopt;

    Selection s;
    s.start = {(first->x - d->x) / d->width, (first->y - d->y) / d->height};
    s.end = {(last->x + last->width - d->x) / d->width, (last->y - d->y) / d->height};
    s.height = std::max(first->height, last->height) / d->height;
    if (!inBand(s.start.x) || !(inBand(s.start.y) || inBand(s.end.y))) return std::nullopt;
    return s;
}

}  // namespace tarvello
