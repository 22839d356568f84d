#include "server/control_channel.h"

#include <asio/write.hpp>

#include "base/log.h"

namespace tarvello {

void ControlChannel::begin(uint64_t id, Handlers handlers) {
    id_ = id;
    handlers_ = std::move(handlers);
    std::error_code ec;
    socket_.set_option(asio::ip::tcp::no_delay(true), ec);
    auto ep = socket_.remote_endpoint(ec);
    if (!ec) {
        remote_ = describeEndpoint(ep);
        remoteAddress_ = plainAddress(ep.address());
    }
    readNext();
}

void ControlChannel::readNext() {
    socket_.async_read_some(asio::buffer(readBuf_),
                            [self = shared_from_this()](const std::error_code& ec, size_t n) {
                                if (ec || n == 0) {
                                    self->close();
                                    if (self->handlers_.ended) self->handlers_.ended(self);
                                    return;
                                }
                                if (self->closed_ || self->refused) return;
                                self->framer_.append(std::span<const uint8_t>(self->readBuf_.data(), n));
                                // A zero length yields no frame but still consumes bytes; keep going while
                                // the framer makes progress so frames behind it are not left waiting.
                                for (;;) {
                                    const size_t before = self->framer_.buffered();
                                    auto f = self->framer_.next();
                                    if (f) {
                                        if (self->handlers_.frame)
                                            self->handlers_.frame(self, f->type, f->payload);
                                        if (self->closed_ || self->refused) return;
                                    } else if (self->framer_.buffered() == before) {
                                        break;
                                    }
                                }
                                self->readNext();
                            });
}

void ControlChannel::send(Bytes frame) {
    if (closed_ || frame.empty()) return;
    if (outbox_.push(std::move(frame)) == ControlOutbox::Push::overflow) {
        log("iPhone stopped reading: closing its connection");
        close();
        return;
    }
    writeNext();
}

void ControlChannel::writeNext() {
    if (closed_) return;
    const Bytes* frame = outbox_.beginWrite();
    if (!frame) return;
    asio::async_write(socket_, asio::buffer(*frame),
                      [self = shared_from_this()](const std::error_code& ec, size_t) {
                          self->outbox_.finishWrite();
                          if (ec) {
                              self->close();
                              return;
                          }
                          self->writeNext();
                      });
}

void ControlChannel::close() {
    if (closed_) return;
    closed_ = true;
    helloDeadline.cancel();
    std::error_code ec;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
    socket_.close(ec);
}

}  // namespace tarvello
