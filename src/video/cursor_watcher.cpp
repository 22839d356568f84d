#include "video/cursor_watcher.h"

#include "video/png_writer.h"

namespace tarvello {

namespace {
constexpr size_t kMaxPngBytes = 60000;  // keeps one cursor message well inside a frame
}

std::shared_ptr<CursorWatcher> CursorWatcher::create(std::shared_ptr<CursorFacility> cursor) {
    return std::shared_ptr<CursorWatcher>(new CursorWatcher(std::move(cursor)));
}

CursorWatcher::~CursorWatcher() { timer_.cancel(); }

void CursorWatcher::start() {
    mainQueue().async(weakly(shared_from_this(), [](CursorWatcher& self) {
        self.timer_.cancel();
        std::weak_ptr<CursorWatcher> w = self.weak_from_this();
        self.timer_ = mainQueue().every(0.0, 0.05, [w] {
            if (auto s = w.lock()) s->tick();
        });
    }));
}

void CursorWatcher::stop() {
    mainQueue().async(weakly(shared_from_this(), [](CursorWatcher& self) { self.timer_.cancel(); }));
}

void CursorWatcher::resetLastSent() {
    mainQueue().async(weakly(shared_from_this(), [](CursorWatcher& self) { self.lastSerial_.reset(); }));
}

void CursorWatcher::tick() {
    auto c = cursor_->current();
    if (!c || c->width < 1 || c->height < 1) return;
    if (lastSerial_ == c->serial) return;
    lastSerial_ = c->serial;
    if (c->rgba.size() < size_t(c->width) * size_t(c->height) * 4) return;
    auto png = encodePng(c->width, c->height, c->rgba, PngPixels::rgba32);
    if (png.empty() || png.size() > kMaxPngBytes || !onCursor) return;
    onCursor(std::move(png), float(c->hotX), float(c->hotY), float(c->width), float(c->height));
}

}  // namespace tarvello
