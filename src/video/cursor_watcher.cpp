#include "video/cursor_watcher.h"

#include <cstring>

#include "video/png_writer.h"

namespace tarvello {

namespace {
template <class T>
void append(Bytes& out, T value) {
    uint8_t raw[sizeof value];
    std::memcpy(raw, &value, sizeof value);
    out.insert(out.end(), raw, raw + sizeof raw);
}
}  // namespace

std::shared_ptr<CursorWatcher> CursorWatcher::create(std::shared_ptr<CursorFacility> cursor, Encoder encoder,
                                                     Queue* queue) {
    if (!encoder) {
        encoder = [](int w, int h, std::span<const uint8_t> rgba) {
            return encodePng(w, h, rgba, PngPixels::rgba32);
        };
    }
    return std::shared_ptr<CursorWatcher>(
        new CursorWatcher(std::move(cursor), std::move(encoder), queue ? *queue : mainQueue()));
}

CursorWatcher::CursorWatcher(std::shared_ptr<CursorFacility> cursor, Encoder encoder, Queue& queue)
    : cursor_(std::move(cursor)), encoder_(std::move(encoder)), queue_(queue) {}

CursorWatcher::~CursorWatcher() {
    timer_.cancel();
}

void CursorWatcher::start() {
    queue_.async(weakly(shared_from_this(), [](CursorWatcher& self) {
        if (self.watching_) return;
        self.watching_ = true;
        self.lastKey_.clear();
        self.timer_ = self.queue_.every(kInterval, kInterval,
                                        weakly(self.shared_from_this(), [](CursorWatcher& s) { s.poll(); }));
    }));
}

void CursorWatcher::stop() {
    queue_.async(weakly(shared_from_this(), [](CursorWatcher& self) {
        self.timer_.cancel();
        self.watching_ = false;
    }));
}

void CursorWatcher::reset() {
    queue_.async(weakly(shared_from_this(), [](CursorWatcher& self) { self.lastKey_.clear(); }));
}

void CursorWatcher::poll() {
    if (!cursor_) return;
    const auto c = cursor_->current();
    if (!c || c->width < 1 || c->height < 1 || !(c->scale > 0)) return;
    const size_t bytes = size_t(c->width) * size_t(c->height) * 4;
    if (c->rgba.size() < bytes) return;

    const double scale = c->scale;
    const double hotX = c->hotX / scale, hotY = c->hotY / scale;
    Bytes key(c->rgba.begin(), c->rgba.begin() + std::ptrdiff_t(bytes));
    append(key, c->width);
    append(key, c->height);
    append(key, hotX);
    append(key, hotY);
    if (key == lastKey_) return;
    // Remembered before encoding: a picture that fails below is not retried every tick.
    lastKey_ = std::move(key);

    Bytes png = encoder_(c->width, c->height, std::span<const uint8_t>(c->rgba.data(), bytes));
    if (png.empty() || png.size() >= kMaxPngBytes || !onCursor) return;
    onCursor(std::move(png), float(hotX), float(hotY), float(c->width / scale), float(c->height / scale));
}

}  // namespace tarvello
