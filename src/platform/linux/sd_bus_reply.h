#pragma once

#include <systemd/sd-bus.h>

#include <cstring>
#include <string>

namespace tarvello::sdbus {

// The most telling words of a failed call: the error's message, its name, else errno's.
inline std::string describe(const sd_bus_error& e, int r) {
    if (e.message && *e.message) return e.message;
    if (e.name && *e.name) return e.name;
    return std::strerror(-r);
}

// A method call's reply and error, released together.
struct Reply {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* message = nullptr;
    Reply() = default;
    Reply(const Reply&) = delete;
    Reply& operator=(const Reply&) = delete;
    ~Reply() {
        sd_bus_error_free(&error);
        sd_bus_message_unref(message);
    }
};

}  // namespace tarvello::sdbus
