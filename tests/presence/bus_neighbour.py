#!/usr/bin/python3
"""What another program on the system bus can do to the key service, run as some user by
key_service_polkit_test.py. Prints one JSON object.

  bus_neighbour.py forge-departures        NameOwnerChanged(name, name, "") for every unique
                                           name on the bus, sent straight to the service
  bus_neighbour.py decrypt HEX             one Decrypt with these bytes
  bus_neighbour.py decrypt-size N          one Decrypt with N bytes (0x04, then zeros)
  bus_neighbour.py status N                N Status calls one after the other: their latency
"""
import json
import statistics
import sys
import time

import dbus
import dbus.lowlevel

BUS_NAME = "com.quorvane.KeyService1"
OBJECT = "/com/quorvane/KeyService1"


def call(bus, member, *arguments, signature=""):
    message = dbus.lowlevel.MethodCallMessage(BUS_NAME, OBJECT, BUS_NAME, member)
    if arguments:
        message.append(*arguments, signature=signature)
    started = time.monotonic()
    try:
        bus.send_message_with_reply_and_block(message, 60)
        outcome = {"error": None}
    except dbus.DBusException as failure:
        outcome = {"error": failure.get_dbus_name(), "message": failure.get_dbus_message()}
    outcome["seconds"] = time.monotonic() - started
    return outcome


def main():
    bus = dbus.SystemBus()
    what = sys.argv[1]
    if what == "forge-departures":
        daemon = bus.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus")
        service = daemon.GetNameOwner(BUS_NAME, dbus_interface="org.freedesktop.DBus")
        sent = 0
        for name in daemon.ListNames(dbus_interface="org.freedesktop.DBus"):
            if not name.startswith(":") or name in (bus.get_unique_name(), service):
                continue
            signal = dbus.lowlevel.SignalMessage("/org/freedesktop/DBus", "org.freedesktop.DBus",
                                                 "NameOwnerChanged")
            signal.set_destination(service)
            signal.append(name, name, "", signature="sss")
            bus.send_message(signal)
            sent += 1
        bus.flush()
        print(json.dumps({"sent": sent}))
    elif what == "decrypt":
        print(json.dumps(call(bus, "Decrypt", dbus.ByteArray(bytes.fromhex(sys.argv[2])),
                              signature="ay")))
    elif what == "decrypt-size":
        point = b"\x04" + bytes(int(sys.argv[2]) - 1)
        print(json.dumps(call(bus, "Decrypt", dbus.ByteArray(point), signature="ay")))
    elif what == "status":
        seconds = []
        for _ in range(int(sys.argv[2])):
            outcome = call(bus, "Status")
            if outcome["error"]:
                print(json.dumps(outcome))
                return
            seconds.append(outcome["seconds"])
        print(json.dumps({"error": None, "median_ms": statistics.median(seconds) * 1000,
                          "worst_ms": max(seconds) * 1000}))


if __name__ == "__main__":
    main()
