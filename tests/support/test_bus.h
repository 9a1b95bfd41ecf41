#pragma once

#include <systemd/sd-bus.h>

#include <string>
#include <string_view>

// Pieces shared by the test harnesses that run a private D-Bus daemon (a system bus with polkit,
// a session bus with the keyring).
namespace quorvane::testing {

// privateBusConfig is a dbus-daemon configuration of the given bus `type` ("system" or
// "session") that listens on `socketPath`, lets everyone own and call everything, and starts no
// service by itself: whatever the test needs, it starts.
std::string privateBusConfig(std::string_view type, const std::string& socketPath);

// BusConnection is one client connection (Hello sent) to the bus at `address`. Throws
// std::runtime_error when it cannot connect.
class BusConnection {
  public:
    explicit BusConnection(const std::string& address);
    ~BusConnection();
    BusConnection(const BusConnection&) = delete;
    BusConnection& operator=(const BusConnection&) = delete;
    sd_bus* get() const { return bus_; }

  private:
    sd_bus* bus_ = nullptr;
};

}  // namespace quorvane::testing
