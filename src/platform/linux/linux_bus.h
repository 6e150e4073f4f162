// What the Linux platform's files share of D-Bus: a bus connection and a message, owned.
#pragma once

#include <systemd/sd-bus.h>

#include <memory>
#include <string>

namespace quiver::linux_detail {

struct BusUnref {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageUnref {
    void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using BusPtr = std::unique_ptr<sd_bus, BusUnref>;
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;

// The bus at `address`; the system bus when it is empty. Null when it cannot be reached.
inline BusPtr OpenBus(const std::string& address) {
    sd_bus* bus = nullptr;
    if (address.empty()) {
        if (sd_bus_open_system(&bus) < 0) {
            return nullptr;
        }
        return BusPtr(bus);
    }
    if (sd_bus_new(&bus) < 0) {
        return nullptr;
    }
    BusPtr owned(bus);
    if (sd_bus_set_address(bus, address.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
        sd_bus_start(bus) < 0) {
        return nullptr;
    }
    return owned;
}

}  // namespace quiver::linux_detail
