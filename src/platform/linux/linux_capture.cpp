#include "platform/linux/linux_capture.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <asio/posix/stream_descriptor.hpp>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>

#include "base/frame_converter.h"
#include "base/log.h"
#include "dispatch/clock.h"
#include "dispatch/serial_queue.h"
#include "platform/linux/frame_pool.h"
#include "platform/linux/linux_display.h"
#include "platform/linux/x11.h"

namespace tarvello {

namespace {

constexpr int kMaxOutstanding = 3;

// The byte order of a 32-bit pixel of the screen image, and the offsets of red, green
// and blue in it.
struct PixelLayout {
    std::optional<RgbLayout> order;
    int r = 0, g = 0, b = 0;
};

PixelLayout layoutOf(const XImage* image) {
    if (image->bits_per_pixel != 32 || image->red_mask != 0xFF0000 || image->green_mask != 0xFF00 ||
        image->blue_mask != 0xFF) {
        return {};
    }
    if (image->byte_order == LSBFirst) return {RgbLayout::bgrx, 2, 1, 0};
    return {RgbLayout::xrgb, 1, 2, 3};
}

class X11CaptureSource final : public CaptureSource {
public:
    X11CaptureSource(Queue& queue, LinuxCapture::AreaOf areaOf) : queue_(queue), areaOf_(std::move(areaOf)) {}
    ~X11CaptureSource() override { stop(); }

    // Wraps work for the queue so it does nothing once this source has released X.
    template <class F>
    auto guarded(F fn) {
        return [this, w = std::weak_ptr<int>(token_), fn = std::move(fn)](auto&&...) {
            if (!w.expired()) fn(*this);
        };
    }

    StartResult start(const CaptureConfig& config, CaptureHandlers handlers) override {
        stop();
        if (auto result = open(config); !result.succeeded()) {
            release();
            return result;
        }
        handlers_ = std::move(handlers);
        interval_ = 1.0 / std::max(1, config.fps);
        lastGrab_ = -std::numeric_limits<double>::infinity();
        // The first frame shows the screen as it is.
        dirty_ = forced_ = true;
        waitForEvents();
        if (showsCursor_) {
            cursorTimer_ =
                queue_.every(interval_, interval_, guarded([](X11CaptureSource& s) { s.pollCursor(); }));
        }
        requestGrab();
        return {};
    }

    std::string stop() override {
        handlers_ = {};
        release();
        return {};
    }

private:
    // A display not there (yet) or a server that cannot be reached may be there when
    // tried again; what the server lacks stays lacking.
    StartResult open(const CaptureConfig& config) {
        const auto area = areaOf_(config.display);
        if (!area || area->connection.empty())
            return StartResult::tryAgain("Display " + std::to_string(config.display) +
                                         " not found for capture");
        name_ = area->connection;
        std::string error;
        x_ = XConnection::open(name_, error);
        if (!x_) return StartResult::tryAgain(error);
        Display* d = x_->get();
        const int screen = DefaultScreen(d);
        root_ = RootWindow(d, screen);
        const int screenW = DisplayWidth(d, screen), screenH = DisplayHeight(d, screen);
        if (area->width <= 0 || area->height <= 0) {
            areaX_ = areaY_ = 0;
            areaW_ = screenW;
            areaH_ = screenH;
        } else {
            areaX_ = area->x;
            areaY_ = area->y;
            areaW_ = area->width;
            areaH_ = area->height;
        }
        if (areaX_ < 0 || areaY_ < 0 || areaW_ < 2 || areaH_ < 2 || areaX_ + areaW_ > screenW ||
            areaY_ + areaH_ > screenH) {
            return StartResult::tryAgain("The area to capture lies outside the screen of display " + name_);
        }
        partial_ = areaW_ != screenW || areaH_ != screenH;

        int damageError = 0;
        if (!XDamageQueryExtension(d, &damageEvent_, &damageError))
            return StartResult::permanent("Display " + name_ + " has no DAMAGE extension");
        showsCursor_ = config.showsCursor;
        int fixesError = 0;
        if ((showsCursor_ || partial_) && !XFixesQueryExtension(d, &fixesEvent_, &fixesError)) {
            return StartResult::permanent("Display " + name_ + " has no XFIXES extension");
        }

        if (!makeSharedImage()) {
            // Without shared memory (another IPC namespace), each grab is copied over the socket.
            XImage* probe = XGetImage(d, root_, 0, 0, 1, 1, AllPlanes, ZPixmap);
            if (!probe) return StartResult::tryAgain("Cannot read the screen of display " + name_);
            layout_ = layoutOf(probe);
            XDestroyImage(probe);
        } else {
            layout_ = layoutOf(image_);
        }
        if (!layout_.order)
            return StartResult::permanent("Display " + name_ + " has an unsupported pixel format");

        outW_ = config.width & ~1;
        outH_ = config.height & ~1;
        fit_ = area->letterbox ? fitInside(areaW_, areaH_, outW_, outH_) : FitRect{0, 0, outW_, outH_};
        converter_ = FrameConverter::create(areaW_, areaH_, *layout_.order, fit_.width, fit_.height);
        if (!converter_)
            return StartResult::permanent("Cannot convert " + std::to_string(areaW_) + "×" +
                                          std::to_string(areaH_) + " to NV12");
        // Bars are left as the pool made them: black.
        if (fit_.width != outW_ || fit_.height != outH_) scratch_ = newCaptureFrame(fit_.width, fit_.height);
        pool_ = std::make_shared<FramePool>(outW_, outH_, kMaxOutstanding);

        damage_ = XDamageCreate(d, root_, XDamageReportNonEmpty);
        if (partial_) damaged_ = XFixesCreateRegion(d, nullptr, 0);
        if (showsCursor_) XFixesSelectCursorInput(d, root_, XFixesDisplayCursorNotifyMask);
        XSync(d, False);
        // A new damage object reports the whole window once; the first grab covers that.
        while (XPending(d) > 0) {
            XEvent event;
            XNextEvent(d, &event);
        }
        XDamageSubtract(d, damage_, None, None);
        if (x_->lost()) return StartResult::tryAgain("Lost the connection to display " + name_);
        fd_ = std::make_unique<asio::posix::stream_descriptor>(queue_.context(), ConnectionNumber(d));
        token_ = std::make_shared<int>(0);
        lostReported_ = false;
        return {};
    }

    bool makeSharedImage() {
        Display* d = x_->get();
        if (!XShmQueryExtension(d)) return false;
        const int screen = DefaultScreen(d);
        image_ = XShmCreateImage(d, DefaultVisual(d, screen), unsigned(DefaultDepth(d, screen)), ZPixmap,
                                 nullptr, &shm_, unsigned(areaW_), unsigned(areaH_));
        if (!image_) return false;
        shm_.shmid =
            shmget(IPC_PRIVATE, size_t(image_->bytes_per_line) * size_t(image_->height), IPC_CREAT | 0600);
        if (shm_.shmid < 0) return dropSharedImage();
        void* address = shmat(shm_.shmid, nullptr, 0);
        // Marked for removal now: the kernel frees it once both sides have detached.
        shmctl(shm_.shmid, IPC_RMID, nullptr);
        if (address == reinterpret_cast<void*>(-1)) return dropSharedImage();
        shm_.shmaddr = image_->data = static_cast<char*>(address);
        shm_.readOnly = False;
        Status attached = False;
        const int error = trapXErrors(d, [&] { attached = XShmAttach(d, &shm_); });
        if (!attached || error != 0) return dropSharedImage();
        shmAttached_ = true;
        return true;
    }

    bool dropSharedImage() {
        if (image_) {
            image_->data = nullptr;
            XDestroyImage(image_);
            image_ = nullptr;
        }
        if (shm_.shmaddr) shmdt(shm_.shmaddr);
        shm_ = {};
        return false;
    }

    void release() {
        token_.reset();
        grabTimer_.cancel();
        cursorTimer_.cancel();
        grabScheduled_ = false;
        if (fd_) {
            std::error_code ec;
            fd_->cancel(ec);
            fd_->release();  // the descriptor belongs to the X connection
            fd_.reset();
        }
        if (x_) {
            Display* d = x_->get();
            const bool live = !x_->lost();
            if (live && damage_) XDamageDestroy(d, damage_);
            if (live && damaged_) XFixesDestroyRegion(d, damaged_);
            if (live && shmAttached_) XShmDetach(d, &shm_);
            if (live) XSync(d, False);
        }
        damage_ = 0;
        damaged_ = 0;
        shmAttached_ = false;
        dropSharedImage();
        if (plainImage_) XDestroyImage(plainImage_);
        plainImage_ = nullptr;
        x_.reset();
        converter_.reset();
        scratch_.reset();
        pool_.reset();
    }

    void waitForEvents() {
        if (!fd_) return;
        fd_->async_wait(asio::posix::stream_descriptor::wait_read,
                        [this, w = std::weak_ptr<int>(token_)](const std::error_code& ec) {
                            if (w.expired() || ec) return;
                            drainEvents();
                            waitForEvents();
                        });
    }

    // Xlib reads events into its own queue during other calls too, so this runs after
    // every round trip, not only when the socket is readable.
    void drainEvents() {
        if (!x_) return;
        Display* d = x_->get();
        while (!x_->lost() && XPending(d) > 0) {
            XEvent event;
            XNextEvent(d, &event);
            if (event.type == damageEvent_ + XDamageNotify) dirty_ = true;
            if (showsCursor_ && event.type == fixesEvent_ + XFixesCursorNotify) dirty_ = forced_ = true;
        }
        if (x_->lost()) {
            connectionLost();
            return;
        }
        if (dirty_) requestGrab();
    }

    void requestGrab() {
        if (grabScheduled_ || !x_) return;
        grabScheduled_ = true;
        const double wait = std::max(0.0, lastGrab_ + interval_ - defaultClock()->uptime());
        grabTimer_ = queue_.after(wait, guarded([](X11CaptureSource& s) {
                                      s.grabScheduled_ = false;
                                      s.grab();
                                  }));
    }

    void grab() {
        if (!x_ || !dirty_) return;
        if (x_->lost()) {
            connectionLost();
            return;
        }
        auto frame = pool_->acquire();
        if (!frame) {
            // Three frames still held downstream: look again one interval later.
            lastGrab_ = defaultClock()->uptime();
            requestGrab();
            return;
        }
        Display* d = x_->get();
        const double now = defaultClock()->uptime();
        dirty_ = false;
        // Cleared before reading, so a change during the read is reported again.
        XDamageSubtract(d, damage_, None, damaged_ ? damaged_ : None);
        const bool wanted = forced_ || !damaged_ || damageTouchesArea();
        forced_ = false;
        if (!wanted) {
            drainEvents();
            return;
        }
        frame->times = {};
        frame->times.grabStart = monotonicSeconds();
        XImage* image = readScreen();
        if (!image || x_->lost()) {
            // A screen made smaller no longer holds the area: every later read would fail too.
            if (x_->lost()) {
                connectionLost();
            } else {
                stopWith("The screen of display " + name_ + " no longer holds the captured area");
            }
            return;
        }
        if (showsCursor_) drawCursor(image);
        frame->times.grabbed = monotonicSeconds();
        const auto* pixels = reinterpret_cast<const uint8_t*>(image->data);
        if (!scratch_) {
            if (!converter_->convert(pixels, image->bytes_per_line, *frame)) return;
        } else {
            if (!converter_->convert(pixels, image->bytes_per_line, *scratch_)) return;
            placeInside(*scratch_, *frame);
        }
        frame->times.converted = monotonicSeconds();
        frame->presentationTime = now;
        lastGrab_ = now;
        if (handlers_.onFrame) handlers_.onFrame(std::move(frame), FrameStatus::complete);
        drainEvents();
    }

    // Whether the damage just taken touches the area (only asked when it is part of the screen).
    bool damageTouchesArea() {
        int count = 0;
        XRectangle* rects = XFixesFetchRegion(x_->get(), damaged_, &count);
        bool touches = false;
        for (int i = 0; i < count && !touches; ++i) {
            const XRectangle& r = rects[i];
            touches = r.x < areaX_ + areaW_ && r.x + r.width > areaX_ && r.y < areaY_ + areaH_ &&
                      r.y + r.height > areaY_;
        }
        if (rects) XFree(rects);
        return touches;
    }

    XImage* readScreen() {
        Display* d = x_->get();
        if (image_) return XShmGetImage(d, root_, image_, areaX_, areaY_, AllPlanes) ? image_ : nullptr;
        if (plainImage_) XDestroyImage(plainImage_);
        plainImage_ =
            XGetImage(d, root_, areaX_, areaY_, unsigned(areaW_), unsigned(areaH_), AllPlanes, ZPixmap);
        return plainImage_;
    }

    void placeInside(const VideoFrame& from, VideoFrame& to) const {
        for (int row = 0; row < fit_.height; ++row) {
            std::memcpy(&to.y[size_t(fit_.y + row) * size_t(to.strideY) + size_t(fit_.x)],
                        &from.y[size_t(row) * size_t(from.strideY)], size_t(fit_.width));
        }
        for (int row = 0; row < fit_.height / 2; ++row) {
            std::memcpy(&to.uv[size_t(fit_.y / 2 + row) * size_t(to.strideUV) + size_t(fit_.x)],
                        &from.uv[size_t(row) * size_t(from.strideUV)], size_t(fit_.width));
        }
    }

    void drawCursor(XImage* image) {
        XFixesCursorImage* cursor = XFixesGetCursorImage(x_->get());
        if (!cursor) return;
        const int left = cursor->x - cursor->xhot - areaX_, top = cursor->y - cursor->yhot - areaY_;
        for (int row = 0; row < cursor->height; ++row) {
            const int y = top + row;
            if (y < 0 || y >= areaH_) continue;
            for (int col = 0; col < cursor->width; ++col) {
                const int x = left + col;
                if (x < 0 || x >= areaW_) continue;
                // 32-bit premultiplied ARGB, each in an unsigned long.
                const auto argb =
                    static_cast<uint32_t>(cursor->pixels[size_t(row) * cursor->width + size_t(col)]);
                const uint32_t a = argb >> 24;
                if (a == 0) continue;
                uint8_t* p = reinterpret_cast<uint8_t*>(image->data) +
                             size_t(y) * size_t(image->bytes_per_line) + size_t(x) * 4;
                auto blend = [a](uint8_t& dst, uint32_t premultiplied) {
                    dst = uint8_t(std::min<uint32_t>(255, premultiplied + dst * (255 - a) / 255));
                };
                blend(p[layout_.r], (argb >> 16) & 0xFF);
                blend(p[layout_.g], (argb >> 8) & 0xFF);
                blend(p[layout_.b], argb & 0xFF);
            }
        }
        XFree(cursor);
    }

    // The cursor moves without damage to the screen.
    void pollCursor() {
        if (!x_) return;
        if (x_->lost()) {
            connectionLost();
            return;
        }
        Window rootReturn = 0, child = 0;
        int x = 0, y = 0, wx = 0, wy = 0;
        unsigned mask = 0;
        if (XQueryPointer(x_->get(), root_, &rootReturn, &child, &x, &y, &wx, &wy, &mask) &&
            (x != cursorX_ || y != cursorY_)) {
            cursorX_ = x;
            cursorY_ = y;
            dirty_ = forced_ = true;
        }
        drainEvents();
    }

    void connectionLost() { stopWith("Lost the connection to display " + name_); }

    void stopWith(const std::string& reason) {
        if (lostReported_) return;
        lostReported_ = true;
        auto onStopped = handlers_.onStopped;
        handlers_ = {};
        release();
        if (onStopped) onStopped(reason);
    }

    Queue& queue_;
    LinuxCapture::AreaOf areaOf_;
    CaptureHandlers handlers_;
    std::string name_;
    std::unique_ptr<XConnection> x_;
    Window root_ = 0;
    int areaX_ = 0, areaY_ = 0, areaW_ = 0, areaH_ = 0, outW_ = 0, outH_ = 0;
    bool partial_ = false;
    FitRect fit_;
    int damageEvent_ = 0, fixesEvent_ = 0;
    Damage damage_ = 0;
    XserverRegion damaged_ = 0;  // what the last subtraction took, when the area is part of the screen
    bool showsCursor_ = false;
    XImage* image_ = nullptr;       // shared-memory image, reused for every grab
    XImage* plainImage_ = nullptr;  // the last grab when shared memory is unavailable
    XShmSegmentInfo shm_{};
    bool shmAttached_ = false;
    PixelLayout layout_;
    std::unique_ptr<FrameConverter> converter_;
    std::unique_ptr<VideoFrame> scratch_;  // the picture between the bars
    std::shared_ptr<FramePool> pool_;
    std::unique_ptr<asio::posix::stream_descriptor> fd_;
    std::shared_ptr<int> token_;
    TimerHandle grabTimer_, cursorTimer_;
    bool grabScheduled_ = false;
    bool dirty_ = false;
    bool forced_ = false;  // grab even when no damage touches the area: the first frame, a cursor move
    bool lostReported_ = false;
    double interval_ = 1.0 / 60;
    double lastGrab_ = 0;
    int cursorX_ = -1, cursorY_ = -1;
};

}  // namespace

LinuxCapture::LinuxCapture(std::shared_ptr<LinuxDisplay> displays)
    : LinuxCapture(
          [displays] {
              std::vector<uint32_t> ids;
              for (const auto& d : displays->displays()) {
                  if (!displays->connection(d.id).empty()) ids.push_back(d.id);
              }
              return ids;
          },
          [displays](uint32_t id) -> std::optional<CaptureArea> {
              auto name = displays->connection(id);
              if (name.empty()) return std::nullopt;
              return CaptureArea{std::move(name), 0, 0, 0, 0, false};
          }) {}

LinuxCapture::LinuxCapture(Shareable shareable, AreaOf areaOf)
    : shareable_(std::move(shareable)), areaOf_(std::move(areaOf)) {}

std::vector<uint32_t> LinuxCapture::shareableDisplays(std::string&) {
    return shareable_();
}

std::unique_ptr<CaptureSource> LinuxCapture::makeSource(Queue& queue) {
    return std::make_unique<X11CaptureSource>(queue, areaOf_);
}

}  // namespace tarvello
