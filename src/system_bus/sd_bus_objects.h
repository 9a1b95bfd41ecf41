#pragma once

#include <cstring>
#include <string>
#include <string_view>

#include "system_bus/sd_bus_library.h"

// Owners of the sd-bus objects the platform's bus clients use, through the entry points loaded
// at run time (system_bus/sd_bus_library.h): only use them once sdBusLibrary() is not null.
namespace quorvane::platform::sd_bus_objects {

inline const SdBusLibrary& sd() { return *sdBusLibrary(); }

// Bus is a connection, flushed and closed when it goes.
class Bus {
  public:
    Bus() = default;
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;
    ~Bus() { close(); }
    sd_bus** out() { return &bus_; }
    sd_bus* get() const { return bus_; }
    // close ends the connection now; the bus daemon tells everyone who watches its name.
    void close() {
        if (bus_ != nullptr) sd().sd_bus_flush_close_unref(bus_);
        bus_ = nullptr;
    }

  private:
    sd_bus* bus_ = nullptr;
};

// Message is a message reference, released when it goes.
class Message {
  public:
    Message() = default;
    Message(const Message&) = delete;
    Message& operator=(const Message&) = delete;
    ~Message() { sd().sd_bus_message_unref(message_); }
    sd_bus_message** out() { return &message_; }
    sd_bus_message* get() const { return message_; }
    // hold keeps a reference to `message`, which the caller keeps too.
    void hold(sd_bus_message* message) {
        sd().sd_bus_message_unref(message_);
        message_ = sd().sd_bus_message_ref(message);
    }

  private:
    sd_bus_message* message_ = nullptr;
};

// Slot is a slot of a callback (a pending call, a match, an object), released when it goes,
// which ends the callback.
class Slot {
  public:
    Slot() = default;
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;
    ~Slot() { reset(); }
    sd_bus_slot** out() {
        reset();
        return &slot_;
    }
    void reset() {
        if (slot_ != nullptr) sd().sd_bus_slot_unref(slot_);
        slot_ = nullptr;
    }

  private:
    sd_bus_slot* slot_ = nullptr;
};

// BusError is a call's error, freed when it goes.
class BusError {
  public:
    BusError() = default;
    BusError(const BusError&) = delete;
    BusError& operator=(const BusError&) = delete;
    ~BusError() { sd().sd_bus_error_free(&error_); }
    sd_bus_error* get() { return &error_; }
    // name is the error's D-Bus name, or empty when the call failed without one.
    std::string_view name() const { return error_.name != nullptr ? error_.name : ""; }
    // text describes a failed call: the bus's message when it sent one, else the errno text.
    std::string text(int result) const {
        if (error_.message != nullptr && *error_.message != '\0') return error_.message;
        if (error_.name != nullptr) return error_.name;
        return std::strerror(result < 0 ? -result : result);
    }

  private:
    sd_bus_error error_ = SD_BUS_ERROR_NULL;
};

// openBus connects `bus` to the bus at `address` as a bus client (Hello sent), or returns the
// negative errno.
inline int openBus(Bus& bus, std::string_view address) {
    int result = sd().sd_bus_new(bus.out());
    if (result >= 0) result = sd().sd_bus_set_address(bus.get(), std::string(address).c_str());
    if (result >= 0) result = sd().sd_bus_set_bus_client(bus.get(), 1);
    if (result >= 0) result = sd().sd_bus_start(bus.get());
    return result;
}

}  // namespace quorvane::platform::sd_bus_objects
