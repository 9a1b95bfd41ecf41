#include "support/test_bus.h"

#include <cstring>
#include <stdexcept>

namespace quorvane::testing {

std::string privateBusConfig(std::string_view type, const std::string& socketPath) {
    return R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>)" +
           std::string(type) +
           R"(</type>
  <keep_umask/>
  <listen>unix:path=)" +
           socketPath + R"(</listen>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";
}

BusConnection::BusConnection(const std::string& address) {
    int r = sd_bus_new(&bus_);
    if (r >= 0) r = sd_bus_set_address(bus_, address.c_str());
    if (r >= 0) r = sd_bus_set_bus_client(bus_, 1);
    if (r >= 0) r = sd_bus_start(bus_);
    if (r < 0) {
        sd_bus_unref(bus_);
        throw std::runtime_error(std::string("cannot connect to the test bus ") + address + ": " +
                                 std::strerror(-r));
    }
}

BusConnection::~BusConnection() { sd_bus_flush_close_unref(bus_); }

}  // namespace quorvane::testing
